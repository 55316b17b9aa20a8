#include "common/json_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

cJSON *read_json_file(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size <= 0) {
        close(fd);
        return nullptr;
    }
    size_t size = static_cast<size_t>(st.st_size);
    char *buf = static_cast<char *>(malloc(size + 1));
    if (!buf) {
        close(fd);
        return nullptr;
    }
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, buf + got, size - got);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    cJSON *root = nullptr;
    if (got == size) {
        buf[size] = '\0';
        root = cJSON_Parse(buf);
    }
    free(buf);
    return root;
}

bool json_is_one(const cJSON *item)
{
    if (!item)
        return false;
    if (cJSON_IsTrue(item))
        return true;
    return cJSON_IsNumber(item) && item->valueint == 1;
}

#include "common/file_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

char *read_file(const char *path, size_t *size)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    size_t want = static_cast<size_t>(st.st_size);
    char *buf = static_cast<char *>(malloc(want + 1));
    size_t got = 0;
    while (buf && got < want) {
        ssize_t n = read(fd, buf + got, want - got);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (!buf || got != want) {
        free(buf);
        return nullptr;
    }
    buf[want] = '\0';
    *size = want;
    return buf;
}

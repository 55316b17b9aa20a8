#include "common/json_file.h"

#include <cerrno>
#include <cstdlib>

#include "common/file_io.h"

cJSON *read_json_file(const char *path, int *err)
{
    size_t size = 0;
    char *text = read_file(path, kJsonFileMax, &size);
    if (err)
        *err = text ? 0 : errno;
    cJSON *root = (text && size > 0) ? cJSON_Parse(text) : nullptr;
    free(text);
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

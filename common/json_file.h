// Reading a small JSON file whole (configuration, boot-check file).
#pragma once

#include <cjson/cJSON.h>

// Parses the whole file at `path`. Gives nullptr when the file is missing,
// empty, unreadable or not JSON. The caller releases the tree with cJSON_Delete.
cJSON *read_json_file(const char *path);

// True when `item` holds the integer value 1: the number 1 or true.
bool json_is_one(const cJSON *item);

// Reading a small JSON file whole (configuration, boot-check file).
#pragma once

#include <cjson/cJSON.h>

#include <cstddef>

// Largest JSON file read: configuration and boot-check files are a few
// hundred bytes; anything far larger is damaged or planted.
constexpr size_t kJsonFileMax = 64 * 1024;

// Parses the whole file at `path`. Gives nullptr when the file is missing,
// empty, not a regular file, larger than kJsonFileMax, unreadable or not
// JSON; then `*err` (when given) is the errno of the failure (EFBIG for a
// file too large), or 0 when the file was read but is empty or not JSON.
// The caller releases the tree: a JsonTree (common/json_tree.h) holds it,
// or cJSON_Delete in script functions.
cJSON *read_json_file(const char *path, int *err = nullptr);

// True when `item` holds the integer value 1: the number 1 or true.
bool json_is_one(const cJSON *item);

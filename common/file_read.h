// Reading a whole small file into memory.
#pragma once

#include <cstddef>

// The contents of `path` in a malloc'd buffer with a NUL after the last byte
// (so text can be used as a C string); `*size` is the byte count. nullptr
// when the file cannot be opened or read whole. The caller frees the buffer.
char *read_file(const char *path, size_t *size);

// Reading a whole small file, and replacing a file so that a crash leaves
// either the old or the new one.
#pragma once

#include <sys/types.h>

#include <cstddef>

// The contents of `path` in a malloc'd buffer with a NUL after the last byte
// (so text can be used as a C string); `*size` is the byte count. nullptr
// when the file cannot be opened or read whole. The caller frees the buffer.
char *read_file(const char *path, size_t *size);

// Replacing a file: the content goes into a temporary file in the same
// directory, which is synced and then renamed over the target.
struct FileReplace {
    int fd = -1;
    char path[8192];
    char tmp_path[8192];
};

// Opens the temporary file (created with `mode`, before the umask).
// Returns the descriptor, or -1.
int file_replace_open(FileReplace &r, const char *path, mode_t mode);
// Writes all `len` bytes; -1 on failure.
int file_replace_write(FileReplace &r, const void *data, size_t len);
// Syncs, closes and renames over the target; -1 (and nothing replaced) on failure.
int file_replace_commit(FileReplace &r);
// Closes and removes the temporary file, leaving the target as it was.
void file_replace_abort(FileReplace &r);

// Replaces the whole content of `path` with `data` as above. 0, or -1 with
// the old file untouched (errno tells why).
int file_replace_all(const char *path, const void *data, size_t len, mode_t mode);

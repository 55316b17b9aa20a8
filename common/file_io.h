// Reading a whole small file, and replacing a file so that a crash leaves
// either the old or the new one.
#pragma once

#include <sys/types.h>

#include <cstddef>

// Opens `path` for reading only when it is a regular file (after following
// links). A FIFO or device is never opened in blocking mode, so a planted
// FIFO cannot hang the reader. The descriptor (blocking, close-on-exec), or
// -1 with errno set (EINVAL for a file that is not regular, EISDIR for a
// directory).
int open_regular(const char *path);

// The contents of the regular file `path` in a malloc'd buffer with a NUL
// after the last byte (so text can be used as a C string); `*size` is the
// byte count. nullptr when the file cannot be opened or read whole, is not
// a regular file, or is larger than `max` bytes (errno EFBIG). The caller
// frees the buffer.
char *read_file(const char *path, size_t max, size_t *size);

// Removes `path` and, when it is a directory, everything below it, without
// following any symbolic link. 0 when nothing is left (or nothing was there).
int tree_remove(const char *path);

// Replacing a file: the content goes into a temporary file in the same
// directory, which is synced and then renamed over the target.
struct FileReplace {
    int fd = -1;
    char path[8192];
    char tmp_path[8192];
};

// Opens the temporary file "<path>.new" (created with `mode`, before the
// umask); whatever a crash or an intruder left under that name is removed
// first. Returns the descriptor, or -1.
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

// File-system helpers of the watchdog.
#pragma once

#include <sys/types.h>

#include <cstddef>

// Closes every descriptor from `first` (3 when below 1) up to the open-file
// limit. Safe to call in a freshly forked child.
void close_inherited_fds(int first);

// Makes sure the directory exists (mode 0777 before the umask). On failure
// prints "mkdir (%s) error: %s" and returns -1; otherwise 0.
int ensure_dir(const char *path);

// "%s/%s" of `dir` and `name` into `buf`; false when it had to be cut.
bool path_join(char *buf, size_t size, const char *dir, const char *name);

// Replacing a file so that a crash leaves either the old or the new one:
// the content goes into a temporary file in the same directory, which is
// synced and then renamed over `path`.
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

// Writes `text` as the whole new content of `path`, atomically as above.
// Returns 0, or -1 with the old file untouched.
int write_text_file(const char *path, const char *text, size_t len);

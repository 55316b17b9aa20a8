// File-system helpers of the watchdog.
#pragma once

#include <cstddef>

#include "common/file_io.h"  // tree_remove

// Closes every descriptor from `first` (3 when below 1) up to the open-file
// limit. Safe to call in a freshly forked child.
void close_inherited_fds(int first);

// Makes sure the directory exists (mode 0777 before the umask). On failure
// prints "mkdir (%s) error: %s" and returns -1; otherwise 0.
int ensure_dir(const char *path);

// "%s/%s" of `dir` and `name` into `buf`; false when it had to be cut.
bool path_join(char *buf, size_t size, const char *dir, const char *name);

// Writes `text` as the whole new content of `path`, so that a crash leaves
// either the old or the new file.
// Returns 0, or -1 with the old file untouched.
int write_text_file(const char *path, const char *text, size_t len);

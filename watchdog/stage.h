// Unpacking a plugin archive without letting it write outside the data
// directory: the archive is extracted into a fresh staging directory beside
// the data directory, checked there, and only then merged into the data
// directory entry by entry, never following a link that is already there.
#pragma once

#include "watchdog/paths.h"

#include <cstddef>

// "<data directory without its trailing slashes>.stage".
void stage_path(const WatchdogDirs &dirs, char *buf, size_t size);

// Extracts the gzip'd tar archive read from `package_fd` into a fresh
// staging directory `stage` and checks the result against `data`:
// refused are member names that are absolute or contain "..", links that
// lead out of the tree, hard links to files outside it, anything that is not
// a directory, a regular file or a link, and a file that would replace a
// directory of `data`. The watchdog's own .bootchk is never taken from an
// archive. Returns 0, or -1 after printing why (and removing the staging).
int stage_unpack(int package_fd, const char *stage, const char *data);

// Moves everything staged into `data`: directories are merged, other
// entries replace what is there (a link there is replaced, never followed).
// Safe to run again after an interruption: what was moved is gone from
// the staging. Returns 0, or -1 after printing why.
int stage_merge(const char *stage, const char *data);

// Upgrade packages: unpacking, installing and stamping .bootchk.
#pragma once

#include "watchdog/paths.h"

#include <cstddef>

// The version stamp written when .bootchk has no string "version".
inline constexpr const char kVersionStamp[] = "24.02.19.15";

// Applies the package of the tmp directory for exit code 130 (unpack the
// archive into the data directory, see stage.h), 131 (install it as
// init.bin) or 132 (nothing yet); records the result in .bootchk and deletes
// the package. Without a package nothing changes. While it runs, a record in
// the tmp directory says so.
void apply_upgrade(int code, const WatchdogDirs &dirs);

// At start-up, before supervision: finishes or discards a step that a
// killed watchdog left half-done, and removes a stale package and staging
// leftovers that no record explains. Prints what it did.
void upgrade_recover(const WatchdogDirs &dirs);

// Copies `src` (a regular file) to `dst` (mode 0700 before the umask). The
// new file replaces `dst` only when complete. Returns 0, or -1 (and `dst`
// untouched) after printing the descriptors when a file cannot be opened.
int copy_package(const char *src, const char *dst);

// As copy_package, from the open descriptor `in` (read to its end).
int copy_fd_to(int in, const char *dst);

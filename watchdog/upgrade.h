// Upgrade packages: unpacking, installing and stamping .bootchk.
#pragma once

#include "watchdog/paths.h"

#include <cstddef>

// The version stamp written when .bootchk has no string "version".
inline constexpr const char kVersionStamp[] = "24.02.19.15";

// Applies the package of the tmp directory for exit code 130 (unpack the
// archive into the data directory), 131 (install it as init.bin) or 132
// (nothing yet); records the result in .bootchk and deletes the package.
// Without a readable package nothing changes.
void apply_upgrade(int code, const WatchdogDirs &dirs);

// Copies `src` to `dst` (mode 0700 before the umask). The new file replaces
// `dst` only when complete. Returns 0, or -1 (and `dst` untouched).
int copy_package(const char *src, const char *dst);

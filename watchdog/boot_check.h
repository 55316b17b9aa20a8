// The boot decision: factory files beside the watchdog, or upgraded files in
// the data directory, as recorded in .bootchk.
#pragma once

#include "watchdog/paths.h"

// 1 when .bootchk parses, has a string "version" and a "plugindata" of 1
// (the number or true); else 0.
int boot_state_ok(const WatchdogDirs &dirs);

// 1 when the processes run from an upgrade: the boot decision above, or a
// "luadata" of 1 (the engine then loads the installed bundle).
int boot_upgraded(const WatchdogDirs &dirs);

// Deletes a readable .bootchk (or whatever else stands under its name). Returns 1 when it was deleted, else 0.
int clear_bootchk(const WatchdogDirs &dirs);

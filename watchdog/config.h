// The watchdog's configuration: which processes to supervise.
#pragma once

#include "watchdog/paths.h"
#include "watchdog/process_table.h"

#include <cstddef>

// Each launch argument has a slot of this size (255 characters and the NUL).
constexpr size_t kArgSlotSize = 256;

// True when `name` can be a supervised process: a plain file name (letters,
// digits, '.', '_', '+', '-'; not starting with '-'; not "." or "..") whose
// launch path in the data directory, and alive path when `excheck`, fit an
// argument slot. The name also goes into a shell command line.
bool config_name_ok(const char *name, bool excheck, const WatchdogDirs &dirs);

// Reads the JSON configuration at `path` into the table's entries and count.
// Returns 0, or -1 (with a reason printed for refusals beyond a missing or
// unparsable file and a missing "base").
int load_config(const char *path, ProcTable &table, const WatchdogDirs &dirs);

// The run file: single-instance lock and event log of the watchdog.
#pragma once

#include "watchdog/paths.h"
#include "watchdog/process_table.h"

#include <cstddef>

// Sizes of the formatted event lines.
constexpr size_t kExitLineSize = 256;
constexpr size_t kAliveLineSize = 8192;

// "<tmp><base name of argv0>.run" into the table's run-file path.
void run_file_path(ProcTable &table, const char *argv0, const WatchdogDirs &dirs);

// Creates and locks the run file and writes the working directory into it.
// Returns 0 (descriptor stored in the table) or -1 after printing why.
int open_run_file(const char *argv0, ProcTable &table);

// Appends one event line (at most `size` - 1 bytes, always ending with a
// newline, also when cut) when `fd` is above 0.
void run_file_event(int fd, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

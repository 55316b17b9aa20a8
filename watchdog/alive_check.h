// The alive-check thread: kills a process whose alive file goes stale.
#pragma once

#include "watchdog/process_table.h"

// One check of every watched entry: an alive file found is deleted; the third
// check in a row without one kills the process by name.
void alive_check_pass(ProcTable &table);

// Thread body: a check every 120 seconds, for ever.
void *check_alive(void *table);

// Starts the detached thread when any of the first four entries is watched.
void start_alive_check(ProcTable &table);

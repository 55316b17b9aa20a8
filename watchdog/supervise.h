// Supervision: cycles of starting every process and restarting single ones.
#pragma once

#include "watchdog/paths.h"
#include "watchdog/process_table.h"

// How waiting for the children ended.
enum class WaitResult {
    NewCycle,     // an exit code asked for a new cycle (after any upgrade step)
    BootFailure,  // exit 129, or the wait itself failed
    BootCrash,    // an upgrade failed: a process died by a signal before it was seen
                  // alive, or its runs failed kBootAttempts times before proving it
    Stop,         // a restart could not fork: supervision ends
};

// Kills every configured process by name ("killall -9") and clears the pids.
void kill_all(ProcTable &table);

// Waits for exits and restarts single processes until a new cycle, the
// boot-failure handling or the end is due. `last_code` gets every normal exit code.
WaitResult wait_children(ProcTable &table, int &last_code, const WatchdogDirs &dirs);

// Runs supervision cycles until a fork fails or a boot failure finds no
// .bootchk to remove.
void supervise(ProcTable &table, const WatchdogDirs &dirs);

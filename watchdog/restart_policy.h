// What the watchdog does when a supervised process ends: the exit codes it
// acts on, the restart codes and the restart delays. All of it lives here.
#pragma once

#include "watchdog/process_table.h"

#include <cstdint>

// Exit codes of the engine's CENUM table that the watchdog acts on.
enum AppRetcode {
    APP_RETCODE_ERROR = 129,
    APP_RETCODE_UPDATE = 130,
    APP_RETCODE_UPDATE_LUA = 131,
    APP_RETCODE_UPDATE_SIG = 132,
    APP_RETCODE_RESTORE = 160,
};

// Handed with -r to a process restarted after the alive check killed it.
constexpr int kAliveKillCode = 199;

// A wait status taken apart.
struct ExitStatus {
    int code;     // exit status (0-255) or signal number
    bool normal;  // true: exited; false: ended (or stopped) by a signal
};

// A reaped child, matched against the table.
struct DecodedExit {
    int index;  // entry index, -1 when no entry holds the pid
    ExitStatus status;
};

enum class ExitAction {
    Restart,      // this process alone, after a delay
    NewCycle,     // kill and start everything again
    Upgrade,      // apply the upgrade step, then a new cycle
    BootFailure,  // fall back to the factory files, or give up
};

struct RestartDelay {
    long seconds;  // shipped seconds (printed); sleeping is scaled in test builds
    bool segv;     // crash back-off rather than the normal delay
};

ExitStatus wait_status_decode(int status);

// Finds the entry whose pid is `pid` among the configured ones.
DecodedExit decode_exit(const ProcTable &table, int pid, int status);

// Action for a normal exit with `code`; processes ended by signals are restarted.
ExitAction exit_action(const ExitStatus &status);

// The -r code for the successor: the exit code or signal number, or 199 for
// a SIGKILL that the alive check caused.
int restart_code(const ExitStatus &status, bool killed_by_alive_check);

// Counts one more SIGSEGV crash and gives its back-off: 60, 660, 1260, then
// 7200 seconds for every later one.
long segv_delay(ProcTable &table);

// Delay before restarting after `status` (counts a SIGSEGV crash).
RestartDelay restart_delay(const ExitStatus &status, ProcTable &table);

// An upgrade whose runs end this many times in a row before they prove
// themselves has failed and is rolled back.
constexpr int kBootAttempts = 3;

// True when a run of an upgrade that ended with `status` before it proved
// itself is a failed attempt: every ending that only restarts the process
// (any exit code but 129-132 and 160, any signal, the alive check's kill).
// 129 rolls back by itself; 130-132 and 160 are requests, not failures.
bool counts_as_failed_attempt(const ExitStatus &status);

// True when a run of `run_ms` milliseconds proves its upgrade.
bool run_proven(int64_t run_ms);

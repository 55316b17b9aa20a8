// What the watchdog does when a supervised process ends: the exit codes it
// acts on, the restart codes and the restart delays. All of it lives here.
#pragma once

#include "watchdog/process_table.h"

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

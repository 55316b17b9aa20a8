// Starting one supervised process.
#pragma once

#include "watchdog/config.h"
#include "watchdog/paths.h"
#include "watchdog/process_table.h"

#include <sys/types.h>

constexpr int kArgSlots = 16;  // the last one is the terminating null entry

// The argument vector of a child, built before fork so that the child only
// has to exec it.
struct ChildArgv {
    char slot[kArgSlots - 1][kArgSlotSize];
    char *argv[kArgSlots];
    int argc;
};

// Fills `a` in the order: path, [-r code], [-d], [-A alive], [-T tmp -D data].
// Arguments too long for their slot are cut (the configuration refuses
// names that would need it).
void child_argv_build(ChildArgv &a, const char *path, const char *alive_path, int code, bool debug,
                      bool data_dirs, const WatchdogDirs &dirs);

// Records the signal dispositions that children get. Called once before
// any other thread exists.
void launch_signals_save();

// In a freshly forked child: system() in the alive-check thread ignores
// SIGINT and SIGQUIT process-wide while its command runs, and ignored
// signals stay ignored across exec; gives back the dispositions the
// watchdog itself started with.
void launch_child_signals();

// Forks and executes `path`. Returns the child's pid, or -1 when fork fails.
// The child gets SIGTERM when the watchdog dies; an exec failure ends it with 129.
pid_t launch_process(const char *path, const char *alive_path, int code, int debug, int data_dirs,
                     const WatchdogDirs &dirs);

// Starts entry `index` from the factory or the data directory (by the
// table's boot flag) and stores its pid.
void start_entry(ProcTable &table, int index, int code, const WatchdogDirs &dirs);

#include "watchdog/watchdog_main.h"

#include "watchdog/alive_check.h"
#include "watchdog/config.h"
#include "watchdog/fs_util.h"
#include "watchdog/launch.h"
#include "watchdog/paths.h"
#include "watchdog/process_table.h"
#include "watchdog/run_file.h"
#include "watchdog/stdout_print.h"
#include "watchdog/supervise.h"
#include "watchdog/upgrade.h"

#include <libgen.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

int watchdog_main(int argc, char **argv)
{
    close_inherited_fds(3);
    // Static: the detached alive-check thread uses it until the process ends.
    static ProcTable table{};

    const char *argv0 = argc > 0 && argv[0] ? argv[0] : "watchdog";
    run_file_path(table, argv0, kDirs);

    char dir[4096];
    snprintf(dir, sizeof dir, "%s", argv0);
    if (chdir(dirname(dir)) != 0) {
        // Not fatal: the paths below then resolve against the current directory.
    }

    if (argc > 1)
        table.debug = 1;

    if (ensure_dir(kDirs.tmp) != 0 || ensure_dir(kDirs.data) != 0)
        return 0;
    if (load_config(kConfigFile, table, kDirs) != 0) {
        stdout_printf("failed to init daemon");
        return 0;
    }
    if (open_run_file(argv0, table) != 0)
        return 0;

    signal(SIGCHLD, SIG_DFL);
    launch_signals_save();
    // Under the run-file lock, so no other watchdog is in the middle of a step.
    upgrade_recover(kDirs);
    start_alive_check(table);
    supervise(table, kDirs);
    return 0;
}

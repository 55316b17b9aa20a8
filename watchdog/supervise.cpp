#include "watchdog/supervise.h"

#include "common/intervals.h"
#include "common/sleep.h"
#include "watchdog/boot_check.h"
#include "watchdog/boot_count.h"
#include "watchdog/killall.h"
#include "watchdog/launch.h"
#include "watchdog/restart_policy.h"
#include "watchdog/run_file.h"
#include "watchdog/stdout_print.h"
#include "watchdog/time_util.h"
#include "watchdog/upgrade.h"

#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

void exit_event(const ProcTable &table, const ProcEntry &entry, const ExitStatus &status)
{
    char when[64];
    time_text(when, sizeof when);
    if (status.normal)
        run_file_event(table.run_fd, kExitLineSize, "%s: %s exited normally with code(%d)\n", when, entry.name,
                       status.code);
    else
        run_file_event(table.run_fd, kExitLineSize, "%s: %s killed by signal(%d)\n", when, entry.name,
                       status.code);
}

// A process started from an upgrade that dies by a signal before it could
// prove it runs (an alive file found, or without alive check its first
// minute) would otherwise crash in a loop with ever longer back-offs,
// keeping the plug-in down: that upgrade failed to boot.
bool boot_crashed(const ProcTable &table, const ProcEntry &entry)
{
    if (!table.upgraded || entry.seen_alive)
        return false;
    return entry.alive_path[0] != '\0' || monotonic_ms() - entry.started_ms < kBootGraceMs;
}

// Waits for any child. While an upgrade has failed attempts and one of its
// runs has yet to prove itself, wakes up (0) when that run does, so that the
// count is forgotten then and not only when the run ends: a power cut during
// a long good run must not leave the old count behind.
pid_t wait_exit(const ProcTable &table, int *status)
{
    for (;;) {
        int64_t due = bootcount_deadline(table);
        pid_t pid = waitpid(-1, status, due < 0 ? 0 : WNOHANG);
        if (pid != 0)
            return pid;
        int64_t left = due - monotonic_ms();
        if (left <= 0)
            return 0;
        sleep_ms(left < kBootProofPollMs ? left : kBootProofPollMs);
    }
}

}  // namespace

void kill_all(ProcTable &table)
{
    for (int i = 0; i < table.count && i < kMaxEntries; ++i) {
        ProcEntry &entry = table.entries[i];
        entry.pid = 0;
        killall_name(entry.name);
    }
}

WaitResult wait_children(ProcTable &table, int &last_code, const WatchdogDirs &dirs)
{
    for (;;) {
        int status = 0;
        pid_t pid = wait_exit(table, &status);
        bootcount_proofs(table, dirs);
        if (pid == 0)
            continue;
        if (pid < 0) {
            if (errno == EINTR)
                continue;
            stdout_printf("failed to waitpid");
            return WaitResult::BootFailure;
        }
        DecodedExit exit = decode_exit(table, pid, status);
        if (exit.index < 0) {
            // Killed in the last cycle change, or a shell of the alive check.
            stdout_printf("No such pid(%d) for reexec\n", pid);
            continue;
        }
        ProcEntry &entry = table.entries[exit.index];
        exit_event(table, entry, exit.status);

        int code = restart_code(exit.status, entry.killed == 1);
        entry.killed = 0;
        entry.pid = 0;

        if (!exit.status.normal && boot_crashed(table, entry)) {
            stdout_printf("%s died by signal %d before it was seen alive, so the upgrade failed to boot\n",
                          entry.name, exit.status.code);
            last_code = APP_RETCODE_ERROR;
            return WaitResult::BootCrash;
        }
        if (bootcount_run_ended(table, entry, exit.status, dirs)) {
            last_code = APP_RETCODE_ERROR;
            return WaitResult::BootCrash;
        }

        if (exit.status.normal)
            last_code = code;
        switch (exit_action(exit.status)) {
        case ExitAction::BootFailure:
            return WaitResult::BootFailure;
        case ExitAction::Upgrade:
            apply_upgrade(code, dirs);
            return WaitResult::NewCycle;
        case ExitAction::NewCycle:
            return WaitResult::NewCycle;
        case ExitAction::Restart:
            break;
        }

        RestartDelay delay = restart_delay(exit.status, table);
        if (delay.segv)
            stdout_printf("Will restart segv prog after %ld secs\n", delay.seconds);
        else
            stdout_printf("Will restart normal prog after %ld secs\n", delay.seconds);
        sleep_ms(scaled_ms(delay.seconds));

        start_entry(table, exit.index, code, dirs);
        if (entry.pid < 0)
            return WaitResult::Stop;
    }
}

void supervise(ProcTable &table, const WatchdogDirs &dirs)
{
    int last_code = 0;
    for (;;) {
        kill_all(table);
        table.boot = boot_state_ok(dirs);
        table.upgraded = boot_upgraded(dirs);
        bootcount_cycle(table, dirs);
        for (int i = 0; i < table.count && i < kMaxEntries; ++i) {
            start_entry(table, i, last_code, dirs);
            if (table.entries[i].pid < 0)
                return;
        }
        WaitResult result = wait_children(table, last_code, dirs);
        if (result == WaitResult::NewCycle)
            continue;
        if (result == WaitResult::Stop)
            return;
        if (clear_bootchk(dirs) != 1) {
            stdout_printf("failed for normal boot, exit");
            return;
        }
        stdout_printf("failed boot, then clean bootchk, and try again");
        // The next upgrade starts with a clean count.
        bootcount_write(dirs, 0);
        // After a crash or a failed attempt the factory files start after the
        // normal delay, not at once: the processes of a cycle share one
        // failing moment.
        if (result == WaitResult::BootCrash) {
            stdout_printf("Will restart normal prog after %ld secs\n", kRestartDelayS);
            sleep_ms(scaled_ms(kRestartDelayS));
        }
    }
}

#include "watchdog/launch.h"

#include "watchdog/fs_util.h"
#include "watchdog/restart_policy.h"
#include "watchdog/stdout_print.h"
#include "watchdog/time_util.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

void argv_add(ChildArgv &a, const char *text)
{
    if (a.argc >= kArgSlots - 1)
        return;
    snprintf(a.slot[a.argc], kArgSlotSize, "%s", text);
    a.argv[a.argc] = a.slot[a.argc];
    ++a.argc;
    a.argv[a.argc] = nullptr;
}

// The dispositions that system() changes while a command runs.
constexpr int kSystemSignals[] = {SIGINT, SIGQUIT};
struct sigaction g_saved[sizeof kSystemSignals / sizeof kSystemSignals[0]];
bool g_have_saved = false;

[[noreturn]] void child_exec(const ChildArgv &a, pid_t watchdog)
{
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The watchdog may have died before the request above took effect.
    if (getppid() != watchdog)
        _exit(0);
    launch_child_signals();
    close_inherited_fds(3);
    execv(a.argv[0], a.argv);
    char msg[kArgSlotSize + 256];
    int n = snprintf(msg, sizeof msg, "failed to exec %s, error is %s\n", a.argv[0], strerror(errno));
    if (n > 0) {
        size_t len = static_cast<size_t>(n) < sizeof msg ? static_cast<size_t>(n) : sizeof msg - 1;
        msg[len - 1] = '\n';  // a cut message still ends its line
        ssize_t ignored = write(STDOUT_FILENO, msg, len);
        (void)ignored;
    }
    // _exit: the watchdog's stdio state must not be flushed a second time.
    _exit(APP_RETCODE_ERROR);
}

}  // namespace

void launch_child_signals()
{
    if (!g_have_saved)
        return;
    for (size_t i = 0; i < sizeof kSystemSignals / sizeof kSystemSignals[0]; ++i)
        sigaction(kSystemSignals[i], &g_saved[i], nullptr);
}

void launch_signals_save()
{
    for (size_t i = 0; i < sizeof kSystemSignals / sizeof kSystemSignals[0]; ++i)
        sigaction(kSystemSignals[i], nullptr, &g_saved[i]);
    g_have_saved = true;
}

void child_argv_build(ChildArgv &a, const char *path, const char *alive_path, int code, bool debug,
                      bool data_dirs, const WatchdogDirs &dirs)
{
    a.argc = 0;
    a.argv[0] = nullptr;
    argv_add(a, path);
    if (code != 0) {
        char num[16];
        snprintf(num, sizeof num, "%d", code);
        argv_add(a, "-r");
        argv_add(a, num);
    }
    if (debug)
        argv_add(a, "-d");
    if (alive_path && alive_path[0]) {
        argv_add(a, "-A");
        argv_add(a, alive_path);
    }
    if (data_dirs) {
        argv_add(a, "-T");
        argv_add(a, dirs.tmp);
        argv_add(a, "-D");
        argv_add(a, dirs.data);
    }
}

pid_t launch_process(const char *path, const char *alive_path, int code, int debug, int data_dirs,
                     const WatchdogDirs &dirs)
{
    ChildArgv a;
    child_argv_build(a, path, alive_path, code, debug == 1, data_dirs == 1, dirs);
    pid_t self = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        stdout_printf("failed to fork");
        return -1;
    }
    if (pid == 0)
        child_exec(a, self);
    return pid;
}

void start_entry(ProcTable &table, int index, int code, const WatchdogDirs &dirs)
{
    ProcEntry &entry = table.entries[index];
    char path[8192];
    if (table.boot == 1)
        path_join(path, sizeof path, dirs.data, entry.name);
    else
        snprintf(path, kPathFieldSize, "%s", entry.name);
    // A fresh process owes nothing for its predecessor's missed checks, and
    // has not been seen alive yet.
    entry.missing = 0;
    entry.seen_alive = 0;
    entry.started_ms = monotonic_ms();
    entry.proven = 0;
    entry.pid = launch_process(path, entry.alive_path, code, table.debug, table.boot, dirs);
}

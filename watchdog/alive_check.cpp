#include "watchdog/alive_check.h"

#include "common/intervals.h"
#include "common/sleep.h"
#include "watchdog/killall.h"
#include "watchdog/run_file.h"
#include "watchdog/time_util.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr uint32_t kMissesBeforeKill = 3;

bool entry_watched(const ProcEntry &entry) { return entry.alive_path[0] != '\0'; }

void entry_kill(ProcTable &table, ProcEntry &entry)
{
    char when[64];
    time_text(when, sizeof when);
    run_file_event(table.run_fd, kAliveLineSize, "%s: %s is not alive, and we will kill it.\n", when, entry.name);
    entry.missing = 0;
    // Set before the kill: the main thread may reap the process before
    // killall has even returned, and must then see why it died.
    entry.killed = 1;
    killall_name(entry.name);
}

}  // namespace

void alive_check_pass(ProcTable &table)
{
    for (int i = 0; i < table.count && i < kMaxEntries; ++i) {
        ProcEntry &entry = table.entries[i];
        if (entry.pid <= 0 || !entry_watched(entry))
            continue;
        if (unlink(entry.alive_path) == 0 || errno != ENOENT) {
            entry.missing = 0;
            entry.seen_alive = 1;
            continue;
        }
        if (++entry.missing >= kMissesBeforeKill)
            entry_kill(table, entry);
    }
}

void *check_alive(void *arg)
{
    ProcTable &table = *static_cast<ProcTable *>(arg);
    for (;;) {
        sleep_ms(kAliveCheckMs);
        alive_check_pass(table);
    }
    return nullptr;
}

void start_alive_check(ProcTable &table)
{
    bool any = false;
    for (int i = 0; i < table.count && i < kMaxEntries; ++i)
        any = any || entry_watched(table.entries[i]);
    if (!any)
        return;
    pthread_attr_t attr;
    pthread_t thread;
    bool started = pthread_attr_init(&attr) == 0;
    if (started) {
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        started = pthread_create(&thread, &attr, check_alive, &table) == 0;
        pthread_attr_destroy(&attr);
    }
    if (!started) {
        char when[64];
        time_text(when, sizeof when);
        run_file_event(table.run_fd, kAliveLineSize, "%s: create pthread check_alive failed\n", when);
    }
}

#include "watchdog/boot_count.h"

#include "common/intervals.h"
#include "common/json_file.h"
#include "common/json_tree.h"
#include "watchdog/fs_util.h"
#include "watchdog/run_file.h"
#include "watchdog/stdout_print.h"
#include "watchdog/time_util.h"

#include <cjson/cJSON.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kCountMember[] = "failed";

void count_path(const WatchdogDirs &dirs, char *buf, size_t size) { path_join(buf, size, dirs.data, kBootCountFile); }

// Why a record read as `root` (nullptr: failed with `err`) is unusable, or
// nullptr with the count in `*failed`.
const char *record_damage(const cJSON *root, int err, int *failed)
{
    if (!root) {
        if (err == EFBIG)
            return "larger than 64 KiB";
        if (err == EISDIR || err == EINVAL)
            return "not a regular file";
        return err ? strerror(err) : "empty or not JSON";
    }
    const cJSON *n = cJSON_IsObject(root) ? cJSON_GetObjectItem(root, kCountMember) : nullptr;
    if (!cJSON_IsNumber(n))
        return "no count in it";
    double v = n->valuedouble;
    if (!(v >= 0 && v < kBootAttempts) || v != static_cast<int>(v))
        return "count out of range";
    *failed = static_cast<int>(v);
    return nullptr;
}

}  // namespace

int bootcount_read(const WatchdogDirs &dirs)
{
    char path[8192];
    count_path(dirs, path, sizeof path);
    struct stat st;
    if (lstat(path, &st) != 0)
        return 0;
    int err = 0;
    JsonTree root(read_json_file(path, &err));
    int failed = 0;
    const char *why = record_damage(root.get(), err, &failed);
    root.reset();
    if (why) {
        // Never a reason to roll back: a record nobody can read counts nothing.
        stdout_printf("boot count %s is damaged (%s), counting from 0\n", path, why);
        tree_remove(path);
        return 0;
    }
    return failed;
}

int bootcount_write(const WatchdogDirs &dirs, int failed)
{
    char path[8192];
    count_path(dirs, path, sizeof path);
    struct stat st;
    bool exists = lstat(path, &st) == 0;
    if (failed <= 0 && !exists)
        return 0;
    // Anything but a file in its place (a directory, a FIFO) would keep the
    // record from being replaced.
    if (exists && !S_ISREG(st.st_mode))
        tree_remove(path);
    // Zero is written, not unlinked: the written file is synced, so a power
    // cut cannot bring back a count that a proven run forgot.
    char text[64];
    int n = snprintf(text, sizeof text, "{\"%s\":%d}", kCountMember, failed > 0 ? failed : 0);
    if (write_text_file(path, text, static_cast<size_t>(n)) == 0)
        return 0;
    stdout_printf("cannot record the failed attempts of the upgrade in %s: %s\n", path, strerror(errno));
    return -1;
}

void bootcount_cycle(ProcTable &table, const WatchdogDirs &dirs)
{
    table.failed_runs = table.upgraded ? bootcount_read(dirs) : 0;
}

void bootcount_proofs(ProcTable &table, const WatchdogDirs &dirs)
{
    int64_t now = monotonic_ms();
    for (int i = 0; i < table.count && i < kMaxEntries; ++i) {
        ProcEntry &entry = table.entries[i];
        if (entry.pid <= 0 || entry.proven || !run_proven(now - entry.started_ms))
            continue;
        entry.proven = 1;
        if (!table.upgraded || table.failed_runs <= 0)
            continue;
        stdout_printf("%s has run for %ld secs, so the upgrade proved itself: %d failed attempts forgotten\n",
                      entry.name, kBootProofS, table.failed_runs);
        table.failed_runs = 0;
        bootcount_write(dirs, 0);
    }
}

int64_t bootcount_deadline(const ProcTable &table)
{
    if (!table.upgraded || table.failed_runs <= 0)
        return -1;
    int64_t next = -1;
    for (int i = 0; i < table.count && i < kMaxEntries; ++i) {
        const ProcEntry &entry = table.entries[i];
        if (entry.pid <= 0 || entry.proven)
            continue;
        int64_t due = entry.started_ms + kBootProofMs;
        if (next < 0 || due < next)
            next = due;
    }
    return next;
}

bool bootcount_run_ended(ProcTable &table, const ProcEntry &entry, const ExitStatus &status,
                         const WatchdogDirs &dirs)
{
    if (!table.upgraded || entry.proven || !counts_as_failed_attempt(status))
        return false;
    if (table.failed_runs < 0)
        table.failed_runs = 0;
    ++table.failed_runs;
    if (table.failed_runs < kBootAttempts) {
        stdout_printf("%s ended within %ld secs of its start: failed attempt %d of %d of the upgrade\n", entry.name,
                      kBootProofS, table.failed_runs, kBootAttempts);
        bootcount_write(dirs, table.failed_runs);
        return false;
    }
    char when[64];
    time_text(when, sizeof when);
    run_file_event(table.run_fd, kAliveLineSize,
                   "%s: upgrade failed: %s ended within %ld secs of its start %d times in a row, rolling back\n",
                   when, entry.name, kBootProofS, kBootAttempts);
    stdout_printf("%s ended within %ld secs of its start %d times in a row, so the upgrade failed\n", entry.name,
                  kBootProofS, kBootAttempts);
    return true;
}

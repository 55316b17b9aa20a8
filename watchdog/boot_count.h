// Boot counting for an upgraded installation: a run proves the upgrade by
// lasting kBootProofMs, and kBootAttempts runs in a row that end earlier
// make it a failed upgrade, which is rolled back like a failed boot. The
// count is kept in .bootcount beside .bootchk, so that it survives a
// restart of the watchdog and of the router, while a damaged count can
// never touch the boot decision or the engine's reading of .bootchk.
#pragma once

#include "watchdog/paths.h"
#include "watchdog/process_table.h"
#include "watchdog/restart_policy.h"

#include <cstdint>

// The recorded failed attempts, 0 to kBootAttempts - 1; 0 without a record.
// A damaged record (not a regular file, too large, not JSON, no count or
// one out of range) is reported, removed and read as 0.
int bootcount_read(const WatchdogDirs &dirs);

// Records `failed` attempts as {"failed":N}, replaced atomically and synced;
// without a record, 0 writes nothing. Returns 0, or -1 after printing why.
int bootcount_write(const WatchdogDirs &dirs, int failed);

// Before a cycle: the count of the installation about to start. The factory
// files are never counted: they have nothing to fall back to.
void bootcount_cycle(ProcTable &table, const WatchdogDirs &dirs);

// Marks the running entries whose run has lasted past the proof time; such
// a mark while attempts are counted forgets them.
void bootcount_proofs(ProcTable &table, const WatchdogDirs &dirs);

// While attempts are counted: the monotonic time at which the next running
// entry proves itself; -1 when there is nothing to wait for.
int64_t bootcount_deadline(const ProcTable &table);

// Counts the run of `entry` that ended with `status` (bootcount_proofs has
// seen it still running). True when that was the last attempt: the upgrade
// failed (said on standard output and in the run file) and is rolled back.
bool bootcount_run_ended(ProcTable &table, const ProcEntry &entry, const ExitStatus &status,
                         const WatchdogDirs &dirs);

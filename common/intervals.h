// Every long interval of the engine and the watchdog, in one place.
//
// The shipped programs use the real values. Test builds define
// KORVEX_CLOCK_SCALE (1000: one second passes in one millisecond) so that
// health checks, restart delays and crash back-offs can be exercised in a
// test suite of a few minutes. There is deliberately no run-time switch.
#pragma once

#ifndef KORVEX_CLOCK_SCALE
#define KORVEX_CLOCK_SCALE 1
#endif

// Milliseconds that stand for `seconds` of the shipped program. In a test
// build, an interval that something else has to fit into (a reply, an
// alive-file refresh) keeps at least `test_floor_ms`, so that a loaded
// machine cannot miss it; tests/proc/harness.py mirrors these floors.
constexpr long scaled_ms(long seconds, long test_floor_ms = 0)
{
    long ms = seconds * 1000L / KORVEX_CLOCK_SCALE;
    return KORVEX_CLOCK_SCALE > 1 && ms < test_floor_ms ? test_floor_ms : ms;
}

// Engine.
constexpr long kHealthCheckMs = scaled_ms(60);        // health-check period
constexpr long kUsr1ExitPauseMs = scaled_ms(30);      // pause before exit after SIGUSR1
constexpr long kStartFailurePauseMs = scaled_ms(10);  // pause before exit 129 on a failed start
constexpr long kExchangeTimeoutMs = scaled_ms(180, 10000);  // one local socket exchange, as a whole
// The health check's own delivery: a hung listener then ends the engine
// (four failures, three periods between them) within 60 + 4 * 15 + 3 * 60 =
// 300 s of the hang.
constexpr long kHealthDeliveryMs = scaled_ms(15, 4000);
// The exit message on a stop signal: the engine ends this long after
// SIGTERM at most (after SIGUSR1, its pause follows).
constexpr long kExitMessageMs = scaled_ms(10, 4000);

// Watchdog.
constexpr long kRestartDelayS = 10;                   // restart after a normal exit or signal
constexpr long kAliveCheckMs = scaled_ms(120, 1000);  // alive-file check period
// A process of an upgrade that dies by a signal this early (and was never
// seen alive) failed to boot: the upgrade is rolled back.
constexpr long kBootGraceMs = scaled_ms(60);
// A run of an upgrade proves the upgrade once it has lasted this long; one
// that ends earlier is a failed attempt. Test builds keep several seconds,
// so that a loaded machine cannot make a short run look long (a long one
// cannot look short: its time is measured from before the fork).
constexpr long kBootProofS = 600;
constexpr long kBootProofMs = scaled_ms(kBootProofS, 10000);
// While a run has yet to prove itself after failed attempts, the wait for
// exits wakes this often to notice the moment it does.
constexpr long kBootProofPollMs = scaled_ms(1, 20);
// Back-off after crashes by SIGSEGV: the first, second and third crash, then
// every later one (count shared by all supervised processes).
constexpr long kSegvDelayS[] = {60, 660, 1260, 7200};

"""Watchdog benchmarks (test build with the scaled clock: 1 shipped s = 1 ms).

1. Restart latency: from a child's exit to its successor's start, minus the
   10-second (10 ms) restart delay, over many restarts. Floor: a minimal
   supervisor loop (watchdog_floor: fork, exec, wait, sleep) restarting the
   same helper; the difference is what the watchdog adds.
2. Footprint: the watchdog's own resident memory and CPU time over a long
   supervision run (one watched process refreshing its alive file, one that
   exits every 100 ms and is restarted), against `sleep` over the same time.

Runs itself in private mount and pid namespaces, like the process tests.
Usage: watchdog_bench.py [restarts] [seconds]
"""
import os
import statistics
import subprocess
import sys
import time

if os.getpid() != 1:
    os.execvp("unshare", ["unshare", "--mount", "--pid", "--fork", "--mount-proc", sys.executable] + sys.argv)

import harness  # noqa: E402
from wdharness import CHILD, Tree, ms, reap  # noqa: E402

RESTARTS = int(sys.argv[1]) if len(sys.argv) > 1 else 300
SECONDS = float(sys.argv[2]) if len(sys.argv) > 2 else 20.0


def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100.0 * (len(values) - 1))))]


def gaps_ms(tree, name):
    """Exit-to-next-start gaps of `name`, minus the restart delay, in ms."""
    starts = tree.starts(name)
    exits = [int(r[1]) for r in tree.records(name) if r[0] == "exit"]
    delay_ns = ms(10) * 1e9
    return [(s.ns - e - delay_ns) / 1e6 for e, s in zip(exits, starts[1:RESTARTS + 1])]


def summary(values):
    return "median %.3f  p95 %.3f  max %.3f  mean %.3f" % (
        statistics.median(values), pct(values, 95), max(values), statistics.mean(values))


def restart_latency():
    t = Tree([("a", False)])
    try:
        t.child("a", "exit 0")
        t.child("floor", "exit 0")
        w = t.start()
        t.wait_starts("a", RESTARTS + 1, timeout=RESTARTS * 0.1 + 10)
        w.kill()
        subprocess.run([os.environ["KORVEX_WATCHDOG_FLOOR"], t.path("bin", "floor"), str(RESTARTS),
                        str(int(ms(10) * 1000))], check=True)
        watchdog, floor = gaps_ms(t, "a"), gaps_ms(t, "floor")
    finally:
        t.close()
    added = [w - f for w, f in zip(sorted(watchdog), sorted(floor))]
    print("restart latency, exit to successor's start minus the 10 ms delay, %d restarts (ms):" % len(watchdog))
    print("  watchdog:               " + summary(watchdog))
    print("  minimal loop (floor):   " + summary(floor))
    print("  added by the watchdog:  median %.3f  p95 %.3f  (quantile differences)"
          % (statistics.median(added), pct(watchdog, 95) - pct(floor, 95)))
    print("  target < 5 ms added: %s" % ("met" if pct(watchdog, 95) - pct(floor, 95) < 5 else "NOT met"))


def proc_usage(pid):
    """(VmRSS kB, VmHWM kB, CPU seconds of the process itself)."""
    status = dict(line.split(":", 1) for line in harness.read("/proc/%d/status" % pid).splitlines() if ":" in line)
    fields = harness.read("/proc/%d/stat" % pid).rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    cpu = (int(fields[11]) + int(fields[12])) / ticks  # utime + stime
    return int(status["VmRSS"].split()[0]), int(status["VmHWM"].split()[0]), cpu


def footprint():
    t = Tree([("a", True), ("b", False)])
    try:
        t.child("a", "alive 20")
        t.child("b", "exit 0 100")
        w = t.start()
        sleeper = subprocess.Popen(["sleep", str(SECONDS + 5)])
        time.sleep(SECONDS)
        rss, hwm, cpu = proc_usage(w.pid)
        s_rss, s_hwm, s_cpu = proc_usage(sleeper.pid)
        restarts = len(t.starts("b")) - 1
        sleeper.kill()
        sleeper.wait()
    finally:
        t.close()
        reap()
    shipped_h = SECONDS * harness.SCALE / 3600
    print("footprint over %.0f s (= %.1f shipped hours, %d restarts, %d alive checks):"
          % (SECONDS, shipped_h, restarts, int(SECONDS / harness.ALIVE_CHECK)))
    print("  watchdog: RSS %d kB (peak %d kB), CPU %.2f s (%.3f%% of one core)"
          % (rss, hwm, cpu, 100 * cpu / SECONDS))
    print("  sleep:    RSS %d kB (peak %d kB), CPU %.2f s" % (s_rss, s_hwm, s_cpu))


def main():
    for var in ("KORVEX_WATCHDOG", "KORVEX_WATCHDOG_FLOOR", "KORVEX_TEST_HELPERS"):
        if not os.environ.get(var):
            sys.exit("%s is not set (run through the bench_watchdog target)" % var)
    if not os.path.exists(CHILD):
        sys.exit("wd_child is not built")
    restart_latency()
    footprint()


main()

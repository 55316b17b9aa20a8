"""c.sys pidof over 500 processes, against the system `pidof` command.

Starts 499 copies of `sleep` under one distinctive name and a last one
under another, in a pid namespace of its own (so /proc holds little else),
then, from a script run by the engine's `ut` role:
  1. sys.pidof of the last one (the whole of /proc is read), with and
     without an argument filter, and of a name nobody runs;
  2. the system command through io.popen("pidof ..."), as a script would
     call it otherwise, and io.popen("true") as the cost of the spawn alone.

Usage: sys_pidof_bench.py <korvex-dpi-inner> <bundle init.lua> [calls]
"""
import os
import shutil
import subprocess
import sys
import tempfile

import bench_util

if os.getpid() != 1:
    os.execvp("unshare", ["unshare", "--mount", "--pid", "--fork", "--mount-proc", sys.executable] + sys.argv)

ENGINE, BUNDLE = sys.argv[1], sys.argv[2]
CALLS = int(sys.argv[3]) if len(sys.argv) > 3 else 2000
PROCESSES = 500

SCRIPT = r"""
local sys = require "c.sys"
local clock = require "c.time"
local function now()
    local s, ns = clock.get_uptime()
    return s * 1e9 + ns
end
-- The best of several rounds: the machine is shared, and other work only
-- ever adds time.
local ROUNDS = 9
local function per_call(n, fn)
    fn()
    local per_round = math.max(1, n // ROUNDS)
    local best = math.huge
    for _ = 1, ROUNDS do
        local t0 = now()
        for _ = 1, per_round do fn() end
        best = math.min(best, (now() - t0) / per_round)
    end
    return best
end
local function command(cmd)
    return function()
        local p = io.popen(cmd)
        local out = p:read("a")
        p:close()
        return out
    end
end
local N = %d
local last = assert(sys.pidof("kvxbench-last"), "last process not found")
assert(command("pidof kvxbench-last")() == last .. "\n", "system pidof disagrees")
local r = {
    hit = per_call(N, function() return sys.pidof("kvxbench-last") end),
    filtered = per_call(N, function() return sys.pidof("kvxbench-last", "3600") end),
    miss = per_call(N, function() return sys.pidof("kvxbench-none") end),
    first = per_call(N, function() return sys.pidof("kvxbench-sleep") end),
    system = per_call(N // 10, command("pidof kvxbench-last")),
    spawn = per_call(N // 10, command("true")),
}
for _, k in ipairs({ "hit", "filtered", "miss", "first", "system", "spawn" }) do
    print(string.format("RESULT %%s %%.0f", k, r[k]))
end
"""


def main():
    work = tempfile.mkdtemp(prefix="kvx-pidof-bench.")
    procs = []
    try:
        sleep = shutil.which("sleep")
        for name in ("kvxbench-sleep", "kvxbench-last"):
            os.symlink(sleep, os.path.join(work, name))
        ut = bench_util.ut_dir(work, ENGINE, BUNDLE)
        for i in range(PROCESSES):
            name = "kvxbench-last" if i == PROCESSES - 1 else "kvxbench-sleep"
            procs.append(subprocess.Popen([os.path.join(work, name), "3600"]))
        out = bench_util.run_script(ut, SCRIPT % CALLS)
        r = bench_util.keyed(out, ("hit", "filtered", "miss", "first", "system", "spawn"), 1000.0)
        system_only = r["system"] - r["spawn"]
        print("pidof over %d processes, %d calls, best of 9 rounds (us per call)" % (PROCESSES, CALLS))
        print("  c.sys pidof, last process           %9.1f" % r["hit"])
        print("  c.sys pidof, last process + filter  %9.1f" % r["filtered"])
        print("  c.sys pidof, name nobody runs       %9.1f" % r["miss"])
        print("  c.sys pidof, first process          %9.1f" % r["first"])
        print("  io.popen('pidof ...')               %9.1f   (%.1fx c.sys)" % (r["system"], r["system"] / r["hit"]))
        print("  io.popen('true'), the spawn alone   %9.1f" % r["spawn"])
        print("  system pidof without the spawn      %9.1f   (%.1fx c.sys)" % (system_only, system_only / r["hit"]))
    finally:
        for p in procs:
            p.kill()
        for p in procs:
            p.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

"""c.mnf over the OpenWrt backend (nftables) against the nft command.

Run through tests/openwrt/setup.sh, so that everything happens in a network
namespace of its own. In the same run:
  1. ipset_add_list of 10 000 addresses into a new set, from a script run
     by the engine's `ut` role, against `nft -f` of one batch that makes the
     same set with the same elements;
  2. ipset_test of 200 of those addresses, one call each, against one
     `nft get element` of all 200 in one batch, and against 200 `nft get
     element` commands (what a script without c.mnf would run);
  3. for scale: ipset_add of one more address and ipset_list of the set;
  4. the cost of one change against the size of the set: one ipset_add and
     one ipset_del of one address into a set of 100, 10 000 and 100 000
     entries, and the engine's memory with the set filled to 100 000, for
     this library, for the simulated gateway's library (its state file; the
     same engine started with it first on its library path) and for the nft
     command (`nft add element` / `nft delete element`, its peak memory).

Usage: setup.sh python3 owrt_bench.py <korvex-dpi-inner> <bundle init.lua> [<dir of the simulator's libcsecapi.so>]
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

import bench_util

ENGINE, BUNDLE = sys.argv[1], sys.argv[2]
SIM_LIB = sys.argv[3] if len(sys.argv) > 3 else None
SIZES = (100, 10000, 100000)
ROUNDS = 5
ENTRIES = 10000
TESTS = 200

SCRIPT = r"""
local mnf = require "c.mnf"
local cjson = require "cjson"
local clock = require "c.time"
local function now()
    local s, ns = clock.get_uptime()
    return s * 1e9 + ns
end
local D = '{"setname":"bench","settype":"hash:net","direction":"dst"}'
local entries = {}
for i = 0, %d - 1 do entries[#entries + 1] = string.format("10.%%d.%%d.%%d", i // 65536, (i // 256) %% 256, i %% 256) end
local list = cjson.encode(entries)
local best = { add = math.huge, test = math.huge, one = math.huge, listing = math.huge }
for _ = 1, %d do
    os.execute("nft delete table inet korvex 2>/dev/null")
    local t0 = now()
    assert(mnf.ipset_add_list(D, list))
    best.add = math.min(best.add, now() - t0)
    t0 = now()
    for i = 1, %d do assert(mnf.ipset_test("bench", entries[i * 37])) end
    best.test = math.min(best.test, now() - t0)
    t0 = now()
    assert(mnf.ipset_add(D, "11.0.0.1"))
    best.one = math.min(best.one, now() - t0)
    t0 = now()
    assert(#mnf.ipset_list("bench")[1].Entries == #entries + 1)
    best.listing = math.min(best.listing, now() - t0)
end
os.execute("nft delete table inet korvex 2>/dev/null")
for _, k in ipairs({ "add", "test", "one", "listing" }) do print(string.format("RESULT %%s %%.0f", k, best[k])) end
"""


SCALE_SCRIPT = r"""
local mnf = require "c.mnf"
local cjson = require "cjson"
local clock = require "c.time"
local function now()
    local s, ns = clock.get_uptime()
    return s * 1e9 + ns
end
local function status(key)
    for line in io.lines("/proc/self/status") do
        local v = line:match("^" .. key .. ":%%s+(%%d+) kB")
        if v then return tonumber(v) end
    end
end
local D = '{"setname":"scale","settype":"hash:net","direction":"dst"}'
local function entry(i) return string.format("10.%%d.%%d.%%d", i // 65536, (i // 256) %% 256, i %% 256) end
os.execute("nft delete table inet korvex 2>/dev/null")
print(string.format("RESULT rss_start %%d", status("VmRSS")))
local have = 0
for _, n in ipairs({ %s }) do
    local t = {}
    for i = have, n - 1 do t[#t + 1] = entry(i) end
    local t0 = now()
    assert(mnf.ipset_add_list(D, cjson.encode(t)), "fill")
    print(string.format("RESULT fill_%%d %%.0f", n, now() - t0))
    t = nil
    collectgarbage()
    have = n
    local add, del = math.huge, math.huge
    for _ = 1, %d do
        t0 = now()
        assert(mnf.ipset_add(D, "11.0.0.1"), "add")
        add = math.min(add, now() - t0)
        t0 = now()
        assert(mnf.ipset_del(D, "11.0.0.1"), "del")
        del = math.min(del, now() - t0)
    end
    print(string.format("RESULT add_%%d %%.0f", n, add))
    print(string.format("RESULT del_%%d %%.0f", n, del))
end
collectgarbage()
print(string.format("RESULT rss_full %%d", status("VmRSS")))
print(string.format("RESULT hwm_full %%d", status("VmHWM")))
os.execute("nft delete table inet korvex 2>/dev/null")
"""


def run_script(work, text, env=None):
    out = bench_util.run_script(os.path.join(work, "ut"), text, name="script.lua", env=env)
    return bench_util.keyed(out), out


def nft_timed(args, stdin=None):
    """Seconds and peak RSS (KiB) of one nft command."""
    t0 = time.monotonic()
    p = subprocess.Popen(["nft"] + args, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(p.pid, 0)
    if status != 0:
        raise RuntimeError("nft %s failed" % " ".join(args))
    return time.monotonic() - t0, usage.ru_maxrss


def nft_scale(work):
    r = {}
    subprocess.run(["nft", "delete", "table", "inet", "bench"], stderr=subprocess.DEVNULL)
    nft("add", "table", "inet", "bench")
    nft("add", "set", "inet", "bench", "s", "{ type ipv4_addr; flags interval; }")
    have = 0
    for n in SIZES:
        batch = os.path.join(work, "fill.nft")
        with open(batch, "w") as f:
            f.write("add element inet bench s { %s }\n" % ", ".join(address(i) for i in range(have, n)))
        r["fill_%d" % n], _ = nft_timed(["-f", batch])
        have = n
        rounds = 1 if n >= 100000 else ROUNDS
        add = dele = float("inf")
        peak = 0
        for _ in range(rounds):
            t, m = nft_timed(["add", "element", "inet", "bench", "s", "{ 11.0.0.1 }"])
            add, peak = min(add, t), max(peak, m)
            t, m = nft_timed(["delete", "element", "inet", "bench", "s", "{ 11.0.0.1 }"])
            dele, peak = min(dele, t), max(peak, m)
        r["add_%d" % n], r["del_%d" % n], r["peak_%d" % n] = add, dele, peak
    subprocess.run(["nft", "delete", "table", "inet", "bench"], stderr=subprocess.DEVNULL)
    return r


def scale(work):
    # Room for 100 000 entries in a set, for this library and the simulator's.
    os.makedirs(os.path.join(os.environ["KORVEX_GATEWAY_ROOT"], "etc/config"), exist_ok=True)
    with open(os.path.join(os.environ["KORVEX_GATEWAY_ROOT"], "etc/config/korvex"), "w") as f:
        f.write("config gateway 'limits'\n\toption max_entries_per_set '200000'\n")
    text = SCALE_SCRIPT % (", ".join(str(n) for n in SIZES), ROUNDS)
    ours, out = run_script(work, text)
    if "hwm_full" not in ours:
        sys.exit("scale script failed:\n" + out)
    sim = None
    if SIM_LIB:
        state = os.path.join(work, "state.json")
        with open(state, "w") as f:
            f.write('{"limits": {"MaxElementsPerIpset": 200000}}')
        env = dict(os.environ, LD_LIBRARY_PATH=SIM_LIB, KORVEX_GATEWAY_STATE=state)
        sim, out = run_script(work, text, env)
        if "hwm_full" not in sim:
            sys.exit("scale script (simulator) failed:\n" + out)
    cmd = nft_scale(work)

    print()
    print("One change against the size of the set: ipset_add / ipset_del of one address, best of %d (ms)" % ROUNDS)
    head = "  %-10s %12s %12s" % ("entries", "c.mnf add", "c.mnf del")
    if sim:
        head += " %12s %12s" % ("sim add", "sim del")
    head += " %12s %12s" % ("nft add", "nft del")
    print(head)
    for n in SIZES:
        line = "  %-10d %12.2f %12.2f" % (n, ours["add_%d" % n] / 1e6, ours["del_%d" % n] / 1e6)
        if sim:
            line += " %12.2f %12.2f" % (sim["add_%d" % n] / 1e6, sim["del_%d" % n] / 1e6)
        line += " %12.2f %12.2f" % (cmd["add_%d" % n] * 1000, cmd["del_%d" % n] * 1000)
        print(line)
    big = SIZES[-1]
    print("  growth %d -> %d entries: c.mnf add %.2fx, del %.2fx%s; nft add %.1fx, del %.1fx" % (
        SIZES[0], big, ours["add_%d" % big] / ours["add_%d" % SIZES[0]], ours["del_%d" % big] / ours["del_%d" % SIZES[0]],
        ", sim add %.1fx, del %.1fx" % (sim["add_%d" % big] / sim["add_%d" % SIZES[0]],
                                        sim["del_%d" % big] / sim["del_%d" % SIZES[0]]) if sim else "",
        cmd["add_%d" % big] / cmd["add_%d" % SIZES[0]], cmd["del_%d" % big] / cmd["del_%d" % SIZES[0]]))
    print("  filling to %s entries (ms): c.mnf %s%s; nft -f %s" % (
        "/".join(str(n) for n in SIZES), "/".join("%.0f" % (ours["fill_%d" % n] / 1e6) for n in SIZES),
        "; sim " + "/".join("%.0f" % (sim["fill_%d" % n] / 1e6) for n in SIZES) if sim else "",
        "/".join("%.0f" % (cmd["fill_%d" % n] * 1000) for n in SIZES)))
    print("  memory with %d entries (MiB): engine RSS %.1f (%.1f at start, peak %.1f)%s; nft peak per command %.1f" % (
        big, ours["rss_full"] / 1024, ours["rss_start"] / 1024, ours["hwm_full"] / 1024,
        "; with the simulator RSS %.1f (peak %.1f)" % (sim["rss_full"] / 1024, sim["hwm_full"] / 1024) if sim else "",
        cmd["peak_%d" % big] / 1024))


def address(i):
    return "10.%d.%d.%d" % (i // 65536, (i // 256) % 256, i % 256)


def best_of(fn, prep=None):
    best = float("inf")
    for _ in range(ROUNDS):
        if prep:
            prep()
        t0 = time.monotonic()
        fn()
        best = min(best, time.monotonic() - t0)
    return best


def nft(*args):
    subprocess.run(["nft"] + list(args), check=True, stdout=subprocess.DEVNULL)


def main():
    if not os.environ.get("KORVEX_GATEWAY_ROOT"):
        sys.exit("run through tests/openwrt/setup.sh")
    work = tempfile.mkdtemp(prefix="kvx-owrt-bench.")
    try:
        ut = bench_util.ut_dir(work, ENGINE, BUNDLE)
        out = bench_util.run_script(ut, SCRIPT % (ENTRIES, ROUNDS, TESTS))
        r = bench_util.keyed(out, ("add", "test", "one", "listing"), 1e6)

        tested = [address(i * 37 - 1) for i in range(1, TESTS + 1)]
        add_batch = os.path.join(work, "add.nft")
        with open(add_batch, "w") as f:
            f.write("add table inet bench\n"
                    "add set inet bench s { type ipv4_addr; flags interval; comment \"dst hash:net\"; }\n"
                    "add element inet bench s { %s }\n" % ", ".join(address(i) for i in range(ENTRIES)))
        get_batch = os.path.join(work, "get.nft")
        with open(get_batch, "w") as f:
            f.write("get element inet bench s { %s }\n" % ", ".join(tested))

        def fresh():
            subprocess.run(["nft", "delete", "table", "inet", "bench"], stderr=subprocess.DEVNULL)

        nft_add = best_of(lambda: nft("-f", add_batch), fresh)
        nft_get = best_of(lambda: nft("-f", get_batch))
        nft_gets = best_of(lambda: [nft("get", "element", "inet", "bench", "s", "{ %s }" % a) for a in tested])
        fresh()

        ms = 1000.0

        def row(label, value, note=""):
            print(("  %-46s %9.1f   %s" % (label, value, note)).rstrip())

        print("c.mnf over nftables against the nft command, %d entries, best of %d rounds (ms)" % (ENTRIES, ROUNDS))
        row("ipset_add_list of %d entries (new set)" % ENTRIES, r["add"])
        row("nft -f, the same set in one batch", nft_add * ms, "(c.mnf %.2fx)" % (r["add"] / (nft_add * ms)))
        row("ipset_test of %d entries, one call each" % TESTS, r["test"], "(%.2f per call)" % (r["test"] / TESTS))
        row("nft get element of the %d in one batch" % TESTS, nft_get * ms, "(c.mnf %.2fx)" % (r["test"] / (nft_get * ms)))
        row("nft get element, %d commands" % TESTS, nft_gets * ms, "(c.mnf %.2fx)" % (r["test"] / (nft_gets * ms)))
        row("ipset_add of one entry into the set", r["one"])
        row("ipset_list of the set", r["listing"])
        scale(work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

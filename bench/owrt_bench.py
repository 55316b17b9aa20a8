"""c.mnf over the OpenWrt backend (nftables) against the nft command.

Run through tests/openwrt/setup.sh, so that everything happens in a network
namespace of its own. In the same run:
  1. ipset_add_list of 10 000 addresses into a new set, from a script run
     by the engine's `ut` role, against `nft -f` of one batch that makes the
     same set with the same elements;
  2. ipset_test of 200 of those addresses, one call each, against one
     `nft get element` of all 200 in one batch, and against 200 `nft get
     element` commands (what a script without c.mnf would run);
  3. for scale: ipset_add of one more address and ipset_list of the set.

Usage: setup.sh python3 owrt_bench.py <korvex-dpi-inner> <bundle init.lua>
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

ENGINE, BUNDLE = sys.argv[1], sys.argv[2]
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
        os.symlink(ENGINE, os.path.join(work, "ut"))
        shutil.copy(BUNDLE, os.path.join(work, "init.lua"))
        script = os.path.join(work, "bench.lua")
        with open(script, "w") as f:
            f.write(SCRIPT % (ENTRIES, ROUNDS, TESTS))
        out = subprocess.run([os.path.join(work, "ut"), script], check=True, stdout=subprocess.PIPE,
                             universal_newlines=True).stdout
        r = {}
        for line in out.splitlines():
            if line.startswith("RESULT "):
                _, key, value = line.split()
                r[key] = float(value) / 1e6
        if len(r) != 4:
            sys.exit("bench script failed:\n" + out)

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
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

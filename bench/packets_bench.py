"""pcap reading and c.socket sending, from scripts, against C and tcpdump.

Runs in network, mount and pid namespaces of its own, with one veth pair
(IPv6 off), so no frame reaches a real interface:
  1. a capture file of 1 000 000 packets (or as given) read with `next` in a script run
     by the engine's `ut` role, against a C loop over pcap_next_ex and
     against `tcpdump -r <file> -w /dev/null`;
     and against a script loop that only makes the two strings `next`
     returns per packet (what any script interface of this shape costs);
     and the loops for socket.select: `read`, and `read_batch` with only the
     data and with the times and lengths too; and, on a file of DNS queries,
     read_batch with the addresses, ports and DNS header fields read in Lua
     with string.unpack against the same with pcap.tuple;
  2. raw_pip_send of 60-byte frames on the veth pair from a script,
     against a C loop doing socket/sendto/close per frame; and a
     c.socket sender's send against a C loop of sendto on one open socket;
  3. the thread queue's wake-up: from msgsend on a worker to the loop's
     socket.select waking on its waiter (median and 99th percentile),
     against one C thread writing its clock into a pipe and another
     waking in select.
Each figure is the best of several rounds (the machine is shared, and other
work only ever adds time).

Usage: packets_bench.py <korvex-dpi-inner> <bundle init.lua> <packets_floor> [packets]
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

import bench_util

if os.getpid() != 1:
    os.execvp("unshare", ["unshare", "--net", "--mount", "--pid", "--fork", "--mount-proc", sys.executable]
              + sys.argv)

ENGINE, BUNDLE, FLOOR = sys.argv[1], sys.argv[2], sys.argv[3]
PACKETS = int(sys.argv[4]) if len(sys.argv) > 4 else 1000000
SENDS = 500     # closing a packet socket waits for the kernel (an RCU grace period)
ROUNDS = 5
SEND_ROUNDS = 5
BURST = 200000   # frames through a kept socket
WAKES = 20000

READ_SCRIPT = r"""
local pcap = require "pcap"
local clock = require "c.time"
local s, ns = clock.get_uptime()
local t0 = s * 1e9 + ns
local h = assert(pcap.open_offline("%s"))
local n, sum = 0, 0
while true do
    local data, stamp, wirelen = h:next()
    if not data then break end
    n = n + 1
    sum = sum + wirelen
end
h:close()
s, ns = clock.get_uptime()
print(string.format("RESULT %%d %%.0f", n, s * 1e9 + ns - t0))
"""

# The loops for a script that waits in socket.select: `read` (never
# waits, integer times), and `read_batch` with only the data, then also
# the times and lengths.
READ_ONE_SCRIPT = READ_SCRIPT.replace("local data, stamp, wirelen = h:next()",
                                      "local data, sec, usec, wirelen = h:read()")

BATCH_SCRIPT = r"""
local pcap = require "pcap"
local clock = require "c.time"
local s, ns = clock.get_uptime()
local t0 = s * 1e9 + ns
local h = assert(pcap.open_offline("%s"))
local n, sum = 0, 0
local data, secs, usecs, lens = {}, {}, {}, {}
while true do
    local got = h:read_batch(256, data%s)
    if not got then break end
    for i = 1, got do sum = sum + #data[i] end
    n = n + got
end
h:close()
s, ns = clock.get_uptime()
print(string.format("RESULT %%d %%.0f", n, s * 1e9 + ns - t0))
"""

# Reading a DNS query's addresses, ports, id and flags, per packet: in
# Lua, and with pcap.tuple.
PARSE_SCRIPT = r"""
local pcap = require "pcap"
local clock = require "c.time"
local unpack, tuple, byte, sub = string.unpack, pcap.tuple, string.byte, string.sub
local s, ns = clock.get_uptime()
local t0 = s * 1e9 + ns
local h = assert(pcap.open_offline("%s"))
local n, dns = 0, 0
local data = {}
while true do
    local got = h:read_batch(256, data)
    if not got then break end
    for i = 1, got do
        local p = data[i]
%s
    end
    n = n + got
end
h:close()
s, ns = clock.get_uptime()
assert(dns == n, "every packet a DNS query")
print(string.format("RESULT %%d %%.0f", n, s * 1e9 + ns - t0))
"""

PARSE_LUA = """
        if unpack(">I2", p, 13) == 0x0800 and byte(p, 15) >> 4 == 4 then
            local ihl, proto = (byte(p, 15) & 15) * 4, byte(p, 24)
            local src, dst = sub(p, 27, 30), sub(p, 31, 34)
            if proto == 17 then
                local sport, dport = unpack(">I2I2", p, 15 + ihl)
                if dport == 53 then
                    local id, flags = unpack(">I2I2", p, 23 + ihl)
                    dns = dns + 1
                end
            end
        end"""

PARSE_NATIVE = """
        local version, proto, src, dst, sport, dport, at = tuple(p)
        if proto == 17 and dport == 53 then
            local id, flags = unpack(">I2I2", p, at)
            dns = dns + 1
        end"""

# What a script pays for the results alone: per packet a fresh string of
# the packet's size and a fresh short one, as `next` returns them.
STRINGS_SCRIPT = r"""
local clock = require "c.time"
local big = string.rep("\165", 256)
local s, ns = clock.get_uptime()
local t0 = s * 1e9 + ns
local n = 0
for i = 0, %d - 1 do
    local data = big:sub(1, 60 + i %% 128)
    local stamp = string.pack("<I8I8", i, 1700000000)
    n = n + 1
end
s, ns = clock.get_uptime()
print(string.format("RESULT %%d %%.0f", n, s * 1e9 + ns - t0))
"""

SEND_SCRIPT = r"""
local sck = require "c.socket"
local clock = require "c.time"
local frame = "\2\0\0\0\0\2\2\0\0\0\0\1\8\0" .. string.rep("\0", 46)
local mac = frame:sub(1, 6)
local s, ns = clock.get_uptime()
local t0 = s * 1e9 + ns
local sent = 0
for _ = 1, %d do
    if sck.raw_pip_send(frame, mac, %d) then sent = sent + 1 end
end
s, ns = clock.get_uptime()
print(string.format("RESULT %%d %%.0f", sent, s * 1e9 + ns - t0))
"""


SENDER_SCRIPT = r"""
local sck = require "c.socket"
local clock = require "c.time"
local frame = "\2\0\0\0\0\2\2\0\0\0\0\1\8\0" .. string.rep("\0", 46)
local mac = frame:sub(1, 6)
local s, ns = clock.get_uptime()
local t0 = s * 1e9 + ns
local sender = assert(sck.sender(%d))
local sent = 0
for _ = 1, %d do
    if sender:send(frame, mac) then sent = sent + 1 end
end
sender:close()
s, ns = clock.get_uptime()
print(string.format("RESULT %%d %%.0f", sent, s * 1e9 + ns - t0))
"""

# Appended to the bundle: a worker that sends its clock to the loop thread
# and waits on its own waiter for the loop's answer before the next one.
WAKE_WORKER = r"""
local bench_thread, bench_clock, bench_runmsg = require "c.thread", require "c.time", lcmd_runmsg
function lcmd_runmsg(text)
    local loop, count = tostring(text):match("^wake (%d+) (%d+)$")
    if not loop then return bench_runmsg(text) end
    loop, count = math.tointeger(tonumber(loop)), math.tointeger(tonumber(count))
    local w = assert(bench_thread.waiter())
    for _ = 1, count do
        local s, ns = bench_clock.get_uptime("MONOTONIC")
        bench_thread.msgsend(loop, tostring(s * 1000000000 + ns))
        if not w:recv(10) then break end
    end
end
"""

WAKE_SCRIPT = r"""
local thread = require "c.thread"
local clock = require "c.time"
local socket = require "socket.core"
local w = assert(thread.waiter())
local worker = thread.run(string.format("wake %%d %%d", w:id(), %d))
local lat = {}
for _ = 1, %d do
    local ready = socket.select({ w }, nil, 10)
    if not ready[w] then break end
    local s, ns = clock.get_uptime("MONOTONIC")
    lat[#lat + 1] = s * 1000000000 + ns - math.tointeger(tonumber(w:recv()))
    thread.msgsend(worker, "ack")
end
table.sort(lat)
print(string.format("RESULT %%d %%d %%d", #lat, lat[#lat // 2 + 1], lat[#lat * 99 // 100 + 1]))
"""


def result(out, what):
    """(count, nanoseconds) of the first RESULT line."""
    for words in bench_util.results(out):
        return int(words[0]), float(words[1])
    sys.exit("%s failed:\n%s" % (what, out))


def best_rate(run, expected, what, rounds=ROUNDS):
    best = 0.0
    for _ in range(rounds):
        n, ns = run()
        if n != expected:
            sys.exit("%s: %d of %d packets" % (what, n, expected))
        best = max(best, n / (ns / 1e9))
    return best


def best_wake(run):
    """(median, p99) in nanoseconds of the round with the lowest median."""
    return min(tuple(float(x) for x in run()) for _ in range(ROUNDS))


def run_script(ut, text):
    return result(bench_util.run_script(ut, text), "script")


def run_floor(*args):
    out = subprocess.run([FLOOR] + list(args), check=True, stdout=subprocess.PIPE, universal_newlines=True).stdout
    return result(out, "packets_floor")


def run_tcpdump(path):
    t0 = time.monotonic_ns()
    subprocess.run(["tcpdump", "-Z", "root", "-r", path, "-w", "/dev/null"], check=True,
                   stderr=subprocess.DEVNULL)
    return PACKETS, float(time.monotonic_ns() - t0)


def setup_link():
    for conf in ("all", "default"):
        with open("/proc/sys/net/ipv6/conf/%s/disable_ipv6" % conf, "w") as f:
            f.write("1")
    subprocess.run(["ip", "link", "add", "bench0", "type", "veth", "peer", "name", "bench1"], check=True)
    for dev in ("bench0", "bench1"):
        subprocess.run(["ip", "link", "set", dev, "up"], check=True)
    with open("/sys/class/net/bench0/ifindex") as f:
        return int(f.read())


def main():
    subprocess.run(["mount", "-t", "sysfs", "sysfs", "/sys"], check=True)
    work = tempfile.mkdtemp(prefix="kvx-packets-bench.")
    try:
        ut = bench_util.ut_dir(work, ENGINE, BUNDLE)
        capture = os.path.join(work, "million.pcap")
        subprocess.run([FLOOR, "write", capture, str(PACKETS)], check=True)

        lua = best_rate(lambda: run_script(ut, READ_SCRIPT % capture), PACKETS, "pcap next")
        one = best_rate(lambda: run_script(ut, READ_ONE_SCRIPT % capture), PACKETS, "pcap read")
        batch = best_rate(lambda: run_script(ut, BATCH_SCRIPT % (capture, "")), PACKETS, "pcap read_batch")
        batch_all = best_rate(lambda: run_script(ut, BATCH_SCRIPT % (capture, ", secs, usecs, lens")), PACKETS,
                              "pcap read_batch with times")
        c = best_rate(lambda: run_floor("read", capture), PACKETS, "pcap_next_ex")
        tcpdump = best_rate(lambda: run_tcpdump(capture), PACKETS, "tcpdump")
        strings = best_rate(lambda: run_script(ut, STRINGS_SCRIPT % PACKETS), PACKETS, "strings")
        print("reading a capture file of %d packets, best of %d rounds (packets/s)" % (PACKETS, ROUNDS))
        print("  pcap next from a script          %12.0f   (%.2fx the C loop)" % (lua, lua / c))
        print("  pcap read (integer times)        %12.0f   (%.2fx the C loop)" % (one, one / c))
        print("  pcap read_batch(256, data)       %12.0f   (%.2fx the C loop)" % (batch, batch / c))
        print("  read_batch with times, lengths   %12.0f   (%.2fx the C loop)" % (batch_all, batch_all / c))
        print("  C loop over pcap_next_ex         %12.0f" % c)
        print("  tcpdump -r -w /dev/null          %12.0f   (%.2fx the C loop)" % (tcpdump, tcpdump / c))
        dns = os.path.join(work, "dns.pcap")
        subprocess.run([FLOOR, "writedns", dns, str(PACKETS)], check=True)
        plain = best_rate(lambda: run_script(ut, PARSE_SCRIPT % (dns, "dns = dns + 1")), PACKETS, "dns read")
        in_lua = best_rate(lambda: run_script(ut, PARSE_SCRIPT % (dns, PARSE_LUA)), PACKETS, "parse in Lua")
        native = best_rate(lambda: run_script(ut, PARSE_SCRIPT % (dns, PARSE_NATIVE)), PACKETS, "pcap.tuple")
        c_dns = best_rate(lambda: run_floor("read", dns), PACKETS, "pcap_next_ex on DNS")
        print("  DNS queries: read_batch only     %12.0f   (%.2fx the C loop on that file)" % (plain, plain / c_dns))
        print("  + 5-tuple, id, flags in Lua      %12.0f   (%.2fx; %.0f ns a packet for the parse)"
              % (in_lua, in_lua / c_dns, 1e9 / in_lua - 1e9 / plain))
        print("  + the same with pcap.tuple       %12.0f   (%.2fx; %.0f ns a packet for the parse)"
              % (native, native / c_dns, 1e9 / native - 1e9 / plain))
        print("  a script making the two result")
        print("  strings only, without reading    %12.0f   (%.2fx the C loop)" % (strings, strings / c))

        ifindex = setup_link()
        lua = best_rate(lambda: run_script(ut, SEND_SCRIPT % (SENDS, ifindex)), SENDS, "raw_pip_send",
                         SEND_ROUNDS)
        c = best_rate(lambda: run_floor("send", str(ifindex), str(SENDS)), SENDS, "sendto", SEND_ROUNDS)
        print("sending %d frames of 60 bytes on a veth pair, best of %d rounds (packets/s)" % (SENDS, SEND_ROUNDS))
        print("  c.socket raw_pip_send            %12.0f   (%.2fx the C loop)" % (lua, lua / c))
        print("  C socket/sendto/close per frame  %12.0f" % c)
        lua = best_rate(lambda: run_script(ut, SENDER_SCRIPT % (ifindex, BURST)), BURST, "sender")
        c = best_rate(lambda: run_floor("sendkeep", str(ifindex), str(BURST)), BURST, "sendto kept")
        print("sending %d frames of 60 bytes through one kept socket, best of %d rounds (packets/s)"
              % (BURST, ROUNDS))
        print("  c.socket sender:send             %12.0f   (%.2fx the C loop)" % (lua, lua / c))
        print("  C sendto on one open socket      %12.0f" % c)

        with open(os.path.join(work, "init.lua"), "a") as f:
            f.write(WAKE_WORKER)
        lua = best_wake(lambda: bench_util.results(bench_util.run_script(ut, WAKE_SCRIPT % (WAKES, WAKES)))[0][1:])
        c = best_wake(lambda: bench_util.results(
            subprocess.run([FLOOR, "wake", str(WAKES)], check=True, stdout=subprocess.PIPE,
                           universal_newlines=True).stdout)[0])
        print("queue wake-up, %d messages one at a time, best median of %d rounds (microseconds)" % (WAKES, ROUNDS))
        print("  worker msgsend -> loop select    median %7.1f   p99 %7.1f   (%.2fx the pipe's median)"
              % (lua[0] / 1e3, lua[1] / 1e3, lua[0] / c[0]))
        print("  C pipe write -> select           median %7.1f   p99 %7.1f" % (c[0] / 1e3, c[1] / 1e3))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

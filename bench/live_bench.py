"""Live capture from scripts against C, over a veth pair, for a loop that
waits in socket.select and reads with read_batch.

Runs in network, mount and pid namespaces of its own with one veth pair
(bench0 <-> bench1, IPv6 off). A C sender puts DNS queries on bench1 at a
fixed rate; on bench0 a capture in immediate mode (snapshot length 600,
the library's default buffer, filter "udp dst port 53") takes them until it
has them all or none came for a second:
  - a C loop: poll, then pcap_dispatch until the buffer is empty;
  - a script loop: socket.select, then read_batch(256) until the buffer is
    empty, counting;
  - the same, reading each query's addresses, ports, id and flags
    (pcap.tuple and string.unpack).
For each rate: packets the capture reported received and dropped (stats()),
packets the loop got, and the capture process's CPU time per packet. The
machine is shared and the sender spins on one processor: the rates where
losses start are what to compare, not single figures.

Usage: live_bench.py <korvex-dpi-inner> <bundle init.lua> <packets_floor> [seconds]
"""
import os
import shutil
import subprocess
import sys
import tempfile

import bench_util

if os.getpid() != 1:
    os.execvp("unshare", ["unshare", "--net", "--mount", "--pid", "--fork", "--mount-proc", sys.executable]
              + sys.argv)

ENGINE, BUNDLE, FLOOR = sys.argv[1], sys.argv[2], sys.argv[3]
SECONDS = float(sys.argv[4]) if len(sys.argv) > 4 else 1.0
RATES = [25000, 50000, 100000, 200000, 400000, 800000]

LOOP_SCRIPT = r"""
local pcap = require "pcap"
local socket = require "socket.core"
local unpack, tuple = string.unpack, pcap.tuple
local h = assert(pcap.open_live_immediate("bench0", 600, false, 0))
assert(h:set_filter("udp dst port 53"))
io.stdout:write("ready\n")
io.stdout:flush()
local data, link = {}, h:datalink()
local n, dns = 0, 0
local c0 = os.clock()
while n < %d do
    local ready = socket.select({ h }, nil, 1)
    if not ready[h] then break end
    local got
    repeat
        got = h:read_batch(256, data)
        for i = 1, got or 0 do
            %s
        end
        n = n + (got or 0)
    until not got or got < 256
end
local received, dropped = h:stats()
print(string.format("RESULT %%d %%d %%d %%.0f", n, received, dropped, (os.clock() - c0) * 1e9))
"""

COUNT_ONLY = "dns = dns + 1"
PARSE = """local p = data[i]
            local _, proto, src, dst, sport, dport, at = tuple(p, link)
            if proto == 17 and dport == 53 then
                local id, flags = unpack(">I2I2", p, at)
                dns = dns + 1
            end"""


def setup_link():
    for conf in ("all", "default"):
        with open("/proc/sys/net/ipv6/conf/%s/disable_ipv6" % conf, "w") as f:
            f.write("1")
    subprocess.run(["ip", "link", "add", "bench0", "type", "veth", "peer", "name", "bench1"], check=True)
    for dev in ("bench0", "bench1"):
        subprocess.run(["ip", "link", "set", dev, "up"], check=True)
    with open("/sys/class/net/bench1/ifindex") as f:
        return int(f.read())


def trial(command, ifindex, rate, count):
    """(achieved rate, got, received, dropped, cpu ns) of one capture while
    `count` frames are sent at `rate`."""
    cap = subprocess.Popen(command, stdout=subprocess.PIPE, universal_newlines=True)
    if cap.stdout.readline().strip() != "ready":
        sys.exit("capture did not start: %s" % cap.communicate()[0])
    sent = subprocess.run([FLOOR, "flood", str(ifindex), str(rate), str(count)], check=True,
                          stdout=subprocess.PIPE, universal_newlines=True).stdout
    sent_count, sent_ns = (float(w) for w in bench_util.results(sent)[0])
    out = cap.communicate()[0]
    words = bench_util.results(out)
    if not words:
        sys.exit("capture failed:\n" + out)
    return (sent_count / (sent_ns / 1e9),) + tuple(int(float(w)) for w in words[0][:4])


def main():
    subprocess.run(["mount", "-t", "sysfs", "sysfs", "/sys"], check=True)
    work = tempfile.mkdtemp(prefix="kvx-live-bench.")
    try:
        ut = bench_util.ut_dir(work, ENGINE, BUNDLE)
        ifindex = setup_link()
        loops = [("C poll + pcap_dispatch", lambda count: [FLOOR, "capture", "bench0", str(count)])]
        for name, body in (("script read_batch, counting", COUNT_ONLY), ("script read_batch + tuple", PARSE)):
            def command(count, body=body, name=name):
                path = os.path.join(work, name.split()[-1] + ".lua")
                with open(path, "w") as f:
                    f.write(LOOP_SCRIPT % (count, body))
                return [ut, path]
            loops.append((name, command))
        print("live capture over a veth pair, %g s of DNS queries per rate" % SECONDS)
        print("  %-30s %9s %9s %9s %9s %9s %8s" % ("loop", "asked/s", "sent/s", "sent", "got", "dropped", "cpu ns"))
        for name, command in loops:
            for rate in RATES:
                count = int(rate * SECONDS)
                achieved, got, received, dropped, cpu = trial(command(count), ifindex, rate, count)
                print("  %-30s %9d %9.0f %9d %9d %9d %8.0f"
                      % (name, rate, achieved, count, got, dropped, cpu / max(got, 1)))
        print("  (dropped: the capture's own count, stats(); cpu ns: the capturing process's CPU time per")
        print("  packet got, from the open to the end, which includes one wake-up per packet at low rates)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

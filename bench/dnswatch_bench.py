"""The dnswatch bundle on a router (run through tests/openwrt/setup.sh, so
everything happens in network namespaces of its own):

  1. latency: from the DNS answer leaving the WAN server to its address in
     the kernel set (`nft monitor` in the router namespace, both stamps on
     the same monotonic clock), median and p99 over 300 blocked names;
  2. the race: a client that connects the moment its answer came, for 40
     blocked names, each with an address of its own on the WAN side: how
     many first connections got through before the address was in the set;
  3. queries a second without a capture drop: paced bursts of 2 s from the
     LAN client at rising rates; a rate passes when the bundle counted every
     query; the engine's CPU share at each rate;
  4. memory: a million queries from 1,000 clients through the bundle's
     packet path in `ut` (no capture), the Lua heap and the process's RSS
     after 0, 100k and 1M.

Usage: setup.sh python3 dnswatch_bench.py <korvex-dpi-inner> <dnswatch build dir>
"""
import json
import os
import random
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

ENGINE, BUNDLE_DIR = (os.path.abspath(a) for a in sys.argv[1:3])
LAN, WAN = os.environ.get("KVX_LAN_NET"), os.environ.get("KVX_WAN_NET")
ROOT = os.environ.get("KORVEX_GATEWAY_ROOT")
HERE = os.path.abspath(__file__)
DNS = "203.0.113.2"


def name_bytes(name):
    return b"".join(bytes([len(l)]) + l.encode() for l in name.split(".")) + b"\0"


def query_bytes(name, ident):
    return struct.pack("!HHHHHH", ident, 0x0100, 1, 0, 0, 0) + name_bytes(name) + b"\0\1\0\1"


def address_for(name):
    """n<i>.blocked.test -> 10.200.x.y; r<i>.blocked.test -> 203.0.113.(100+i); else 203.0.113.3."""
    label = name.split(".")[0]
    if name.endswith(".blocked.test") and label[0] == "n":
        i = int(label[1:])
        return "10.200.%d.%d" % (i // 256, i % 256)
    if name.endswith(".blocked.test") and label[0] == "r":
        return "203.0.113.%d" % (100 + int(label[1:]))
    return "203.0.113.3"


def wan_server(stamp_path):
    """DNS on 203.0.113.2:53 and TCP on port 80; records when each answer
    for a blocked name left. Ends when stdin closes."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    sock.bind((DNS, 53))
    tcp = socket.socket()
    tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    tcp.bind(("0.0.0.0", 80))
    tcp.listen(128)
    stamps = {}

    def accept():
        while True:
            c, _ = tcp.accept()
            c.close()
    threading.Thread(target=accept, daemon=True).start()

    def dns():
        while True:
            data, peer = sock.recvfrom(2048)
            end = data.index(b"\0", 12)
            labels, pos = [], 12
            while data[pos]:
                labels.append(data[pos + 1:pos + 1 + data[pos]].decode())
                pos += 1 + data[pos]
            name = ".".join(labels)
            addr = address_for(name)
            reply = (struct.pack("!HHHHHH", struct.unpack("!H", data[:2])[0], 0x8180, 1, 1, 0, 0)
                     + data[12:end + 5] + b"\xc0\x0c" + struct.pack("!HHIH", 1, 1, 30, 4) + socket.inet_aton(addr))
            sock.sendto(reply, peer)
            if name.endswith(".blocked.test"):
                stamps[addr] = time.monotonic()
    threading.Thread(target=dns, daemon=True).start()
    print("ready", flush=True)
    sys.stdin.read()
    with open(stamp_path, "w") as f:
        json.dump(stamps, f)


def lan_client(mode, *args):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.settimeout(2)
    if mode == "resolve":              # one name at a time, each answered
        for n in args:
            sock.sendto(query_bytes(n, random.randrange(65536)), (DNS, 53))
            sock.recvfrom(2048)
            time.sleep(0.003)          # paces the names: one answer each in the set
    elif mode == "race":               # answer, then a connection at once
        got = 0
        for n in args:
            sock.sendto(query_bytes(n, random.randrange(65536)), (DNS, 53))
            data, _ = sock.recvfrom(2048)
            addr = socket.inet_ntoa(data[-4:])
            c = socket.socket()
            c.settimeout(0.5)
            try:
                c.connect((addr, 80))
                got += 1
            except OSError:
                pass
            c.close()
        print(got)
    elif mode == "blast":              # rate, seconds: paced queries
        rate, seconds = float(args[0]), float(args[1])
        pkts = [query_bytes("q%d.allowed.test" % i, i % 65536) for i in range(4096)]
        total = int(rate * seconds)
        start = time.monotonic()
        for i in range(total):
            due = start + i / rate
            while time.monotonic() < due:
                pass
            sock.sendto(pkts[i % 4096], (DNS, 53))
        print(total)


def sh(*argv, **kw):
    return subprocess.run(list(argv), check=True, capture_output=True, text=True, **kw)


def in_ns(net, *args, **kw):
    return ["nsenter", "--net=" + net, sys.executable, HERE] + list(args)


def cli(work, *args):
    out = sh(os.path.join(work, "bin", "CLI_client"), "-T", os.path.join(work, "tmp"), *args).stdout
    return json.loads(out)


def cpu_ticks(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


MEMORY = r"""
local watch_mod = require "dnswatch.watch"
local dns = require "dnswatch.dns"
local packet = require "dnswatch.packet"
local socket = require "socket.core"
local w = watch_mod.new({ policy = require("dnswatch.policy").new(), stats = require("dnswatch.stats").new(),
    blocker = { add = function() return true end, del = function() return true end },
    reporter = { push = function() end } })
local pool = {}
for k = 1, 20000 do
    local c = k % 1000
    pool[k] = packet.frame("udp", string.format("10.1.%d.%d", c // 256, c % 256), "203.0.113.2", 40000, 53,
        dns.build({ id = k, questions = { { name = "name" .. ((k * 7) % 200) .. ".example", type = 1 } } }))
end
local function rss()
    for line in io.lines("/proc/self/status") do
        local kb = line:match("^VmRSS:%s+(%d+)")
        if kb then return tonumber(kb) end
    end
end
collectgarbage("collect")
print(string.format("RESULT mem 0 %.0f %d", collectgarbage("count"), rss()))
local t0 = socket.gettime()
for i = 1, 1000000 do
    w:on_frame(pool[i % 20000 + 1], 1, i)
    if i == 100000 or i == 1000000 then
        collectgarbage("collect")
        print(string.format("RESULT mem %d %.0f %d", i, collectgarbage("count"), rss()))
    end
end
print(string.format("RESULT rate %.0f", 1000000 / (socket.gettime() - t0)))
print(string.format("RESULT clients %d queries %d", w.stats.nclients, w.counts.dns_queries))
"""


def main():
    work = tempfile.mkdtemp(prefix="dnswatch-bench-")
    os.makedirs(ROOT + "/etc/config", exist_ok=True)
    with open(ROOT + "/etc/config/network", "w") as f:
        f.write("config interface 'lan'\n\toption device 'br-lan'\n")
    for d in ("bin", "tmp", "data"):
        os.makedirs(os.path.join(work, d))
    for n in ("korvex-dpi-inner", "CLI_client", "ut"):
        os.symlink(ENGINE, os.path.join(work, "bin", n))
    shutil.copy(os.path.join(BUNDLE_DIR, "init.bin"), os.path.join(work, "bin"))
    with open(os.path.join(work, "bin", "config"), "w") as f:
        json.dump({"block": ["blocked.test"], "max_clients": 256}, f)
    for i in range(40):
        sh("nsenter", "--net=" + WAN, "ip", "addr", "add", "203.0.113.%d/24" % (100 + i), "dev", "wanp")
    stamps = os.path.join(work, "stamps.json")
    wan = subprocess.Popen(in_ns(WAN, "wan", stamps), stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert wan.stdout.readline() == "ready\n"
    engine = subprocess.Popen([os.path.join(work, "bin", "korvex-dpi-inner"), "-T", os.path.join(work, "tmp"),
                               "-D", os.path.join(work, "data")], stdout=subprocess.DEVNULL)
    deadline = time.monotonic() + 30
    while True:
        try:
            if cli(work, "dnswatch", "stats").get("device"):
                break
        except (subprocess.CalledProcessError, ValueError):
            pass
        if time.monotonic() > deadline:
            sys.exit("the engine did not start")
        time.sleep(0.05)

    # 1. latency through nft monitor.
    mon = subprocess.Popen(["stdbuf", "-oL", "nft", "monitor", "elements"], stdout=subprocess.PIPE, text=True)
    seen = {}

    def watch():
        for line in mon.stdout:
            t = time.monotonic()
            if "ipset_dnswatch-block" in line and line.startswith(("add element", "create element")):
                for a in line.split("{", 1)[1].strip(" }\n").split(","):
                    seen.setdefault(a.strip(), t)
    threading.Thread(target=watch, daemon=True).start()
    time.sleep(0.3)
    names = ["n%d.blocked.test" % i for i in range(300)]
    subprocess.run(in_ns(LAN, "resolve", *names), check=True)
    race = subprocess.run(in_ns(LAN, "race", *["r%d.blocked.test" % i for i in range(40)]),
                          check=True, capture_output=True, text=True).stdout.strip()
    time.sleep(0.5)

    # 3. rates.
    pid = engine.pid
    hz = os.sysconf("SC_CLK_TCK")
    rates = []
    for rate in (2000, 5000, 10000, 20000, 40000):
        before = cli(work, "dnswatch", "stats")["counts"]["dns_queries"]
        t0, c0 = time.monotonic(), cpu_ticks(pid)
        sent = int(subprocess.run(in_ns(LAN, "blast", str(rate), "2"), check=True, capture_output=True,
                                  text=True).stdout)
        time.sleep(0.5)
        t1, c1 = time.monotonic(), cpu_ticks(pid)
        counted = cli(work, "dnswatch", "stats")["counts"]["dns_queries"] - before
        rates.append((rate, sent, counted, (c1 - c0) / hz / (t1 - t0)))
    capture = cli(work, "dnswatch", "stats").get("capture")
    policy = cli(work, "dnswatch", "policy")
    wan.stdin.close()
    wan.wait()
    mon.terminate()
    engine.terminate()
    engine.wait()
    sent_at = json.load(open(stamps))
    if not any(a in seen for a in sent_at):
        sys.exit("no address seen in the set: monitor %r, answers %r, policy %r"
                 % (list(seen)[:5], list(sent_at)[:5], str(policy)[:500]))
    lat = sorted((seen[a] - sent_at[a]) * 1000 for a in sent_at if a in seen and a.startswith("10.200."))
    print("latency answer->set over %d of %d names: median %.2f ms, p99 %.2f ms, max %.2f ms"
          % (len(lat), len(names), statistics.median(lat), lat[int(len(lat) * 0.99) - 1], lat[-1]))
    print("race: %s of 40 immediate first connections got through before their address was in the set" % race)
    for rate, sent, counted, cpu in rates:
        print("rate %6d q/s: sent %6d, counted %6d (%s), engine CPU %.0f%%"
              % (rate, sent, counted, "no drop" if counted >= sent else "lost %d" % (sent - counted), cpu * 100))

    if capture:
        print("capture's own counts over the run: received %d, dropped %d" % (capture["received"], capture["dropped"]))

    # 4. memory in ut.
    script = os.path.join(BUNDLE_DIR, "bench_memory.lua")
    with open(script, "w") as f:
        f.write(MEMORY)
    r = subprocess.run([os.path.join(BUNDLE_DIR, "ut"), script], capture_output=True, text=True, timeout=600)
    if r.returncode:
        sys.exit("memory run failed:\n" + r.stdout + r.stderr)
    out = r.stdout
    os.remove(script)
    for line in out.splitlines():
        if line.startswith("RESULT mem"):
            _, _, n, heap, rss = line.split()
            print("memory after %7s queries from 1000 clients: Lua heap %6.0f KiB, RSS %6s KiB" % (n, float(heap), rss))
        elif line.startswith("RESULT"):
            print(line[7:])
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "wan":
        wan_server(sys.argv[2])
    elif len(sys.argv) > 1 and sys.argv[1] in ("resolve", "race", "blast"):
        lan_client(sys.argv[1], *sys.argv[2:])
    else:
        main()

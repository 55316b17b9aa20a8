"""The dnswatch bundle as the plug-in runs on a router: the watchdog and
the engine in the router namespace of setup.sh with the OpenWrt gateway
library, a client on the LAN side, a DNS server, web servers and the TLS
collector on the WAN side (homenet.py). Blocked names are dropped in the
router's forward path, allowed ones pass, the collector gets the reports,
and the policy and statistics survive upgrades, a rollback and kills."""
import json
import os
import re
import shutil
import signal
import subprocess
import unittest

import harness
from harness import read, wait_for, write
from wdharness import UCI, alive, reap

ROOT = os.environ.get("KORVEX_GATEWAY_ROOT", "")
LAN_NET = os.environ.get("KVX_LAN_NET", "")
WAN_NET = os.environ.get("KVX_WAN_NET", "")
PYTHON = os.environ.get("KVX_PYTHON", "python3")
BUNDLE_SRC = os.environ.get("KORVEX_DNSWATCH_SRC", "")
BUNDLE_DIR = os.environ.get("KORVEX_DNSWATCH_DIR", "")
HOMENET = os.path.join(os.path.dirname(os.path.abspath(__file__)), "homenet.py")

CLIENT = "192.168.77.2"
SET = "ipset_dnswatch-block"
COUNTER = "dnswatch-fwd-block"
# Long enough for a connection that is not dropped to be answered on a
# loaded machine; a dropped one is told by the rule's counter as well.
CONNECT = 3.0


def sh(argv, timeout=60):
    return subprocess.run(argv, capture_output=True, text=True, timeout=timeout)


def in_lan(*args, timeout=60):
    return sh(["nsenter", "--net=" + LAN_NET, PYTHON, HOMENET] + list(args), timeout)


def certificates(d):
    """A test CA and the collector's certificate signed by it."""
    def ssl(*args):
        r = sh(["openssl"] + list(args))
        if r.returncode:
            raise AssertionError("openssl %s: %s" % (args[0], r.stderr))
    ssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=dnswatch test CA",
        "-keyout", d + "/ca.key", "-out", d + "/ca.pem")
    ssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=collector.test",
        "-keyout", d + "/server.key", "-out", d + "/server.csr")
    write(d + "/ext", "subjectAltName=DNS:collector.test,IP:198.51.100.2\n")
    ssl("x509", "-req", "-in", d + "/server.csr", "-CA", d + "/ca.pem", "-CAkey", d + "/ca.key",
        "-CAcreateserial", "-days", "2", "-extfile", d + "/ext", "-out", d + "/server.pem")


def pack(directory, version, edit=None):
    """Packs the bundle, its source changed by `edit(text)`, as version
    `version`; returns the path of the init.bin."""
    src = os.path.join(directory, "src-" + version)
    shutil.copytree(BUNDLE_SRC, src)
    if edit:
        path = os.path.join(src, "init.lua")
        text = read(path)
        changed = edit(text)
        if changed == text:
            raise AssertionError("the edit of version %s changed nothing" % version)
        write(path, changed)
    out = os.path.join(directory, "init-%s.bin" % version)
    r = sh([harness.BUNDLE_TOOL, "pack", "-v", version, os.path.join(src, "init.lua"),
            "dnswatch=" + os.path.join(src, "dnswatch"), "korvex=" + os.path.join(harness.SDK_DIR, "lua", "korvex"),
            out])
    if r.returncode:
        raise AssertionError(r.stderr)
    return out


def engines():
    """Pids of running engines."""
    pids = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                argv = harness.process_argv(int(name))
            except OSError:
                continue
            if argv and argv[0].endswith("korvex-dpi-inner") and alive(int(name)):
                pids.append(int(name))
    return pids


class Home:
    """The WAN side's servers and the router's installation: <root>/bin
    with the watchdog, the engine and the bundle, <root>/data."""

    def __init__(self, config, ca="ca.pem"):
        self.root = harness.make_dir("dnswatch-")
        self.bin = os.path.join(self.root, "bin")
        self.data = os.path.join(self.root, "data")
        self.wan_dir = os.path.join(self.root, "wan")
        for d in (self.bin, self.data, self.wan_dir):
            os.makedirs(d)
        certificates(self.wan_dir)
        self.wan = harness.Proc(["nsenter", "--net=" + WAN_NET, PYTHON, HOMENET, "wan", self.wan_dir])
        if not self.wan.wait_output("ready\n", 30):
            raise AssertionError("WAN side not ready: " + self.wan.err())
        for name in ("watchdog",):
            harness.link_as(harness.WATCHDOG, self.bin, name)
        for name in ("korvex-dpi-inner", "CLI_client"):
            harness.link_as(harness.ENGINE, self.bin, name)
        shutil.copy(os.path.join(BUNDLE_DIR, "init.bin"), os.path.join(self.bin, "init.bin"))
        base = json.loads(read(os.path.join(BUNDLE_SRC, "config")))
        base.update(config)
        base["collector"] = {"host": "198.51.100.2", "port": 6514, "name": "collector.test",
                             "ca": os.path.join(self.wan_dir, ca)}
        base["__watch"] = {"processes": [{"base": "korvex-dpi-inner", "excheck": True}]}
        write(os.path.join(self.bin, "config"), json.dumps(base))
        self.watchdogs = []

    def start(self):
        p = harness.Proc([os.path.join(self.bin, "watchdog"), "-v"])
        self.watchdogs.append(p)
        return p

    def log(self):
        """What the watchdog and the engines printed, without the gateway
        library's call lines."""
        text = "".join(p.out() + p.err() for p in self.watchdogs)
        return "\n".join(line for line in text.splitlines() if "][warn][" not in line)

    def cli(self, *args):
        code, out, err = harness.run([os.path.join(self.bin, "CLI_client"), "-T", UCI] + list(args))
        try:
            return json.loads(out)
        except ValueError:
            return {"code": None, "out": out, "err": err, "exit": code}

    def stats(self, client=None):
        return self.cli("dnswatch", "stats", json.dumps({"client": client}) if client else "{}")

    def serving(self, version=None, timeout=30):
        """Waits until an engine answers (of `version`, when given)."""
        def up():
            if not harness.listening(UCI + "/.__scli"):
                return False
            r = self.stats()
            return r.get("code") == 0 and (version is None or r.get("version") == version) and r
        got = wait_for(up, timeout, 0.05)
        if not got:
            raise AssertionError("no engine answers (version %s); log:\n%s" % (version, self.log()[-4000:]))
        return got

    def reports(self):
        try:
            text = read(os.path.join(self.wan_dir, "reports.jsonl"))
        except FileNotFoundError:
            return []
        return [json.loads(line) for line in text.splitlines()]

    def close(self):
        for p in self.watchdogs:
            p.kill()
        for pid in engines():
            os.kill(pid, signal.SIGKILL)
        self.wan.kill()
        reap()
        shutil.rmtree(self.root, ignore_errors=True)


def nft_json(*args):
    r = sh(["nft", "-j"] + list(args))
    return json.loads(r.stdout)["nftables"] if r.returncode == 0 else []


def in_set(address):
    for item in nft_json("list", "set", "inet", "korvex", SET):
        for e in (item.get("set") or {}).get("elem", []):
            if e == address:
                return True
    return False


def dropped_count():
    for item in nft_json("list", "counters", "table", "inet", "korvex"):
        c = item.get("counter")
        if c and c["name"] == COUNTER:
            return c["packets"]
    return None


class DnsWatch(unittest.TestCase):
    def setUp(self):
        if not ROOT or not LAN_NET:
            self.skipTest("run through openwrt/setup.sh")
        if not BUNDLE_DIR or not os.path.exists(os.path.join(BUNDLE_DIR, "init.bin")):
            self.skipTest("the dnswatch bundle is not built")
        harness.private_tmp()
        self.addCleanup(harness.release_tmp)
        subprocess.run(["nft", "delete", "table", "inet", "korvex"], stderr=subprocess.DEVNULL)
        for name in os.listdir(ROOT):
            shutil.rmtree(os.path.join(ROOT, name))
        os.makedirs(ROOT + "/etc/config")
        write(ROOT + "/etc/config/network", "config interface 'lan'\n\toption device 'br-lan'\n\toption proto 'static'\n")
        for a in ("203.0.113.6", "203.0.113.7", "203.0.113.8"):
            sh(["nsenter", "--net=" + WAN_NET, "ip", "addr", "replace", a + "/24", "dev", "wanp"])

    def home(self, ca="ca.pem", **config):
        h = Home(config, ca)
        self.addCleanup(h.close)
        self.h = h
        return h

    # What the client does, and what it must find.

    def resolve(self, name):
        r = in_lan("resolve", name)
        self.assertEqual(r.returncode, 0, "no answer for " + name)
        return r.stdout.split()

    def passes(self, address):
        return in_lan("connect", address, str(CONNECT)).returncode == 0

    def assert_dropped(self, address):
        """A new connection to `address` gets no answer, and the bundle's
        rule counted its first packet."""
        before = dropped_count()
        self.assertIsNotNone(before, "the bundle's rule exists")
        self.assertFalse(self.passes(address), address + " was not dropped")
        self.assertGreater(dropped_count(), before, "the rule dropped it")

    def assert_blocked_soon(self, address):
        self.assertTrue(wait_for(lambda: in_set(address), 10), "%s never entered the set: %s\n%s\n%s" % (
            address, self.h.stats(), sh(["nft", "list", "ruleset"]).stdout, self.h.log()[-3000:]))
        self.assert_dropped(address)

    def test_blocked_names_are_dropped_allowed_ones_pass_and_reports_and_stats_agree(self):
        h = self.home(block=["blocked.test"])
        h.start()
        first = h.serving("1")
        self.assertEqual(first["device"], "br-lan", "the LAN interface from the gateway library")

        self.assertEqual(self.resolve("allowed.test"), ["203.0.113.3"])
        self.assertTrue(self.passes("203.0.113.3"), "an allowed name passes")

        self.assertEqual(self.resolve("blocked.test"), ["203.0.113.4"])
        self.assert_blocked_soon("203.0.113.4")
        self.assertEqual(self.resolve("www.blocked.test"), ["203.0.113.4"], "a sub-domain")
        self.assertEqual(self.resolve("alias.test"), ["203.0.113.5"], "through a CNAME into a blocked domain")
        self.assert_blocked_soon("203.0.113.5")
        self.assertTrue(self.passes("203.0.113.3"), "the allowed name still passes")

        # The policy changed over the control socket.
        reply = h.cli("dnswatch", "block", '{"name":"later.test"}')
        self.assertEqual(reply["code"], 0, reply)
        self.assertTrue(self.passes("203.0.113.6"), "before its name is resolved")
        self.resolve("later.test")
        self.assert_blocked_soon("203.0.113.6")
        reply = h.cli("dnswatch", "unblock", '{"name":"later.test"}')
        self.assertEqual(reply["released"], ["203.0.113.6"])
        self.assertFalse(in_set("203.0.113.6"))
        self.assertTrue(self.passes("203.0.113.6"), "unblocked")

        # A name seen only in a TLS ClientHello: that connection goes on,
        # the next one is dropped.
        h.cli("dnswatch", "block", '{"name":"sni-only.test"}')
        self.assertEqual(in_lan("tls", "203.0.113.7", "sni-only.test", str(CONNECT)).returncode, 0)
        self.assert_blocked_soon("203.0.113.7")

        policy = h.cli("dnswatch", "policy")
        self.assertEqual(policy["names"], ["blocked.test", "sni-only.test"])
        self.assertEqual(sorted(policy["addresses"]), ["203.0.113.4", "203.0.113.5", "203.0.113.7"])

        # Statistics agree with what the client did.
        asked = ["allowed.test", "blocked.test", "www.blocked.test", "alias.test", "later.test"]
        client = h.stats(CLIENT)["client"]
        self.assertEqual(client["queries"], len(asked))
        self.assertEqual(sorted(e["name"] for e in client["top"]), sorted(asked))
        self.assertTrue(all(e["count"] == 1 for e in client["top"]))
        self.assertLessEqual(client["first"], client["last"])
        capture = h.stats()["capture"]
        self.assertEqual(capture["dropped"], 0, "no capture loss")
        self.assertGreaterEqual(capture["received"], 2 * len(asked), "every query and answer captured")

        # The collector got a report of every query and of the ClientHello.
        def delivered():
            got = h.reports()
            return len(got) >= len(asked) + 1 and got
        got = wait_for(delivered, 30, 0.05)
        self.assertTrue(got, "reports at the collector: %r, %r\n%s" % (h.reports(), h.stats()["reporter"],
                                                                        h.log()[-3000:]))
        dns = [(r["name"], r["blocked"]) for r in got if r["t"] == "dns"]
        self.assertEqual(sorted(dns), sorted([("allowed.test", False), ("blocked.test", True),
                                              ("www.blocked.test", True), ("alias.test", False),
                                              ("later.test", True)]))
        self.assertEqual([(r["name"], r["server"], r["blocked"]) for r in got if r["t"] == "sni"],
                         [("sni-only.test", "203.0.113.7", True)])
        self.assertTrue(all(r["client"] == CLIENT for r in got))
        self.assertEqual(h.stats()["reporter"]["sent"], len(got))

    def test_reports_wait_in_the_queue_while_the_collector_is_down(self):
        h = self.home()
        h.start()
        h.serving("1")
        down = os.path.join(h.wan_dir, "collector.down")
        write(down, "")
        self.resolve("allowed.test")
        self.assertTrue(wait_for(lambda: h.stats()["reporter"]["failed_batches"] >= 1, 30),
                        "the batch was tried")
        status = h.stats()["reporter"]
        self.assertEqual((status["queued"], status["sent"]), (1, 0))
        self.assertEqual(h.reports(), [])
        self.resolve("v2.test")           # the loop goes on meanwhile
        self.assertEqual(h.stats(CLIENT)["client"]["queries"], 2)
        os.remove(down)
        self.assertTrue(wait_for(lambda: len(h.reports()) == 2, 30), h.reports())
        self.assertEqual([r["name"] for r in h.reports()], ["allowed.test", "v2.test"])
        self.assertEqual(h.stats()["reporter"]["queued"], 0)

    def test_a_collector_that_cannot_prove_its_name_gets_no_report(self):
        h = self.home(ca="other-ca.pem")
        # A CA of its own that did not issue the collector's certificate.
        r = sh(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=another CA",
                "-keyout", h.wan_dir + "/other-ca.key", "-out", h.wan_dir + "/other-ca.pem"])
        self.assertEqual(r.returncode, 0, r.stderr)
        h.start()
        h.serving("1")
        self.resolve("allowed.test")
        self.assertTrue(wait_for(lambda: h.stats()["reporter"]["failed_batches"] >= 1, 30))
        status = h.stats()["reporter"]
        self.assertIn("unknown issuer (CN=dnswatch test CA)", status["last_error"])
        self.assertEqual((status["queued"], status["sent"]), (1, 0), "kept for a later try")
        self.assertEqual(h.reports(), [])

    def upgrade(self, h, package, code=131):
        shutil.copy(package, UCI + "/ttupgrade.tgz")
        reply = h.cli("sys", "upgrade", json.dumps({"code": code}))
        self.assertEqual(reply.get("code"), 0, reply)

    def test_an_upgrade_keeps_policy_and_statistics_and_a_broken_one_rolls_back(self):
        h = self.home(block=["blocked.test"])
        h.start()
        h.serving("1")
        h.cli("dnswatch", "block", '{"name":"later.test"}')
        self.resolve("allowed.test")
        self.resolve("blocked.test")
        self.assertTrue(wait_for(lambda: in_set("203.0.113.4"), 10))

        v2 = pack(h.root, "2.0.0.0", lambda t: t.replace('local VERSION = "1"', 'local VERSION = "2"'))
        self.upgrade(h, v2)
        after = h.serving("2")
        self.assertEqual(json.loads(read(h.data + "/.bootchk")).get("luadata"), 1)
        self.assertEqual(h.cli("dnswatch", "policy")["names"], ["blocked.test", "later.test"])
        self.assertEqual(after["clients"][CLIENT]["queries"], 2, "statistics kept")
        self.assert_dropped("203.0.113.4")
        self.resolve("later.test")
        self.assert_blocked_soon("203.0.113.6")

        # A third version that cannot start: the factory bundle comes back
        # with what the second one kept.
        broken = pack(h.root, "3.0.0.0", lambda t: t.replace(
            "function lcmd_init(config_path, ...)\n", 'function lcmd_init(config_path, ...)\n    if true then return "broken on purpose" end\n'))
        self.upgrade(h, broken)
        back = h.serving("1")
        self.assertFalse(os.path.exists(h.data + "/.bootchk"), "rolled back")
        self.assertIn("broken on purpose", h.log())
        self.assertEqual(back["clients"][CLIENT]["queries"], 3)
        self.assertEqual(h.cli("dnswatch", "policy")["names"], ["blocked.test", "later.test"])
        self.assert_dropped("203.0.113.6")

        # One that starts and whose loop then dies, every time.
        dying = pack(h.root, "4.0.0.0", lambda t: t.replace(
            'listener.serve(tmppath .. "/.__scli", tick)', 'error("loop dies on purpose")'))
        self.upgrade(h, dying)
        self.assertTrue(wait_for(lambda: "upgrade failed" in read(UCI + "/watchdog.run"), 60),
                        h.log()[-3000:])
        h.serving("1")
        self.assertFalse(os.path.exists(h.data + "/.bootchk"))
        self.assertEqual(h.cli("dnswatch", "policy")["names"], ["blocked.test", "later.test"])

    def test_blocking_holds_through_kills_of_the_engine_and_of_the_watchdog(self):
        h = self.home(block=["blocked.test"])
        watchdog = h.start()
        h.serving("1")
        self.resolve("blocked.test")
        self.assertTrue(wait_for(lambda: in_set("203.0.113.4"), 10))

        traffic = harness.Proc(["nsenter", "--net=" + LAN_NET, PYTHON, HOMENET, "queries", "allowed.test", "3000"])
        old = engines()
        self.assertEqual(len(old), 1)
        os.kill(old[0], signal.SIGKILL)
        self.assert_dropped("203.0.113.4")
        self.assertTrue(wait_for(lambda: engines() and engines() != old, 30), "the engine came back")
        h.serving("1")
        self.assertEqual(h.cli("dnswatch", "policy")["names"], ["blocked.test"])
        self.assertTrue(in_set("203.0.113.4"), "the set kept its address")
        self.assert_dropped("203.0.113.4")

        # The watchdog killed: its engine is stopped (SIGTERM), the set and
        # the rule stay in the kernel.
        running = engines()
        os.kill(watchdog.pid, signal.SIGKILL)
        self.assertTrue(wait_for(lambda: not any(alive(p) for p in running), 30), "the engine stopped")
        reap()
        self.assert_dropped("203.0.113.4")
        self.assertTrue(self.passes("203.0.113.3"))
        self.assertEqual(traffic.wait(60), 0)
        self.assertEqual(traffic.out().strip(), "3000", "every query was answered")

        h.start()
        back = h.serving("1")
        self.assertEqual(h.cli("dnswatch", "policy")["names"], ["blocked.test"])
        self.assertGreaterEqual(back["clients"][CLIENT]["queries"], 1, "statistics saved at the stop")
        self.resolve("alias.test")
        self.assert_blocked_soon("203.0.113.5")


if __name__ == "__main__":
    harness.main()

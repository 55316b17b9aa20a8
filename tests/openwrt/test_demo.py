"""The demo bundle's gateway commands over the command-line client, with
the OpenWrt backend, in the router namespace of setup.sh: the system data
from the fake root tree and the bridge, the sets and rules from the kernel."""
import json
import os
import shutil
import subprocess

from harness import EngineCase, main, write

ROOT = os.environ.get("KORVEX_GATEWAY_ROOT", "")

NETWORK = """config interface 'lan'
\toption device 'br-lan'
\toption proto 'static'
"""


def put(path, text):
    full = ROOT + path
    os.makedirs(os.path.dirname(full), exist_ok=True)
    write(full, text)


class OpenWrtDemo(EngineCase):
    def setUp(self):
        if not ROOT:
            self.skipTest("run through openwrt/setup.sh")
        super().setUp()
        subprocess.run(["nft", "delete", "table", "inet", "korvex"], stderr=subprocess.DEVNULL)
        for name in os.listdir(ROOT):
            shutil.rmtree(os.path.join(ROOT, name))
        put("/etc/config/network", NETWORK)
        put("/etc/openwrt_release", "DISTRIB_RELEASE='23.05.3'\nDISTRIB_REVISION='r1'\n")
        put("/proc/net/arp", "IP address HW type Flags HW address Mask Device\n"
                             "192.168.77.9 0x1 0x2 02:aa:00:00:00:09 * br-lan\n")

    def serving_tree(self):
        t = self.tree()
        t.engine()
        self.assertTrue(t.wait_serving())
        return t

    def other_process(self, t, code):
        """Runs a snippet through the tree's `ut` (another process)."""
        path = t.path("snippet.lua")
        write(path, 'local mnf = require "c.mnf"\n' + code)
        out = subprocess.run([os.path.join(t.bin, "ut"), "-d", path], capture_output=True, text=True, timeout=60)
        self.assertIn("0 passed, 0 failed", out.stdout, out.stdout + out.stderr)

    def test_capi_device_shows_the_bridge_and_the_system_files(self):
        t = self.serving_tree()
        code, out, _ = t.cli("capi", "device")
        self.assertEqual(code, 0)
        reply = json.loads(out)
        self.assertEqual(reply["code"], 0)
        self.assertEqual(reply["mac"], "02:4b:56:58:77:01")
        self.assertEqual(reply["lan_ifname"], "br-lan")
        self.assertEqual(reply["lan"], {"ip": "192.168.77.1", "mask": "255.255.255.0"})
        self.assertEqual(reply["device"]["swVersion"], "23.05.3 r1")
        self.assertEqual([(h["ip"], h["mac"]) for h in reply["hosts"]], [("192.168.77.9", "02:aa:00:00:00:09")])

    def test_mnf_list_shows_the_kernels_sets_and_rules_changed_by_another_process(self):
        t = self.serving_tree()
        # The demo's JSON encoder writes an empty array as {}.
        reply = json.loads(t.cli("mnf", "list")[1])
        self.assertEqual((reply["ipsets"], reply["rules"]["profiles"]), ({}, {}))
        self.assertEqual(reply["rules"]["global"]["MaxTrafficControl"], 64)

        self.other_process(t, """
assert(mnf.ipset_add('{"setname":"blk","settype":"hash:net","direction":"dst"}', "203.0.113.0/24"))
assert(mnf.rule_append('{"rule_name":"a","table_name":"t","chain_name":"c","target":"DROP",'
    .. '"ipsets":[{"setname":"blk"}]}'))
""")
        reply = json.loads(t.cli("mnf", "list")[1])
        self.assertEqual([(s["SetName"], s["Entries"]) for s in reply["ipsets"]], [("blk", ["203.0.113.0/24"])])
        self.assertEqual([p["Name"] for p in reply["rules"]["profiles"]], ["t-c-a"])

        self.other_process(t, 'assert(mnf.chain_flush("t", "c")) assert(mnf.ipset_destroy("blk"))')
        reply = json.loads(t.cli("mnf", "list")[1])
        self.assertEqual((reply["ipsets"], reply["rules"]["profiles"]), ({}, {}))
        self.assertEqual(subprocess.run(["nft", "list", "ruleset"], capture_output=True, text=True).stdout, "")

    def test_mnf_list_reports_a_limits_config_that_cannot_be_read(self):
        put("/etc/config/korvex", "config gateway\n\toption max_rules 0\n")
        t = self.serving_tree()
        code, out, _ = t.cli("mnf", "list")
        self.assertEqual(code, 0)
        self.assertEqual(json.loads(out)["code"], -1)
        self.assertIn("option max_rules '0': not a whole number", t.procs[0].err())


if __name__ == "__main__":
    main()

"""tools/sandbox.sh: a bundle under the watchdog in namespaces of its own;
start, an upgrade, a rollback and stop, with the machine's /tmp/.uci/
(here the test's own) left alone."""
import json
import os
import subprocess

import harness
import wdharness
from harness import BUNDLE_TOOL, EngineCase, main, read, write

SANDBOX = os.path.join(os.environ.get("KORVEX_SOURCE_DIR", ""), "tools", "sandbox.sh")
FAILING_INIT = 'function lcmd_init() return "this version cannot start" end\nfunction lcmd_runmsg() end\n'


class Sandbox(EngineCase):
    def setUp(self):
        if not os.path.exists(harness.WATCHDOG):
            self.skipTest("watchdog not built")
        super().setUp()
        self.work = harness.make_dir("sandbox-test-")
        self.env = dict(os.environ, KORVEX_SANDBOX=os.path.join(self.work, "sb"),
                        KORVEX_ENGINE=harness.ENGINE, KORVEX_WATCHDOG=harness.WATCHDOG)

    def tearDown(self):
        self.sandbox("stop")
        super().tearDown()

    def sandbox(self, *args):
        r = subprocess.run(["sh", SANDBOX] + list(args), env=self.env, capture_output=True, timeout=120)
        return r.returncode, r.stdout.decode(errors="replace"), r.stderr.decode(errors="replace")

    def bundle(self, name, edit=None, version="1.0.0.0"):
        d = os.path.join(self.work, name)
        subprocess.run([BUNDLE_TOOL, "new", d], check=True, stdout=subprocess.DEVNULL)
        if edit:
            path = os.path.join(d, "init.lua")
            write(path, edit(read(path)))
        out = os.path.join(self.work, name + ".bin")
        subprocess.run([BUNDLE_TOOL, "pack", "-v", version, "init.lua", "korvex", out], cwd=d, check=True,
                       stdout=subprocess.DEVNULL)
        return out

    def greeting(self):
        code, out, _ = self.sandbox("cli", "hello", "greet")
        try:
            return json.loads(out)["text"] if code == 0 else None
        except ValueError:
            return None

    def test_start_upgrade_rollback_and_stop(self):
        v1 = self.bundle("v1")
        code, out, err = self.sandbox("start", v1)
        self.assertEqual(code, 0, err)
        root = os.path.join(self.work, "sb")
        socket_path = os.path.join(root, "uci", ".__scli")
        self.assertIn(socket_path, out)
        self.assertIn(os.path.join(root, "sandbox.log"), out)
        self.assertTrue(harness.wait_for(lambda: self.greeting() == "hello, world", 20), read(root + "/sandbox.log"))

        # An upgrade: the new init.bin goes in, the bundle exits with 131.
        v2 = self.bundle("v2", lambda s: s.replace('listener.config.greeting or "hello"', '"good day"'), "2.0.0.0")
        code, out, err = self.sandbox("upgrade", v2)
        self.assertEqual(code, 0, err)
        self.assertEqual(json.loads(out)["exit_code"], 131)
        self.assertTrue(harness.wait_for(lambda: self.greeting() == "good day, world", 30),
                        read(root + "/sandbox.log"))
        self.assertEqual(json.loads(read(os.path.join(root, "root", "data", ".bootchk")))["luadata"], 1)

        # An upgrade that cannot start (129) is rolled back to the factory bundle.
        broken_src = os.path.join(self.work, "broken.lua")
        write(broken_src, FAILING_INIT)
        broken = os.path.join(self.work, "broken.bin")
        subprocess.run([BUNDLE_TOOL, "pack", broken_src, broken], check=True, stdout=subprocess.DEVNULL)
        code, out, err = self.sandbox("upgrade", broken)
        self.assertEqual(code, 0, err)
        self.assertTrue(harness.wait_for(lambda: self.greeting() == "hello, world", 30),
                        read(root + "/sandbox.log"))
        self.assertFalse(os.path.exists(os.path.join(root, "root", "data", ".bootchk")))
        self.assertIn("korvex-dpi-inner exited normally with code(129)", read(os.path.join(root, "uci", "watchdog.run")))
        code, out, _ = self.sandbox("status")
        self.assertIn("running", out)
        self.assertIn("code(129)", out)

        pid = int(read(os.path.join(root, "unshare.pid")))
        code, out, err = self.sandbox("stop")
        self.assertEqual(code, 0, err)
        wdharness.reap()  # this process is the namespace's first: unshare ends up here
        self.assertFalse(wdharness.alive(pid))
        self.assertIn("[fatal][main_fini]: exit with signal 15", read(os.path.join(root, "sandbox.log")))
        self.assertEqual(self.sandbox("status")[1].splitlines()[0], "not running")
        # Nothing of it reached this machine's /tmp/.uci/ (the test's own here).
        self.assertEqual(os.listdir("/tmp/.uci"), [])

    def test_start_refuses_a_missing_bundle_and_a_second_start(self):
        code, _, err = self.sandbox("start", os.path.join(self.work, "none.bin"))
        self.assertEqual(code, 1)
        self.assertIn("no bundle at", err)
        self.assertEqual(self.sandbox("start", self.bundle("v1"))[0], 0)
        code, _, err = self.sandbox("start", os.path.join(self.work, "v1.bin"))
        self.assertEqual(code, 1)
        self.assertIn("already running", err)


if __name__ == "__main__":
    main()

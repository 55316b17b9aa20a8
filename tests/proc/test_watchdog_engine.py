"""The watchdog with the real engine and the demo bundle. Skipped while the
engine cannot run the demo bundle."""
import json
import os
import signal
import time
import unittest

import harness
from wdharness import TreeCase, alive, ms

ENGINE_NAME = "korvex-dpi-inner"
ALIVE = "/tmp/.uci//%s.alive" % ENGINE_NAME

# Wraps the demo bundle: the first start (no -r) hangs in the scripts while
# they handle set_ret_code, before the engine's health check ever runs.
HANGING_BUNDLE = """
dofile(rootpath .. "/demo.lua")
local runmsg = lcmd_runmsg
function lcmd_runmsg(text)
    if text:find('"set_ret_code"', 1, true) and text:find('"ret_code":0}', 1, true) then
        while true do end
    end
    return runmsg(text)
end
"""

FAILING_LOOP_BUNDLE = """
dofile(rootpath .. "/demo.lua")
function lcmd_loop()
    error("the upgraded main loop fails")
end
"""


def engines():
    """(pid, argv) of every running engine."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            argv = harness.process_argv(int(entry))
        except OSError:
            continue
        if argv and os.path.basename(argv[0]) == ENGINE_NAME and alive(int(entry)):
            found.append((int(entry), argv))
    return found


def engine_works():
    """Runs the engine once by itself: it must take its lock and stop on SIGTERM with 15."""
    if not os.path.exists(harness.ENGINE) or not os.path.exists(os.path.join(harness.DEMO_DIR, "init.lua")):
        return False
    harness.private_tmp()
    try:
        d = harness.make_dir("engine-probe-")
        harness.install_demo(d)
        exe = harness.link_as(harness.ENGINE, d, ENGINE_NAME)
        p = harness.Proc([exe, "-T", d, "-D", d])
        try:
            if not harness.wait_for(lambda: os.path.exists(os.path.join(d, "app_b01_run.pid")), 5):
                return False
            time.sleep(0.2)
            if p.p.poll() is not None:
                return False
            p.signal(signal.SIGTERM)
            return p.wait(5) == 15
        finally:
            p.kill()
    finally:
        harness.release_tmp()


class Engine(TreeCase):
    @classmethod
    def setUpClass(cls):
        if not engine_works():
            raise unittest.SkipTest("korvex-dpi-inner cannot run the demo bundle yet")

    def install(self, where="bin", bundle=None):
        t = self.t
        d = t.path(where)
        harness.install_demo(d)
        if bundle is not None:
            os.rename(os.path.join(d, "init.lua"), os.path.join(d, "demo.lua"))
            harness.write(os.path.join(d, "init.lua"), bundle)
        harness.link_as(harness.ENGINE, d, ENGINE_NAME)
        # The engine's scripts and the watchdog share the file "config".
        config = json.loads(harness.read(os.path.join(d, "config")))
        config["__watch"] = {"processes": [{"base": ENGINE_NAME, "excheck": True}]}
        harness.write(os.path.join(d, "config"), json.dumps(config))

    def wait_engine(self, argv_tail, timeout=10):
        def match():
            return [pid for pid, argv in engines() if argv[1:] == argv_tail]
        pids = harness.wait_for(match, timeout)
        self.assertTrue(pids, "no engine with %r; running: %r" % (argv_tail, engines()))
        return pids[0]

    def test_engine_refreshes_its_alive_file_and_is_never_killed(self):
        self.install()
        w = self.t.start()
        pid = self.wait_engine(["-A", ALIVE])
        self.assertTrue(harness.wait_for(lambda: os.path.exists(ALIVE), 2))
        time.sleep(harness.ALIVE_CHECK * 4)
        self.assertEqual([p for p, _ in engines()], [pid])
        self.assertEqual(self.t.events(), [])
        self.assertIsNone(w.p.poll())

    def test_killing_the_watchdog_stops_the_engine_through_its_sigterm_path(self):
        self.install()
        w = self.t.start()
        pid = self.wait_engine(["-A", ALIVE])
        # Past start-up (serving: slow under an emulator), into the health check.
        self.assertTrue(harness.wait_for(lambda: harness.listening("/tmp/.uci/.__scli"), 30))
        time.sleep(ms(60) * 2)
        os.kill(w.pid, signal.SIGKILL)
        w.wait()
        self.assertTrue(harness.wait_for(lambda: not alive(pid), 5))
        self.assertTrue(harness.wait_for(lambda: "exit with signal 15" in w.out(), 5), w.out())

    def test_engine_hanging_in_its_scripts_is_killed_and_restarted_with_r_199(self):
        self.install(bundle=HANGING_BUNDLE)
        self.t.start()
        hung = self.wait_engine(["-A", ALIVE])
        successor = self.wait_engine(["-r", "199", "-A", ALIVE], timeout=4 * harness.ALIVE_CHECK + 10)
        self.assertFalse(alive(hung))
        self.assertEqual(self.t.events(), ["%s is not alive, and we will kill it." % ENGINE_NAME,
                                           "%s killed by signal(9)" % ENGINE_NAME])
        time.sleep(harness.ALIVE_CHECK * 3)  # the successor answers and keeps its file fresh
        self.assertEqual([p for p, _ in engines()], [successor])

    def test_damaged_upgraded_bundle_falls_back_to_the_factory_one(self):
        t = self.t
        self.install()
        harness.write(t.path("data", "init.bin"), "this is no bundle (")
        harness.write(t.path("data", ".bootchk"), '{"version":"x","luadata":1}')
        w = t.start()
        pid = self.wait_engine(["-r", "129", "-A", ALIVE])
        self.assertIn("failed boot, then clean bootchk, and try again", w.out())
        self.assertFalse(os.path.exists(t.path("data", ".bootchk")))
        self.assertEqual(t.events(), ["%s exited normally with code(129)" % ENGINE_NAME])
        time.sleep(harness.ALIVE_CHECK * 3)
        self.assertEqual([p for p, _ in engines()], [pid])

    def test_plugin_upgrade_whose_main_loop_fails_is_rolled_back_after_three_attempts(self):
        t = self.t
        self.install()
        # The upgrade starts well, then its main loop raises: each run ends
        # with 128 long before it could prove the upgrade.
        self.install("data", bundle=FAILING_LOOP_BUNDLE)
        harness.write(t.path("data", ".bootchk"), '{"version":"x","plugindata":1}')
        w = t.start()
        pid = self.wait_engine(["-r", "129", "-A", ALIVE], timeout=60)
        self.assertEqual(t.events(), ["%s exited normally with code(128)" % ENGINE_NAME] * 3 +
                         ["upgrade failed: %s ended within 600 secs of its start 3 times in a row, rolling back"
                          % ENGINE_NAME])
        self.assertIn("%s ended within 600 secs of its start 3 times in a row, so the upgrade failed\n"
                      "failed boot, then clean bootchk, and try again" % ENGINE_NAME, w.out())
        self.assertFalse(os.path.exists(t.path("data", ".bootchk")))
        time.sleep(harness.ALIVE_CHECK * 3)  # the factory engine stays
        self.assertEqual([p for p, _ in engines()], [pid])


if __name__ == "__main__":
    harness.main()

"""Supervision: restart codes and delays, crash back-off, new cycles, the
alive check, exec failures and the end of the watchdog."""
import os
import re
import signal
import time

import harness
from wdharness import TreeCase, alive, ms, restarts


class Restart(TreeCase):
    def test_exit_0_restarts_without_r_and_exit_128_with_r_128(self):
        t = self.t
        t.config([("a", False)])
        t.child("a", "exit 0", "exit 128", "hang")
        w = t.start()
        s = t.wait_starts("a", 3)
        self.assertEqual([x.args for x in s], [[], [], ["-r", "128"]])
        exits = [int(r[1]) for r in t.records("a") if r[0] == "exit"]
        for gone, successor in zip(exits, s[1:]):
            self.assertGreaterEqual(successor.ns - gone, ms(10) * 1e9)
        self.assertEqual(restarts(w.out()), [("normal", 10), ("normal", 10)])
        self.assertEqual(t.events(), ["a exited normally with code(0)", "a exited normally with code(128)"])

    def test_sigkill_from_outside_restarts_with_r_9(self):
        t = self.t
        t.config([("a", True)])
        t.child("a", "alive 20")
        t.start()
        os.kill(t.wait_starts("a", 1)[0].pid, signal.SIGKILL)
        self.assertEqual(t.wait_starts("a", 2)[1].args, ["-r", "9", "-A", "/tmp/.uci//a.alive"])
        self.assertEqual(t.events(), ["a killed by signal(9)"])

    def test_segv_crashes_of_any_entry_share_the_back_off(self):
        t = self.t
        t.config([("a", False), ("b", False)])
        t.child("a", "segv", "segv 5", "segv 5", "hang")
        t.child("b", "segv 30", "segv 5", "hang")
        began = time.monotonic()
        w = t.start()
        t.wait_starts("a", 4, timeout=30)
        t.wait_starts("b", 3, timeout=30)
        took = time.monotonic() - began
        self.assertEqual(restarts(w.out()), [("segv", 60), ("segv", 660), ("segv", 1260), ("segv", 7200),
                                             ("segv", 7200)])
        self.assertGreaterEqual(took, ms(60 + 660 + 1260 + 7200 + 7200))
        self.assertEqual(sorted(t.events()), ["a killed by signal(11)"] * 3 + ["b killed by signal(11)"] * 2)
        self.assertEqual([x.args for x in t.starts("b")], [[], ["-r", "11"], ["-r", "11"]])

    def test_exit_160_kills_and_starts_everything_with_r_160(self):
        t = self.t
        t.config([("a", False), ("b", False)])
        t.child("a", "exit 160 50", "hang")
        t.child("b", "hang")
        w = t.start()
        a = t.wait_starts("a", 2)
        b = t.wait_starts("b", 2)
        self.assertEqual([a[1].args, b[1].args], [["-r", "160"], ["-r", "160"]])
        self.assertTrue(w.wait_output("No such pid(%d) for reexec\n" % b[0].pid))
        self.assertFalse(alive(b[0].pid))
        self.assertNotIn("Will restart", w.out())

    def test_stale_alive_file_gets_the_process_killed_and_restarted_with_r_199(self):
        t = self.t
        t.config([("a", True), ("b", False)])
        t.child("a", "hang", "alive 20")
        t.child("b", "hang")
        t.start()
        first, second = t.wait_starts("a", 2)
        self.assertEqual(second.args, ["-r", "199", "-A", "/tmp/.uci//a.alive"])
        # Not before the third check without the file (checks run from the watchdog's start).
        self.assertGreater(second.ns - first.ns, (2 * harness.ALIVE_CHECK + ms(10)) * 1e9)
        self.assertEqual(t.events(), ["a is not alive, and we will kill it.", "a killed by signal(9)"])
        # The successor refreshes its file: still the same process many checks later.
        time.sleep(harness.ALIVE_CHECK * 3)
        self.assertEqual(len(t.starts("a")), 2)
        self.assertTrue(alive(second.pid))
        self.assertEqual(len(t.starts("b")), 1)  # never checked, never killed

    def test_missing_executable_ends_in_the_boot_failure_handling(self):
        t = self.t
        t.config([("missing", False)])
        w = t.start()
        self.assertEqual(w.wait(), 0)
        self.assertEqual(w.out(), "failed to exec missing, error is No such file or directory\n"
                                  "failed for normal boot, exit\n")
        self.assertEqual(t.events(), ["missing exited normally with code(129)"])

    def test_children_get_sigterm_when_the_watchdog_dies(self):
        t = self.t
        t.config([("a", False), ("b", True)])
        t.child("a", "hang")
        t.child("b", "alive 20")
        w = t.start()
        a, b = t.wait_starts("a", 1)[0], t.wait_starts("b", 1)[0]
        os.kill(w.pid, signal.SIGKILL)
        self.assertEqual(w.wait(), -signal.SIGKILL)
        self.assertTrue(harness.wait_for(lambda: t.terms("a") == [a.pid] and t.terms("b") == [b.pid]))
        self.assertTrue(harness.wait_for(lambda: not alive(a.pid) and not alive(b.pid)))


if __name__ == "__main__":
    harness.main()

"""Boot counting: an upgrade whose runs keep ending before they prove it
(harness.BOOT_PROOF, 600 s shipped) is rolled back at the third attempt in
a row; the count lives in ../data/.bootcount."""
import json
import os
import signal
import unittest

import harness
from wdharness import CHILD, RUN_FILE, Tree, TreeCase, alive, restarts

PLUGIN = '{"version":"x","plugindata":1}'
BUNDLE = '{"version":"x","luadata":1}'
DATA_ARGS = ["-T", "/tmp/.uci/", "-D", "../data/"]
QUICK = "exit 128 50"                                      # fails just after its start
LONG = "exit 128 %d" % int((harness.BOOT_PROOF + 3) * 1000)  # fails after proving itself

ATTEMPT = "a ended within 600 secs of its start: failed attempt %d of 3 of the upgrade\n"
FAILED = "a ended within 600 secs of its start 3 times in a row, so the upgrade failed\n"
ROLLBACK_LINE = "upgrade failed: a ended within 600 secs of its start 3 times in a row, rolling back"
FALLBACK = "failed boot, then clean bootchk, and try again\n"
NORMAL = "Will restart normal prog after 10 secs\n"


def read_or_none(path):
    try:
        return harness.read(path)
    except (FileNotFoundError, IsADirectoryError):
        return None


class Counting(TreeCase):
    def bootchk(self):
        return read_or_none(self.t.path("data", ".bootchk"))

    def count(self):
        return read_or_none(self.t.path("data", ".bootcount"))

    def test_bundle_upgrade_whose_runs_fail_after_start_rolls_back_at_the_third_attempt(self):
        t = self.t
        t.config([("a", False)])
        t.child("a", QUICK, QUICK, QUICK, "hang")
        harness.write(t.path("data", ".bootchk"), BUNDLE)
        w = t.start()
        s = t.wait_starts("a", 4)
        self.assertEqual([x.args for x in s], [[], ["-r", "128"], ["-r", "128"], ["-r", "129"]])
        self.assertTrue(w.wait_output(FALLBACK + NORMAL))
        self.assertEqual(w.out(), ATTEMPT % 1 + NORMAL + ATTEMPT % 2 + NORMAL + FAILED + FALLBACK + NORMAL)
        self.assertEqual(t.events(), ["a exited normally with code(128)"] * 3 + [ROLLBACK_LINE])
        self.assertIsNone(self.bootchk())
        self.assertEqual(self.count(), '{"failed":0}')  # the next upgrade starts afresh
        self.assertTrue(alive(s[3].pid))

    def test_runs_that_fail_after_proving_the_upgrade_keep_restarting_and_reset_the_count(self):
        t = self.t
        t.config([("a", False)])
        t.child("a", QUICK, QUICK, LONG, LONG, QUICK, QUICK, "hang", where="data")
        harness.write(t.path("data", ".bootchk"), PLUGIN)
        w = t.start()
        third = t.wait_starts("a", 3, where="data")[2]
        self.assertEqual(self.count(), '{"failed":2}')
        # Forgotten once the run has lasted long enough, while it still runs.
        self.assertTrue(harness.wait_for(lambda: self.count() == '{"failed":0}', harness.BOOT_PROOF + 10))
        self.assertTrue(alive(third.pid))
        s = t.wait_starts("a", 7, where="data", timeout=3 * harness.BOOT_PROOF + 20)
        self.assertEqual([x.argv for x in s], [["../data//a"] + DATA_ARGS] +
                         [["../data//a", "-r", "128"] + DATA_ARGS] * 6)
        self.assertTrue(w.wait_output(ATTEMPT % 2 + NORMAL))
        self.assertEqual(w.out().count("so the upgrade proved itself: 2 failed attempts forgotten\n"), 1)
        self.assertNotIn("upgrade failed", w.out())
        self.assertEqual(restarts(w.out()), [("normal", 10)] * 6)
        self.assertEqual(self.count(), '{"failed":2}')
        self.assertEqual(self.bootchk(), PLUGIN)
        self.assertEqual(t.starts("a"), [])

    def test_kills_by_the_alive_check_are_failed_attempts(self):
        t = self.t
        t.config([("a", True)])
        # Refreshes its file past the next check (seen alive), then never again.
        t.child("a", "alive 20 %d" % int(harness.ALIVE_CHECK * 1.1 * 50), where="data")
        t.child("a", "alive 20")
        harness.write(t.path("data", ".bootchk"), PLUGIN)
        w = t.start()
        factory = t.wait_starts("a", 1, timeout=6 * harness.ALIVE_CHECK * 3 + 10)[0]
        self.assertEqual(factory.args, ["-r", "129", "-A", "/tmp/.uci//a.alive"])
        self.assertEqual([x.args[:2] for x in t.starts("a", where="data")], [["-A", "/tmp/.uci//a.alive"]] +
                         [["-r", "199"]] * 2)
        self.assertIn(ATTEMPT % 2 + NORMAL + FAILED + FALLBACK, w.out())
        self.assertNotIn("before it was seen alive", w.out())
        self.assertEqual(t.events().count("a killed by signal(9)"), 3)
        self.assertIn(ROLLBACK_LINE, t.events())
        self.assertIsNone(self.bootchk())

    def test_factory_runs_that_fail_are_restarted_and_never_rolled_back(self):
        t = self.t
        t.config([("a", False)])
        t.child("a", QUICK, QUICK, QUICK, QUICK, "segv", "segv", "hang")
        # Stamped by an upgrade step that installed nothing: still the factory files.
        harness.write(t.path("data", ".bootchk"), '{"version":"x"}')
        harness.write(t.path("data", ".bootcount"), '{"failed":2}')
        w = t.start()
        s = t.wait_starts("a", 7)
        self.assertEqual([x.args for x in s], [[]] + [["-r", "128"]] * 4 + [["-r", "11"]] * 2)
        self.assertTrue(w.wait_output("Will restart segv prog after 660 secs\n"))
        self.assertEqual(restarts(w.out()), [("normal", 10)] * 4 + [("segv", 60), ("segv", 660)])
        self.assertNotIn("attempt", w.out())
        self.assertNotIn("bootchk", w.out())
        self.assertEqual(self.bootchk(), '{"version":"x"}')
        self.assertEqual(self.count(), '{"failed":2}')  # not the factory's: left alone

    def test_count_survives_a_watchdog_kill_9_between_attempts(self):
        t = self.t
        t.config([("a", False)])
        t.child("a", QUICK, QUICK, "hang", QUICK, where="data")
        t.child("a", "hang")
        harness.write(t.path("data", ".bootchk"), PLUGIN)
        w = t.start()
        third = t.wait_starts("a", 3, where="data")[2]
        self.assertEqual(self.count(), '{"failed":2}')
        os.kill(w.pid, signal.SIGKILL)
        w.wait()
        # Its end by SIGTERM has no watchdog to count it.
        self.assertTrue(harness.wait_for(lambda: t.terms("a", where="data") == [third.pid]))

        w2 = t.start()
        factory = t.wait_starts("a", 1)[0]
        self.assertEqual(factory.args, ["-r", "129"])
        self.assertEqual(len(t.starts("a", where="data")), 4)
        self.assertTrue(w2.wait_output(FALLBACK + NORMAL))
        self.assertEqual(w2.out(), FAILED + FALLBACK + NORMAL)
        self.assertIsNone(self.bootchk())

    def test_stopping_the_watchdog_is_no_failed_attempt(self):
        t = self.t
        t.config([("a", False)])
        t.child("a", "hang", where="data")
        harness.write(t.path("data", ".bootchk"), PLUGIN)
        harness.write(t.path("data", ".bootcount"), '{"failed":2}')
        w = t.start()
        first = t.wait_starts("a", 1, where="data")[0]
        os.kill(w.pid, signal.SIGTERM)
        self.assertEqual(w.wait(), -signal.SIGTERM)
        self.assertTrue(harness.wait_for(lambda: t.terms("a", where="data") == [first.pid]))
        self.assertTrue(harness.wait_for(lambda: not alive(first.pid)))
        self.assertEqual(self.count(), '{"failed":2}')
        self.assertEqual(self.bootchk(), PLUGIN)
        self.assertEqual(w.out(), "")

    def test_new_upgrade_starts_with_a_clean_count(self):
        t = self.t
        t.config([("a", False)])
        # Two failed attempts of the installed bundle, then it installs another.
        t.child("a", QUICK, "upgrade 131", QUICK, QUICK, "hang")
        harness.write(t.path("bin", "a.pkg"), "bundle two")
        harness.write(t.path("data", ".bootchk"), BUNDLE)
        harness.write(t.path("data", ".bootcount"), '{"failed":1}')
        w = t.start()
        s = t.wait_starts("a", 5)
        self.assertEqual([x.args for x in s], [[], ["-r", "128"], ["-r", "131"], ["-r", "128"], ["-r", "128"]])
        self.assertTrue(w.wait_output(ATTEMPT % 2 + NORMAL))
        self.assertEqual(w.out(), ATTEMPT % 2 + NORMAL + ATTEMPT % 1 + NORMAL + ATTEMPT % 2 + NORMAL)
        self.assertEqual(json.loads(self.bootchk()), {"version": "x", "luadata": 1})
        self.assertEqual(harness.read(t.path("data", "init.bin")), "bundle two")


class DamagedCount(unittest.TestCase):
    """Each record below reads as no failed attempt: two failures of a healthy
    upgrade must not roll it back, and nothing hangs or crashes."""

    def setUp(self):
        if not os.path.exists(harness.WATCHDOG) or not os.path.exists(CHILD):
            self.skipTest("watchdog or wd_child not built")

    def plant(self, path, kind):
        if kind == "fifo":
            os.mkfifo(path)
        elif kind == "directory":
            os.mkdir(path)
            harness.write(os.path.join(path, "failed"), "2")
        elif kind == "huge":
            harness.write(path, " " * (70 * 1024) + '{"failed":2}')
        else:
            harness.write(path, kind)

    def test_damaged_or_oversized_records_count_from_zero_with_a_message(self):
        cases = [("", "empty or not JSON"), ("fifo", "not a regular file"), ("directory", "not a regular file"),
                 ("huge", "larger than 64 KiB"), ("failed=2", "empty or not JSON"),
                 ('{"failed":-1}', "count out of range"), ('{"failed":1e9}', "count out of range"),
                 ('{"failed":2.5}', "count out of range"), ('{"failed":"2"}', "no count in it"),
                 ("[2]", "no count in it")]
        for kind, why in cases:
            with self.subTest(kind=kind[:20]):
                t = Tree()
                try:
                    t.config([("a", False)])
                    t.child("a", QUICK, QUICK, "hang", where="data")
                    harness.write(t.path("data", ".bootchk"), PLUGIN)
                    record = t.path("data", ".bootcount")
                    self.plant(record, kind)
                    w = t.start()
                    t.wait_starts("a", 3, where="data")
                    self.assertTrue(w.wait_output(ATTEMPT % 2 + NORMAL), w.out())
                    self.assertEqual(w.out(), "boot count ../data//.bootcount is damaged (%s), counting from 0\n"
                                     % why + ATTEMPT % 1 + NORMAL + ATTEMPT % 2 + NORMAL)
                    self.assertEqual(harness.read(record), '{"failed":2}')
                    self.assertEqual(harness.read(t.path("data", ".bootchk")), PLUGIN)
                    self.assertEqual(t.starts("a"), [])
                finally:
                    t.close()


if __name__ == "__main__":
    harness.main()

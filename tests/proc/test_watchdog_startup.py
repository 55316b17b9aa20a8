"""Watchdog start-up: configuration, run file, single instance, debug flag."""
import os
import subprocess

import harness
from wdharness import RUN_FILE, TreeCase, alive, threads


class StartUp(TreeCase):
    def test_refused_configurations_print_failed_to_init_daemon_and_start_nothing(self):
        # Every variant is in the unit tests; here: the program's own output and exit.
        t = self.t
        t.child("korvex-dpi-inner", "hang")
        for config, reason in ((None, ""), ('{"__watch":{"processes":[{"excheck":true}]}}', ""),
                               ('{"__watch":{"processes":[' + '{"base":"a"},' * 4 + '{"base":"a"}]}}',
                                "config names 5 processes, at most 4 are supported\n")):
            if config is not None:
                t.config(config)
            code, out, _ = harness.run([t.watchdog])
            self.assertEqual((code, out), (0, reason + "failed to init daemon\n"), config)
        self.assertEqual(t.starts("korvex-dpi-inner"), [])
        self.assertFalse(os.path.exists(RUN_FILE))

    def test_fifo_or_huge_config_is_refused_without_waiting(self):
        t = self.t
        path = t.path("bin", "config")
        os.mkfifo(path)
        self.assertEqual(harness.run([t.watchdog], timeout=20)[:2], (0, "failed to init daemon\n"))
        os.unlink(path)
        with open(path, "wb") as f:
            f.truncate(1 << 30)
        self.assertEqual(harness.run([t.watchdog], timeout=20)[:2],
                         (0, "%s is larger than 65536 bytes\nfailed to init daemon\n" % "config"))

    def test_fifo_or_huge_bootchk_means_factory_files_and_the_next_upgrade_replaces_it(self):
        t = self.t
        t.config([("a", False)])
        t.child("a", "upgrade 131", "hang")
        harness.write(t.path("bin", "a.pkg"), "bundle")
        bootchk = t.path("data", ".bootchk")
        os.mkfifo(bootchk)
        w = t.start()
        self.assertEqual([s.argv for s in t.wait_starts("a", 2)], [["a"], ["a", "-r", "131"]])
        self.assertEqual(harness.read(bootchk), '{"version":"24.02.19.15","luadata":1}')
        w.kill()

        os.unlink(bootchk)
        with open(bootchk, "wb") as f:
            f.truncate(1 << 30)
        w = t.start()
        self.assertTrue(harness.wait_for(lambda: len(t.starts("a")) == 3))
        self.assertTrue(w.wait_output("%s/.bootchk is larger than 65536 bytes, ignored\n" % "../data/"))

    def test_default_entry_runs_the_engine_without_options_and_holds_the_run_file(self):
        t = self.t
        t.config("{}")
        t.child("korvex-dpi-inner", "hang")
        w = t.start()
        first = t.wait_starts("korvex-dpi-inner", 1)[0]
        self.assertEqual(first.argv, ["korvex-dpi-inner"])
        self.assertEqual(harness.read(RUN_FILE), t.bin + "\n")
        self.assertEqual(threads(w.pid), 1)  # nothing to watch: no alive-check thread

    def test_two_entries_only_the_checked_one_gets_an_alive_file(self):
        t = self.t
        t.config([("a", True), ("b", False)])
        t.child("a", "alive 20")
        t.child("b", "hang")
        w = t.start()
        self.assertEqual(t.wait_starts("a", 1)[0].argv, ["a", "-A", "/tmp/.uci//a.alive"])
        self.assertEqual(t.wait_starts("b", 1)[0].argv, ["b"])
        self.assertEqual(threads(w.pid), 2)

    def test_second_watchdog_is_refused_and_first_untouched(self):
        t = self.t
        t.config([("a", False)])
        t.child("a", "hang")
        first = t.start()
        child = t.wait_starts("a", 1)[0]
        before = harness.read(RUN_FILE)
        code, out, _ = harness.run([t.watchdog, "-d"])
        self.assertEqual(code, 0)
        self.assertEqual(out, "already in use for %s\nprocess(%s) already run\n" % (RUN_FILE, t.watchdog))
        self.assertIsNone(first.p.poll())
        self.assertTrue(alive(child.pid))
        self.assertEqual(len(t.starts("a")), 1)
        self.assertEqual(harness.read(RUN_FILE), before)

    def test_any_argument_makes_every_child_start_with_d(self):
        t = self.t
        t.config([("a", False), ("b", True)])
        t.child("a", "hang")
        t.child("b", "alive 20")
        t.start("-x")
        self.assertEqual(t.wait_starts("a", 1)[0].args, ["-d"])
        self.assertEqual(t.wait_starts("b", 1)[0].args, ["-d", "-A", "/tmp/.uci//b.alive"])

    def test_data_directory_that_cannot_be_made_ends_the_start(self):
        t = self.t
        os.rmdir(t.data)
        t.config("{}")
        subprocess.run(["mount", "--bind", t.root, t.root], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", t.root])
        subprocess.run(["mount", "-o", "remount,bind,ro", t.root], check=True)
        code, out, _ = harness.run([t.watchdog])
        self.assertEqual(code, 0)
        self.assertEqual(out, "mkdir (../data/) error: Read-only file system\n")


if __name__ == "__main__":
    harness.main()

"""Exit codes 129-132: upgrade packages, the upgraded boot and the rollback."""
import io
import json
import os
import shutil
import signal
import stat
import subprocess
import tarfile

import harness
from wdharness import CHILD, UCI, TreeCase, alive, restarts

PACKAGE = UCI + "/ttupgrade.tgz"


def archive(members):
    """A gzip tar of {name: (bytes, mode)}."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz") as tar:
        for name, (content, mode) in members.items():
            info = tarfile.TarInfo(name)
            info.size, info.mode = len(content), mode
            tar.addfile(info, io.BytesIO(content))
    return buf.getvalue()


def hanging_upgrade(t, once=False):
    """Sets `t` up for an upgrade 130 whose tar lists as usual but never ends
    an extraction (with `once`, only its first one); returns the environment
    that puts that tar first and the file its pid is written to."""
    t.config([("a", False)])
    t.child("a", "upgrade 130")
    harness.write(t.path("bin", "a.pkg"),
                  archive({"a": (harness.read(CHILD, "rb"), 0o755), "a.plan": (b"hang\n", 0o644)}), "wb")
    fake = t.path("fakebin")
    os.mkdir(fake)
    marker = t.path("extracting")
    guard = "[ -e %s ] || " % marker if once else ""
    harness.write(os.path.join(fake, "tar"),
                  "#!/bin/sh\ncase \"$1\" in -zxf) %s{ echo $$ > %s; exec sleep 600; };; esac\n"
                  "exec %s \"$@\"\n" % (guard, marker, shutil.which("tar")))
    os.chmod(os.path.join(fake, "tar"), 0o755)
    return dict(os.environ, PATH=fake + ":" + os.environ["PATH"]), marker


class Upgrade(TreeCase):
    def bootchk(self):
        try:
            return harness.read(self.t.path("data", ".bootchk"))
        except FileNotFoundError:
            return None

    def test_exit_131_installs_the_bundle_and_starts_a_new_cycle(self):
        t = self.t
        t.config([("a", False)])
        t.child("a", "upgrade 131", "exit 131", "hang")
        bundle = bytes(range(256)) * 9
        harness.write(t.path("bin", "a.pkg"), bundle, "wb")
        t.start()
        s = t.wait_starts("a", 3)
        self.assertEqual([x.argv for x in s[1:]], [["a", "-r", "131"]] * 2)  # factory files still
        self.assertEqual(harness.read(t.path("data", "init.bin"), "rb"), bundle)
        mask = os.umask(0)
        os.umask(mask)
        self.assertEqual(stat.S_IMODE(os.stat(t.path("data", "init.bin")).st_mode), 0o700 & ~mask)
        self.assertFalse(os.path.exists(PACKAGE))
        # The second 131 found no package and changed nothing.
        self.assertEqual(self.bootchk(), '{"version":"24.02.19.15","luadata":1}')

    def test_exit_130_with_an_archive_boots_the_upgraded_files(self):
        t = self.t
        t.config([("a", True)])
        t.child("a", "upgrade 130")
        harness.write(t.path("bin", "a.pkg"),
                      archive({"a": (harness.read(CHILD, "rb"), 0o755), "a.plan": (b"alive 20\n", 0o644)}), "wb")
        t.start("-v")
        upgraded = t.wait_starts("a", 1, where="data")[0]
        self.assertEqual(upgraded.argv, ["../data//a", "-r", "130", "-d", "-A", "/tmp/.uci//a.alive",
                                         "-T", "/tmp/.uci/", "-D", "../data/"])
        self.assertEqual(json.loads(self.bootchk()), {"version": "24.02.19.15", "plugindata": 1})
        self.assertFalse(os.path.exists(PACKAGE))
        self.assertEqual(len(t.starts("a")), 1)

    def test_broken_archive_and_signature_package_only_stamp_the_version(self):
        t = self.t
        t.config([("a", False)])
        t.child("a", "upgrade 130", "upgrade 132 sig.pkg", "hang")
        harness.write(t.path("bin", "a.pkg"), "not a tar")
        harness.write(t.path("bin", "sig.pkg"), "signatures")
        w = t.start()
        s = t.wait_starts("a", 3)
        self.assertEqual([x.argv for x in s], [["a"], ["a", "-r", "130"], ["a", "-r", "132"]])
        self.assertEqual(self.bootchk(), '{"version":"24.02.19.15"}')
        self.assertFalse(os.path.exists(PACKAGE))
        self.assertNotIn("Will restart", w.out())

    def test_failed_upgraded_boot_rolls_back_then_a_second_failure_ends_the_watchdog(self):
        t = self.t
        t.config([("a", False)])
        t.child("a", "exit 129", where="data")
        t.child("a", "exit 129")
        harness.write(t.path("data", ".bootchk"), '{"version":"x","plugindata":true}')
        w = t.start()
        self.assertEqual(w.wait(), 0)
        self.assertEqual([x.argv for x in t.starts("a", where="data")],
                         [["../data//a", "-T", "/tmp/.uci/", "-D", "../data/"]])
        self.assertEqual([x.argv for x in t.starts("a")], [["a", "-r", "129"]])
        self.assertEqual(w.out(), "failed boot, then clean bootchk, and try again\nfailed for normal boot, exit\n")
        self.assertIsNone(self.bootchk())
        self.assertTrue(os.path.exists(t.path("data", "a")))  # upgraded files stay in place
        self.assertEqual(t.events(), ["a exited normally with code(129)"] * 2)

    def test_bootchk_that_cannot_be_removed_ends_the_watchdog_instead_of_looping(self):
        t = self.t
        t.config([("a", False)])
        t.child("a", "exit 129", where="data")
        harness.write(t.path("data", ".bootchk"), '{"version":"x","plugindata":1}')
        subprocess.run(["mount", "--bind", t.data, t.data], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", t.data])
        subprocess.run(["mount", "-o", "remount,bind,ro", t.data], check=True)
        w = t.start()
        self.assertEqual(w.wait(), 0)
        self.assertEqual(w.out(), "failed for normal boot, exit\n")
        self.assertEqual(t.events(), ["a exited normally with code(129)"])  # one start, no loop


    def test_watchdog_killed_while_unpacking_finishes_the_upgrade_at_its_next_start(self):
        t = self.t
        env, marker = hanging_upgrade(t)
        w = harness.Proc([t.watchdog], env=env)
        t.procs.append(w)
        self.assertTrue(harness.wait_for(lambda: os.path.exists(marker) and harness.read(marker).strip()))
        tar_pid = int(harness.read(marker))
        os.kill(w.pid, signal.SIGKILL)
        w.wait()
        # The step's helper dies with the watchdog instead of running on.
        self.assertTrue(harness.wait_for(lambda: not alive(tar_pid)))
        self.assertTrue(os.path.exists(PACKAGE))
        self.assertIsNone(self.bootchk())

        w2 = t.start()
        upgraded = t.wait_starts("a", 1, where="data")[0]
        self.assertEqual(upgraded.argv, ["../data//a", "-T", "/tmp/.uci/", "-D", "../data/"])
        self.assertTrue(w2.out().startswith("upgrade 130 was interrupted, applying it again\n"), w2.out())
        self.assertEqual(json.loads(self.bootchk()), {"version": "24.02.19.15", "plugindata": 1})
        self.assertFalse(os.path.exists(PACKAGE))
        self.assertFalse(os.path.exists(t.root + "/data.stage"))

    def test_upgrade_that_crashes_before_it_is_seen_alive_is_rolled_back(self):
        t = self.t
        t.config([("a", True)])
        t.child("a", "segv", where="data")
        t.child("a", "alive 20")
        harness.write(t.path("data", ".bootchk"), '{"version":"x","plugindata":1}')
        w = t.start()
        factory = t.wait_starts("a", 1)[0]
        self.assertEqual(factory.argv, ["a", "-r", "129", "-A", "/tmp/.uci//a.alive"])
        self.assertEqual(w.out(), "a died by signal 11 before it was seen alive, so the upgrade failed to boot\n"
                                  "failed boot, then clean bootchk, and try again\n"
                                  "Will restart normal prog after 10 secs\n")
        self.assertIsNone(self.bootchk())
        self.assertEqual(t.events(), ["a killed by signal(11)"])

    def test_crash_of_an_upgrade_seen_alive_or_after_its_first_minute_is_an_ordinary_crash(self):
        t = self.t
        t.config([("a", True), ("b", False)])
        t.child("a", "alive 20 250 segv", "alive 20", where="data")
        t.child("b", "segv 3000", "hang", where="data")
        harness.write(t.path("data", ".bootchk"), '{"version":"x","plugindata":1}')
        w = t.start()
        t.wait_starts("a", 2, where="data", timeout=20)
        t.wait_starts("b", 2, where="data", timeout=20)
        self.assertNotIn("failed to boot", w.out())
        self.assertEqual(restarts(w.out()), [("segv", 60), ("segv", 660)])
        self.assertEqual(json.loads(self.bootchk()), {"version": "x", "plugindata": 1})

    def test_bootchk_directory_with_files_on_an_overlay_is_replaced_by_an_upgrade_step(self):
        t = self.t
        t.config([("a", False)])
        t.child("a", "upgrade 132 sig.pkg", "hang")
        harness.write(t.path("bin", "sig.pkg"), "signatures")
        # The tree lives on an overlay, as the data directory of a router does.
        os.mkdir(t.path("data", ".bootchk"))
        harness.write(t.path("data", ".bootchk", "old"), "x")
        t.start()
        t.wait_starts("a", 2)
        self.assertEqual(self.bootchk(), '{"version":"24.02.19.15"}')

    def test_bundle_copy_onto_a_full_device_keeps_the_installed_bundle(self):
        t = self.t
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "korvex-full", t.data], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", t.data])
        harness.write(t.path("data", "init.bin"), "installed")
        t.config([("a", False)])
        t.child("a", "upgrade 131", "hang")
        harness.write(t.path("bin", "a.pkg"), b"b" * (1 << 20), "wb")
        t.start()
        t.wait_starts("a", 2)
        self.assertEqual(harness.read(t.path("data", "init.bin")), "installed")
        self.assertEqual(self.bootchk(), '{"version":"24.02.19.15"}')
        self.assertFalse(os.path.exists(PACKAGE))


if __name__ == "__main__":
    harness.main()

"""Exit codes 129-132: upgrade packages, the upgraded boot and the rollback."""
import io
import json
import os
import stat
import subprocess
import tarfile

import harness
from wdharness import CHILD, UCI, TreeCase

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


class Upgrade(TreeCase):
    def bootchk(self):
        try:
            return harness.read(self.t.path("data", ".bootchk"))
        except FileNotFoundError:
            return None

    def test_exit_131_installs_the_bundle_and_starts_a_new_cycle(self):
        t = self.t
        t.config([("a", False)])
        t.child("a", "exit 131", "exit 131", "hang")
        bundle = bytes(range(256)) * 9
        harness.write(PACKAGE, bundle, "wb")
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
        t.child("a", "exit 130")
        harness.write(PACKAGE, archive({"a": (harness.read(CHILD, "rb"), 0o755), "a.plan": (b"alive 20\n", 0o644)}),
                      "wb")
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
        t.child("a", "exit 130", "exit 132 300", "hang")
        harness.write(PACKAGE, "not a tar")
        w = t.start()
        t.wait_starts("a", 2)
        self.assertEqual(self.bootchk(), '{"version":"24.02.19.15"}')
        self.assertFalse(os.path.exists(PACKAGE))
        harness.write(PACKAGE, "signatures")
        harness.write(t.path("data", ".bootchk"), '{"version":"1.0"}')
        s = t.wait_starts("a", 3)
        self.assertEqual([x.argv for x in s], [["a"], ["a", "-r", "130"], ["a", "-r", "132"]])
        self.assertEqual(self.bootchk(), '{"version":"1.0"}')  # an existing version stays
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
        self.assertEqual(w.out(), "failed boot, then clean bootchk, and try againfailed for normal boot, exit")
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
        self.assertEqual(w.out(), "failed for normal boot, exit")
        self.assertEqual(t.events(), ["a exited normally with code(129)"])  # one start, no loop


if __name__ == "__main__":
    harness.main()

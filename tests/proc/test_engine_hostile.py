"""Files an attacker or an unlucky operator leaves where the engine reads:
FIFOs, huge files, damaged precompiled chunks. None may hang or bloat it."""
import glob
import os
import signal
import struct
import subprocess

from harness import BUNDLE_TOOL, EngineCase, Proc, main, read, run, wait_for, write

MARKER = """
function lcmd_boot() end
function lcmd_init() print("started") end
function lcmd_runmsg() end
function lcmd_loop() print("loop runs") end
"""


def sparse(path, size):
    """A file of `size` bytes that takes no room."""
    with open(path, "wb") as f:
        f.truncate(size)


class HostileFiles(EngineCase):
    def start_fails(self, t, text):
        p = t.engine("-d")
        self.assertEqual(p.wait(timeout=20), 129)
        self.assertIn(text, p.out())
        return p.out()

    def test_fifo_or_directory_bundle_is_refused_not_waited_for(self):
        for make in (os.mkfifo, os.mkdir):
            with self.subTest(make.__name__):
                t = self.tree(MARKER)
                make(os.path.join(t.bin, "init.bin"))
                self.start_fails(t, "[fatal][lcmd_load_file]: %s/init.bin is not a regular file, refused"
                                 % t.bin)

    def test_fifo_bootchk_and_config_are_passed_over(self):
        t = self.tree()
        os.mkfifo(os.path.join(t.data, ".bootchk"))
        os.unlink(os.path.join(t.bin, "config"))
        os.mkfifo(os.path.join(t.bin, "config"))
        t.engine()
        self.assertTrue(t.wait_serving())
        self.assertEqual(t.cli("sys", "ping")[0], 0)

    def test_huge_files_are_refused_before_they_are_read(self):
        t = self.tree(MARKER)
        sparse(os.path.join(t.bin, "init.bin"), (256 << 20) + 1)
        self.start_fails(t, "%s/init.bin is larger than 268435456 bytes, refused" % t.bin)

        t = self.tree(MARKER)
        sparse(os.path.join(t.data, ".bootchk"), 1 << 30)
        p = t.engine("-d")
        self.assertTrue(p.wait_output("loop runs"))
        self.assertIn("[error][lcmd_init_all]: %s/.bootchk is larger than 65536 bytes, ignored" % t.data, p.out())

    def test_damaged_precompiled_chunk_cannot_make_the_loader_allocate_gigabytes(self):
        t = self.tree(MARKER + "\nlocal long = '%s'\n" % ("x" * 300))
        src = os.path.join(t.bin, "init.lua")
        subprocess.run(["luac5.3", "-o", src, src], check=True)
        chunk = bytearray(read(src, "rb"))
        # Long strings are stored as 0xFF and their size + 1 as a size_t.
        size = b"\xff" + struct.pack("=Q", 301)
        at = chunk.find(size)
        self.assertGreater(at, 0)
        chunk[at + 1:at + 9] = struct.pack("=Q", 3 << 30)
        write(src, bytes(chunk), "wb")
        self.start_fails(t, "luaL_dofile init.lua failed :not enough memory")


class SourceChangedDuringCopy(EngineCase):
    """c.file's copy_file while another process changes the source: the
    copy is stopped once it is under way, the source changed, the copy let
    go on. A copy that is neither the old source nor the new one is never
    reported as done."""

    SIZE = 64 << 20

    def copy_while(self, change):
        t = self.tree()
        out = t.path("out")
        os.makedirs(out)
        src = t.path("src")
        dst = os.path.join(out, "dst")
        script = t.path("copy.lua")
        write(script, 'print("copy " .. tostring(require("c.file").copy_file(%r, %r)))\n' % (src, dst))

        def temp_size():
            for path in glob.glob(os.path.join(out, ".copy_file.*")):
                try:
                    return os.path.getsize(path)
                except OSError:
                    pass
            return 0
        # A loaded machine may let a copy run to its end before it is
        # stopped: then it proves nothing, and is started again.
        for _ in range(5):
            write(dst, "old destination")
            sparse(src, self.SIZE)
            p = Proc([os.path.join(t.bin, "ut"), script], cwd=t.bin)
            t.procs.append(p)
            wait_for(lambda: temp_size() > 256 << 10 or p.p.poll() is not None, timeout=60, step=0.001)
            p.signal(signal.SIGSTOP)
            try:
                caught = 0 < temp_size() < self.SIZE // 2
                if caught:
                    change(src)
            finally:
                p.signal(signal.SIGCONT)
            self.assertEqual(p.wait(timeout=120), 0, p.err())
            if caught:
                break
        self.assertTrue(caught, "no copy was caught half-way")
        self.assertIn("copy false\n", p.out())
        self.assertEqual(read(dst), "old destination")
        self.assertEqual(sorted(os.listdir(out)), ["dst"], "a temporary file was left")

    def test_a_source_cut_short_meanwhile_gives_false_and_keeps_the_destination(self):
        self.copy_while(lambda src: os.truncate(src, 1000))

    def test_a_source_grown_meanwhile_gives_false(self):
        def grow(src):
            with open(src, "ab") as f:
                f.write(b"more")
        self.copy_while(grow)

    def test_a_source_rewritten_in_place_meanwhile_gives_false(self):
        def rewrite(src):
            with open(src, "r+b") as f:
                f.seek(self.SIZE - 4)
                f.write(b"new!")
        self.copy_while(rewrite)


class BundleTool(EngineCase):
    def test_inspect_of_a_directory_says_why_it_cannot_be_read(self):
        t = self.tree()
        code, _, err = run([BUNDLE_TOOL, "inspect", t.bin])
        self.assertNotEqual(code, 0)
        self.assertEqual(err, "korvex-bundle: cannot read %s: Is a directory\n" % t.bin)


if __name__ == "__main__":
    main()

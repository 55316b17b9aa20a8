"""korvex-bundle check, pack, inspect and new: what compiles, bundles of
several files, bad input, and nothing half-written."""
import os
import re
import subprocess

from harness import BUNDLE_TOOL, EngineCase, main, make_dir, read, run, write

GOOD = "function lcmd_init() end\nfunction lcmd_runmsg() end\n"
# The syntax error is on line 3.
BROKEN = "function lcmd_init() end\n\nfunction lcmd_runmsg( end\n"


def tool(*args, cwd=None):
    return run([BUNDLE_TOOL] + list(args), cwd=cwd, timeout=120)


class Inputs(EngineCase):
    """Files made once per case in a fresh directory."""

    def setUp(self):
        super().setUp()
        self.d = make_dir("kit-")

    def file(self, name, text, mode="w"):
        path = os.path.join(self.d, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        write(path, text, mode)
        return path

    def precompiled(self, name, text):
        src = self.file(name + ".src", text)
        out = os.path.join(self.d, name)
        subprocess.run(["luac5.3", "-o", out, src], check=True)
        return out

    def huge(self):
        # 300 MB without writing them: sparse.
        path = os.path.join(self.d, "huge.lua")
        with open(path, "wb") as f:
            f.truncate(300 * 1000 * 1000)
        return path

    def fifo(self):
        path = os.path.join(self.d, "fifo.lua")
        os.mkfifo(path)
        return path


class Check(Inputs):
    def test_source_and_precompiled_chunks_that_compile_pass(self):
        for path in (self.file("good.lua", GOOD), self.precompiled("good.luac", GOOD)):
            with self.subTest(path=path):
                code, out, err = tool("check", path)
                self.assertEqual((code, err), (0, ""))
                self.assertIn(path, out)

    def test_syntax_error_is_reported_with_file_and_line(self):
        path = self.file("broken.lua", BROKEN)
        code, out, err = tool("check", path)
        self.assertEqual(code, 1)
        self.assertRegex(err, r"^korvex-bundle: %s:3: " % re.escape(path))

    def test_every_file_is_checked_and_one_failure_fails_the_whole(self):
        good, broken = self.file("a.lua", GOOD), self.file("b.lua", BROKEN)
        code, out, err = tool("check", broken, good)
        self.assertEqual(code, 1)
        self.assertIn(good, out)
        self.assertIn(broken + ":3:", err)

    def test_bad_inputs_fail_with_a_reason_and_never_block(self):
        cases = {
            "empty": (self.file("empty.lua", ""), "is empty"),
            "binary": (self.file("bin.lua", bytes(range(256)) * 4, "wb"), "bin.lua:1:"),
            "not Lua": (self.file("text.lua", "this is not Lua at all\n"), "text.lua:1:"),
            "truncated precompiled": (None, "truncated"),
            "huge": (self.huge(), "is larger than"),
            "directory": (self.d, "Is a directory"),
            "fifo": (self.fifo(), "is not a regular file"),
            "missing": (os.path.join(self.d, "none.lua"), "No such file"),
        }
        whole = read(self.precompiled("cut.luac", GOOD * 20), "rb")
        cases["truncated precompiled"] = (self.file("cut2.luac", whole[:len(whole) // 2], "wb"), "truncated")
        for what, (path, reason) in cases.items():
            with self.subTest(what):
                code, out, err = tool("check", path)
                self.assertEqual(code, 1)
                self.assertIn(reason, err)
                self.assertEqual(out, "")

    def test_a_packed_bundle_is_decoded_and_compiled(self):
        src, packed = self.file("init.lua", GOOD), os.path.join(self.d, "init.bin")
        self.assertEqual(tool("pack", src, packed)[0], 0)
        code, out, err = tool("check", packed)
        self.assertEqual((code, err), (0, ""))
        self.assertIn("packed", out)


class Pack(Inputs):
    def test_what_does_not_compile_is_refused_and_nothing_is_written(self):
        out_path = os.path.join(self.d, "init.bin")
        bad = {
            "broken": self.file("broken.lua", BROKEN),
            "empty": self.file("empty.lua", ""),
            "huge": self.huge(),
            "directory": self.d,
            "fifo": self.fifo(),
        }
        for what, path in bad.items():
            with self.subTest(what):
                code, out, err = tool("pack", path, out_path)
                self.assertEqual(code, 1)
                self.assertTrue(err.startswith("korvex-bundle: "), err)
                self.assertFalse(os.path.exists(out_path))
        self.assertEqual([n for n in os.listdir(self.d) if n.startswith("init.bin")], [])

    def test_a_refused_pack_leaves_the_previous_bundle_alone(self):
        good, out_path = self.file("init.lua", GOOD), os.path.join(self.d, "init.bin")
        self.assertEqual(tool("pack", good, out_path)[0], 0)
        before = read(out_path, "rb")
        code, _, err = tool("pack", self.file("broken.lua", BROKEN), out_path)
        self.assertEqual(code, 1)
        self.assertIn("broken.lua:3:", err)
        self.assertEqual(read(out_path, "rb"), before)

    def test_a_module_that_does_not_compile_is_refused_with_its_file_and_line(self):
        main_path = self.file("b/init.lua", GOOD)
        self.file("b/lib/ok.lua", "return {}\n")
        bad = self.file("b/lib/bad.lua", "return {\n\n\n")
        code, _, err = tool("pack", main_path, os.path.join(self.d, "b/lib"), os.path.join(self.d, "x.bin"))
        self.assertEqual(code, 1)
        self.assertIn(bad + ":4:", err)
        self.assertFalse(os.path.exists(os.path.join(self.d, "x.bin")))

    def test_module_names_and_refused_module_arguments(self):
        main_path = self.file("b/init.lua", GOOD)
        self.file("b/lib/one.lua", "return 1\n")
        self.file("b/lib/sub/init.lua", "return 2\n")
        outside = self.file("other/x.lua", "return 3\n")
        out_path = os.path.join(self.d, "x.bin")
        code, out, err = tool("pack", main_path, os.path.join(self.d, "b/lib"), "named=" + outside,
                              "more=" + os.path.join(self.d, "b/lib"), out_path)
        self.assertEqual((code, err), (0, ""))
        code, out, _ = tool("inspect", out_path)
        self.assertEqual(code, 0)
        self.assertIn("modules     lib.one lib.sub named more.one more.sub\n", out)
        self.assertIn("compile     ok\n", out)
        refused = {
            "outside without a name": [outside],
            "the same name twice": [os.path.join(self.d, "b/lib/one.lua"), "lib.one=" + outside],
            "a name with a quote": ['a"b=' + outside],
            "a directory without Lua files": [make_dir("kit-empty-")],
        }
        for what, args in refused.items():
            with self.subTest(what):
                os.unlink(out_path)
                code, _, err = tool("pack", main_path, *args, out_path)
                self.assertEqual(code, 1)
                self.assertTrue(err.startswith("korvex-bundle: "), err)
                self.assertFalse(os.path.exists(out_path))
                write(out_path, "placeholder")


class Inspect(Inputs):
    def test_inspect_says_whether_plain_content_compiles(self):
        for text, expected in ((GOOD, "compile     ok\n"), (BROKEN, "compile     failed: ")):
            with self.subTest(text=text):
                path = self.file("init.bin", text)
                code, out, _ = tool("inspect", path)
                self.assertEqual(code, 1)  # plain text is not a packed bundle
                self.assertIn(expected, out)
        self.assertIn("init.bin:3:", out)


class New(Inputs):
    def test_new_writes_a_bundle_that_checks_and_packs(self):
        target = os.path.join(self.d, "mine")
        code, out, err = tool("new", target)
        self.assertEqual((code, err), (0, ""))
        for name in ("init.lua", "config", "tests/hello_test.lua", "korvex/listener.lua",
                     "korvex/testrun.lua", "korvex/log.lua", "korvex/replay.lua"):
            self.assertTrue(os.path.isfile(os.path.join(target, name)), name)
        self.assertEqual([n for n in os.listdir(self.d) if n.startswith(".")], [])
        lua = [os.path.join(target, "init.lua")] + [os.path.join(target, "korvex", n)
                                                    for n in os.listdir(os.path.join(target, "korvex"))]
        self.assertEqual(tool("check", *lua)[0], 0)
        code, _, err = tool("pack", "init.lua", "korvex", "init.bin", cwd=target)
        self.assertEqual((code, err), (0, ""))
        # The bundle's own directory as modules: everything but the main script.
        code, _, err = tool("pack", "init.lua", ".", "all.bin", cwd=target)
        self.assertEqual((code, err), (0, ""))
        out = tool("inspect", "all.bin", cwd=target)[1]
        self.assertIn("modules     korvex.listener korvex.log korvex.replay korvex.testrun tests.hello_test\n", out)

    def test_new_never_writes_into_something_that_exists(self):
        existing = {
            "empty directory": make_dir("kit-exists-"),
            "file": self.file("plain", "keep me"),
            "huge file": self.huge(),
            "fifo": self.fifo(),
            "dangling link": os.path.join(self.d, "link"),
        }
        os.symlink(os.path.join(self.d, "nowhere"), existing["dangling link"])
        for what, path in existing.items():
            with self.subTest(what):
                before = os.lstat(path)
                code, out, err = tool("new", path)
                self.assertEqual(code, 1)
                self.assertIn("exists", err)
                after = os.lstat(path)
                self.assertEqual((before.st_ino, before.st_size, before.st_mtime_ns),
                                 (after.st_ino, after.st_size, after.st_mtime_ns))
        self.assertEqual(os.listdir(existing["empty directory"]), [])
        self.assertFalse(os.path.exists(os.path.join(self.d, "nowhere")))
        self.assertEqual(read(existing["file"]), "keep me")

    def test_new_where_the_parent_is_missing_or_a_file_leaves_nothing(self):
        parent_file = self.file("plain", "keep me")
        for target in (os.path.join(self.d, "no", "such", "dir"), os.path.join(parent_file, "b")):
            with self.subTest(target=target):
                code, _, err = tool("new", target)
                self.assertEqual(code, 1)
                self.assertTrue(err.startswith("korvex-bundle: "), err)
                self.assertFalse(os.path.exists(target))
        self.assertEqual(sorted(os.listdir(self.d)), ["plain"])

if __name__ == "__main__":
    main()

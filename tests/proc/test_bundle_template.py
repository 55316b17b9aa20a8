"""The bundle `korvex-bundle new` writes, as it is: its tests through `ut`,
the engine role (plain and packed), and an upgrade under the watchdog to a
bundle of several files."""
import json
import os
import shutil
import subprocess

import harness
import wdharness
from harness import BUNDLE_TOOL, ENGINE, EngineCase, main, run, write

ENGINE_NAME = "korvex-dpi-inner"


def new_bundle(parent, name="mine"):
    target = os.path.join(parent, name)
    subprocess.run([BUNDLE_TOOL, "new", target], check=True, stdout=subprocess.DEVNULL)
    return target


def pack(src_dir, out, *extra, version="1.0.0.0"):
    subprocess.run([BUNDLE_TOOL, "pack", "-v", version, "init.lua", "korvex"] + list(extra) + [out],
                   check=True, cwd=src_dir, stdout=subprocess.DEVNULL)


def greet(tree_bin, tmp, name=None):
    args = [os.path.join(tree_bin, "CLI_client"), "-T", tmp, "hello", "greet"]
    if name:
        args.append(json.dumps({"name": name}))
    code, out, _ = run(args)
    return json.loads(out)["text"] if code == 0 and out.startswith("{") else out


class Template(EngineCase):
    def test_its_tests_pass_through_ut_started_in_its_directory(self):
        d = new_bundle(harness.make_dir("tpl-"))
        harness.link_as(ENGINE, d, "ut")
        code, out, _ = run([os.path.join(d, "ut"), "tests/hello_test.lua"], cwd=d)
        self.assertEqual(code, 0, out)
        self.assertRegex(out, r"\n[1-9]\d* passed, 0 failed\n")
        # A failing test makes ut fail, so that a build can stop on it.
        write(os.path.join(d, "tests", "failing_test.lua"), 'test("fails", function() eq(1, 2) end)\n')
        code, out, _ = run([os.path.join(d, "ut"), "tests/hello_test.lua", "tests/failing_test.lua"], cwd=d)
        self.assertEqual(code, 1, out)
        self.assertIn("FAIL fails: ", out)

    def test_it_runs_in_the_engine_role_plain_and_packed(self):
        for packed in (False, True):
            with self.subTest(packed=packed):
                t = self.tree("")
                os.unlink(os.path.join(t.bin, "init.lua"))
                src = new_bundle(t.root)
                if packed:
                    pack(src, os.path.join(t.bin, "init.bin"))
                    shutil.copy(os.path.join(src, "config"), t.bin)
                else:
                    shutil.copytree(src, t.bin, dirs_exist_ok=True)
                p = t.engine("-d")
                self.assertTrue(t.wait_serving(), p.out())
                self.assertEqual(greet(t.bin, t.tmp, "you"), "hello, you")
                code, out, _ = t.cli("help")
                self.assertEqual(json.loads(out)["hello"], ["greet"])
                # The engine's own health check is answered on the way.
                self.assertEqual(json.loads(t.cli('{"subtype":"sys","action":"collect_memory"}')[1])["code"], 0)
                code, out, _ = t.cli("sys", "exit")
                self.assertEqual(p.wait(), 128, p.out())
                self.assertIn("exit requested", p.out())
                self.assertFalse(os.path.exists(t.socket()))
                t.close()


class UnderTheWatchdog(wdharness.TreeCase):
    def install(self, src):
        bin_dir = self.t.bin
        pack(src, os.path.join(bin_dir, "init.bin"))
        config = json.loads(harness.read(os.path.join(src, "config")))
        config["__watch"] = {"processes": [{"base": ENGINE_NAME, "excheck": True}]}
        write(os.path.join(bin_dir, "config"), json.dumps(config))
        for name in (ENGINE_NAME, "CLI_client"):
            harness.link_as(ENGINE, bin_dir, name)

    def serving(self):
        # /proc/net/unix lists other namespaces' sockets of the same name too.
        return harness.wait_for(lambda: os.path.exists("/tmp/.uci/.__scli") and
                                harness.listening("/tmp/.uci/.__scli"), 30)

    def test_an_upgrade_to_a_bundle_of_several_files_is_installed_and_runs(self):
        src = new_bundle(self.t.root, "v1")
        self.install(src)
        w = self.t.start()
        self.assertTrue(self.serving(), w.out())
        self.assertTrue(harness.wait_for(lambda: greet(self.t.bin, "/tmp/.uci") == "hello, world", 10), w.out())

        # Version 2 takes its greeting from a module of its own.
        v2 = new_bundle(self.t.root, "v2")
        os.makedirs(os.path.join(v2, "text"))
        write(os.path.join(v2, "text", "greeting.lua"), 'return { word = "good day" }\n')
        init = harness.read(os.path.join(v2, "init.lua"))
        write(os.path.join(v2, "init.lua"), init.replace(
            'local greeting = listener.config.greeting or "hello"',
            'local greeting = require("text.greeting").word'))
        pack(v2, os.path.join(self.t.root, "v2.bin"), "text", version="2.0.0.0")
        shutil.copy(os.path.join(self.t.root, "v2.bin"), "/tmp/.uci/ttupgrade.tgz")
        code, out, _ = run([os.path.join(self.t.bin, "CLI_client"), "-T", "/tmp/.uci", "sys", "upgrade"])
        self.assertEqual(json.loads(out)["exit_code"], 131, out)

        self.assertTrue(harness.wait_for(
            lambda: greet(self.t.bin, "/tmp/.uci") == "good day, world", 30), w.out())
        self.assertEqual(json.loads(harness.read(self.t.path("data", ".bootchk")))["luadata"], 1)
        self.assertIn("%s exited normally with code(131)" % ENGINE_NAME, "\n".join(self.t.events()))


if __name__ == "__main__":
    main()

"""Roles by program name, option parsing and the directories the engine uses."""
import json
import os

from harness import EngineCase, main, run, wait_for, write

ECHO_ARGS = """
function lcmd_init() end
function lcmd_runmsg() end
function lcmd_unittest(...)
    print("args: " .. table.concat({...}, " "))
end
"""


def status(tree):
    code, out, _ = tree.cli("sys", "status")
    return json.loads(out)


class Roles(EngineCase):
    def test_cli_client_resolves_T_and_gets_the_words_after_the_options(self):
        t = self.tree()
        t.engine()
        self.assertTrue(t.wait_serving())
        code, out, _ = run([os.path.join(t.bin, "CLI_client"), "-T", t.tmp, "sys", "echo"])
        self.assertEqual(code, 0)
        self.assertEqual(json.loads(out), {"action": "echo", "subtype": "sys"})

    def test_a_plain_argument_stops_option_parsing(self):
        # sys, exit and -d are three words: the third must be a JSON object.
        t = self.tree()
        t.engine()
        self.assertTrue(t.wait_serving())
        code, out, _ = t.cli("sys", "exit", "-d")
        self.assertEqual((code, out), (0, "failed to json parse\n"))
        self.assertIn('"code":\t0', t.cli("sys", "status")[1])  # the engine was not told to exit

    def test_ut_gets_every_argument_and_takes_no_lock(self):
        t = self.tree(ECHO_ARGS)
        code, out, _ = run([os.path.join(t.bin, "ut"), "a", "-d", "b"], cwd="/")
        self.assertEqual(code, 0)
        self.assertIn("args: a -d b\n", out)
        self.assertFalse(os.path.exists("/tmp/.uci/app_b01_run.pid"))

    def test_ut_without_a_bundle_reports_and_fails(self):
        t = self.tree(ECHO_ARGS)
        os.unlink(os.path.join(t.bin, "init.lua"))
        code, out, _ = run([os.path.join(t.bin, "ut"), "x"])
        self.assertEqual(code, 1)
        self.assertIn("[fatal][app_lcmd_unittest]: failed init lua state from %s" % t.bin, out)

    def test_ut_reports_a_raising_test_entry(self):
        t = self.tree(ECHO_ARGS.replace('print("args: " .. table.concat({...}, " "))', 'error("boom " .. ...)'))
        code, out, _ = run([os.path.join(t.bin, "ut"), "x"])
        self.assertEqual(code, 1)
        self.assertIn("[fatal][app_lcmd_unittest]: pcall lcmd_unittest failed :", out)
        self.assertIn("boom x", out)

    def test_ut_exit_status_is_what_lcmd_unittest_returns(self):
        cases = [("", 0), ("return 0", 0), ("return 3", 3), ("return 255", 255), ("return 2.0", 2),
                 ("return false", 1), ("return true", 0), ("return nil", 0), ("return {}", 0),
                 ("return 256", 1), ("return -1", 1), ("return 2.5", 1), ("return 1 << 40", 1),
                 ('return "3 tests failed"', 1), ('return "0"', 1)]
        for body, expected in cases:
            with self.subTest(body=body):
                t = self.tree("function lcmd_init() end\nfunction lcmd_runmsg() end\n"
                              "function lcmd_unittest() %s end\n" % body)
                code, out, _ = run([os.path.join(t.bin, "ut")])
                self.assertEqual(code, expected, out)
                if body.startswith('return "'):
                    self.assertIn("[fatal][app_lcmd_unittest]: lcmd_unittest return failed :", out)
                t.close()

    def test_ut_resolves_relative_paths_against_the_directory_it_was_started_in(self):
        t = self.tree(ECHO_ARGS.replace('print("args: " .. table.concat({...}, " "))',
                                        'print("args: " .. table.concat({...}, " ")) print("startdir: " .. startdir)'))
        work = t.path("work")
        os.makedirs(os.path.join(work, "tests"))
        write(os.path.join(work, "tests", "a_test.lua"), "")
        code, out, _ = run([os.path.join(t.bin, "ut"), "tests/a_test.lua", "tests", "-d", "missing.lua",
                            "/abs", "sys"], cwd=work)
        self.assertEqual(code, 0)
        self.assertIn("args: %s/tests/a_test.lua %s/tests -d missing.lua /abs sys\n" % (work, work), out)
        self.assertIn("startdir: %s\n" % work, out)


class Options(EngineCase):
    def test_return_code_is_handed_to_the_scripts_with_automatic_base(self):
        for arg, expected in ((None, 0), ("0x10", 16), ("010", 8), ("129", 129)):
            with self.subTest(arg=arg):
                t = self.tree()
                p = t.engine(*(["-r", arg] if arg else []))
                self.assertTrue(t.wait_serving())
                self.assertEqual(status(t)["ret_code"], expected)
                p.kill()

    def test_relative_T_and_D_are_taken_from_the_start_directory(self):
        t = self.tree()
        os.makedirs(t.path("other", "t2"))
        os.makedirs(t.path("other", "d2"))
        argv = [os.path.join(t.bin, "korvex-dpi-inner"), "-T", "other/t2", "-D", "other/d2"]
        from harness import Proc
        p = Proc(argv, cwd=t.root)
        t.procs.append(p)
        sock = t.path("other", "t2", ".__scli")
        self.assertTrue(wait_for(lambda: os.path.exists(sock)))
        code, out, _ = run([os.path.join(t.bin, "CLI_client"), "-T", t.path("other", "t2"), "sys", "status"])
        s = json.loads(out)
        self.assertEqual(s["tmppath"], t.path("other", "t2"))
        self.assertEqual(s["datapath"], t.path("other", "d2"))

    def test_default_data_directory_is_taken_from_the_program_directory(self):
        t = self.tree()
        from harness import Proc
        p = Proc([os.path.join(t.bin, "korvex-dpi-inner"), "-T", t.tmp], cwd="/")
        t.procs.append(p)
        self.assertTrue(t.wait_serving())
        s = status(t)
        self.assertEqual(s["datapath"], t.data)
        self.assertEqual(s["rootpath"], t.bin)

    def test_missing_data_directory_leaves_datapath_absent(self):
        t = self.tree()
        os.rmdir(t.data)
        t.engine("-D", t.path("nowhere"))
        self.assertTrue(t.wait_serving())
        self.assertIsNone(status(t)["datapath"])

    def test_default_tmp_directory_is_tmp_uci(self):
        t = self.tree()
        t.engine(dirs=False)
        self.assertTrue(wait_for(lambda: os.path.exists("/tmp/.uci/.__scli")))
        code, out, _ = run([os.path.join(t.bin, "CLI_client"), "sys", "status"])
        self.assertEqual(json.loads(out)["tmppath"], "/tmp/.uci")

    def test_unknown_options_are_reported_and_ignored(self):
        t = self.tree()
        p = t.engine("-x", "-m", "ignored", "-d")
        self.assertTrue(t.wait_serving())
        # The C library's own getopt text: glibc "invalid option", musl "unrecognized option".
        self.assertRegex(p.err(), "(invalid|unrecognized) option")
        self.assertIn("[info][lcmd_init_all]: tmppath %s, datapath %s" % (t.tmp, t.data), p.out())


if __name__ == "__main__":
    main()

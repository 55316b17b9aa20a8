"""Finding, decoding and starting the script bundle; the entry-function contract."""
import json
import os
import subprocess

from harness import BUNDLE_TOOL, EngineCase, install_demo, main, read, write

# A bundle that says where it was loaded from and otherwise does nothing.
MARKER = """
local where = rootpath
function lcmd_boot(tmp, data) print("boot " .. tostring(tmp) .. " " .. tostring(data)) end
function lcmd_init(config, ...) print("loaded %s from " .. where) end
function lcmd_runmsg() end
function lcmd_loop() print("loop runs") end
"""


def marker(name):
    return MARKER.replace("%s", name)


def pack(src, dst, *modules):
    subprocess.run([BUNDLE_TOOL, "pack", src] + list(modules) + [dst], check=True, stdout=subprocess.DEVNULL)


class Selection(EngineCase):
    def run_engine(self, t):
        p = t.engine("-d")
        self.assertTrue(p.wait_output("loop runs"))
        return p.out()

    def test_packed_bundle_wins_over_plain_text(self):
        t = self.tree(marker("plain"))
        src = t.path("packed.lua")
        write(src, marker("packed"))
        pack(src, os.path.join(t.bin, "init.bin"))
        self.assertIn("loaded packed from " + t.bin, self.run_engine(t))

    def test_demo_runs_packed(self):
        t = self.tree(packed=True)
        t.engine()
        self.assertTrue(t.wait_serving())
        self.assertEqual(json.loads(t.cli("sys", "status")[1])["rootpath"], t.bin)

    def test_precompiled_chunk_loads_packed_and_plain(self):
        t = self.tree(marker("x"))
        src = os.path.join(t.bin, "init.lua")
        compiled = t.path("init.luac")
        subprocess.run(["luac5.3", "-o", compiled, src], check=True)
        os.replace(compiled, src)
        self.assertIn("loaded x from", self.run_engine(t))
        pack(src, os.path.join(t.bin, "init.bin"))
        os.unlink(src)
        t.procs[-1].kill()
        self.assertIn("loaded x from", self.run_engine(t))

    def test_init_bin_that_is_not_packed_runs_as_text(self):
        t = self.tree()
        os.unlink(os.path.join(t.bin, "init.lua"))
        write(os.path.join(t.bin, "init.bin"), marker("textbin"))
        self.assertIn("loaded textbin from", self.run_engine(t))

    def test_bootchk_luadata_chooses_the_data_directory(self):
        cases = [('{"luadata":1}', True), ('{"luadata":true}', True), ('{"luadata":2}', False),
                 ('', False), (None, False), ('not json', False), ('{"sigdata":1}', False)]
        for text, from_data in cases:
            with self.subTest(bootchk=text):
                t = self.tree(marker("factory"))
                write(os.path.join(t.data, "init.lua"), marker("upgraded"))
                if text is not None:
                    write(os.path.join(t.data, ".bootchk"), text)
                out = self.run_engine(t)
                expected = "loaded upgraded from " + t.data if from_data else "loaded factory from " + t.bin
                self.assertIn(expected, out)
                self.assertIn("boot %s %s" % (t.tmp, t.data), out)
                t.close()

    def test_require_finds_the_bundles_own_modules_where_it_was_loaded_from(self):
        # The same module name beside the factory bundle and the upgraded
        # one; each bundle gets its own, and a packed module wins over a file.
        uses = """
local helper = require "kit.helper"
function lcmd_boot() end
function lcmd_init() print("helper says " .. helper.name .. " for %s") end
function lcmd_runmsg() end
function lcmd_loop() print("loop runs") end
"""
        for upgraded in (False, True):
            with self.subTest(upgraded=upgraded):
                t = self.tree(uses.replace("%s", "factory"))
                for d, name in ((t.bin, "bin"), (t.data, "data")):
                    os.makedirs(os.path.join(d, "kit"))
                    write(os.path.join(d, "kit", "helper.lua"), 'return { name = "%s" }\n' % name)
                if upgraded:
                    write(os.path.join(t.data, "init.lua"), uses.replace("%s", "upgraded"))
                    write(os.path.join(t.data, ".bootchk"), '{"luadata":1}')
                    self.assertIn("helper says data for upgraded", self.run_engine(t))
                else:
                    self.assertIn("helper says bin for factory", self.run_engine(t))
                t.close()
        t = self.tree(uses.replace("%s", "packed"))
        os.makedirs(t.path("src", "kit"))
        write(t.path("src", "kit", "helper.lua"), 'return { name = "packed" }\n')
        write(t.path("src", "init.lua"), uses.replace("%s", "packed"))
        os.makedirs(os.path.join(t.bin, "kit"))
        write(os.path.join(t.bin, "kit", "helper.lua"), 'return { name = "file" }\n')
        pack(t.path("src", "init.lua"), os.path.join(t.bin, "init.bin"), t.path("src", "kit"))
        self.assertIn("helper says packed for packed", self.run_engine(t))

    def test_absent_data_directory_boots_with_nil(self):
        t = self.tree(marker("x"))
        os.rmdir(t.data)
        p = t.engine("-d", "-D", t.path("gone"))
        self.assertTrue(p.wait_output("loop runs"))
        self.assertIn("boot %s nil" % t.tmp, p.out())


class StartFailures(EngineCase):
    """Each ends in exit code 129 after the start-failure pause, with the logged reason."""

    def failed_start(self, t):
        p = t.engine("-d")
        self.assertEqual(p.wait(), 129)
        out = p.out()
        self.assertIn("[error][main]: failed to init lua engine", out)
        self.assertNotIn("loop runs", out)
        return out

    def test_a_damaged_packed_bundle_ends_the_start_with_129_before_the_loader(self):
        src_tree = self.tree(marker("x"))
        good = src_tree.path("good.bin")
        pack(os.path.join(src_tree.bin, "init.lua"), good)
        blob = bytearray(read(good, "rb"))
        damaged = {
            "payload not a multiple of 16": bytes(blob[:-1]),
            "flipped payload byte": bytes(blob[:30] + bytes([blob[30] ^ 0xFF]) + blob[31:]),
            "wrong key tail": bytes(blob[:20] + bytes(b ^ 0x55 for b in blob[20:24]) + blob[24:]),
        }
        # A cut file no longer matches its header's length and runs as text.
        for what, data in damaged.items():
            with self.subTest(what):
                t = self.tree()
                os.unlink(os.path.join(t.bin, "init.lua"))
                fixed = bytearray(data)
                fixed[4:8] = len(data).to_bytes(4, "big")
                write(os.path.join(t.bin, "init.bin"), bytes(fixed), "wb")
                out = self.failed_start(t)
                self.assertIn("[fatal][app_lcmd_init]: failed init lua state", out)
                self.assertNotIn("lcmd_load_file", out)

    def test_a_missing_bundle_ends_the_start_with_129(self):
        t = self.tree(marker("x"))
        os.unlink(os.path.join(t.bin, "init.lua"))
        self.assertIn("failed init lua state", self.failed_start(t))

    def test_a_bundle_that_cannot_be_read_as_a_file_ends_the_start_with_129(self):
        t = self.tree(marker("x"))
        os.unlink(os.path.join(t.bin, "init.lua"))
        os.mkdir(os.path.join(t.bin, "init.lua"))  # exists, but cannot be read as a file
        self.assertIn("failed init lua state", self.failed_start(t))

    def test_syntax_error_is_logged_by_the_loader(self):
        t = self.tree("function lcmd_init(")
        out = self.failed_start(t)
        self.assertIn('[fatal][lcmd_load_file]: luaL_dofile init.lua failed :[string "init.lua"]:1:', out)

    def test_missing_runmsg_fails_without_a_loader_message(self):
        t = self.tree("function lcmd_init() end")
        out = self.failed_start(t)
        self.assertIn("failed init lua state", out)
        self.assertNotIn("lcmd_load_file", out)

    def test_a_raising_boot_ends_the_start_with_129_and_its_error(self):
        t = self.tree(MARKER.replace("function lcmd_boot(tmp, data) ", "function lcmd_boot(tmp, data) error('no boot') "))
        self.assertIn("[fatal][lcmd_boot]: lcmd_boot failed :[string \"init.lua\"]:3: no boot", self.failed_start(t))

    def test_init_returning_a_text_or_a_number_ends_the_start_with_129(self):
        for result, fails in (("nil", False), ("true", False), ("{}", False), ('"bad config"', True), ("0", True)):
            with self.subTest(result=result):
                t = self.tree(MARKER.replace("function lcmd_init(config, ...) ", "function lcmd_init(config, ...) do return %s end " % result))
                p = t.engine("-d")
                if fails:
                    self.assertEqual(p.wait(), 129)
                    self.assertIn("[fatal][app_lcmd_init]: lcmd_init return failed :%s" % result.strip('"'), p.out())
                else:
                    self.assertTrue(p.wait_output("loop runs"))
                t.close()

    def test_a_raising_init_ends_the_start_with_129_and_its_error(self):
        t = self.tree(MARKER.replace("function lcmd_init(config, ...) ", "function lcmd_init(config, ...) error({}) "))
        self.assertIn("[fatal][app_lcmd_init]: pcall lcmd_init failed :table", self.failed_start(t))

    def test_init_receives_config_path_and_the_three_messages(self):
        bundle = MARKER.replace("function lcmd_init(config, ...) ",
                                "function lcmd_init(config, ...) print('init', config, ...) ")
        t = self.tree(bundle)
        p = t.engine("-d")
        self.assertTrue(p.wait_output("loop runs"))
        self.assertIn('init\t%s/config\t{"subtype":"sys", "action":"set_log", "level":"info", "lineinfo":true}\t\t'
                      '{"subtype":"arch", "action":"set_heid", "heid":"gateway"}\n' % t.bin, p.out())
        q = self.tree(bundle)
        r = q.engine()
        self.assertTrue(r.wait_output("loop runs"))
        self.assertIn('{"subtype":"sys", "action":"set_log", "level":"error"}', r.out())


class Delivery(EngineCase):
    def test_runmsg_failures_before_the_loop_are_logged_and_start_goes_on(self):
        for body, logged in (('return nil, "refused"', "runmsg return failed :refused"),
                             ('error("broken", 0)', "pcall runmsg failed :broken"),
                             ('return "fine"', None)):
            with self.subTest(body=body):
                t = self.tree(MARKER.replace("function lcmd_runmsg() end",
                                             "function lcmd_runmsg(m) print('got ' .. m) %s end" % body))
                p = t.engine("-d", "-r", "7")
                self.assertTrue(p.wait_output("loop runs"))
                out = p.out()
                self.assertIn('got {"subtype":"__svr_oper", "action":"set_ret_code", "ret_code":7}', out)
                if logged:
                    self.assertIn("[fatal][app_lcmd_runmsg]: " + logged, out)
                else:
                    self.assertNotIn("app_lcmd_runmsg", out)
                t.close()

    def test_raising_loop_is_logged_with_the_handlers_text(self):
        t = self.tree(MARKER.replace('function lcmd_loop() print("loop runs") end',
                                     'function lcmd_errhandle(e) return "handled: " .. e end\n'
                                     'function lcmd_loop() print("loop runs") error("stop", 0) end'))
        p = t.engine("-d")
        self.assertTrue(p.wait_output("exit main loop"))
        self.assertIn("[fatal][app_lcmd_loop]: pcall lcmd_loop failed :handled: stop", p.out())


if __name__ == "__main__":
    main()

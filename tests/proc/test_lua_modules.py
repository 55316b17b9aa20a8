"""A build that takes LuaFileSystem, LuaSocket and lua-cjson from the Lua C
module path (KORVEX_LUA_MODULES=system) instead of linking them."""
import os
import shutil
import subprocess
import unittest

from harness import EngineCase, main, make_dir, run

MAPPED = """
function lcmd_init() end
function lcmd_runmsg() end
function lcmd_unittest()
    local seen = {}
    for line in io.lines("/proc/self/maps") do
        local path = line:match("%s(/%S+%.so)$")
        if path then seen[path] = true end
    end
    for path in pairs(seen) do print("mapped " .. path) end
    assert(lfs.currentdir() and require("cjson").encode({1}) == "[1]")
    assert(require("socket.core").gettime() and require("socket.unix").stream())
    print("modules ok")
end
"""

STAGED = os.environ.get("LUA_CPATH_5_3", "")


@unittest.skipUnless(os.environ.get("KORVEX_LUA_MODULES") == "system", "the dependency modules are linked")
class SystemModules(EngineCase):
    def run_ut(self, cpath):
        t = self.tree(MAPPED)
        env = dict(os.environ, LUA_CPATH_5_3=cpath)
        r = subprocess.run([os.path.join(t.bin, "ut"), "x"], env=env, capture_output=True, text=True, timeout=20)
        return r.returncode, r.stdout

    def test_every_module_is_loaded_from_the_module_path(self):
        self.assertTrue(STAGED, "LUA_CPATH_5_3 names the staged modules")
        staged = os.path.dirname(STAGED.split(";")[0])
        code, out = self.run_ut(STAGED)
        self.assertEqual(code, 0, out)
        self.assertIn("modules ok", out)
        for rel in ("lfs.so", "cjson.so", "socket/core.so", "socket/unix.so", "mime/core.so"):
            self.assertIn("mapped " + os.path.join(staged, rel), out)

    def test_a_missing_module_fails_engine_creation_with_a_line_naming_it(self):
        staged = os.path.dirname(STAGED.split(";")[0])
        partial = make_dir("modules-")  # in the case's throw-away /tmp
        shutil.copytree(staged, partial, dirs_exist_ok=True)
        os.unlink(os.path.join(partial, "cjson.so"))
        code, out = self.run_ut(os.path.join(partial, "?.so"))
        self.assertEqual(code, 1)
        self.assertIn("[fatal][engine_create]: cannot load the Lua module cjson: not found:", out)
        self.assertIn("[fatal][app_lcmd_unittest]: failed init lua state", out)

        t = self.tree(MAPPED)
        env = dict(os.environ, LUA_CPATH_5_3=os.path.join(partial, "?.so"))
        r = subprocess.run([os.path.join(t.bin, "korvex-dpi-inner"), "-T", t.tmp, "-D", t.data], env=env,
                           capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 129)
        self.assertIn("cannot load the Lua module cjson", r.stdout)


if __name__ == "__main__":
    main()

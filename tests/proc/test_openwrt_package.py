"""The OpenWrt package recipe: the init script's functions against stubs of
procd and UCI, and the package Makefile's install step against stubs of
the OpenWrt build system's includes."""
import json
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import unittest

import harness
from test_watchdog_upgrade import PACKAGE, hanging_upgrade
from wdharness import TreeCase, alive

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "openwrt")
INIT = os.path.join(SOURCE, "files", "korvex-dpi.init")

# What procd's and UCI's shell helpers do, as far as the script uses them:
# procd calls are recorded one per line, option values come from UCI_*.
STUBS = r"""
log() { echo "$*" >> "$CALLS"; }
config_load() { log "config_load $1"; }
config_get_bool() {
    eval "v=\${UCI_$2_$3-$4}"
    case "$v" in 1|on|true|yes|enabled) v=1 ;; *) v=0 ;; esac
    eval "$1=$v"
}
procd_open_instance() { log "open"; }
procd_set_param() { log "set $*"; }
procd_append_param() { log "append $*"; }
procd_close_instance() { log "close"; }
procd_add_reload_trigger() { log "trigger $*"; }
"""

# The parts of the build system's includes that the Makefile uses; the
# package's install step runs into $(DEST).
RULES_MK = """
INSTALL_DIR:=install -d -m0755
INSTALL_BIN:=install -m0755
INSTALL_DATA:=install -m0644
INSTALL_CONF:=install -m0600
LN:=ln -sf
"""
PACKAGE_MK = """
define BuildPackage
$$(eval $$(Package/$(1)))
install:
\t$$(call Package/$(1)/install,$$(DEST))
conffiles:
\t@echo '$$(strip $$(subst $$(newline), ,$$(Package/$(1)/conffiles)))'
depends:
\t@echo '$$(DEPENDS)'
options:
\t@echo '$$(CMAKE_OPTIONS)'
compile:
\t$$(call Build/Compile)
endef
define newline


endef
"""


class InitScript(unittest.TestCase):
    def start(self, **uci):
        d = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, d)
        calls = os.path.join(d, "calls")
        env = dict(os.environ, CALLS=calls, **{"UCI_main_" + k: v for k, v in uci.items()})
        subprocess.run(["sh", "-c", STUBS + '. "$1"; start_service; service_triggers', "sh", INIT],
                       env=env, check=True)
        with open(calls) as f:
            return f.read().splitlines()

    def test_the_init_script_parses(self):
        subprocess.run(["sh", "-n", INIT], check=True)

    def test_starts_the_watchdog_in_the_foreground_with_a_bounded_respawn(self):
        calls = self.start()
        self.assertEqual(calls, [
            "config_load korvex",
            "open",
            "set command /usr/lib/korvex-dpi/bin/watchdog",
            "set stdout 1",
            "set stderr 1",
            "set respawn 3600 10 5",
            "close",
            "trigger korvex",
        ])

    def test_debug_option_gives_the_watchdog_an_argument(self):
        self.assertIn("append command -d", self.start(debug="1"))

    def test_disabled_service_starts_nothing(self):
        self.assertNotIn("open", self.start(enabled="0"))


def respawn_params():
    """(threshold, timeout, retry) as the init script hands them to procd."""
    d = tempfile.mkdtemp()
    try:
        calls = os.path.join(d, "calls")
        subprocess.run(["sh", "-c", STUBS + '. "$1"; start_service', "sh", INIT],
                       env=dict(os.environ, CALLS=calls), check=True)
        with open(calls) as f:
            params = [line.split()[2:] for line in f.read().splitlines() if line.startswith("set respawn")]
    finally:
        shutil.rmtree(d)
    assert len(params) == 1, params
    return tuple(int(v) for v in params[0])


class Respawn(TreeCase):
    """The watchdog under a stand-in for procd that restarts it as the init
    script's respawn asks (its delay scaled like every other interval)."""

    def supervise(self, argv, env):
        threshold, timeout, retry = respawn_params()
        self.watchdogs = []
        stop = threading.Event()

        def run():
            deaths = 0
            while not stop.is_set() and deaths < retry:
                w = harness.Proc(argv, env=env)
                self.t.procs.append(w)
                self.watchdogs.append(w)
                w.wait(timeout=threshold)
                deaths += 1
                stop.wait(timeout / harness.SCALE)

        def end():
            stop.set()
            for w in self.watchdogs:
                w.kill()
            thread.join(10)

        thread = threading.Thread(target=run, daemon=True)
        thread.start()
        self.addCleanup(end)

    def test_watchdog_killed_during_an_upgrade_comes_back_and_finishes_it(self):
        t = self.t
        env, marker = hanging_upgrade(t, once=True)
        self.supervise([t.watchdog], env)

        self.assertTrue(harness.wait_for(lambda: os.path.exists(marker) and harness.read(marker).strip()))
        first = self.watchdogs[0]
        os.kill(first.pid, signal.SIGKILL)
        first.wait()

        upgraded = t.wait_starts("a", 1, where="data")[0]
        self.assertEqual(upgraded.argv, ["../data//a", "-T", "/tmp/.uci/", "-D", "../data/"])
        self.assertEqual(len(self.watchdogs), 2)
        self.assertTrue(alive(self.watchdogs[1].pid))
        self.assertEqual(json.loads(harness.read(t.path("data", ".bootchk"))),
                         {"version": "24.02.19.15", "plugindata": 1})
        self.assertFalse(os.path.exists(PACKAGE))


class PackageMakefile(unittest.TestCase):
    def make(self, package, built=None, **variables):
        """`make` of one of the recipes against stub includes; returns the
        command line without the target."""
        if not shutil.which("make"):
            self.skipTest("make not installed")
        d = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, d)
        inc = os.path.join(d, "include")
        os.makedirs(inc)
        for name, text in (("package.mk", PACKAGE_MK), ("cmake.mk", "")):
            with open(os.path.join(inc, name), "w") as f:
                f.write(text)
        with open(os.path.join(d, "rules.mk"), "w") as f:
            f.write(RULES_MK)
        self.dir = d
        return ["make", "-s", "-C", os.path.join(SOURCE, package), "TOPDIR=" + d, "INCLUDE_DIR=" + inc,
                "DEST=" + os.path.join(d, "root")] + ["%s=%s" % kv for kv in variables.items()]

    def test_install_places_the_factory_files_init_script_and_config(self):
        d = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, d)
        # What cmake --install leaves in the build's install directory.
        built = os.path.join(d, "ipkg-install")
        for rel in ("bin/watchdog", "bin/korvex-dpi-inner", "bin/init.bin", "bin/config", "lib/libcsecapi.so"):
            path = os.path.join(built, "usr/lib/korvex-dpi", rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(rel)
        make = self.make(".", PKG_INSTALL_DIR=built)
        dest = os.path.join(self.dir, "root")
        subprocess.run(make + ["install"], check=True)

        root = os.path.join(dest, "usr/lib/korvex-dpi")
        for rel, mode in (("bin/watchdog", 0o755), ("bin/korvex-dpi-inner", 0o755), ("bin/init.bin", 0o644),
                          ("bin/config", 0o600), ("lib/libcsecapi.so", 0o644)):
            self.assertEqual(os.stat(os.path.join(root, rel)).st_mode & 0o777, mode, rel)
        for role in ("CLI_client", "ut"):
            self.assertEqual(os.readlink(os.path.join(root, "bin", role)), "korvex-dpi-inner")
        self.assertTrue(os.path.isdir(os.path.join(root, "data")))
        self.assertEqual(os.stat(os.path.join(dest, "etc/init.d/korvex-dpi")).st_mode & 0o777, 0o755)
        self.assertTrue(os.path.exists(os.path.join(dest, "etc/config/korvex")))
        conffiles = subprocess.run(make + ["conffiles"], check=True, capture_output=True, text=True).stdout
        self.assertEqual(conffiles.split(), ["/etc/config/korvex", "/usr/lib/korvex-dpi/bin/config"])

    def test_the_engine_takes_the_lua_modules_of_the_feeds_packages(self):
        make = self.make(".")
        depends = subprocess.run(make + ["depends"], check=True, capture_output=True, text=True).stdout.split()
        # Lua 5.3 builds of LuaSocket and lua-cjson from the packages feed,
        # LuaFileSystem for 5.3 from our own recipe beside this one.
        for dep in ("+liblua5.3", "+luasocket5.3", "+lua-cjson-lua5.3", "+luafilesystem5.3", "+libmbedtls",
                    "+zlib", "+libpcap", "+cJSON", "+libnftables"):
            self.assertIn(dep, depends)
        options = subprocess.run(make + ["options"], check=True, capture_output=True, text=True).stdout.split()
        self.assertIn("-DKORVEX_LUA_MODULES=system", options)
        self.assertIn("-DKORVEX_GATEWAY=openwrt", options)

    def test_luafilesystem_recipe_builds_a_lua53_module_into_the_module_directory(self):
        cc = shutil.which("cc")
        if not cc or not os.path.exists("/usr/include/lua5.3/lua.h"):
            self.skipTest("no C compiler or Lua 5.3 headers")
        d = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, d)
        # The checkout's one source file (a stand-in with its open function).
        build = os.path.join(d, "luafilesystem-1.8.0")
        os.makedirs(os.path.join(build, "src"))
        with open(os.path.join(build, "src", "lfs.c"), "w") as f:
            f.write('#include <lua.h>\n#include <lauxlib.h>\n'
                    'int luaopen_lfs(lua_State *L) { lua_newtable(L); return 1; }\n')
        staging = os.path.join(d, "staging")
        os.makedirs(os.path.join(staging, "usr/include"))
        os.symlink("/usr/include/lua5.3", os.path.join(staging, "usr/include/lua5.3"))
        make = self.make("luafilesystem5.3", BUILD_DIR=d, STAGING_DIR=staging, TARGET_CC=cc, FPIC="-fPIC",
                         TARGET_CFLAGS="-O2")
        subprocess.run(make + ["compile"], check=True)
        subprocess.run(make + ["install"], check=True)
        module = os.path.join(self.dir, "root/usr/lib/lua/5.3/lfs.so")
        self.assertEqual(os.stat(module).st_mode & 0o777, 0o755)
        syms = subprocess.run(["nm", "-D", "--defined-only", module], capture_output=True, text=True).stdout
        self.assertIn(" T luaopen_lfs", syms)
        depends = subprocess.run(make + ["depends"], check=True, capture_output=True, text=True).stdout.split()
        self.assertEqual(depends, ["+liblua5.3"])


if __name__ == "__main__":
    unittest.main(verbosity=2)

#!/bin/sh
# The suite of an engine that takes LuaFileSystem, LuaSocket and lua-cjson
# from the Lua C module path, as on OpenWrt (-DKORVEX_LUA_MODULES=system):
# the three are built from Debian's source packages as loadable modules into
# a staging tree (no pkg-config, nothing linked), and the suite runs with
# only that tree on the module path.
#
#   tools/check-system-modules.sh [ctest arguments]   (build directory: build-sysmod)
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${KORVEX_BUILD_DIR:-$ROOT/build-sysmod}
. "$ROOT/tools/platform-lib.sh"

"$ROOT/tools/setup-deps.sh"
CPATH_53=$(lua_modules_cpath)
cmake -S "$ROOT" -B "$BUILD" -DKORVEX_TEST_CLOCK=ON -DKORVEX_LUA_MODULES=system
cmake --build "$BUILD" -j2
LUA_CPATH_5_3="$CPATH_53" ctest --test-dir "$BUILD" -j2 --output-on-failure "$@"

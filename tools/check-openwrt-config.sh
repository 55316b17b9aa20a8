#!/bin/sh
# The whole suite of the engine configured as the OpenWrt package builds it:
# the gateway library for stock OpenWrt (nftables, in router network
# namespaces of the tests' own), LuaFileSystem, LuaSocket and lua-cjson
# opened from the Lua C module path, and mbed TLS 3.6. One build instead of
# one per difference; tools/check-mbedtls3.sh and
# tools/check-system-modules.sh take each difference alone.
#
#   tools/check-openwrt-config.sh [ctest arguments]   (build directory: build-openwrt)
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${KORVEX_BUILD_DIR:-$ROOT/build-openwrt}
. "$ROOT/tools/platform-lib.sh"

"$ROOT/tools/setup-deps.sh"
PREFIX=$(mbedtls3_prefix)
CPATH_53=$(lua_modules_cpath)
# shellcheck disable=SC2046
cmake -S "$ROOT" -B "$BUILD" -DKORVEX_TEST_CLOCK=ON -DKORVEX_GATEWAY=openwrt \
    -DKORVEX_LUA_MODULES=system $(mbedtls3_cmake_args "$PREFIX")
cmake --build "$BUILD" -j2
LUA_CPATH_5_3="$CPATH_53" ctest --test-dir "$BUILD" -j2 --output-on-failure "$@"

#!/bin/sh
# Builds the test configuration against mbed TLS 3.6, the major version
# current OpenWrt ships, and runs the whole suite against it. The library is
# built once per version of its recipe (tools/build-mbedtls3.sh) into
# /var/cache/korvex-deps or $KORVEX_DEPS_CACHE.
#
#   tools/check-mbedtls3.sh [ctest arguments]     (build directory: build-mbedtls3)
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/tools/platform-lib.sh"

"$ROOT/tools/setup-deps.sh"
BUILD=${KORVEX_BUILD_DIR:-$ROOT/build-mbedtls3}
PREFIX=$(mbedtls3_prefix)
# shellcheck disable=SC2046
cmake -S "$ROOT" -B "$BUILD" -DKORVEX_TEST_CLOCK=ON $(mbedtls3_cmake_args "$PREFIX")
cmake --build "$BUILD" -j2
ctest --test-dir "$BUILD" -j2 --output-on-failure "$@"

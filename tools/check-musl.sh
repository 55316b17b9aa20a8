#!/bin/sh
# Builds the test configuration fully static against musl (x86-64) and runs the
# whole suite against it. The dependencies that Debian has no musl package of
# are built from Debian's source packages first (tools/build-musl-deps.sh, once).
# Installs what it needs first; exits non-zero on any failure.
#
#   tools/check-musl.sh [ctest arguments]         (build directory: build-musl)
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${KORVEX_BUILD_DIR:-$ROOT/build-musl}
. "$ROOT/tools/platform-lib.sh"

"$ROOT/tools/setup-deps.sh"
apt_install musl-tools clang dpkg-dev xz-utils flex bison linux-libc-dev
need_deb_src
"$ROOT/tools/build-musl-deps.sh" "$BUILD/deps"

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/musl-x86_64.cmake" \
    -DKORVEX_MUSL_PREFIX="$BUILD/deps/prefix" -DKORVEX_TEST_CLOCK=ON
cmake --build "$BUILD" -j2
ctest --test-dir "$BUILD" -j2 --output-on-failure "$@"

#!/bin/sh
# Builds the test configuration for 64-bit Arm with Debian's cross compiler and
# the arm64 multiarch -dev packages, and runs the whole suite under qemu-user
# (binfmt). Installs what it needs first; exits non-zero on any failure.
#
#   tools/check-aarch64.sh [ctest arguments]      (build directory: build-aarch64)
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${KORVEX_BUILD_DIR:-$ROOT/build-aarch64}
. "$ROOT/tools/platform-lib.sh"

"$ROOT/tools/setup-deps.sh"
need_arch arm64
apt_install gcc-aarch64-linux-gnu g++-aarch64-linux-gnu qemu-user qemu-user-binfmt \
    liblua5.3-dev:arm64 lua-filesystem-dev:arm64 lua-socket-dev:arm64 lua-cjson-dev:arm64 \
    libmbedtls-dev:arm64 zlib1g-dev:arm64 libpcap-dev:arm64 libcjson-dev:arm64 libgtest-dev:arm64
need_binfmt aarch64

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/aarch64-linux-gnu.cmake" -DKORVEX_TEST_CLOCK=ON
cmake --build "$BUILD" -j2
ctest --test-dir "$BUILD" -j2 --output-on-failure "$@"

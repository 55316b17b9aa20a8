#!/bin/sh
# Builds the test configuration fully static against musl and runs the whole
# suite against it. The dependencies that Debian has no musl package of are
# built from Debian's source packages first (tools/build-musl-deps.sh, once
# per version of that recipe, into /var/cache/korvex-deps or $KORVEX_DEPS_CACHE).
# Installs what it needs first; exits non-zero on any failure.
#
#   tools/check-musl.sh [ctest arguments]         (x86-64; build directory: build-musl)
#
# With KORVEX_MUSL_ARCH=aarch64 (tools/check-aarch64-musl.sh) the same for
# 64-bit Arm with clang and musl built from source, run under qemu-user
# (build directory: build-aarch64-musl).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
ARCH=${KORVEX_MUSL_ARCH:-x86_64}
. "$ROOT/tools/platform-lib.sh"

"$ROOT/tools/setup-deps.sh"
apt_install musl-tools clang dpkg-dev xz-utils flex bison linux-libc-dev
if [ "$ARCH" = aarch64 ]; then
    BUILD=${KORVEX_BUILD_DIR:-$ROOT/build-aarch64-musl}
    need_arch arm64
    apt_install gcc-aarch64-linux-gnu lld llvm-14 linux-libc-dev:arm64 qemu-user qemu-user-binfmt
    need_binfmt aarch64
else
    BUILD=${KORVEX_BUILD_DIR:-$ROOT/build-musl}
fi
need_deb_src
# The dependencies are built once per recipe, outside the clone; one build at
# a time (a second run waits, then finds every step stamped).
DEPS=$(deps_cache_dir "musl-$ARCH" "$ROOT/tools/build-musl-deps.sh" "$ROOT/tools/deb-source.sh")
mkdir -p "$DEPS"
flock "$DEPS.lock" "$ROOT/tools/build-musl-deps.sh" "$DEPS" "$ARCH"

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/musl-$ARCH.cmake" \
    -DKORVEX_MUSL_PREFIX="$DEPS/prefix" -DKORVEX_TEST_CLOCK=ON
cmake --build "$BUILD" -j2
ctest --test-dir "$BUILD" -j2 --output-on-failure "$@"

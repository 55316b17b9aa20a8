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
apt_install dpkg-dev debian-archive-keyring
BUILD=${KORVEX_BUILD_DIR:-$ROOT/build-mbedtls3}
DEPS=$(deps_cache_dir mbedtls3 "$ROOT/tools/build-mbedtls3.sh")
mkdir -p "$DEPS"
flock "$DEPS.lock" "$ROOT/tools/build-mbedtls3.sh" "$DEPS"

# The 3.6 headers and archives take the place of Debian's 2.28 ones.
cmake -S "$ROOT" -B "$BUILD" -DKORVEX_TEST_CLOCK=ON \
    -DMBEDTLS_INCLUDE="$DEPS/prefix/include" \
    -DMBEDCRYPTO_LIB="$DEPS/prefix/lib/libmbedcrypto.a" \
    -DMBEDTLS_LIB="$DEPS/prefix/lib/libmbedtls.a" \
    -DMBEDX509_LIB="$DEPS/prefix/lib/libmbedx509.a"
cmake --build "$BUILD" -j2
ctest --test-dir "$BUILD" -j2 --output-on-failure "$@"

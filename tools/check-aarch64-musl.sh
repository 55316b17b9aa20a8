#!/bin/sh
# The suite of a fully static 64-bit Arm build against musl, with clang and
# musl built from Debian's source, run under qemu-user (build-aarch64-musl/).
#
#   tools/check-aarch64-musl.sh [ctest arguments]
KORVEX_MUSL_ARCH=aarch64 exec "$(dirname "$0")/check-musl.sh" "$@"

# Fully static x86-64 build against musl, the C library of the gateways:
# C with musl-gcc, C++ with clang for musl and the libc++ that
# tools/build-musl-deps.sh builds, with every dependency taken from that
# script's prefix (-DKORVEX_MUSL_PREFIX=<work>/prefix). tools/check-musl.sh
# does all of it.
# Not a cross build: the programs run here as they are (the build itself runs
# the bundle tool), only the C library differs.

set(CMAKE_C_COMPILER musl-gcc)
set(_musl_triple x86_64-linux-musl)
set(_musl_inc /usr/include/x86_64-linux-musl)
set(_musl_lib /usr/lib/x86_64-linux-musl)
execute_process(COMMAND gcc -print-libgcc-file-name OUTPUT_VARIABLE _libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
set(_musl_link_flags "")
include(${CMAKE_CURRENT_LIST_DIR}/musl-common.cmake)

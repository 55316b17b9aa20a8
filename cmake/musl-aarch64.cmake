# Fully static 64-bit Arm build against musl, as on the gateways, with clang:
# musl built from Debian's source into the prefix's sysroot, C through the
# prefix's clang command for it, C++ with clang and the prefix's libc++,
# linked with lld and the libgcc of Debian's aarch64 cross compiler
# (-DKORVEX_MUSL_PREFIX=<work>/prefix of tools/build-musl-deps.sh ... aarch64).
# tools/check-aarch64-musl.sh does all of it; the programs run here under
# qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER ${KORVEX_MUSL_PREFIX}/bin/aarch64-linux-musl-cc)
set(_musl_triple aarch64-linux-musl)
set(_musl_inc ${KORVEX_MUSL_PREFIX}/sysroot/include)
set(_musl_lib ${KORVEX_MUSL_PREFIX}/sysroot/lib)
execute_process(COMMAND aarch64-linux-gnu-gcc -print-libgcc-file-name OUTPUT_VARIABLE _libgcc
                OUTPUT_STRIP_TRAILING_WHITESPACE)
set(_musl_link_flags "-fuse-ld=lld")
find_program(CMAKE_AR NAMES llvm-ar-14 llvm-ar)
find_program(CMAKE_RANLIB NAMES llvm-ranlib-14 llvm-ranlib)

# Programs built here that the build itself runs (the bundle tool packing the
# demo) go through the emulator even where binfmt is not registered.
find_program(KORVEX_QEMU_AARCH64 qemu-aarch64)
if(KORVEX_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KORVEX_QEMU_AARCH64})
endif()

include(${CMAKE_CURRENT_LIST_DIR}/musl-common.cmake)

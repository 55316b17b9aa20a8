# Cross build for 64-bit Arm with Debian's cross compiler and the arm64
# multiarch -dev packages (dpkg --add-architecture arm64); tools/check-aarch64.sh
# installs both. The programs it builds run here under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# The arm64 libraries and their .pc files live beside the host's, in
# /usr/lib/aarch64-linux-gnu: no sysroot, but only the arm64 pkg-config files.
set(PKG_CONFIG_EXECUTABLE aarch64-linux-gnu-pkg-config CACHE FILEPATH "pkg-config for arm64")

# Programs built here that the build itself runs (the bundle tool packing the
# demo) go through the emulator even where binfmt is not registered.
find_program(KORVEX_QEMU_AARCH64 qemu-aarch64)
if(KORVEX_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KORVEX_QEMU_AARCH64})
endif()

# Headers and libraries of the target only; programs (python3, unshare) of the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

#!/bin/sh
# Builds every dependency of the static musl build that Debian has no musl
# package of, from Debian's source packages, into one prefix:
#
#   tools/build-musl-deps.sh <work directory> [x86_64|aarch64]
#
# <work>/src holds the downloaded sources, <work>/prefix the headers and
# static libraries (and lib/pkgconfig, lib/cmake) that cmake/musl-<arch>.cmake
# builds against. On x86-64 the C libraries are compiled with musl-gcc. For
# aarch64 there is no musl package at all: musl itself is built from Debian's
# source with clang into <work>/prefix/sysroot, and the C code is compiled
# with clang for that sysroot (prefix/bin/aarch64-linux-musl-cc), linked with
# lld and the libgcc of Debian's aarch64 cross compiler. The C++ code needs a
# C++ library for musl, which Debian does not have either: libc++ and
# libc++abi from Debian's LLVM source, compiled with clang for musl.
# Each step leaves a stamp; a second run rebuilds nothing.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/tools/deb-source.sh"
WORK=$(mkdir -p "$1" && cd "$1" && pwd)
ARCH=${2:-x86_64}
case $ARCH in
    x86_64|aarch64) ;;
    *) echo "build-musl-deps.sh: no musl build for $ARCH" >&2; exit 2 ;;
esac
TRIPLE=$ARCH-linux-musl
SRC=$WORK/src
P=$WORK/prefix
STAMPS=$WORK/stamps
mkdir -p "$SRC" "$P/include" "$P/lib/pkgconfig" "$STAMPS"

JOBS=${JOBS:-2}
CLANG_RES=$(clang -print-resource-dir)
# musl knows no kernel headers; the ones of linux-libc-dev do for musl too.
KINC=$P/kinclude
CFLAGS_MUSL="-O2 -isystem $KINC"
if [ "$ARCH" = x86_64 ]; then
    MUSL_CC=musl-gcc
    MUSL_INC=/usr/include/x86_64-linux-musl
    AR=ar
    RANLIB=ranlib
    CONFIGURE_HOST=""
    CMAKE_CROSS=""
else
    MUSL_CC=$P/bin/$TRIPLE-cc
    MUSL_INC=$P/sysroot/include
    # The host's binutils know no Arm objects.
    AR=llvm-ar-14
    RANLIB=llvm-ranlib-14
    CONFIGURE_HOST="--host=$TRIPLE"
    CMAKE_CROSS="-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=$ARCH -DCMAKE_AR=$(command -v $AR) -DCMAKE_RANLIB=$(command -v $RANLIB)"
fi
export AR RANLIB
# clang for musl; the runtimes build adds its own C++ headers.
CLANG_MUSL="--target=$TRIPLE -Wno-unused-command-line-argument -nostdinc -isystem $CLANG_RES/include -isystem $MUSL_INC -isystem $KINC"

done_step() { [ -e "$STAMPS/$1" ]; }
mark_step() { touch "$STAMPS/$1"; }

# Compiles C files with musl-gcc into one static library.
c_archive() {
    lib=$1 dir=$2
    shift 2
    objs=""
    for f in "$@"; do
        o=$dir/$(basename "$f" .c).o
        $MUSL_CC $CFLAGS_MUSL $EXTRA_CFLAGS -c "$f" -o "$o"
        objs="$objs $o"
    done
    rm -f "$P/lib/$lib"
    $AR rcs "$P/lib/$lib" $objs
}

pc_file() {
    name=$1 version=$2 cflags=$3 libs=$4
    cat > "$P/lib/pkgconfig/$name.pc" <<EOF
prefix=$P
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: $name
Description: $name (static, musl)
Version: $version
Cflags: $cflags
Libs: $libs
EOF
}

# Configures, builds and installs a CMake project into the prefix:
# cmake_dep <source dir> <cmake arguments>...
cmake_dep() {
    src=$1
    shift
    rm -rf "$src/build-musl"
    cmake -S "$src" -B "$src/build-musl" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$P" $CMAKE_CROSS "$@" >/dev/null
    cmake --build "$src/build-musl" -j"$JOBS" >/dev/null
    cmake --install "$src/build-musl" >/dev/null
}

step_kernel_headers() {
    done_step kinclude && return 0
    mkdir -p "$KINC"
    ln -sfn /usr/include/linux "$KINC/linux"
    ln -sfn /usr/include/asm-generic "$KINC/asm-generic"
    ln -sfn /usr/include/$ARCH-linux-gnu/asm "$KINC/asm"
    mark_step kinclude
}

# aarch64 only: musl itself, and a C compiler command for it.
step_musl() {
    [ "$ARCH" = x86_64 ] && return 0
    done_step musl && return 0
    fetch musl
    (cd "$SRC/musl" && ./configure --target=$TRIPLE --prefix="$P/sysroot" --disable-shared \
        CC=clang CFLAGS="--target=$TRIPLE -O2" >/dev/null &&
        make -j"$JOBS" >/dev/null && make install >/dev/null)
    gcc_dir=$(dirname "$($ARCH-linux-gnu-gcc -print-libgcc-file-name)")
    mkdir -p "$P/bin"
    # Without a GCC installation to look at (--gcc-toolchain), clang takes the
    # start files and libc from the sysroot only, never the glibc ones of the
    # cross compiler; -B finds that compiler's crtbeginT.o and libgcc.
    cat > "$MUSL_CC" <<EOF
#!/bin/sh
exec clang --target=$TRIPLE --gcc-toolchain=/nonexistent --sysroot="$P/sysroot" -nostdinc \\
    -isystem "$CLANG_RES/include" -isystem "$P/sysroot/include" -isystem "$KINC" \\
    -fuse-ld=lld -B"$gcc_dir" -L"$gcc_dir" -static -Wno-unused-command-line-argument "\$@"
EOF
    chmod +x "$MUSL_CC"
    mark_step musl
}

step_zlib() {
    done_step zlib && return 0
    fetch zlib
    (cd "$SRC/zlib" && CC=$MUSL_CC CFLAGS="$CFLAGS_MUSL" ./configure --static --prefix="$P" >/dev/null &&
        make -j"$JOBS" libz.a >/dev/null && make install >/dev/null)
    mark_step zlib
}

step_cjson() {
    done_step cjson && return 0
    fetch cjson
    EXTRA_CFLAGS="" c_archive libcjson.a "$SRC/cjson" "$SRC/cjson/cJSON.c"
    mkdir -p "$P/include/cjson"
    cp "$SRC/cjson/cJSON.h" "$P/include/cjson/"
    pc_file libcjson 1.7.15 "-I\${includedir}/cjson" "-L\${libdir} -lcjson"
    mark_step cjson
}

step_lua() {
    done_step lua && return 0
    fetch lua5.3
    s=$SRC/lua5.3/src
    # Debian's module paths name the multiarch triplet, written at configure time.
    if grep -q deb-multiarch "$s/luaconf.h"; then
        printf '#ifndef _LUA_DEB_MULTIARCH_\n#define _LUA_DEB_MULTIARCH_\n#define DEB_HOST_MULTIARCH "%s"\n#endif\n' "$TRIPLE" \
            > "$s/lua5.3-deb-multiarch.h"
    fi
    # As Debian builds it: the 5.2 compatibility (bit32) and the Linux
    # facilities; the library only, without the stand-alone programs.
    EXTRA_CFLAGS="-DLUA_COMPAT_5_2 -DLUA_USE_LINUX" c_archive liblua5.3.a "$s" \
        $(ls "$s"/*.c | grep -v -e '/lua\.c$' -e '/luac\.c$')
    mkdir -p "$P/include/lua5.3"
    cp "$s/lua.h" "$s/luaconf.h" "$s/lualib.h" "$s/lauxlib.h" "$s/lua.hpp" "$P/include/lua5.3/"
    if [ -e "$s/lua5.3-deb-multiarch.h" ]; then cp "$s/lua5.3-deb-multiarch.h" "$P/include/lua5.3/"; fi
    pc_file lua5.3 5.3.6 "-I\${includedir}/lua5.3" "-L\${libdir} -llua5.3"
    mark_step lua
}

step_lfs() {
    done_step lfs && return 0
    fetch lua-filesystem
    EXTRA_CFLAGS="-I$P/include/lua5.3" c_archive liblua5.3-filesystem.a "$SRC/lua-filesystem/src" \
        "$SRC/lua-filesystem/src/lfs.c"
    pc_file lua5.3-filesystem 1.8.0 "-I\${includedir}/lua5.3" "-L\${libdir} -llua5.3-filesystem -llua5.3"
    mark_step lfs
}

step_luasocket() {
    done_step luasocket && return 0
    fetch luasocket
    s=$SRC/luasocket/src
    export EXTRA_CFLAGS="-I$P/include/lua5.3"
    c_archive liblua5.3-socket.a "$s" "$s/luasocket.c" "$s/timeout.c" "$s/buffer.c" "$s/io.c" \
        "$s/auxiliar.c" "$s/compat.c" "$s/options.c" "$s/inet.c" "$s/usocket.c" "$s/except.c" \
        "$s/select.c" "$s/tcp.c" "$s/udp.c"
    c_archive liblua5.3-socket-unix.a "$s" "$s/buffer.c" "$s/auxiliar.c" "$s/options.c" \
        "$s/timeout.c" "$s/io.c" "$s/usocket.c" "$s/unixstream.c" "$s/unixdgram.c" "$s/compat.c" "$s/unix.c"
    c_archive liblua5.3-mime.a "$s" "$s/mime.c" "$s/compat.c"
    unset EXTRA_CFLAGS
    for m in socket socket-unix mime; do
        pc_file lua5.3-$m 3.1.0 "-I\${includedir}/lua5.3" "-L\${libdir} -llua5.3-$m -llua5.3"
    done
    mark_step luasocket
}

step_lua_cjson() {
    done_step lua-cjson && return 0
    fetch lua-cjson
    s=$SRC/lua-cjson
    EXTRA_CFLAGS="-I$P/include/lua5.3" c_archive liblua5.3-cjson.a "$s" \
        "$s/lua_cjson.c" "$s/strbuf.c" "$s/fpconv.c"
    pc_file lua5.3-cjson 2.1.0 "-I\${includedir}/lua5.3" "-L\${libdir} -llua5.3-cjson -llua5.3"
    mark_step lua-cjson
}

step_mbedtls() {
    done_step mbedtls && return 0
    fetch mbedtls
    cmake_dep "$SRC/mbedtls" -DCMAKE_C_COMPILER="$MUSL_CC" -DCMAKE_C_FLAGS="$CFLAGS_MUSL" \
        -DENABLE_PROGRAMS=OFF -DENABLE_TESTING=OFF \
        -DUSE_STATIC_MBEDTLS_LIBRARY=ON -DUSE_SHARED_MBEDTLS_LIBRARY=OFF
    mark_step mbedtls
}

step_libpcap() {
    done_step libpcap && return 0
    fetch libpcap
    (cd "$SRC/libpcap" && CC=$MUSL_CC CFLAGS="$CFLAGS_MUSL" CPPFLAGS="-isystem $KINC" ./configure --prefix="$P" $CONFIGURE_HOST \
        --disable-shared --disable-dbus --disable-rdma --disable-bluetooth --disable-usb \
        --disable-netmap --without-libnl --without-dpdk >/dev/null &&
        make -j"$JOBS" libpcap.a >/dev/null && make install >/dev/null)
    pc_file libpcap 1.10.3 "-I\${includedir}" "-L\${libdir} -lpcap"
    mark_step libpcap
}

# libc++ and libc++abi (merged into one libc++.a) and libunwind: Debian's
# libgcc_eh is built for glibc (it calls _dl_find_object).
step_libcxx() {
    done_step libcxx && return 0
    llvm=$SRC/llvm-toolchain-14
    if [ ! -f "$llvm/libunwind/CMakeLists.txt" ]; then
        rm -rf "$llvm"
        dl=$SRC/dl-llvm-toolchain-14
        mkdir -p "$dl"
        ls "$dl"/*.orig.tar.xz >/dev/null 2>&1 ||
            (cd "$dl" && apt-get source --download-only -qq llvm-toolchain-14 >/dev/null 2>&1) || true
        orig=$(ls "$dl"/llvm-toolchain-14_*.orig.tar.xz | head -n 1)
        mkdir -p "$SRC/llvm.tmp"
        # Only what the runtimes build reads: most of the tree is the compiler.
        tar -xJf "$orig" -C "$SRC/llvm.tmp" --wildcards \
            "*/libcxx/*" "*/libcxxabi/*" "*/libunwind/*" "*/runtimes/*" "*/cmake/*" "*/llvm/utils/*"
        mv "$SRC/llvm.tmp"/* "$llvm"
        rm -rf "$SRC/llvm.tmp"
    fi
    rm -rf "$P/include/c++"
    cmake_dep "$llvm/runtimes" \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_C_FLAGS="$CLANG_MUSL" -DCMAKE_CXX_FLAGS="$CLANG_MUSL" \
        -DCMAKE_TRY_COMPILE_TARGET_TYPE=STATIC_LIBRARY \
        -DLLVM_ENABLE_RUNTIMES="libunwind;libcxx;libcxxabi" -DLLVM_INCLUDE_TESTS=OFF \
        -DLLVM_DEFAULT_TARGET_TRIPLE=$TRIPLE \
        -DLIBCXX_HAS_MUSL_LIBC=ON -DLIBCXX_CXX_ABI=libcxxabi \
        -DLIBCXX_ENABLE_SHARED=OFF -DLIBCXX_ENABLE_STATIC=ON -DLIBCXX_ENABLE_STATIC_ABI_LIBRARY=ON \
        -DLIBCXX_ENABLE_EXPERIMENTAL_LIBRARY=OFF -DLIBCXX_INCLUDE_BENCHMARKS=OFF \
        -DLIBCXX_INCLUDE_TESTS=OFF -DLIBCXX_INCLUDE_DOCS=OFF \
        -DLIBCXXABI_ENABLE_SHARED=OFF -DLIBCXXABI_ENABLE_STATIC=ON -DLIBCXXABI_INCLUDE_TESTS=OFF \
        -DLIBCXXABI_USE_LLVM_UNWINDER=ON -DLIBUNWIND_ENABLE_SHARED=OFF -DLIBUNWIND_ENABLE_STATIC=ON \
        -DLIBUNWIND_INCLUDE_TESTS=OFF
    mark_step libcxx
}

# GoogleTest with the same toolchain file as the project.
step_gtest() {
    done_step gtest && return 0
    fetch googletest
    cmake_dep "$SRC/googletest" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/musl-$ARCH.cmake" \
        -DKORVEX_MUSL_PREFIX="$P" -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON
    mark_step gtest
}

for step in kernel_headers musl zlib cjson lua lfs luasocket lua_cjson mbedtls libpcap libcxx gtest; do
    echo "musl dependencies: $step"
    step_$step
done

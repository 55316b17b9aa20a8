# Shared by tools/check-aarch64.sh and tools/check-musl.sh (sourced, POSIX sh).
# Every function changes the machine only where something is missing.

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
APT_UPDATED=""

apt_update_once() {
    [ -n "$APT_UPDATED" ] && return 0
    $SUDO apt-get update -qq
    APT_UPDATED=1
}

# apt_install PKG...: installs the packages (name or name:arch) not yet installed.
apt_install() {
    missing=""
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
            missing="$missing $p"
        fi
    done
    [ -z "$missing" ] && return 0
    echo "installing:$missing"
    apt_update_once
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
}

# need_arch ARCH: lets dpkg install packages of another architecture (multiarch).
need_arch() {
    dpkg --print-foreign-architectures | grep -qx "$1" && return 0
    $SUDO dpkg --add-architecture "$1"
    APT_UPDATED=""
    apt_update_once
}

# need_deb_src: a deb-src entry for every deb entry of the machine, so that
# `apt-get source` works.
need_deb_src() {
    if [ -n "$(apt-cache showsrc zlib 2>/dev/null)" ]; then return 0; fi
    d=/etc/apt/sources.list.d
    if [ -f $d/debian.sources ]; then
        sed 's/^Types:.*/Types: deb-src/' $d/debian.sources | $SUDO tee $d/korvex-deb-src.sources >/dev/null
    elif grep -q '^deb ' /etc/apt/sources.list 2>/dev/null; then
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | $SUDO tee $d/korvex-deb-src.list >/dev/null
    fi
    APT_UPDATED=""
    apt_update_once
}

# need_binfmt ARCH: the kernel runs programs of ARCH through qemu-user, keeping
# their argv[0] (the engine picks its role by the name it was started under).
need_binfmt() {
    dir=/proc/sys/fs/binfmt_misc
    mountpoint -q $dir || $SUDO mount -t binfmt_misc binfmt_misc $dir
    entry=$dir/qemu-$1
    if [ ! -e "$entry" ]; then
        $SUDO sh -c "cat /usr/lib/binfmt.d/qemu-$1.conf > $dir/register"
    fi
    grep -qx enabled "$entry" || { echo "binfmt entry qemu-$1 is disabled" >&2; return 1; }
    grep -q '^flags:.*P' "$entry" ||
        echo "warning: binfmt entry qemu-$1 does not keep argv[0]: tests of the roles chosen by name fail" >&2
}

# deps_cache_dir NAME RECIPE...: the directory that holds the from-source
# dependency build NAME, outside the clone so that a fresh clone (CI) reuses
# it; keyed by a hash of the files that define the build, so a changed recipe
# builds anew. Older builds of NAME are removed. Root: $KORVEX_DEPS_CACHE,
# default /var/cache/korvex-deps.
deps_cache_dir() {
    name=$1; shift
    root=${KORVEX_DEPS_CACHE:-/var/cache/korvex-deps}
    key=$(cat "$@" | sha256sum | cut -c1-16)
    $SUDO mkdir -p "$root"
    for old in "$root/$name"-*; do
        [ -d "$old" ] && [ "$old" != "$root/$name-$key" ] && $SUDO rm -rf "$old"
    done
    echo "$root/$name-$key"
}

# mbedtls3_prefix: builds mbed TLS 3.6 once per recipe (tools/build-mbedtls3.sh)
# and prints its install prefix.
mbedtls3_prefix() {
    apt_install dpkg-dev debian-archive-keyring >&2
    dir=$(deps_cache_dir mbedtls3 "$ROOT/tools/build-mbedtls3.sh")
    mkdir -p "$dir"
    flock "$dir.lock" "$ROOT/tools/build-mbedtls3.sh" "$dir" >&2
    echo "$dir/prefix"
}

# mbedtls3_cmake_args PREFIX: the cache entries that put that build in the
# place of the system's mbed TLS.
mbedtls3_cmake_args() {
    echo "-DMBEDTLS_INCLUDE=$1/include -DMBEDCRYPTO_LIB=$1/lib/libmbedcrypto.a" \
         "-DMBEDTLS_LIB=$1/lib/libmbedtls.a -DMBEDX509_LIB=$1/lib/libmbedx509.a"
}

# lua_modules_cpath: builds LuaFileSystem, LuaSocket and lua-cjson as loadable
# modules once per recipe (tools/build-lua-modules.sh) and prints the Lua C
# module path of that staging tree.
lua_modules_cpath() {
    apt_install dpkg-dev >&2
    need_deb_src >&2
    dir=$(deps_cache_dir lua-modules "$ROOT/tools/build-lua-modules.sh" "$ROOT/tools/deb-source.sh")
    mkdir -p "$dir"
    flock "$dir.lock" "$ROOT/tools/build-lua-modules.sh" "$dir" >&2
    echo "$dir/lib/lua/5.3/?.so"
}

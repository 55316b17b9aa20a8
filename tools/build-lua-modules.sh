#!/bin/sh
# Builds LuaFileSystem, LuaSocket and lua-cjson for Lua 5.3 from Debian's
# source packages as loadable modules, laid out as an OpenWrt system installs
# them under its Lua C module directory (/usr/lib/lua/5.3):
#
#   tools/build-lua-modules.sh <work directory>
#
# <work>/src holds the sources, <work>/lib/lua/5.3 the modules: lfs.so,
# cjson.so, socket/core.so, socket/unix.so, mime/core.so. Each is linked
# without the Lua library, whose symbols the program that loads it provides.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/tools/deb-source.sh"
WORK=$(mkdir -p "$1" && cd "$1" && pwd)
SRC=$WORK/src
OUT=$WORK/lib/lua/5.3
mkdir -p "$SRC" "$OUT/socket" "$OUT/mime"
[ -e "$WORK/done" ] && exit 0

CC=${CC:-cc}
CFLAGS="-O2 -fPIC -I/usr/include/lua5.3"

module() {
    out=$1
    shift
    $CC $CFLAGS -shared -o "$OUT/$out" "$@"
}

fetch lua-filesystem
module lfs.so "$SRC/lua-filesystem/src/lfs.c"

fetch luasocket
s=$SRC/luasocket/src
module socket/core.so "$s/luasocket.c" "$s/timeout.c" "$s/buffer.c" "$s/io.c" "$s/auxiliar.c" \
    "$s/compat.c" "$s/options.c" "$s/inet.c" "$s/usocket.c" "$s/except.c" "$s/select.c" "$s/tcp.c" "$s/udp.c"
module socket/unix.so "$s/buffer.c" "$s/auxiliar.c" "$s/options.c" "$s/timeout.c" "$s/io.c" \
    "$s/usocket.c" "$s/unixstream.c" "$s/unixdgram.c" "$s/compat.c" "$s/unix.c"
module mime/core.so "$s/mime.c" "$s/compat.c"

fetch lua-cjson
s=$SRC/lua-cjson
module cjson.so "$s/lua_cjson.c" "$s/strbuf.c" "$s/fpconv.c"

touch "$WORK/done"

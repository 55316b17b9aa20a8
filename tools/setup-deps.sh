#!/bin/sh
# Installs the Debian packages the build and the tests need, and nothing when
# they are all there already.
set -eu

PACKAGES="cmake make g++ pkg-config python3 tar gzip psmisc util-linux iproute2 sysvinit-utils
liblua5.3-dev lua5.3 lua-filesystem-dev lua-socket-dev lua-cjson-dev
libmbedtls-dev zlib1g-dev libpcap-dev libcjson-dev libgtest-dev tcpdump
openssl python3-cryptography lua-sec protobuf-compiler libprotobuf-dev nftables libnftables-dev"
# More packages a caller needs besides (tools/fuzz.sh: the fuzzing compiler).
PACKAGES="$PACKAGES $*"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
        missing="$missing $p"
    fi
done

if [ -n "$missing" ]; then
    echo "installing:$missing"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing
fi

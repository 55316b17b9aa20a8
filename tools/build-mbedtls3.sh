#!/bin/sh
# Builds mbed TLS 3.6 (as current OpenWrt ships it) from the source package
# of the next Debian release, into a prefix of its own:
#
#   tools/build-mbedtls3.sh <work directory>
#
# The source comes through an apt configuration of its own under <work>/apt
# (sources list, lists and cache), made from the mirror the machine already
# uses, so the machine's own sources and what every other `apt-get source`
# fetches stay as they are. <work>/prefix holds the headers and the static
# libraries (position-independent, as the engine links them).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=$(mkdir -p "$1" && cd "$1" && pwd)
SUITE=${KORVEX_MBEDTLS3_SUITE:-trixie}
[ -e "$WORK/done" ] && exit 0

A=$WORK/apt
mkdir -p "$A/lists/partial" "$A/cache/archives/partial" "$WORK/src"
uri=""
for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    uri=$(sed -n 's/^URIs: *//p' "$f" | head -n 1)
    [ -n "$uri" ] && break
done
if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(sed -n 's/^deb \(\[[^]]*\] \)\{0,1\}\([^ ]*\) .*/\2/p' /etc/apt/sources.list | head -n 1)
fi
[ -n "$uri" ] || { echo "build-mbedtls3.sh: no Debian mirror in the machine's apt sources" >&2; exit 1; }
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $SUITE main" > "$A/sources.list"
APT="-o Dir::Etc::sourcelist=$A/sources.list -o Dir::Etc::sourceparts=- -o Dir::State::Lists=$A/lists -o Dir::Cache=$A/cache"
# shellcheck disable=SC2086
apt-get $APT update -qq
rm -rf "$WORK/src"/*
# shellcheck disable=SC2086
(cd "$WORK/src" && apt-get $APT source --download-only -qq mbedtls >/dev/null 2>&1)
dsc=$(ls "$WORK/src"/mbedtls_3.*.dsc | head -n 1)
dpkg-source --no-check -x "$dsc" "$WORK/src/mbedtls" >/dev/null

cmake -S "$WORK/src/mbedtls" -B "$WORK/build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$WORK/prefix" \
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DENABLE_TESTING=OFF -DENABLE_PROGRAMS=OFF \
    -DUSE_SHARED_MBEDTLS_LIBRARY=OFF -DUSE_STATIC_MBEDTLS_LIBRARY=ON >/dev/null
cmake --build "$WORK/build" -j"${JOBS:-2}" >/dev/null
cmake --install "$WORK/build" >/dev/null
touch "$WORK/done"

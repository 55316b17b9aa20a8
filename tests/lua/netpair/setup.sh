#!/bin/sh
# Runs one Lua file through `ut` inside fresh network, mount and pid
# namespaces joined to a second network namespace (the peer) by veth pairs:
#
#   this side          peer side
#   pka 10.78.0.1  <-> pkb 10.78.0.2    02:4b:56:58:10:0a / 02:4b:56:58:10:0b
#   pkc 10.79.0.1  <-> pkd 10.79.0.2    02:4b:56:58:10:0c / 02:4b:56:58:10:0d
#
# IPv6 is off and every neighbour entry is permanent, so nothing but the
# tests' own packets crosses the links. The test reaches the peer with
# `nsenter --net=$KVX_PEER_NET`; both namespaces end with the test.
#
#   setup.sh <ut> <file.lua>
set -eu

if [ "${1:-}" = "--inside" ]; then
    outer_net=$2 ut=$3 file=$4
    if [ "$$" -ne 1 ] || [ "$(readlink /proc/self/ns/net)" = "$outer_net" ]; then
        echo "setup.sh: not in namespaces of its own, refusing" >&2
        exit 99
    fi
    quiet='echo 1 > /proc/sys/net/ipv6/conf/all/disable_ipv6
        echo 1 > /proc/sys/net/ipv6/conf/default/disable_ipv6
        ip link set lo up'
    sh -c "$quiet"
    # /sys as this network namespace sees it (the mount namespace is ours).
    mount -t sysfs sysfs /sys

    # The peer: a process that only holds its own network namespace.
    unshare --net sleep 100000 &
    peer=$!
    here=$(readlink /proc/self/ns/net)
    tries=0
    while [ "$(readlink /proc/$peer/ns/net 2>/dev/null)" = "$here" ] ||
          [ -z "$(readlink /proc/$peer/ns/net 2>/dev/null)" ]; do
        tries=$((tries + 1))
        [ $tries -lt 1000 ] || { echo "setup.sh: peer namespace never came" >&2; exit 98; }
        sleep 0.01
    done
    export KVX_PEER_NET=/proc/$peer/ns/net
    peer() { nsenter --net="$KVX_PEER_NET" "$@"; }
    peer sh -c "$quiet"

    # pair <here> <there> <here addr> <there addr> <here mac> <there mac>
    pair() {
        ip link add "$1" address "$5" type veth peer name "$2" address "$6"
        ip link set "$2" netns "$peer"
        ip addr add "$3/24" dev "$1"
        peer ip addr add "$4/24" dev "$2"
        ip link set "$1" up
        peer ip link set "$2" up
        ip neigh replace "$4" lladdr "$6" dev "$1" nud permanent
        peer ip neigh replace "$3" lladdr "$5" dev "$2" nud permanent
    }
    pair pka pkb 10.78.0.1 10.78.0.2 02:4b:56:58:10:0a 02:4b:56:58:10:0b
    pair pkc pkd 10.79.0.1 10.79.0.2 02:4b:56:58:10:0c 02:4b:56:58:10:0d
    # pkc also reaches pkb's address, for sends bound to pkc.
    ip neigh replace 10.78.0.2 lladdr 02:4b:56:58:10:0d dev pkc nud permanent

    exec "$ut" "$file"
fi

if [ $# -ne 2 ]; then
    echo "usage: setup.sh <ut> <file.lua>" >&2
    exit 2
fi
exec unshare --net --mount --pid --fork --mount-proc sh "$0" --inside "$(readlink /proc/self/ns/net)" "$1" "$2"

#!/bin/sh
# Runs one Lua file through `ut` inside fresh network, mount and pid
# namespaces that hold interfaces of known names, addresses and MACs.
#
#   setup.sh <ut> <file.lua>            ut runs the tests of the file as pid 1,
#                                       without the right to reboot
#   setup.sh --reboot <ut> <file.lua>   ut runs the file as pid 1 with that
#                                       right; passes when the namespace's
#                                       init ended by SIGHUP after the file
#                                       printed "calling reboot"
#
# The script runs again inside the namespaces (--inside) and refuses to go
# on unless it is pid 1 of a pid namespace other than the one it was started
# in, in a network namespace of its own where no interface is up yet: no
# mistake may let a test restart the machine or change its interfaces.
set -eu

INITIAL_PIDNS='pid:[4026531836]'

if [ "${1:-}" = "--inside" ]; then
    outer=$2 outer_net=$3 mode=$4 ut=$5 file=$6
    inner=$(readlink /proc/self/ns/pid)
    if [ "$$" -ne 1 ] || [ "$inner" = "$outer" ] || [ "$inner" = "$INITIAL_PIDNS" ]; then
        echo "setup.sh: not pid 1 of a pid namespace of its own, refusing" >&2
        exit 99
    fi
    up=$(ip -o link show up | awk -F': ' '{ print $2 }' | tr '\n' ' ')
    if [ "$(readlink /proc/self/ns/net)" = "$outer_net" ] || [ -n "$up" ]; then
        echo "setup.sh: not in a fresh network namespace (up: $up), refusing" >&2
        exit 99
    fi

    # Each interface is one end of a veth pair (kernels without the dummy
    # type have veth), the other end named after it with a trailing "p".
    add_if() {
        ip link add "$1" type veth peer name "$2"
        ip link set "$1" address "$3"
    }
    ip link set lo up
    # An interface with an address and a MAC of our choice.
    add_if kvx0 kvx0p 02:4b:56:58:00:01
    ip addr add 10.77.1.2/24 dev kvx0
    ip link set kvx0p up
    ip link set kvx0 up
    # One without an IPv4 address.
    add_if kvx1 kvx1p 02:4b:56:58:00:02
    # The longest name an interface can have (15 characters).
    add_if kvx-fifteen-chr kvx-fifteen-chp 02:4b:56:58:00:0f
    ip addr add 172.31.255.254/30 dev kvx-fifteen-chr
    # A name that scripts may pass as a number.
    add_if 4242 4242p 02:4b:56:58:42:42

    export KVX_OUTER_PIDNS="$outer"
    if [ "$mode" = reboot ]; then
        exec "$ut" "$file"
    fi
    exec setpriv --bounding-set=-sys_boot "$ut" "$file"
fi

mode=plain
if [ "${1:-}" = "--reboot" ]; then
    mode=reboot
    shift
fi
if [ $# -ne 2 ]; then
    echo "usage: setup.sh [--reboot] <ut> <file.lua>" >&2
    exit 2
fi
outer=$(readlink /proc/self/ns/pid)
outer_net=$(readlink /proc/self/ns/net)

if [ "$mode" = plain ]; then
    exec unshare --net --mount --pid --fork --mount-proc sh "$0" --inside "$outer" "$outer_net" plain "$1" "$2"
fi

set +e
out=$(unshare --net --mount --pid --fork --mount-proc sh "$0" --inside "$outer" "$outer_net" reboot "$1" "$2" 2>&1)
status=$?
set -e
printf '%s\n' "$out"
case "$out" in
*"calling reboot"*) ;;
*) echo "FAIL: the file never called reboot"; exit 1 ;;
esac
case "$out" in
*"reboot returned"*) echo "FAIL: reboot returned"; exit 1 ;;
esac
# unshare re-raises the signal that ended the namespace's init.
if [ "$status" -ne 129 ]; then
    echo "FAIL: the namespace ended with status $status, not by SIGHUP (129)"
    exit 1
fi
echo "ok   reboot ended the pid namespace's init by SIGHUP"

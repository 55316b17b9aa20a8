#!/bin/sh
# Runs one test program of the OpenWrt gateway backend in fresh network,
# mount and pid namespaces that play the router, with two more network
# namespaces beside it, so that every nftables object the test makes lives
# and dies with those namespaces and never reaches the machine's ruleset:
#
#   LAN client             this namespace (the router)           WAN server
#   lanp 192.168.77.2  <->  lan0 in br-lan 192.168.77.1
#                           wan0 203.0.113.1              <->  wanp 203.0.113.2, .3, .4, .5
#                                                                   198.51.100.2
#
# br-lan has the MAC 02:4b:56:58:77:01; the router forwards IPv4. The test
# reaches the others with `nsenter --net=$KVX_LAN_NET` / `$KVX_WAN_NET`.
# KORVEX_GATEWAY_ROOT names an empty directory (a tmpfs of the mount
# namespace) for the fake root tree of the test.
#
#   setup.sh <program> [args...]      the program runs as pid 1 inside
set -eu

if [ "${1:-}" = "--inside" ]; then
    outer_net=$2 root=$3
    shift 3
    if [ "$$" -ne 1 ] || [ "$(readlink /proc/self/ns/net)" = "$outer_net" ]; then
        echo "setup.sh: not in namespaces of its own, refusing" >&2
        exit 99
    fi
    up=$(ip -o link show up | awk -F': ' '{ print $2 }' | tr '\n' ' ')
    if [ -n "$up" ] || [ -n "$(nft list ruleset)" ]; then
        echo "setup.sh: not a fresh network namespace (up: $up), refusing" >&2
        exit 99
    fi
    mount -t tmpfs -o mode=700 korvex-owrt-root "$root"
    mount -t sysfs sysfs /sys
    quiet='echo 1 > /proc/sys/net/ipv6/conf/all/disable_ipv6
        echo 1 > /proc/sys/net/ipv6/conf/default/disable_ipv6
        ip link set lo up'
    sh -c "$quiet"
    echo 1 > /proc/sys/net/ipv4/ip_forward

    # The two other sides: processes that only hold their network namespaces.
    here=$(readlink /proc/self/ns/net)
    side() {
        unshare --net sleep 100000 >/dev/null 2>&1 &
        pid=$!
        tries=0
        while [ "$(readlink /proc/$pid/ns/net 2>/dev/null)" = "$here" ] ||
              [ -z "$(readlink /proc/$pid/ns/net 2>/dev/null)" ]; do
            tries=$((tries + 1))
            [ $tries -lt 1000 ] || { echo "setup.sh: namespace never came" >&2; exit 98; }
            sleep 0.01
        done
        nsenter --net=/proc/$pid/ns/net sh -c "$quiet"
        echo "$pid"
    }
    lan=$(side)
    wan=$(side)
    export KVX_LAN_NET=/proc/$lan/ns/net KVX_WAN_NET=/proc/$wan/ns/net
    in_lan() { nsenter --net="$KVX_LAN_NET" "$@"; }
    in_wan() { nsenter --net="$KVX_WAN_NET" "$@"; }

    ip link add br-lan address 02:4b:56:58:77:01 type bridge
    ip link add lan0 type veth peer name lanp
    ip link set lanp netns "$lan"
    ip link set lan0 master br-lan
    ip addr add 192.168.77.1/24 dev br-lan
    ip link set lan0 up
    ip link set br-lan up
    in_lan ip link set lanp address 02:4b:56:58:77:02
    in_lan ip addr add 192.168.77.2/24 dev lanp
    in_lan ip link set lanp up
    in_lan ip route add default via 192.168.77.1

    ip link add wan0 type veth peer name wanp
    ip link set wanp netns "$wan"
    ip addr add 203.0.113.1/24 dev wan0
    ip link set wan0 up
    for a in 203.0.113.2 203.0.113.3 203.0.113.4 203.0.113.5; do in_wan ip addr add "$a/24" dev wanp; done
    in_wan ip addr add 198.51.100.2/24 dev wanp
    in_wan ip link set wanp up
    in_wan ip route add default via 203.0.113.1
    ip route add 198.51.100.0/24 via 203.0.113.2

    export KORVEX_GATEWAY_ROOT="$root"
    exec "$@"
fi

if [ $# -lt 1 ]; then
    echo "usage: setup.sh <program> [args...]" >&2
    exit 2
fi
# The fake root's mount point; the tmpfs on it exists only inside.
root=$(mktemp -d /var/tmp/korvex-owrt-XXXXXX)
set +e
unshare --net --mount --pid --fork --mount-proc sh "$0" --inside "$(readlink /proc/self/ns/net)" "$root" "$@"
status=$?
set -e
rmdir "$root"
exit $status

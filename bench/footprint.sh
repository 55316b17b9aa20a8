#!/bin/sh
# Stripped sizes and idle resident memory of the engine (with the demo bundle)
# and the watchdog, against a bare Lua interpreter that has loaded the same
# dependency modules (lua_floor), for one or more build directories:
#
#   bench/footprint.sh <build directory>...
#
# Prints one table row per build directory. Programs of another architecture
# run under qemu-user (binfmt): their resident memory includes the emulator's,
# and so does the floor's, measured the same way in the same run. Runs in
# private mount and pid namespaces, where /tmp still shows the machine's
# /tmp (a build directory may live there) but takes its writes in a
# throw-away layer, and the watchdog's /tmp/.uci is an empty tmpfs.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)

if [ "${KORVEX_FOOTPRINT_NS:-}" != 1 ]; then
    [ $# -ge 1 ] || { echo "usage: $0 <build directory>..." >&2; exit 2; }
    dirs=""
    for b in "$@"; do
        b=$(cd "$b" && pwd)
        cmake -S "$ROOT" -B "$b" >/dev/null
        cmake --build "$b" --target lua_floor korvex-dpi-inner watchdog -j2 >/dev/null
        dirs="$dirs $b"
    done
    exec env KORVEX_FOOTPRINT_NS=1 unshare --mount --pid --fork --mount-proc sh "$0" $dirs
fi

DEMO=$ROOT/examples/demo
mount -t tmpfs footprint-layer /dev/shm
mkdir -p /dev/shm/upper /dev/shm/work
mount -t overlay footprint-tmp -o lowerdir=/tmp,upperdir=/dev/shm/upper,workdir=/dev/shm/work /tmp
mkdir -p /tmp/.uci
mount -t tmpfs -o mode=755 footprint-uci /tmp/.uci
T=$(mktemp -d)

# Resident and private anonymous (heap, stacks, data) memory in KiB: "rss anon".
mem_kb() { awk '/^VmRSS:/ { r = $2 } /^RssAnon:/ { a = $2 } END { print r, a }' "/proc/$1/status"; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f MiB", k / 1024 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# Waits up to 60 s for a file to exist.
wait_file() {
    n=0
    while [ ! -e "$1" ]; do
        n=$((n + 1))
        [ $n -le 600 ] || { echo "timed out waiting for $1" >&2; exit 1; }
        sleep 0.1
    done
}

stripped() {
    tool=strip
    case $(file -b "$1") in *aarch64*) tool=aarch64-linux-gnu-strip ;; esac
    cp "$1" "$T/stripped"
    $tool "$T/stripped"
    echo $(($(stat -c %s "$T/stripped") / 1024))
}

kind() {
    f=$(file -b "$1")
    arch=x86-64
    case $f in *aarch64*) arch="aarch64 (qemu)" ;; esac
    libc=glibc
    case $f in *"statically linked"*) libc="musl, static" ;; esac
    echo "$arch, $libc"
}

# A tree as the watchdog expects it: bin/ with both programs and the demo.
tree() {
    rm -rf "$T/tree" /tmp/.uci/* /tmp/.uci/.[!.]* 2>/dev/null || true
    mkdir -p "$T/tree/bin" "$T/tree/tmp" "$T/tree/data"
    ln -s "$1/engine/korvex-dpi-inner" "$T/tree/bin/korvex-dpi-inner"
    ln -s "$1/watchdog/watchdog" "$T/tree/bin/watchdog"
    cp "$DEMO/init.lua" "$DEMO/config" "$T/tree/bin/"
}

echo "| build | engine, stripped | watchdog, stripped | engine idle RSS (anon) | watchdog idle RSS | bare Lua idle RSS (anon) | engine / bare Lua: RSS (anon) |"
echo "|---|---|---|---|---|---|---|"
for b in "$@"; do
    engine=$b/engine/korvex-dpi-inner
    # The floor: started, ready, settled.
    : > "$T/floor.out"
    "$b/bench/lua_floor" > "$T/floor.out" &
    floor=$!
    n=0
    until grep -q ready "$T/floor.out"; do
        n=$((n + 1)); [ $n -le 600 ] || { echo "lua_floor did not start" >&2; exit 1; }; sleep 0.1
    done
    sleep 2
    m=$(mem_kb $floor); floor_kb=${m% *} floor_anon=${m#* }
    kill $floor; wait $floor 2>/dev/null || true

    # The engine alone with the demo bundle, serving its socket, then idle.
    tree "$b"
    (cd "$T/tree/bin" && exec ./korvex-dpi-inner -T "$T/tree/tmp" -D "$T/tree/data" >/dev/null 2>&1) &
    eng=$!
    wait_file "$T/tree/tmp/.__scli"
    sleep 3
    m=$(mem_kb $eng); engine_kb=${m% *} engine_anon=${m#* }
    kill $eng; wait $eng 2>/dev/null || true

    # The watchdog supervising the engine (factory start, /tmp/.uci).
    tree "$b"
    "$T/tree/bin/watchdog" >/dev/null 2>&1 &
    wd=$!
    wait_file /tmp/.uci/.__scli
    sleep 3
    m=$(mem_kb $wd); wd_kb=${m% *}
    kill $wd; wait $wd 2>/dev/null || true
    sleep 0.5

    echo "| $(kind "$engine") | $(stripped "$engine") KiB | $(stripped "$b/watchdog/watchdog") KiB" \
        "| $(mib $engine_kb) ($(mib $engine_anon)) | $(mib $wd_kb)" \
        "| $(mib $floor_kb) ($(mib $floor_anon)) | $(ratio $engine_kb $floor_kb) ($(ratio $engine_anon $floor_anon)) |"
done

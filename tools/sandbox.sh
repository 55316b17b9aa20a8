#!/bin/sh
# A sandbox for trying a bundle on a PC: the watchdog, the engine and the
# simulated gateway in private mount and pid namespaces, with an
# installation tree, a /tmp/.uci/ and a gateway state of their own. The
# machine's /tmp/.uci/ is never touched, and the watchdog's killall sees only
# the sandbox's processes. Needs root (unshare) and python3.
#
#   tools/sandbox.sh start BUNDLE   BUNDLE: an init.bin, an init.lua, or a
#                                   directory holding one (copied whole,
#                                   modules and config with it)
#   tools/sandbox.sh cli ARGS...    CLI_client against the sandbox's engine
#   tools/sandbox.sh upgrade FILE [CODE]
#                                   places FILE as ttupgrade.tgz and asks the
#                                   bundle (command "sys upgrade", as in the
#                                   template) to exit with CODE (default 131:
#                                   FILE is a packed init.bin)
#   tools/sandbox.sh status         the watchdog's events, .bootchk, processes
#   tools/sandbox.sh stop           stops the watchdog and with it the engine
#
# Environment: KORVEX_SANDBOX the sandbox's directory (default
# /var/tmp/korvex-sandbox); KORVEX_ENGINE and KORVEX_WATCHDOG the programs
# (default: korvex-dpi-inner and watchdog in KORVEX_PREFIX/bin, KORVEX_PREFIX
# defaulting to run/ of this repository, where the README installs them).
set -eu

SANDBOX=${KORVEX_SANDBOX:-/var/tmp/korvex-sandbox}
HERE=$(cd "$(dirname "$0")/.." && pwd)
PREFIX=${KORVEX_PREFIX:-$HERE/run}
ENGINE=${KORVEX_ENGINE:-$PREFIX/bin/korvex-dpi-inner}
WATCHDOG=${KORVEX_WATCHDOG:-$PREFIX/bin/watchdog}
NAME=korvex-dpi-inner

die() { echo "sandbox: $*" >&2; exit 1; }

# True while unshare runs (a zombie whose parent does not reap it has ended).
running() {
    [ -f "$SANDBOX/unshare.pid" ] || return 1
    stat=$(cat "/proc/$(cat "$SANDBOX/unshare.pid")/stat" 2>/dev/null) || return 1
    case "$stat" in *") Z "*) return 1 ;; esac
    return 0
}

# Host pids of the children of a process (from /proc/*/stat: the parent is
# the second field after the command name in parentheses).
children() {
    for stat in /proc/[0-9]*/stat; do
        line=$(cat "$stat" 2>/dev/null) || continue
        rest=${line##*) }
        set -- "$1" $rest
        [ "$3" = "$1" ] && echo "${stat#/proc/}" | cut -d/ -f1
    done
    return 0
}

# The namespace's first process (host pid), the child of unshare.
ns_init() {
    children "$(cat "$SANDBOX/unshare.pid")" | awk '{print $1}'
}

install_bundle() {
    src=$1 bin=$2
    if [ -d "$src" ]; then
        [ -f "$src/init.bin" ] || [ -f "$src/init.lua" ] || die "$src holds neither init.bin nor init.lua"
        cp -R "$src"/. "$bin"/
    elif [ -f "$src" ]; then
        case "$src" in
        *.lua) cp "$src" "$bin/init.lua" ;;
        *) cp "$src" "$bin/init.bin" ;;
        esac
    else
        die "no bundle at $src"
    fi
    # The watchdog reads "__watch" from the same config as the scripts.
    python3 - "$bin/config" "$NAME" <<'EOF'
import json, os, sys
path, name = sys.argv[1], sys.argv[2]
config = {}
if os.path.exists(path):
    with open(path) as f:
        config = json.load(f)
config["__watch"] = {"processes": [{"base": name, "excheck": True}]}
with open(path, "w") as f:
    json.dump(config, f)
EOF
}

cmd_start() {
    [ $# -eq 1 ] || die "usage: sandbox.sh start BUNDLE"
    [ "$(id -u)" -eq 0 ] || die "needs root (private namespaces)"
    [ -x "$ENGINE" ] || die "no engine at $ENGINE (set KORVEX_ENGINE or KORVEX_PREFIX)"
    [ -x "$WATCHDOG" ] || die "no watchdog at $WATCHDOG (set KORVEX_WATCHDOG or KORVEX_PREFIX)"
    running && die "already running in $SANDBOX (sandbox.sh stop first)"
    rm -rf "$SANDBOX"
    mkdir -p "$SANDBOX/root/bin" "$SANDBOX/root/data" "$SANDBOX/uci"
    bin=$SANDBOX/root/bin
    install_bundle "$1" "$bin"
    ln -sf "$(readlink -f "$WATCHDOG")" "$bin/watchdog"
    for n in "$NAME" CLI_client ut; do ln -sf "$(readlink -f "$ENGINE")" "$bin/$n"; done
    root=$(cd "$SANDBOX" && pwd)
    # Inside: the sandbox's directory is bound to /dev/shm/korvex (a private
    # tmpfs), /tmp becomes an overlay whose writes stay inside, and the
    # sandbox's uci/ is bound to /tmp/.uci/. Writes under uci/ and root/ are
    # therefore seen from outside; the shell stays the namespace's first
    # process, so that the watchdog can be stopped with SIGTERM.
    KORVEX_GATEWAY_STATE=/dev/shm/korvex/gateway.json \
    unshare --mount --pid --fork --mount-proc --propagation private sh -c '
        set -e
        mount -t tmpfs korvex-sandbox /dev/shm
        mkdir -p /dev/shm/korvex /dev/shm/layer/upper /dev/shm/layer/work
        mount --bind "$1" /dev/shm/korvex
        mount -t overlay korvex-tmp -o lowerdir=/tmp,upperdir=/dev/shm/layer/upper,workdir=/dev/shm/layer/work /tmp
        mkdir -p /tmp/.uci
        mount --bind /dev/shm/korvex/uci /tmp/.uci
        /dev/shm/korvex/root/bin/watchdog debug &
        wait $! || true
        # The engine outlives the watchdog by its orderly stop; the
        # namespace must not end (and kill it) before.
        while :; do
            others=0
            for d in /proc/[0-9]*; do
                [ "$d" = /proc/1 ] && continue
                read -r stat <"$d/stat" 2>/dev/null || continue
                case "$stat" in *") Z "*) ;; *) others=1 ;; esac
            done
            [ $others = 0 ] && break
            sleep 0.1
        done
    ' sandbox "$root" </dev/null >"$root/sandbox.log" 2>&1 &
    echo $! >"$SANDBOX/unshare.pid"
    i=0
    while [ ! -S "$SANDBOX/uci/.__scli" ] && [ $i -lt 300 ]; do
        running || { cat "$SANDBOX/sandbox.log" >&2; die "the sandbox ended at its start"; }
        sleep 0.1
        i=$((i + 1))
    done
    echo "sandbox running in $root"
    echo "  log (watchdog and engine): $root/sandbox.log"
    echo "  control socket:            $root/uci/.__scli (sandbox.sh cli ..., or CLI_client -T $root/uci ...)"
    echo "  watchdog events:           $root/uci/watchdog.run"
    echo "  installation:              $root/root/bin, data $root/root/data"
    [ -S "$SANDBOX/uci/.__scli" ] || echo "  (the bundle is not serving .__scli yet: see the log)"
}

cmd_cli() {
    running || die "not running"
    exec "$SANDBOX/root/bin/CLI_client" -T "$SANDBOX/uci" "$@"
}

cmd_upgrade() {
    [ $# -ge 1 ] && [ $# -le 2 ] || die "usage: sandbox.sh upgrade FILE [CODE]"
    running || die "not running"
    [ -f "$1" ] || die "no file $1"
    code=${2:-131}
    cp "$1" "$SANDBOX/uci/ttupgrade.tgz.new"
    mv "$SANDBOX/uci/ttupgrade.tgz.new" "$SANDBOX/uci/ttupgrade.tgz"
    "$SANDBOX/root/bin/CLI_client" -T "$SANDBOX/uci" sys upgrade "{\"code\":$code}"
}

cmd_status() {
    if running; then echo "running (unshare pid $(cat "$SANDBOX/unshare.pid"))"; else echo "not running"; fi
    echo "--- $SANDBOX/uci/watchdog.run"
    cat "$SANDBOX/uci/watchdog.run" 2>/dev/null || true
    echo "--- $SANDBOX/root/data/.bootchk"
    cat "$SANDBOX/root/data/.bootchk" 2>/dev/null || echo "(none: the factory files)"
    echo
}

cmd_stop() {
    running || { echo "not running"; return 0; }
    init=$(ns_init)
    # The watchdog: SIGTERM ends it, and the kernel then sends the engine
    # SIGTERM (its orderly stop, exit 15).
    for pid in $(children "$init"); do kill -TERM "$pid" 2>/dev/null || true; done
    i=0
    while running && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done
    # Whatever is left in the namespace goes with its first process.
    if running && [ -n "$init" ]; then kill -KILL "$init" 2>/dev/null || true; fi
    i=0
    while running && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
    running && die "the sandbox did not stop"
    rm -f "$SANDBOX/unshare.pid"
    echo "stopped; files stay in $SANDBOX"
}

[ $# -ge 1 ] || die "usage: sandbox.sh start|cli|upgrade|status|stop ..."
cmd=$1
shift
case "$cmd" in
start) cmd_start "$@" ;;
cli) cmd_cli "$@" ;;
upgrade) cmd_upgrade "$@" ;;
status) cmd_status ;;
stop) cmd_stop ;;
*) die "unknown command $cmd (start, cli, upgrade, status, stop)" ;;
esac

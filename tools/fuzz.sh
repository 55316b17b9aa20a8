#!/bin/sh
# Builds the fuzz targets (libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer, clang) and runs each one for a fixed time.
#
#   tools/fuzz.sh [-j N] [SECONDS] [TARGET...]
#
# SECONDS per target (default 60); TARGET names without "_fuzz" (default:
# all); -j runs N targets at a time (default 1). Every target starts from its
# seeds in tests/fuzz/corpus/<target>/ and from what earlier runs found, kept
# in <build>/fuzz-corpus/<target>/. An input that crashes, leaks, hangs or
# fails a check of its target is saved in <build>/fuzz-findings/<target>/;
# the run then ends non-zero. The build directory is build-fuzz, or
# $KORVEX_FUZZ_BUILD.
set -eu
cd "$(dirname "$0")/.."

jobs=1
if [ "${1:-}" = "-j" ]; then
    jobs=$2
    shift 2
fi
seconds=60
case "${1:-}" in
    ''|*[!0-9]*) ;;
    *) seconds=$1; shift ;;
esac
build=${KORVEX_FUZZ_BUILD:-build-fuzz}
all="bundle zlib sock wd_config bootchk mnf pb regex tuple"
targets=${*:-$all}
for t in $targets; do
    case " $all " in
        *" $t "*) ;;
        *) echo "fuzz.sh: no target $t (targets: $all)" >&2; exit 2 ;;
    esac
done

# What every build needs, and the compiler with its fuzzing runtime.
tools/setup-deps.sh clang-14 libclang-rt-14-dev

# The compiler is chosen when the build directory is made.
if [ -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DKORVEX_FUZZ=ON >/dev/null
else
    CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DKORVEX_FUZZ=ON >/dev/null
fi
build_targets=""
for t in $targets; do build_targets="$build_targets ${t}_fuzz"; done
cmake --build "$build" -j2 --target $build_targets

# The targets that work on files do so in a scratch tree under TMPDIR: a
# tmpfs where there is one.
scratch=$(mktemp -d "$( [ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")/korvex-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT INT TERM

run_one() {
    t=$1
    corpus=$build/fuzz-corpus/$t
    findings=$build/fuzz-findings/$t
    mkdir -p "$corpus" "$findings" "$scratch/$t"
    log=$build/fuzz-$t.log
    # A single input may take long on a loaded machine, never 30 s.
    if TMPDIR=$scratch/$t "$build/tests/fuzz/${t}_fuzz" -max_total_time="$seconds" -timeout=30 \
        -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "tests/fuzz/corpus/$t" >"$log" 2>&1; then
        echo ok >"$scratch/$t.result"
    else
        echo FINDING >"$scratch/$t.result"
    fi
}

echo "fuzzing $seconds s per target, $jobs at a time: $targets"
running=0
for t in $targets; do
    run_one "$t" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait
        running=0
    fi
done
wait

status=0
printf '%-10s %12s %8s %8s %8s %9s  %s\n' target executions cov ft corpus exec/s result
for t in $targets; do
    log=$build/fuzz-$t.log
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    last=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
    field() { echo "$last" | sed -n "s|.* $1: *\([^ ]*\).*|\1|p"; }
    result=$(cat "$scratch/$t.result" 2>/dev/null || echo FINDING)
    printf '%-10s %12s %8s %8s %8s %9s  %s\n' "$t" "${runs:-?}" "$(field cov)" "$(field ft)" \
        "$(field corp)" "$(field exec/s)" "$result"
    if [ "$result" != ok ]; then
        status=1
        grep -E 'ERROR|SUMMARY|fuzz check|_fuzz:|Test unit written' "$log" | head -n 8 | sed 's/^/    /'
        echo "    log: $log; reproduce: $build/tests/fuzz/${t}_fuzz <saved input>"
    fi
done
exit $status

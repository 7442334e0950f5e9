#!/usr/bin/env bash
# Builds the libFuzzer targets (the `fuzz` preset, clang) and runs each one for SECONDS seconds,
# one after another, from its seed corpus in fuzz/corpus/<target>/.
#
#   fuzz/run-fuzzers.sh SECONDS [TARGET...]      e.g. fuzz/run-fuzzers.sh 20
#
# What a run finds new is kept in build/fuzz/corpus/<target>/ (so later runs start from there;
# the seeds in the repository stay small); a crash, sanitizer report, leak, time-out (10 s on one
# input) or memory use above 2048 MB stops that target and leaves its input as
# build/fuzz/findings/<target>/crash-... (or leak-, timeout-, oom-). The last line per target
# gives its executions, and the exit status is 1 when any target found something.
# Needs: clang, libclang-rt-14-dev (Debian 12: apt-get install clang libclang-rt-14-dev).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [[ $# -lt 1 || ! "$1" =~ ^[0-9]+$ ]]; then
    echo "usage: $0 SECONDS [TARGET...]" >&2
    exit 2
fi
seconds=$1
shift
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
    targets=(command_line socketcand frame_filter sensor slcan)
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "${KORVANE_FUZZ_JOBS:-2}"

status=0
for target in "${targets[@]}"; do
    binary=$root/build/fuzz/fuzz/${target}_fuzzer
    corpus=$root/build/fuzz/corpus/$target
    findings=$root/build/fuzz/findings/$target
    log=build/fuzz/findings/$target.log
    mkdir -p "$corpus" "$findings"
    echo "==== $target: $seconds s"
    if "$binary" "$corpus" "$root/fuzz/corpus/$target" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -malloc_limit_mb=2048 -max_len=4096 -print_final_stats=1 \
        -artifact_prefix="$findings/" >"$log" 2>&1; then
        grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|^#[0-9]+ *DONE' "$log" || true
    else
        status=1
        echo "*** $target found a fault; its input is in $findings/, the report in $log:"
        grep -E 'ERROR|SUMMARY|runtime error|==[0-9]+==' "$log" | head -20 || true
    fi
done
exit $status

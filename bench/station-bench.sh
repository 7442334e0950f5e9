#!/bin/sh
# Four loads at once against one: korvane-station on four simulated sensors, each on a bus of its
# own with real bit timing (sensor-sim --bit-timing), against korvane-station and korvane-loader
# alone on one of them, each 64 KiB image loaded REPEAT times in turn; and, for comparison, four
# loaders started at once from the shell (shell4), without the station.
#   bench/station-bench.sh [BUILD [REPEAT]]      (default build/default, 9)
# Prints the median, least and greatest wall time of each. The sensors answer as version 7.1, so
# that each load ends with a reboot and the next finds the application running. As root it runs
# in a network namespace of its own (no other bus on 127.0.0.1 is seen).
set -eu
build=$(cd "${1:-$(dirname "$0")/../build/default}" && pwd)
repeat=${2:-9}
if [ -z "${KORVANE_STATION_BENCH_NETNS:-}" ] && unshare -n true 2>/dev/null; then
    KORVANE_STATION_BENCH_NETNS=1 exec unshare -n sh -c 'ip link set lo up && exec "$@"' sh \
        "$0" "$build" "$repeat"
fi
folder=$(mktemp -d)
trap 'kill $sensors 2>/dev/null; rm -rf "$folder"' EXIT
cd "$folder"
head -c 65536 /dev/urandom >image.bin
sensors=""
for port in 29536 29537 29538 29539; do
    "$build/sensor_sim/sensor-sim" --port $port --bit-timing --version ">VER 7.1" \
        </dev/null >/dev/null 2>&1 &
    sensors="$sensors $!"
done
sleep 1
PATH=$build/app:$PATH
timed() {  # timed NAME COMMAND...: appends the wall time in seconds to NAME
    name=$1
    shift
    start=$(date +%s%N)
    "$@" >/dev/null || echo "$name: a load failed" >&2
    echo "$(( ($(date +%s%N) - start) / 1000000 ))" >>"$name"
}
for run in $(seq "$repeat"); do
    timed loader sh -c 'echo | KORVANE_DEVICE=sim0 korvane-loader image.bin | grep -q SUCCESS'
    timed one "$build/station/korvane-station" --record one.jsonl image.bin sim1
    timed four "$build/station/korvane-station" --record four.jsonl image.bin
    timed shell4 sh -c 'for d in sim0 sim1 sim2 sim3; do
        (echo | KORVANE_DEVICE=$d korvane-loader image.bin | grep -q SUCCESS) & done; wait'
done
for name in loader one four shell4; do
    sort -n "$name" | awk -v name="$name" '{ t[NR] = $1 } END {
        printf "%-7s %d runs: median %.2f s (%.2f to %.2f)\n", name, NR, t[int((NR + 1) / 2)] / 1000,
               t[1] / 1000, t[NR] / 1000 }'
done

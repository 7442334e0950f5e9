#!/usr/bin/env bash
# Loads a firmware image into the simulated sensor, end to end, the way an operator would:
# builds what it needs, starts sensor-sim on a virtual bus of its own (with real bus timing at
# 1000 kbit/s), runs korvane-loader with its live progress line, answers the Enter prompt, checks
# the sensor's flash against the image byte for byte, and stops the simulator.
#
#   scripts/demo-load.sh [IMAGE] [ADDRESS]
#
# Without IMAGE a 32 KiB image of random bytes is made. ADDRESS is passed on (e.g. 0x00).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)

# Runs in a network namespace of its own where that is possible (as root), so that no other bus
# on this machine shows up as a second CAN device.
if [[ -z "${KORVANE_DEMO_NETNS:-}" ]] && command -v unshare >/dev/null &&
    unshare -n true 2>/dev/null; then
    export KORVANE_DEMO_NETNS=1
    exec unshare -n bash -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
fi

build="${KORVANE_BUILD_DIR:-$root/build/default}"
echo "== Building korvane-loader and sensor-sim ($build)"
if [[ ! -f "$build/build.ninja" ]]; then
    cmake --preset default -S "$root" >/dev/null
fi
cmake --build "$build" --target korvane-loader sensor-sim >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/korvane-demo.XXXXXX")
image="${1:-$work/firmware.bin}"
if [[ $# -lt 1 ]]; then
    head -c 32768 /dev/urandom >"$image"
fi
address=("${@:2}")

trace="$work/bus-trace.log"
flash="$work/sensor-flash.bin"
log="$work/sensor-sim.log"
mkfifo "$work/sensor-commands"

echo "== Starting sensor-sim (bus trace: $trace)"
"$build/sensor_sim/sensor-sim" --bit-timing --trace "$trace" --flash-out "$flash" \
    <"$work/sensor-commands" >"$log" 2>&1 &
sim=$!
exec 3>"$work/sensor-commands"
stop_sim() {
    echo quit >&3 2>/dev/null || true
    exec 3>&-
    wait "$sim" 2>/dev/null || true
}
trap stop_sim EXIT

for _ in $(seq 100); do
    grep -q "ready" "$log" && break
    sleep 0.1
done
grep -q "ready" "$log" || { echo "sensor-sim did not start:"; cat "$log"; exit 1; }
sed 's/^/   | /' "$log"

echo "== Running korvane-loader $(basename "$image") ${address[*]}"
echo
start=$(date +%s%N)
echo | (cd "$(dirname "$image")" && "$build/app/korvane-loader" "$(basename "$image")" "${address[@]}")
end=$(date +%s%N)
echo
ms=$(((end - start) / 1000000))
printf "== The load took %d.%03d s\n" $((ms / 1000)) $((ms % 1000))

echo "flash $flash" >&3
for _ in $(seq 50); do
    [[ -f "$flash" ]] && break
    sleep 0.1
done
sleep 0.2
echo "== sensor-sim said:"
sed 's/^/   | /' "$log"

if cmp -s "$image" "$flash"; then
    echo "== Flash check: the sensor's flash equals the image ($(stat -c %s "$image") bytes)."
    result=0
else
    echo "== Flash check FAILED: the sensor's flash ($flash) differs from the image ($image)."
    result=1
fi
echo "== Bus trace (candump log, $(wc -l <"$trace") frames): $trace"
exit $result

#!/bin/sh
# Builds what the load benchmark needs (a Release build of its own in build/bench) and runs it:
#   bench/run-bench.sh [--quick] [--repeat N] [--sizes 8K,64K,1M]
#                      [--modes off,on,slcan,slcan-on,gs-usb] [--out DIR]
# Each run writes a text report, a JSON file and, with matplotlib, a PNG and an SVG plot into
# build/bench/results (or --out).
# See bench/bench.py for what is measured and how. As root it runs in a network namespace of its
# own, so that no other bus host on this machine is seen by the loader. Mode gs-usb needs root and
# the VM tier (tests/vm/run-in-vm.sh): it runs there, 8K x 3 and 64K x 1, tool and floor only.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/bench"

if [ ! -f "$build/build.ninja" ]; then
    # -O2 -g: the optimisation of the default preset, with symbols for perf and callgrind.
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -g -DNDEBUG" -DKORVANE_WERROR=ON -DKORVANE_TESTS=OFF \
        >/dev/null
fi
ninja -C "$build" -j2 korvane-loader sensor-sim canbus-host floor-client timer-floor >/dev/null

python=/usr/bin/python3
[ -x "$python" ] || python=python3
if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
    exec unshare -n sh -c 'ip link set lo up && exec "$@"' sh \
        "$python" "$root/bench/bench.py" --build "$build" --netns "$@"
fi
exec "$python" "$root/bench/bench.py" --build "$build" "$@"

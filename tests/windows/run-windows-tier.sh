#!/bin/sh
# The Windows tier in one command: builds sensor-sim in the Linux tree, cross-builds the Windows
# tree (korvane-loader.exe, korvane-station.exe, VCINPL.dll) and runs its tests (label
# `windows`) under wine.
#
#   tests/windows/run-windows-tier.sh [extra ctest arguments]
#
# Trees: build/default and build/windows (the presets' folders); KORVANE_LINUX_BUILD and
# KORVANE_WINDOWS_BUILD choose others. Needs, from Debian:
#   apt-get install -y --no-install-recommends g++-mingw-w64-x86-64-posix wine64 wine
set -eu

source_dir=$(cd "$(dirname "$0")/../.." && pwd)
linux_build=${KORVANE_LINUX_BUILD:-$source_dir/build/default}
windows_build=${KORVANE_WINDOWS_BUILD:-$source_dir/build/windows}

missing=""
for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-dlltool x86_64-w64-mingw32-objdump; do
    command -v "$tool" >/dev/null 2>&1 || missing="$missing $tool"
done
if ! command -v wine >/dev/null 2>&1 && [ ! -x /usr/lib/wine/wine64 ]; then
    missing="$missing wine"
fi
if [ -n "$missing" ]; then
    echo "run-windows-tier.sh: missing:$missing" >&2
    echo "  apt-get install -y --no-install-recommends g++-mingw-w64-x86-64-posix wine64 wine" >&2
    exit 1
fi

cd "$source_dir"
cmake --preset default -B "$linux_build"
cmake --build "$linux_build" --target sensor-sim canbus-host
cmake --preset windows -B "$windows_build" \
    -DKORVANE_LINUX_SENSOR_SIM="$linux_build/sensor_sim/sensor-sim" \
    -DKORVANE_LINUX_CANBUS_HOST="$linux_build/virtual_bus/canbus-host"
cmake --build "$windows_build"
ctest --test-dir "$windows_build" --output-on-failure -j2 --timeout 300 --no-tests=error "$@"

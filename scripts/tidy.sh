#!/bin/sh
# clang-tidy over the tree (.clang-tidy beside the sources says which checks), with the compile
# commands of a build folder that has them (the default preset's, after it was configured).
#
#   scripts/tidy.sh [BUILD_DIR] [FILE_REGEX]
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$source_dir/build/default}
files=${2:-"^$source_dir/(app|base|bench|can|fuzz|protocol|sensor_sim|station|tests|vci|virtual_bus|wire)/"}
if [ ! -f "$build/compile_commands.json" ]; then
    echo "tidy.sh: $build/compile_commands.json is missing: configure with cmake --preset default" >&2
    exit 1
fi
# clang counts sign changes under -Wconversion, which GCC (the build's compiler) does not.
run-clang-tidy -p "$build" -j "$(nproc)" -quiet -extra-arg=-Wno-sign-conversion "$files" >"$build/clang-tidy.log" 2>&1 || {
    grep -E "(warning|error):" "$build/clang-tidy.log" | sort -u
    echo "tidy.sh: clang-tidy found the above (whole output: $build/clang-tidy.log)" >&2
    exit 1
}
echo "tidy.sh: clang-tidy clean"

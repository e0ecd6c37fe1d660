#!/usr/bin/env bash
# Configures and builds the checked build into build-sanitize/ (or the folder
# given as $1): clang, AddressSanitizer and UndefinedBehaviorSanitizer over
# everything, and the fuzz targets as libFuzzer programs. Assertions stay on
# and optimisation stays light, so reports point at the line at fault.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-sanitize}
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [[ ! -f "$build/CMakeCache.txt" ]]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" "${generator[@]}" \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
    -DQUILLON_SANITIZE=ON -DQUILLON_FUZZ=ON \
    -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=TRUE >/dev/null  # benchmarks mean nothing here
fi
cmake --build "$build" --parallel "$(nproc)"

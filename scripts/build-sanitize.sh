#!/usr/bin/env bash
# Configures and builds the checked build into build-sanitize/ (or the folder
# given as $1): clang, AddressSanitizer and UndefinedBehaviorSanitizer over
# everything, and the fuzz targets as libFuzzer programs. Assertions stay on
# and optimisation stays light, so reports point at the line at fault.
#
#   scripts/build-sanitize.sh --thread [FOLDER]
#       ThreadSanitizer instead, into build-tsan/: only the servers and their
#       C++ tests, which is what runs on more than one thread.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [[ ${1:-} == --thread ]]; then
  build=${2:-$root/build-tsan}
  if [[ ! -f "$build/CMakeCache.txt" ]]; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" "${generator[@]}" \
      -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DQUILLON_TSAN=ON \
      -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=TRUE >/dev/null
  fi
  cmake --build "$build" --parallel "$(nproc)" --target quillon-server quillon-test-server quillon_server_tests
  exit
fi
build=${1:-$root/build-sanitize}
if [[ ! -f "$build/CMakeCache.txt" ]]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" "${generator[@]}" \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
    -DQUILLON_SANITIZE=ON -DQUILLON_FUZZ=ON \
    -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=TRUE >/dev/null  # benchmarks mean nothing here
fi
cmake --build "$build" --parallel "$(nproc)"

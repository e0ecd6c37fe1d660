#!/usr/bin/env bash
# Configures and builds into build/ (or the folder given as $1) with the given CMake options.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
shift || true
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [[ ! -f "$build/CMakeCache.txt" ]]; then
  cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
fi
cmake --build "$build" --parallel "$(nproc)"

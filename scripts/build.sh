#!/usr/bin/env bash
# Configures and builds into build/ (or the folder given as $1) with the given CMake options.
#
#   scripts/build.sh [FOLDER] [--target TARGET]... [CMAKE OPTION]...
#       every target, or only the ones named (and what they need). The CMake
#       options count only when the folder is configured for the first time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
shift || true
targets=()
options=()
while [[ $# -gt 0 ]]; do
  case $1 in
    --target)
      [[ $# -ge 2 ]] || { echo "build.sh: --target needs a target name" >&2; exit 2; }
      targets+=(--target "$2")
      shift 2 ;;
    *)
      options+=("$1")
      shift ;;
  esac
done
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [[ ! -f "$build/CMakeCache.txt" ]]; then
  cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release "${options[@]}" >/dev/null
fi
cmake --build "$build" --parallel "$(nproc)" "${targets[@]}"

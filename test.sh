#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through ctest.
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
export PYTHONPATH="$root/clients/python${PYTHONPATH:+:$PYTHONPATH}"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build"
cd "$root/build"
ctest --output-on-failure --timeout 300 -j "$(nproc)" "$@"

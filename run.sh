#!/usr/bin/env bash
# Installs what is missing, builds, and runs the tour (examples/tour.py).
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build"
QUILLON_SERVER="$root/build/bin/quillon-server" exec python3 "$root/examples/tour.py"

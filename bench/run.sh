#!/usr/bin/env bash
# Quillon side by side with curl, gzip and plain Python, in one run, as ratios.
#
#   bench/run.sh [--quick] [--reps N] [--only CASE...]
#
# Installs what is missing (nginx, curl, pigz and hyperfine from Debian, and the
# build's own packages), builds a Release tree in build-bench/ (or
# $QUILLON_BENCH_BUILD), then runs bench/compare.py: it prints the table and
# writes bench/results.json. nginx runs as the invoking user's own process on
# 127.0.0.1 at a free high port, with its configuration and files in a
# temporary folder; nothing outside that folder is configured.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUILLON_BENCH_BUILD:-$root/build-bench}

# nginx lives in /usr/sbin, which a user's PATH may lack.
export PATH="$PATH:/usr/sbin:/sbin"

"$root/scripts/install-deps.sh" nginx curl pigz hyperfine gzip python3
"$root/scripts/build.sh" "$build" >/dev/null
exec python3 "$root/bench/compare.py" --build "$build" "$@"

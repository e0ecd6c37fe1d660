#!/usr/bin/env bash
# Installs what is missing, builds what the tour needs, and runs the tour
# (examples/tour.py). The tour talks to quillon-server and reads the sample city
# database, so only those two are built here; ./test.sh builds everything.
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
build=$root/build
log=$build/run-build.log
"$root/scripts/install-deps.sh"

mkdir -p "$build"
echo "run.sh: building quillon-server and the sample city database into build/"
echo "run.sh: about 2 minutes on two cores the first time, seconds after that (log: build/run-build.log)"
started=$SECONDS
if ! "$root/scripts/build.sh" "$build" --target quillon-server --target quillon-sample-city-db >"$log" 2>&1; then
  cat "$log" >&2
  echo "run.sh: the build failed; the log above is also in $log" >&2
  exit 1
fi
echo "run.sh: built in $((SECONDS - started)) s"
QUILLON_SERVER="$build/bin/quillon-server" exec python3 "$root/examples/tour.py"

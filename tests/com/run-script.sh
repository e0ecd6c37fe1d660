#!/usr/bin/env bash
# Runs one script under Wine's cscript against the registered server, in the
# COM tests' prefix, and passes only when its last summary line says
# "N passed, 0 failed": a script with a syntax or run-time error makes Wine's
# cscript print nothing and exit 0.
#
#   tests/com/run-script.sh PREFIX SCRIPT [ARGUMENT...]
# A Windows path for SCRIPT and for each ARGUMENT that is an absolute Linux
# path is made here (Z: is the root). The script gets $QUILLON_SCRIPT_TIMEOUT
# seconds (120).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
prefix=$1
script=$2
shift 2

windows_path() { local p=${1//\//\\}; echo "Z:$p"; }
args=()
for argument in "$@"; do
  if [[ $argument == /* ]]; then args+=("$(windows_path "$argument")"); else args+=("$argument"); fi
done

status=0
output=$(QUILLON_WINE_TIMEOUT=${QUILLON_SCRIPT_TIMEOUT:-120} "$root/scripts/wine-run.sh" --prefix "$prefix" \
           cscript //nologo "$(windows_path "$script")" ${args[@]+"${args[@]}"} 2>&1 </dev/null) || status=$?
printf '%s\n' "$output"
summary=$(printf '%s\n' "$output" | tr -d '\r' | grep -E '^[0-9]+ passed, [0-9]+ failed$' | tail -n 1 || true)
if [[ $status -ne 0 ]]; then
  echo "run-script.sh: cscript ended with $status" >&2
  exit 1
fi
if [[ -z $summary ]]; then
  echo "run-script.sh: no \"N passed, N failed\" line: the script stopped early" >&2
  exit 1
fi
[[ $summary == *" passed, 0 failed" && $summary != "0 passed, 0 failed" ]] || exit 1

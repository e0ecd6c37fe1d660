#!/usr/bin/env bash
# Fuzzes one target, or replays its kept inputs.
#
#   tests/fuzz/run.sh TARGET SECONDS [libFuzzer options...]
#       fuzzes TARGET for SECONDS from its seeds, its kept crash inputs and the
#       corpus earlier runs grew (build-sanitize/fuzz/TARGET/corpus), and fails
#       on any crash, hang, leak or sanitizer report; the input that did it is
#       left in build-sanitize/fuzz/TARGET/artifacts/.
#   tests/fuzz/run.sh --replay TARGET
#       runs TARGET once over tests/fuzz/corpus/TARGET and tests/fuzz/regressions/TARGET.
#   tests/fuzz/run.sh --list
#
# QUILLON_FUZZ_BIN names the folder of the fuzz programs (default: build-sanitize/bin,
# built first when missing). Each fuzzing run appends a line to build-sanitize/fuzz/runs.tsv.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
targets=$(sed -n '/^set(QUILLON_FUZZ_TARGETS/,/)/p' "$here/CMakeLists.txt" | tr -d '()' | tr ' ' '\n' |
          grep -v -e '^$' -e QUILLON_FUZZ_TARGETS -e '^set')

usage() { sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
[[ $# -ge 1 ]] || usage
if [[ $1 == --list ]]; then echo "$targets"; exit 0; fi

replay=false
if [[ $1 == --replay ]]; then replay=true; shift; fi
[[ $# -ge 1 ]] || usage
target=$1
shift
grep -qx "$target" <<<"$targets" || { echo "run.sh: no fuzz target '$target' (see --list)" >&2; exit 2; }

inputs=()
for folder in "$here/corpus/$target" "$here/regressions/$target"; do
  [[ -d $folder ]] && inputs+=("$folder")
done

if $replay; then
  bin=${QUILLON_FUZZ_BIN:?set QUILLON_FUZZ_BIN to the folder of the fuzz programs}
  files=()
  for folder in "${inputs[@]}"; do
    while IFS= read -r -d '' file; do files+=("$file"); done < <(find "$folder" -type f -print0 | sort -z)
  done
  [[ ${#files[@]} -gt 0 ]] || { echo "run.sh: $target has no seeds" >&2; exit 1; }
  # Both kinds of program run the files named and nothing else.
  exec "$bin/fuzz_$target" "${files[@]}"
fi

[[ $# -ge 1 ]] || usage
seconds=$1
shift
[[ $seconds =~ ^[0-9]+$ ]] || usage
build=$root/build-sanitize
bin=${QUILLON_FUZZ_BIN:-$build/bin}
if [[ ! -x $bin/fuzz_$target ]] || ! grep -q LLVMFuzzerRunDriver "$bin/fuzz_$target" 2>/dev/null; then
  [[ -z ${QUILLON_FUZZ_BIN:-} ]] || { echo "run.sh: $bin/fuzz_$target is not a libFuzzer program" >&2; exit 1; }
  "$root/scripts/build-sanitize.sh" "$build" >&2
fi

# A whole connection per input makes rpc_message slow; libFuzzer's entropic
# scheduling would then take most of its time, so it uses the plain one.
extra=()
[[ $target == rpc_message ]] && extra=(-entropic=0)

work=$build/fuzz/$target
mkdir -p "$work/corpus" "$work/artifacts"
log=$work/last-run.log
status=0
# The input size stays near the seeds' (the largest is a city database of a
# few kilobytes); -timeout makes a hang a failure, the memory limits make a
# forged size that allocates gigabytes one.
"$bin/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=3072 -malloc_limit_mb=2200 \
  -max_len=16384 -print_final_stats=1 -artifact_prefix="$work/artifacts/" "${extra[@]}" "$@" \
  "$work/corpus" "${inputs[@]}" >"$log" 2>&1 || status=$?
execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
printf '%s\t%s\t%s\t%s\t%s\n' "$(date -u +%FT%TZ)" "$target" "$seconds" "${execs:-0}" "$status" >>"$build/fuzz/runs.tsv"
if [[ $status -ne 0 ]]; then
  tail -n 60 "$log" >&2
  echo "run.sh: $target failed (status $status); inputs in $work/artifacts/" >&2
  exit "$status"
fi
echo "$target: ${execs:-?} executions in ${seconds} s, corpus $(find "$work/corpus" -type f | wc -l) inputs"

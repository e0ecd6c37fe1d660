#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through ctest.
#
#   ./test.sh [ctest options]
#       the everyday build in build/ and its tests.
#   ./test.sh --sanitize [ctest options]
#       the checked build in build-sanitize/ (clang, AddressSanitizer and
#       UndefinedBehaviorSanitizer over everything): every test, the Python
#       suites against the sanitized server, then each fuzz target for
#       $QUILLON_FUZZ_SECONDS seconds (30; 0 skips them); then, in
#       build-tsan/, ThreadSanitizer over the server's C++ tests and the
#       suites whose clients overlap in time. Any sanitizer report fails the
#       run, also one from a server nobody was watching.
#   ./test.sh --windows [ctest options]
#       the Windows build in build-windows/ (mingw-w64: every layer below the
#       front ends) and its unit tests under Wine, in a Wine prefix of that
#       folder's own whose wineserver is ended at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
export PYTHONPATH="$root/clients/python${PYTHONPATH:+:$PYTHONPATH}"

sanitize=false
windows=false
if [[ ${1:-} == --sanitize ]]; then
  sanitize=true
  shift
elif [[ ${1:-} == --windows ]]; then
  windows=true
  shift
fi

if $windows; then
  "$root/scripts/install-deps.sh" --windows
else
  "$root/scripts/install-deps.sh"
fi

# Wording that points at an outside document fails the run before the build.
if ! "$root/scripts/check-words.sh"; then
  echo "test.sh: reword the lines above: say what the behaviour is and why" >&2
  exit 1
fi

if $windows; then
  build=$root/build-windows
  "$root/scripts/build.sh" "$build" --toolchain "$root/cmake/mingw-w64.cmake"
  wine_run=("$root/scripts/wine-run.sh" --prefix "$build/wine-prefix")
  trap '"${wine_run[@]}" --stop' EXIT
  cd "$build"
  ctest --output-on-failure --timeout 300 -j "$(nproc)" "$@"
  exit
fi

if ! $sanitize; then
  "$root/scripts/build.sh" "$root/build"
  cd "$root/build"
  ctest --output-on-failure --timeout 300 -j "$(nproc)" "$@"
  exit
fi

build=$root/build-sanitize
"$root/scripts/build-sanitize.sh" "$build"

# Servers run detached, so their reports go to files, one per process
# (log_path.PID); the suites check their own servers' files at teardown and
# this script checks them all at the end.
reports=$build/sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="log_path=$reports/asan:exitcode=86:detect_leaks=1:strict_string_checks=1:check_initialization_order=1"
export UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1:exitcode=87"

status=0
(cd "$build" && ctest --output-on-failure --timeout 600 -j "$(nproc)" "$@") || status=$?

seconds=${QUILLON_FUZZ_SECONDS:-30}
if [[ $seconds -gt 0 ]]; then
  echo "Fuzzing each target for $seconds s"
  "$root/tests/fuzz/run.sh" --list |
    QUILLON_FUZZ_BIN="$build/bin" xargs -P "$(nproc)" -I{} "$root/tests/fuzz/run.sh" {} "$seconds" || status=1
fi

# ThreadSanitizer over what runs on more than one thread: the server's C++
# tests and the suites whose clients overlap in time.
tsan=$root/build-tsan
"$root/scripts/build-sanitize.sh" --thread "$tsan"
export TSAN_OPTIONS="log_path=$reports/tsan:halt_on_error=1:exitcode=88:second_deadlock_stack=1"
(cd "$tsan" && ctest --output-on-failure --timeout 900 -j "$(nproc)" \
   -R '^python\.test_(isolation|load|events|downloader)$' "$@") || status=1
"$tsan/bin/quillon_server_tests" --gtest_brief=1 || status=1

shopt -s nullglob
found=("$reports"/*)
if [[ ${#found[@]} -gt 0 ]]; then
  for report in "${found[@]}"; do
    echo "=== $report" >&2
    cat "$report" >&2
  done
  echo "test.sh: ${#found[@]} sanitizer report(s) in $reports" >&2
  status=1
fi
exit "$status"

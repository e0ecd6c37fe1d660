#!/usr/bin/env bash
# Installs every Debian 12 package Quillon needs to build and test, and any
# further packages named as arguments (the benchmarks' peers), but only those
# that are missing. Quiet when there is nothing to do.
#
#   scripts/install-deps.sh [--windows] [PACKAGE...]
#       --windows adds the Windows build's tools: the mingw-w64 cross compiler
#       (posix threads), widl, zlib built for Windows, and Wine to run the
#       tests (scripts/test-windows.sh). The everyday build does without them.
set -euo pipefail

windows=()
extra=()
for argument in "$@"; do
  if [[ $argument == --windows ]]; then
    windows=(
      g++-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev
      # widl's own headers, and the loaders that run the test executables.
      libwine-dev wine wine64
      # The sources of GoogleTest, built for Windows with the tests.
      googletest
    )
  else
    extra+=("$argument")
  fi
done

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g-dev libasio-dev libc-ares-dev nlohmann-json3-dev libcli11-dev
  # Only the unit tests link libGeoIP: the own city-database reader must answer as it does.
  libgeoip-dev
  python3 gzip pigz util-linux
  # The Python client installed the way the guide says, into a venv with no
  # package index: venv brings pip and setuptools, Debian's wheel builds it.
  python3-venv python3-setuptools python3-wheel
  # systemd-socket-activate, which starts the server as a socket unit would.
  systemd
  # The checked build (./test.sh --sanitize): clang, its sanitizer and libFuzzer
  # runtimes, and llvm-symbolizer for readable reports.
  clang libclang-rt-14-dev llvm
  ${windows[@]+"${windows[@]}"}
  ${extra[@]+"${extra[@]}"}
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

as_root=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "install-deps: need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  as_root=(sudo)
fi
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

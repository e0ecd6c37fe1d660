#!/usr/bin/env bash
# Runs a Windows executable under Wine, in a private prefix that is made on
# first use and kept, and passes its exit code through. CMake's mingw-w64
# toolchain names this script as the emulator, so ctest runs the Windows
# tests through it.
#
#   scripts/wine-run.sh [--prefix FOLDER] PROGRAM.exe [ARGUMENT...]
#       runs the program; FOLDER defaults to $WINEPREFIX, else ./wine-prefix.
#   scripts/wine-run.sh [--prefix FOLDER] --prepare
#       makes the prefix, if it is not there yet, and starts its wineserver.
#   scripts/wine-run.sh [--prefix FOLDER] --stop
#       ends the prefix's wineserver (and any program still running in it),
#       for the end of a test run.
#
# No display is used (DISPLAY is unset), Wine's own messages are off
# (WINEDEBUG=-all unless set), and a program runs at most $QUILLON_WINE_TIMEOUT
# seconds (900), making the prefix at most 120.
set -euo pipefail

prefix=${WINEPREFIX:-$PWD/wine-prefix}
if [[ ${1:-} == --prefix ]]; then
  [[ $# -ge 2 ]] || { echo "wine-run.sh: --prefix needs a folder" >&2; exit 2; }
  prefix=$2
  shift 2
fi
[[ $# -ge 1 ]] || { echo "usage: wine-run.sh [--prefix FOLDER] PROGRAM [ARGUMENT...] | --prepare | --stop" >&2; exit 2; }
mkdir -p "$(dirname "$prefix")"
prefix=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")

export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
# Mono and Gecko are never wanted: without these overrides the first start
# would offer to install them.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY WAYLAND_DISPLAY

if [[ $1 == --stop ]]; then
  [[ -d $prefix ]] && timeout 30 wineserver -k 2>/dev/null || true
  exit 0
fi

# The prefix is made once, and its wineserver started when none is running,
# under a lock, since ctest may start several tests at the same moment. A
# prefix left half made by an interrupted run is made anew.
#
# A program that finds no wineserver starts one, and Wine's own services with
# it; those would keep the program's output open (ctest would wait for them)
# and cost a second each time. So the server is started here, and stays 60 s
# past its last program (or until --stop), and the services are started once
# with no output of anyone's.
exec 9>"$prefix.lock"
timeout 180 flock 9 || { echo "wine-run.sh: $prefix.lock stayed locked" >&2; exit 1; }
# (A prefix this script did not make is used as it is, never removed.)
ready=$prefix/.quillon-ready
if [[ ! -f $ready && ( ! -d $prefix || -f $prefix.making ) ]]; then
  rm -rf "$prefix"
  touch "$prefix.making"
  if ! timeout 120 wineboot -i >"$prefix.log" 2>&1 9>&- || ! timeout 60 wineserver -w 9>&-; then
    echo "wine-run.sh: making the Wine prefix $prefix failed; see $prefix.log" >&2
    exit 1
  fi
  touch "$ready"
  rm -f "$prefix.making"
fi
started=0
timeout 30 wineserver -p60 </dev/null >/dev/null 2>&1 9>&- || started=$?  # 2: one is running
if [[ $started -eq 0 ]]; then
  timeout 120 wine wineboot </dev/null >/dev/null 2>&1 9>&- || true
fi
exec 9>&-

[[ $1 == --prepare ]] && exit 0
program=$1
shift
exec timeout --kill-after=10 "${QUILLON_WINE_TIMEOUT:-900}" wine "$program" "$@"

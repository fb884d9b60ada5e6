#!/usr/bin/env bash
# Runs a Windows program under Wine: wine-run.sh PROGRAM.exe [ARGS...]
# The emulator of the CMake build (ctest and test discovery go through it).
# The prefix is <build dir>/wine, the build dir being the nearest folder above
# the program that holds a CMakeCache.txt (or ./build); NR_WINE_PREFIX
# overrides it. NR_WINE_MODE=display uses a prefix that opens real windows.
# The build's architecture picks the Wine loader and the prefix's kind.
# When the build dir holds the virtual null-modem cable, the program runs on
# it (the prefix's cable file): COM ports on plugged pty pairs have modem lines.
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/wine-env.sh"

if [ $# -lt 1 ]; then
    echo "usage: $0 PROGRAM.exe [ARGS...]" >&2
    exit 2
fi

mode=${NR_WINE_MODE:-headless}
d=$(cd "$(dirname "$1")" 2>/dev/null && pwd) || d=$PWD
while [ "$d" != / ] && [ ! -f "$d/CMakeCache.txt" ]; do d=$(dirname "$d"); done
[ -f "$d/CMakeCache.txt" ] || d=$(dirname "$here")/build
prefix=${NR_WINE_PREFIX:-}
if [ -z "$prefix" ]; then
    prefix=$d/wine
    [ "$mode" = display ] && prefix=$d/wine-display
fi

arch=$(nr_build_arch "$d")
[ -n "$arch" ] || arch=$(nr_exe_arch "$1")
nr_wine_prepare "$prefix" "$mode" "$arch" || exit 1
nr_cable_use "$d" "$prefix"
exec "$WINELOADER" "$@"

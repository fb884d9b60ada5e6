#!/usr/bin/env bash
# The release zip of the build's architecture (CPack): exactly what it should
# hold; every program stripped, built for that architecture, importing only
# Windows' own DLLs and carrying its version information. Then used as its
# README says, unpacked in an empty folder with a fresh Wine prefix: a pty
# pair mapped by its script, and the programmer programs the simulated module.
#   dist.sh BUILD-DIR
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=$(cd "${1:?usage: dist.sh BUILD-DIR}" && pwd)
OUT=$BUILD/dist-test
. "$ROOT/cmake/wine-env.sh"
. "$ROOT/tests/package/imports.sh"

failures=0
check() {
    if [ "$2" = 0 ]; then echo "  ok: $1"; else echo "  FAILED: $1"; failures=$((failures + 1)); fi
}
declare -A DESCRIPTION=([Project2]="Truck module programmer" [nrsim]="Simulated truck module"
                        [nrterm]="Serial terminal" [nrports]="Serial port lister")

cache() { sed -n "s/^$1:[A-Z]*=//p" "$BUILD/CMakeCache.txt"; }
arch=$(cache NR_ARCH)
objdump=$(cache CMAKE_OBJDUMP)
declare -A PE_ARCH=([i686]="i386" [x86_64]="i386:x86-64") ZIP_ARCH=([i686]=win32 [x86_64]=win64)
version=$(cache CMAKE_PROJECT_VERSION)
top=truck-programmer-$version-${ZIP_ARCH[$arch]}
zip=$OUT/$top.zip
SOCAT_PID=""
# Ending the prefix's server ends the programs in it.
trap 'nr_wine_stop "$OUT/wine"; [ -n "$SOCAT_PID" ] && kill "$SOCAT_PID"; rm -rf "$OUT"' EXIT

rm -rf "$OUT"
cpack --config "$BUILD/CPackConfig.cmake" -B "$OUT" >"$BUILD/dist-test.log" 2>&1
[ -f "$zip" ]
check "CPack packed $zip" $?
mkdir -p "$OUT/unpacked"
(cd "$OUT/unpacked" && cmake -E tar xf "$zip")
expected=$(printf '%s\n' CHANGES.md Project2.exe README.md docs/terminal.png docs/utility.png nrports.exe nrsim.exe \
    nrterm.exe wine-map-port.sh nullmodem/nrnullmodem nullmodem/lib/{i386,x86_64}-linux-gnu/libnrnullmodem.so)
listed=$(cd "$OUT/unpacked/$top" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
[ "$listed" = "$(LC_ALL=C sort <<<"$expected")" ]
rc=$?; check "the zip holds $(tr '\n' ' ' <<<"$listed")" "$rc"
cd "$OUT/unpacked/$top" || exit 1

nr_wine_prepare "$OUT/wine" headless "$arch" || { echo "dist: Wine prefix set-up failed" >&2; exit 1; }
probe() { wine "$BUILD/nrprobe.exe" "$@" </dev/null 2>&1 | tr -d '\r'; }
for p in Project2 nrsim nrterm nrports; do
    pe=$("$objdump" -f "$p.exe" | sed -n 's/^architecture: \([^,]*\),.*/\1/p')
    [ "$pe" = "${PE_ARCH[$arch]}" ]
    check "$p.exe is built for $arch ($pe)" $?
    ! "$objdump" -h "$p.exe" | grep -q '\.debug_'
    check "$p.exe is stripped" $?
    dlls=$(nr_imports "$objdump" "$p.exe")
    foreign=$(nr_foreign $dlls)
    [ -n "$dlls" ] && [ -z "$foreign" ]
    rc=$?; check "$p.exe imports only Windows' DLLs ($(tr '\n' ' ' <<<"$dlls"))${foreign:+, not: $foreign}" "$rc"
    info=$(probe version "$(winepath -w "$PWD/$p.exe" 2>/dev/null)")
    [ "$info" = "ProductName: Truck module programmer
FileVersion: $version.0
FileDescription: ${DESCRIPTION[$p]}" ]
    rc=$?; check "$p.exe carries its version: $(tr '\n' ';' <<<"$info")" "$rc"
done

# The README's virtual pair. Wine rebuilds its port map at each start: COM1
# (in place of any port Wine found itself; the programmer picks the first
# port) must survive a restart, COM4 show in the running Wine at once.
socat pty,raw,echo=0,link="$OUT/com1" pty,raw,echo=0,link="$OUT/com4" </dev/null >/dev/null 2>&1 &
SOCAT_PID=$!
for ((i = 0; i < 100; i++)); do [ -e "$OUT/com4" ] && break; sleep 0.05; done
sh wine-map-port.sh "$OUT/com1" COM1 >/dev/null && nr_wine_stop "$OUT/wine" &&
    nr_wine_prepare "$OUT/wine" headless "$arch" && sh wine-map-port.sh "$OUT/com4" COM4 >/dev/null
check "wine-map-port.sh mapped COM1 and, after a restart of Wine, COM4" $?
wine nrsim.exe --port 4 </dev/null >"$OUT/module.log" 2>&1 &
wine Project2.exe </dev/null >/dev/null 2>&1 &
probe wait 60 >/dev/null
box=$(probe box)
[[ "$box" == "*COM1"$'\n'* ]] && grep -qx ' COM4' <<<"$box"
rc=$?; check "the programmer lists COM1 (picked) and COM4 ($(tr '\n' ' ' <<<"$box"))" "$rc"
for ((i = 0; i < 200; i++)); do grep -q '^module on' "$OUT/module.log" && break; sleep 0.05; done
n0=$(probe log | wc -l)
probe press START
line=$(probe until 30 "$n0" "Programming successfull! " "Error:" "Fatal Error:")
[ "$line" = "Programming successfull! " ] && grep -q 'RX AA 55 01 00' "$OUT/module.log"
check "the programmer on COM1 programmed the module on COM4: ${line:-no log line}" $?
[ "$failures" = 0 ] || { echo "dist: $failures check(s) failed" >&2; exit 1; }
exit 0

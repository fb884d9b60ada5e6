#!/usr/bin/env bash
# The release zip of the build's architecture: exactly the four programs, the
# README with its pictures and the change list; every program is built for
# that architecture, imports only Windows' own DLLs and carries its version
# information.
#   dist.sh BUILD-DIR
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=$(cd "${1:?usage: dist.sh BUILD-DIR}" && pwd)
OUT=$BUILD/dist-test
. "$ROOT/cmake/wine-env.sh"

failures=0
check() {
    if [ "$2" = 0 ]; then echo "  ok: $1"; else echo "  FAILED: $1"; failures=$((failures + 1)); fi
}
# Windows' own libraries; anything else (a compiler's runtime) would have to ship along.
SYSTEM_DLLS=" advapi32.dll comctl32.dll comdlg32.dll gdi32.dll kernel32.dll msvcrt.dll ntdll.dll ole32.dll
 oleaut32.dll setupapi.dll shell32.dll user32.dll version.dll winspool.drv "
declare -A DESCRIPTION=([Project2]="Truck module programmer" [nrsim]="Simulated truck module"
                        [nrterm]="Serial terminal" [nrports]="Serial port lister")

cache() { sed -n "s/^$1:[A-Z]*=//p" "$BUILD/CMakeCache.txt"; }
arch=$(cache NR_ARCH)
declare -A PE_ARCH=([i686]="i386" [x86_64]="i386:x86-64") ZIP_ARCH=([i686]=win32 [x86_64]=win64)
zip=$("$ROOT/tools/dist.sh" --build-dir "$BUILD" --out "$OUT") || { echo "dist: packing failed" >&2; exit 1; }
[ -f "$zip" ] && [[ "$zip" == *-"${ZIP_ARCH[$arch]}".zip ]]
check "dist.sh printed the $arch zip's path: $zip" $?
rm -rf "$OUT/unpacked"
mkdir -p "$OUT/unpacked"
(cd "$OUT/unpacked" && cmake -E tar xf "$zip")
top=$(basename "$zip" .zip)
version=$(cache CMAKE_PROJECT_VERSION)
expected=$(printf '%s\n' CHANGES.md Project2.exe README.md docs/terminal.png docs/utility.png nrports.exe nrsim.exe nrterm.exe)
listed=$(cd "$OUT/unpacked/$top" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
[ "$listed" = "$(LC_ALL=C sort <<<"$expected")" ]
rc=$?; check "the zip holds $(tr '\n' ' ' <<<"$listed")" "$rc"

nr_wine_prepare "$BUILD/wine" headless || { echo "dist: Wine prefix set-up failed" >&2; exit 1; }
for p in Project2 nrsim nrterm nrports; do
    exe=$OUT/unpacked/$top/$p.exe
    pe=$("$(cache CMAKE_OBJDUMP)" -f "$exe" | sed -n 's/^architecture: \([^,]*\),.*/\1/p')
    [ "$pe" = "${PE_ARCH[$arch]}" ]
    check "$p.exe is built for $arch ($pe)" $?
    dlls=$("$(cache CMAKE_OBJDUMP)" -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
    foreign=""
    for d in $dlls; do [[ "$SYSTEM_DLLS" == *" $d "* ]] || foreign+="$d "; done
    [ -n "$dlls" ] && [ -z "$foreign" ]
    rc=$?; check "$p.exe imports only Windows' DLLs ($(tr '\n' ' ' <<<"$dlls"))${foreign:+, not: $foreign}" "$rc"
    info=$(wine "$BUILD/nrprobe.exe" version "$(winepath -w "$exe" 2>/dev/null)" </dev/null 2>&1 | tr -d '\r')
    [ "$info" = "ProductName: Truck module programmer
FileVersion: $version.0
FileDescription: ${DESCRIPTION[$p]}" ]
    rc=$?; check "$p.exe carries its version: $(tr '\n' ';' <<<"$info")" "$rc"
done
rm -rf "$OUT"
[ "$failures" = 0 ] || { echo "dist: $failures check(s) failed" >&2; exit 1; }
exit 0

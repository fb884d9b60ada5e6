#!/usr/bin/env bash
# Packs the release: one zip with the utility, the module simulator, the
# terminal, the port lister (stripped copies), the README with its pictures
# and the change list, in a folder named after the product, version and
# Windows architecture of the build (win32: i686, win64: x86_64).
# Prints the zip's path.
#   dist.sh --build-dir DIR [--out DIR]
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="" OUT=""
while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) BUILD=$2; shift ;;
        --out) OUT=$2; shift ;;
        *) echo "dist: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done
[ -n "$BUILD" ] || { echo "usage: dist.sh --build-dir DIR [--out DIR]" >&2; exit 2; }
BUILD=$(cd "$BUILD" && pwd)
OUT=${OUT:-$BUILD/dist}

PROGRAMS=(Project2 nrsim nrterm nrports)
cache() { sed -n "s/^$1:[A-Z]*=//p" "$BUILD/CMakeCache.txt"; }
version=$(cache CMAKE_PROJECT_VERSION)
[ -n "$version" ] || { echo "dist: $BUILD is no configured build folder" >&2; exit 1; }
case "$(cache NR_ARCH)" in
    i686) bits=win32 ;;
    x86_64) bits=win64 ;;
    *) echo "dist: $BUILD names no architecture (configure it again)" >&2; exit 1 ;;
esac
strip=$(cache CMAKE_STRIP)
name=truck-programmer-$version-$bits
stage=$OUT/$name
rm -rf "$stage" "$OUT/$name.zip"
mkdir -p "$stage"
for p in "${PROGRAMS[@]}"; do
    [ -f "$BUILD/$p.exe" ] || { echo "dist: $BUILD/$p.exe is not built" >&2; exit 1; }
    "$strip" -o "$stage/$p.exe" "$BUILD/$p.exe"
done
cp "$ROOT/README.md" "$ROOT/CHANGES.md" "$stage/"
mkdir -p "$stage/docs"
cp "$ROOT"/docs/*.png "$stage/docs/"
(cd "$OUT" && cmake -E tar cf "$name.zip" --format=zip "$name")
rm -rf "$stage"
echo "$OUT/$name.zip"

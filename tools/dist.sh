#!/usr/bin/env bash
# Packs the release: one zip with the utility, the module simulator, the
# terminal, the port lister (stripped copies), the README with its pictures
# and the change list, in a folder named after the product and version.
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
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
[ -n "$version" ] || { echo "dist: $BUILD is no configured build folder" >&2; exit 1; }
name=truck-programmer-$version-win32
stage=$OUT/$name
rm -rf "$stage" "$OUT/$name.zip"
mkdir -p "$stage"
for p in "${PROGRAMS[@]}"; do
    [ -f "$BUILD/$p.exe" ] || { echo "dist: $BUILD/$p.exe is not built" >&2; exit 1; }
    i686-w64-mingw32-strip -o "$stage/$p.exe" "$BUILD/$p.exe"
done
cp "$ROOT/README.md" "$ROOT/CHANGES.md" "$stage/"
mkdir -p "$stage/docs"
cp "$ROOT"/docs/*.png "$stage/docs/"
(cd "$OUT" && cmake -E tar cf "$name.zip" --format=zip "$name")
rm -rf "$stage"
echo "$OUT/$name.zip"

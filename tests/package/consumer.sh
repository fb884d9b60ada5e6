#!/usr/bin/env bash
# Another project uses the installed library: install the build into a fresh
# prefix, run the README's consumer steps as written (only the prefix is this
# one) in an empty folder, and the program on a pty pair: what the peer
# writes, it prints. Built with a bare mingw-w64 toolchain too, programs
# import only Windows' DLLs; a consumer of the other Windows architecture is
# refused, with the reason.
#   consumer.sh BUILD-DIR
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=$(cd "${1:?usage: consumer.sh BUILD-DIR}" && pwd)
WORK=$BUILD/package-test
. "$ROOT/cmake/wine-env.sh"
. "$ROOT/tests/package/imports.sh"

SOCAT_PID="" LINK=""
fail() { echo "consumer: $*" >&2; exit 1; }
cleanup() {
    [ -n "$SOCAT_PID" ] && kill "$SOCAT_PID" 2>/dev/null && wait "$SOCAT_PID" 2>/dev/null
    [ -n "$LINK" ] && rm -f "$LINK"
}
trap cleanup EXIT

rm -rf "$WORK"
mkdir -p "$WORK"
arch=$(nr_build_arch "$BUILD")
other=toolchain-mingw32
[ "$arch" = i686 ] && other=toolchain-mingw64
cmake --install "$BUILD" --prefix "$WORK/prefix" >"$WORK/install.log" || fail "install failed"
# consumer_configure FOLDER TOOLCHAIN-FILE
consumer_configure() {
    cmake -G Ninja -S "$ROOT/tests/package/consumer" -B "$WORK/$1" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$2" -Dnrcomm_DIR="$WORK/prefix/lib/cmake/nrcomm" >"$WORK/$1.log" 2>&1
}
# static_exe EXE: imports Windows' own DLLs only.
static_exe() {
    local dlls
    dlls=$(nr_imports "$(sed -n 's/^CMAKE_OBJDUMP:[A-Z]*=//p' "$BUILD/CMakeCache.txt")" "$1")
    [ -n "$dlls" ] && [ -z "$(nr_foreign $dlls)" ] || fail "$1 imports $(nr_foreign $dlls)"
}
if consumer_configure other-build "$ROOT/cmake/$other.cmake"; then
    fail "a consumer built with $other.cmake accepted the $arch package"
fi
grep -q "this nrcomm is built for $arch" "$WORK/other-build.log" ||
    { cat "$WORK/other-build.log"; fail "the refusal of the other architecture gives no reason"; }
echo "  ok: a consumer of the other architecture is told: $(grep -o "this nrcomm is built for $arch[^:]*" "$WORK/other-build.log")"
# Any mingw-w64 toolchain: the compiler and nothing else.
printf 'set(CMAKE_SYSTEM_NAME Windows)\nset(CMAKE_CXX_COMPILER %s-w64-mingw32-g++-posix)\n' "$arch" >"$WORK/bare.cmake"
consumer_configure bare-build "$WORK/bare.cmake" && cmake --build "$WORK/bare-build" >"$WORK/bare-make.log" 2>&1 ||
    { cat "$WORK/bare-build.log" "$WORK/bare-make.log"; fail "the consumer does not build with a bare toolchain"; }
static_exe "$WORK/bare-build/receive.exe"
echo "  ok: built with a bare toolchain, the consumer imports Windows' DLLs only"

steps=$(awk '/^<!-- consumer steps/ { on = 1; next } /^<!-- end of consumer steps/ { on = 0 } on && !/^```/' "$ROOT/README.md")
grep -q /opt/nrcomm <<<"$steps" || fail "no consumer steps in README.md (between its markers)"
mkdir -p "$WORK/app"
cp "$ROOT/tests/package/consumer/receive.cpp" "$WORK/app/"
(cd "$WORK/app" && bash -e -c "${steps//\/opt\/nrcomm/$WORK/prefix}") >"$WORK/app.log" 2>&1 ||
    { cat "$WORK/app.log"; fail "the README's consumer steps fail"; }
# Everything came from the package, nothing from this source tree.
grep -rqF --exclude="*.exe" -e "$ROOT/comm/" -e "$ROOT/framework/" "$WORK/app/build" &&
    fail "the consumer's build reaches into the source tree"
static_exe "$WORK/app/build/receive.exe"
echo "  ok: the README's consumer steps built a static program against the package in $WORK/prefix"

# The program on a real line: the peer's bytes come out on its stdout.
nr_wine_prepare "$BUILD/wine" headless || fail "Wine prefix set-up failed"
socat pty,raw,echo=0,link="$WORK/a" pty,raw,echo=0,link="$WORK/b" </dev/null >/dev/null 2>&1 &
SOCAT_PID=$!
for ((i = 0; i < 100; i++)); do [ -e "$WORK/b" ] && break; sleep 0.05; done
[ -e "$WORK/b" ] || fail "socat made no pty pair"
for ((port = 200; port < 256; port++)); do
    ln -s "$WORK/a" "$WINEPREFIX/dosdevices/com$port" 2>/dev/null && { LINK=$WINEPREFIX/dosdevices/com$port; break; }
done
[ -n "$LINK" ] || fail "no free COM number"
wine "$WORK/app/build/receive.exe" "$port" </dev/null >"$WORK/out" 2>"$WORK/err" &
pid=$!
sleep 0.5
printf 'hello' >"$WORK/b"
wait "$pid"
rc=$?
[ "$rc" = 0 ] && [ "$(cat "$WORK/out")" = hello ] ||
    fail "the consumer on COM$port ended with $rc, printed \"$(cat "$WORK/out")\" ($(cat "$WORK/err"))"
echo "  ok: the consumer received \"hello\" on COM$port"

rm -f "$LINK"
LINK=""
wine "$WORK/app/build/receive.exe" "$port" </dev/null >"$WORK/out" 2>"$WORK/err"
rc=$?
[ "$rc" = 1 ] && grep -q "COM$port\" Open Error" "$WORK/err" ||
    fail "a missing port ended with $rc: $(cat "$WORK/err")"
echo "  ok: a missing port is reported: $(head -n1 "$WORK/err" | tr -d '\r')"
exit 0

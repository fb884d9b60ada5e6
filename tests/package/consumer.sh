#!/usr/bin/env bash
# Another project uses the installed library: install the build into a fresh
# prefix, configure and build tests/package/consumer against the package
# alone, and run the program on a pty pair: what the peer writes, it prints.
# A consumer of the other Windows architecture is refused, with the reason.
#   consumer.sh BUILD-DIR
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=$(cd "${1:?usage: consumer.sh BUILD-DIR}" && pwd)
WORK=$BUILD/package-test
. "$ROOT/cmake/wine-env.sh"

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
case "$arch" in
    i686) toolchain=toolchain-mingw32 other=toolchain-mingw64 ;;
    *) toolchain=toolchain-mingw64 other=toolchain-mingw32 ;;
esac
cmake --install "$BUILD" --prefix "$WORK/prefix" >"$WORK/install.log" || fail "install failed"
# consumer_configure FOLDER TOOLCHAIN
consumer_configure() {
    cmake -G Ninja -S "$ROOT/tests/package/consumer" -B "$WORK/$1" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$2.cmake" -Dnrcomm_DIR="$WORK/prefix/lib/cmake/nrcomm" >"$WORK/$1.log" 2>&1
}
if consumer_configure other-build "$other"; then
    fail "a consumer built with $other.cmake accepted the $arch package"
fi
grep -q "this nrcomm is built for $arch" "$WORK/other-build.log" ||
    { cat "$WORK/other-build.log"; fail "the refusal of the other architecture gives no reason"; }
echo "  ok: a consumer of the other architecture is told: $(grep -o "this nrcomm is built for $arch[^:]*" "$WORK/other-build.log")"
consumer_configure build "$toolchain" ||
    { cat "$WORK/build.log"; fail "the consumer does not configure against the package"; }
cmake --build "$WORK/build" >"$WORK/make.log" 2>&1 ||
    { cat "$WORK/make.log"; fail "the consumer does not build against the package"; }
# Everything came from the package, nothing from this source tree.
if grep -qF -- "$ROOT/comm" "$WORK/build/build.ninja" || grep -qF -- "$ROOT/framework" "$WORK/build/build.ninja"; then
    fail "the consumer's build reaches into the source tree"
fi
echo "  ok: installed, configured and built against the package in $WORK/prefix"

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
wine "$WORK/build/receive.exe" "$port" </dev/null >"$WORK/out" 2>"$WORK/err" &
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
wine "$WORK/build/receive.exe" "$port" </dev/null >"$WORK/out" 2>"$WORK/err"
rc=$?
[ "$rc" = 1 ] && grep -q "COM$port\" Open Error" "$WORK/err" ||
    fail "a missing port ended with $rc: $(cat "$WORK/err")"
echo "  ok: a missing port is reported: $(head -n1 "$WORK/err" | tr -d '\r')"
exit 0

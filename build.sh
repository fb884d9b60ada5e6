#!/usr/bin/env bash
# Build, run and test the project: ./build.sh test | run | bench | stress | dist | screenshots
#   test   install what is missing, configure into build/, build, run all tests
#   run    install what is missing, build, run the utility against the simulated module
#   bench  build (optimised, in build/release) and run the communication benchmark under Wine
#   stress build and run the stress program under Wine (full form; --short for the quick one)
#   dist   build optimised (in build/release), pack the release zip, print its path
#   screenshots  take the README's pictures of the utility and the terminal (docs/)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD=${NR_BUILD_DIR:-$ROOT/build}
# The benchmark measures optimised code, the way a user ships it.
BENCH_BUILD=${NR_BENCH_BUILD_DIR:-$BUILD/release}
JOBS=${NR_JOBS:-2}
PACKAGES=(g++-mingw-w64-i686-posix gcc-multilib wine wine32:i386 xvfb socat xdotool imagemagick cmake ninja-build googletest picocom
    clang-format)

. "$ROOT/cmake/wine-env.sh"

say() { printf '==> %s\n' "$*"; }
die() { printf 'build.sh: %s\n' "$*" >&2; exit 1; }
now() { date +%s.%N; }
took() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f s", b - a }'; }

# Installs exactly the missing packages; a ready machine installs nothing.
setup() {
    local missing=() need_i386=0 p
    if command -v dpkg >/dev/null 2>&1; then
        if [ "$(dpkg --print-architecture)" != i386 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
            need_i386=1
        fi
        for p in "${PACKAGES[@]}"; do
            dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
        done
    else
        die "not a Debian system (no dpkg): install these packages by hand: ${PACKAGES[*]} (32-bit wine included)"
    fi
    if [ ${#missing[@]} -eq 0 ] && [ $need_i386 -eq 0 ]; then
        return 0
    fi
    local what="${missing[*]:-}"
    [ $need_i386 -eq 1 ] && what="(i386 architecture) $what"
    if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null 2>&1; then
        local how="apt-get update && apt-get install -y ${missing[*]:-}"
        [ $need_i386 -eq 1 ] && how="dpkg --add-architecture i386 && $how"
        die "missing: $what
run as root, or install them yourself:
  $how"
    fi
    say "installing: $what"
    export DEBIAN_FRONTEND=noninteractive
    if [ $need_i386 -eq 1 ]; then
        dpkg --add-architecture i386
    fi
    apt-get update -q
    [ ${#missing[@]} -gt 0 ] && apt-get install -y -q "${missing[@]}" </dev/null
    return 0
}

configure() {
    local t
    t=$(now)
    if [ ! -f "$BUILD/build.ninja" ]; then
        cmake -G Ninja -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw32.cmake" \
            -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Debug}" >/dev/null \
            || die "configure failed"
        say "configured in $(took "$t")"
    fi
}

build() {
    local t
    configure
    t=$(now)
    cmake --build "$BUILD" -j "$JOBS" "$@" || die "build failed"
    say "built in $(took "$t")"
}

wine_headless() {
    nr_wine_prepare "$BUILD/wine" headless || die "Wine prefix set-up failed"
}

has_display() {
    [ -n "${DISPLAY:-}" ] && xdotool getdisplaygeometry >/dev/null 2>&1
}

# Ends the wineservers of the build folder's prefixes, so a finished run
# leaves nothing running behind it.
stop_wine_servers() {
    local p
    for p in "$BUILD"/wine*; do
        [ -f "$p/system.reg" ] && { (nr_wine_stop "$p") || true; }
    done
    return 0
}

# Every C and C++ source as .clang-format lays it out.
check_format() {
    local files=() f
    while IFS= read -r -d '' f; do files+=("$f"); done < <(
        find "$ROOT"/{app,bench,comm,framework,stress,tests,tools} -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print0)
    clang-format --dry-run --Werror "${files[@]}" 2>"$BUILD/format.log" ||
        die "sources not formatted as .clang-format says (clang-format -i FILE...):
$(grep -oE '^/[^:]+\.(cpp|h|c):' "$BUILD/format.log" | sort -u | sed "s|^$ROOT/|  |; s|:$||")"
    say "sources formatted as .clang-format says"
}

cmd_test() {
    local t
    setup
    build
    check_format
    wine_headless
    t=$(now)
    local rc=0
    (cd "$BUILD" && ctest --output-on-failure --timeout 120) || rc=$?
    say "tests ran in $(took "$t")"
    stop_wine_servers
    [ $rc -eq 0 ] || die "tests failed"
    say "all tests passed"
}

cmd_run() {
    setup
    build --target Project2 nrsim nrprobe
    # The utility and the simulated module on a virtual serial cable: on the
    # display when there is one, else on a private X screen (tools/mainjob.sh).
    local rc=0
    "$ROOT/tools/mainjob.sh" --build-dir "$BUILD" "$@" || rc=$?
    [ $rc -eq 0 ] || die "the main job ended with exit code $rc"
    say "the main job ended normally"
}

cmd_bench() {
    setup
    if ! compgen -G "$ROOT/bench/*.cpp" >/dev/null; then
        say "there is no benchmark yet (bench/ has no sources)"
        return 0
    fi
    BUILD=$BENCH_BUILD BUILD_TYPE=Release build --target bench_comm
    "$ROOT/cmake/wine-run.sh" "$BENCH_BUILD/bench_comm.exe" "$@"
}

cmd_dist() {
    setup
    BUILD=$BENCH_BUILD BUILD_TYPE=Release build --target Project2 nrsim nrterm nrports
    "$ROOT/tools/dist.sh" --build-dir "$BENCH_BUILD"
}

# The GUI checks take the pictures; the black screen around the window goes.
cmd_screenshots() {
    setup
    build --target Project2 nrsim nrprobe nrterm nullmodem
    "$ROOT/tools/mainjob.sh" --headless --build-dir "$BUILD" --shot "$BUILD/utility.png" || die "the utility's check failed"
    bash "$ROOT/tests/app/gui_terminal.sh" --build-dir "$BUILD" --shot "$BUILD/terminal.png" || die "the terminal's check failed"
    mkdir -p "$ROOT/docs"
    for p in utility terminal; do convert "$BUILD/$p.png" -trim +repage "$ROOT/docs/$p.png"; done
    stop_wine_servers
    say "pictures in $ROOT/docs: utility.png terminal.png"
}

# Hostile tries with checked outcomes; every section has a time budget, so
# the run is bounded (stress/stress.h).
cmd_stress() {
    setup
    build --target stress_comm
    wine_headless
    local rc=0
    "$ROOT/cmake/wine-run.sh" "$BUILD/stress_comm.exe" "$@" || rc=$?
    stop_wine_servers
    [ $rc -eq 0 ] || die "stress run failed (exit code $rc)"
    say "every stress figure met its target"
}

case "${1:-}" in
    test) shift; cmd_test "$@" ;;
    run) shift; cmd_run "$@" ;;
    bench) shift; cmd_bench "$@" ;;
    stress) shift; cmd_stress "$@" ;;
    dist) shift; cmd_dist ;;
    screenshots) shift; cmd_screenshots ;;
    *)
        echo "usage: $0 test|run|bench|stress|dist|screenshots" >&2
        exit 2
        ;;
esac

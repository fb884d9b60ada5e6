#!/usr/bin/env bash
# Build, run and test the project: ./build.sh test | run | bench | stress | soak | dist | install | screenshots
#   test   install what is missing, build both architectures, run all tests on
#          each this host can run
#   run    install what is missing, build, run the utility against the simulated module
#   bench  build optimised (build/ARCH/release) and run the communication benchmark
#   stress build and run the stress program (full form; --short for the quick one)
#   soak [minutes]  the utility against the simulated module for a long while
#          (default 60), with mode changes, unplugs, an idle port and floods;
#          one line a minute; not part of test
#   dist   build optimised, pack one release zip per architecture, print their paths
#   install PREFIX  build the library optimised and install its package into PREFIX
#          (i686 unless NR_ARCH=x86_64)
#   screenshots  take the README's pictures of the utility and the terminal (docs/)
# Architectures: i686 (32-bit, the utility as it ships) and x86_64, each in
# build/ARCH with its own Wine prefix. NR_ARCH=i686 or NR_ARCH=x86_64 picks one;
# unset, test, bench and stress take every architecture this host runs (dist
# builds both), run, soak and screenshots the 32-bit one where it runs, else
# the 64-bit one. NR_HOST_32BIT=0 or 1 overrides the check whether this host runs
# 32-bit programs.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD_ROOT=${NR_BUILD_DIR:-$ROOT/build}
JOBS=${NR_JOBS:-2}
PACKAGES=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix gcc-multilib wine wine64 xvfb socat xdotool imagemagick
    cmake ninja-build googletest picocom clang-format)
# Only where the kernel can start them.
PACKAGES_32=(wine32:i386)

. "$ROOT/cmake/wine-env.sh"

say() { printf '==> %s\n' "$*"; }
die() { printf 'build.sh: %s\n' "$*" >&2; exit 1; }
now() { date +%s.%N; }
took() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f s", b - a }'; }

# ---- architectures

ARCHES=(i686 x86_64)
HOST_32=1
# Decides once whether this host runs 32-bit programs, and says it.
host_check() {
    local rc=0 how="a 32-bit test program ran"
    [ -n "${NR_HOST_32BIT:-}" ] && how="NR_HOST_32BIT=$NR_HOST_32BIT"
    nr_host_32bit || rc=$?
    [ $rc -le 1 ] || exit 2
    if [ $rc -eq 0 ]; then
        say "this host runs 32-bit programs ($how): i686 and x86_64 both run here"
    else
        HOST_32=0
        say "$NR_HOST_32BIT_WHY: only x86_64 runs here"
    fi
    case "${NR_ARCH:-}" in
        "") ;;
        i686|x86_64) ARCHES=("$NR_ARCH") ;;
        *) die "NR_ARCH is \"$NR_ARCH\": i686 or x86_64" ;;
    esac
}

runs_here() { [ "$1" = x86_64 ] || [ $HOST_32 = 1 ]; }

# The architectures to run: every chosen one this host runs.
running_arches() {
    local a
    for a in "${ARCHES[@]}"; do runs_here "$a" && echo "$a"; done
    return 0
}

# The one architecture run and screenshots use.
main_arch() {
    local a=${ARCHES[0]}
    [ -n "${NR_ARCH:-}" ] || runs_here i686 || a=x86_64
    runs_here "$a" || die "$a programs cannot run here: $NR_HOST_32BIT_WHY (NR_ARCH=x86_64 runs the 64-bit build)"
    echo "$a"
}

build_dir() { echo "$BUILD_ROOT/$1"; }
# The benchmark and the release are optimised, the way a user gets them.
release_dir() { echo "$BUILD_ROOT/$1/release"; }

toolchain() { [ "$1" = i686 ] && echo "$ROOT/cmake/toolchain-mingw32.cmake" || echo "$ROOT/cmake/toolchain-mingw64.cmake"; }

# Installs exactly the missing packages; a ready machine installs nothing.
setup() {
    local missing=() need_i386=0 p wanted=("${PACKAGES[@]}")
    command -v dpkg >/dev/null 2>&1 ||
        die "not a Debian system (no dpkg): install these packages by hand: ${PACKAGES[*]} (and, where 32-bit programs run, ${PACKAGES_32[*]})"
    if [ $HOST_32 = 1 ]; then
        wanted+=("${PACKAGES_32[@]}")
        if [ "$(dpkg --print-architecture)" != i386 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
            need_i386=1
        fi
    fi
    for p in "${wanted[@]}"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
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

# build ARCH DIR TYPE [cmake --build options...]
build() {
    local arch=$1 dir=$2 type=$3 t
    shift 3
    t=$(now)
    if [ ! -f "$dir/build.ninja" ]; then
        cmake -G Ninja -S "$ROOT" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$(toolchain "$arch")" \
            -DCMAKE_BUILD_TYPE="$type" >/dev/null || die "$arch: configure failed"
    fi
    cmake --build "$dir" -j "$JOBS" "$@" || die "$arch: build failed"
    say "$arch: built in $(took "$t") ($dir)"
}

wine_headless() {
    nr_wine_prepare "$1/wine" headless || die "Wine prefix set-up failed"
}

# Ends the wineservers of a build folder's prefixes, so a finished run
# leaves nothing running behind it.
stop_wine_servers() {
    local p
    for p in "$1"/wine*; do
        [ -f "$p/system.reg" ] && { (nr_wine_stop "$p") || true; }
    done
    return 0
}

# Every C and C++ source as .clang-format lays it out.
check_format() {
    local files=() f log=$BUILD_ROOT/format.log
    while IFS= read -r -d '' f; do files+=("$f"); done < <(
        find "$ROOT"/{app,bench,comm,framework,stress,tests,tools} -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print0)
    clang-format --dry-run --Werror "${files[@]}" 2>"$log" ||
        die "sources not formatted as .clang-format says (clang-format -i FILE...):
$(grep -oE '^/[^:]+\.(cpp|h|c):' "$log" | sort -u | sed "s|^$ROOT/|  |; s|:$||")"
    say "sources formatted as .clang-format says"
}

# Runs a Windows program of build folder $1 under its Wine prefix.
wine_run() {
    local dir=$1 rc=0
    shift
    wine_headless "$dir"
    "$ROOT/cmake/wine-run.sh" "$@" || rc=$?
    stop_wine_servers "$dir"
    return $rc
}

cmd_test() {
    local a t dir failed=() ran=()
    setup
    for a in "${ARCHES[@]}"; do build "$a" "$(build_dir "$a")" Debug; done
    check_format
    for a in $(running_arches); do
        dir=$(build_dir "$a")
        wine_headless "$dir"
        t=$(now)
        local rc=0
        (cd "$dir" && ctest --output-on-failure --timeout 120) || rc=$?
        say "$a: tests ran in $(took "$t")"
        stop_wine_servers "$dir"
        ran+=("$a")
        [ $rc -eq 0 ] || failed+=("$a")
    done
    for a in "${ARCHES[@]}"; do
        runs_here "$a" || say "$a: built, not run: $NR_HOST_32BIT_WHY"
    done
    [ ${#ran[@]} -gt 0 ] || die "no architecture to test here"
    [ ${#failed[@]} -eq 0 ] || die "tests failed on ${failed[*]}"
    say "all tests passed on ${ran[*]}"
}

cmd_run() {
    local a dir
    a=$(main_arch)
    dir=$(build_dir "$a")
    setup
    say "running the $a utility"
    build "$a" "$dir" Debug --target Project2 nrsim nrprobe
    # The utility and the simulated module on a virtual serial cable: on the
    # display when there is one, else on a private X screen (tools/mainjob.sh).
    local rc=0
    "$ROOT/tools/mainjob.sh" --build-dir "$dir" "$@" || rc=$?
    [ $rc -eq 0 ] || die "the $a main job ended with exit code $rc"
    say "the $a main job ended normally"
}

cmd_bench() {
    local a dir
    setup
    for a in $(running_arches); do
        dir=$(release_dir "$a")
        build "$a" "$dir" Release --target bench_comm
        say "$a: benchmark"
        wine_run "$dir" "$dir/bench_comm.exe" "$@" || die "$a: the benchmark failed"
    done
}

# The release zip of build folder $1 (CPack, component "release"); prints its path.
pack() {
    local out
    out=$(cpack --config "$1/CPackConfig.cmake" -B "$1/dist" 2>&1) || { echo "$out" >&2; return 1; }
    sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' <<<"$out"
}

cmd_dist() {
    local a dir zip zips=()
    setup
    for a in "${ARCHES[@]}"; do
        dir=$(release_dir "$a")
        build "$a" "$dir" Release --target Project2 nrsim nrterm nrports nullmodem
        zip=$(pack "$dir") || die "$a: packing failed"
        zips+=("$zip")
    done
    printf '%s\n' "${zips[@]}"
}

# The library package, optimised, of one architecture (i686 unless NR_ARCH).
cmd_install() {
    local prefix=${1:-} a=${ARCHES[0]} dir
    [ -n "$prefix" ] || die "install: name the folder to install into (./build.sh install /opt/nrcomm)"
    dir=$(release_dir "$a")
    setup
    build "$a" "$dir" Release --target comm framework
    cmake --install "$dir" --prefix "$prefix" >/dev/null || die "$a: install failed"
    say "$a package in $prefix: CMAKE_PREFIX_PATH=$prefix, toolchain $prefix/share/nrcomm/toolchain.cmake"
}

# The GUI checks take the pictures; the black screen around the window goes.
cmd_screenshots() {
    local a dir
    a=$(main_arch)
    dir=$(build_dir "$a")
    setup
    build "$a" "$dir" Debug --target Project2 nrsim nrprobe nrterm nullmodem
    "$ROOT/tools/mainjob.sh" --headless --build-dir "$dir" --shot "$dir/utility.png" || die "the utility's check failed"
    bash "$ROOT/tests/app/gui_terminal.sh" --build-dir "$dir" --shot "$dir/terminal.png" || die "the terminal's check failed"
    mkdir -p "$ROOT/docs"
    for p in utility terminal; do convert "$dir/$p.png" -trim +repage "$ROOT/docs/$p.png"; done
    stop_wine_servers "$dir"
    say "pictures of the $a programs in $ROOT/docs: utility.png terminal.png"
}

# The stress program under Wine; a run that ends without its summary line
# (its server killed under it) failed too, whatever Wine's exit code says.
stress_run() {
    local dir=$1 out rc=0
    shift
    out=$(mktemp)
    wine_run "$dir" "$dir/stress_comm.exe" "$@" | tee "$out" || rc=$?
    if [ "$rc" = 0 ] && ! grep -q '^[0-9]* figures, 0 missed' "$out"; then
        echo "build.sh: the stress program ended without its summary line" >&2
        rc=1
    fi
    rm -f "$out"
    return "$rc"
}

# Hostile tries with checked outcomes; every section has a time budget, so
# the run is bounded (stress/stress.h).
cmd_stress() {
    local a dir
    setup
    for a in $(running_arches); do
        dir=$(build_dir "$a")
        build "$a" "$dir" Debug --target stress_comm
        say "$a: stress run"
        stress_run "$dir" "$@" || die "$a: stress run failed"
        say "$a: every stress figure met its target"
    done
}

cmd_soak() {
    local a dir minutes=${1:-60}
    [[ "$minutes" =~ ^[1-9][0-9]*$ ]] || die "soak: minutes must be a whole number, not '$minutes'"
    a=$(main_arch)
    dir=$(build_dir "$a")
    setup
    build "$a" "$dir" Debug --target stress_comm
    say "$a: soak for $minutes minutes"
    stress_run "$dir" --soak "$minutes" || die "$a: the soak failed"
    say "$a: the soak met every target"
}

usage() { sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; }

case "${1:-}" in
    -h|--help|help) usage; exit 0 ;;
    test|run|bench|stress|soak|dist|install|screenshots) ;;
    *) usage >&2; exit 2 ;;
esac
host_check
case "$1" in
    test) shift; cmd_test "$@" ;;
    run) shift; cmd_run "$@" ;;
    bench) shift; cmd_bench "$@" ;;
    stress) shift; cmd_stress "$@" ;;
    soak) shift; cmd_soak "$@" ;;
    dist) shift; cmd_dist ;;
    install) shift; cmd_install "$@" ;;
    screenshots) shift; cmd_screenshots ;;
esac

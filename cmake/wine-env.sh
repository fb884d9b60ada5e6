# Shared set-up of the project's Wine prefixes. Source it, then call
#   nr_wine_prepare PREFIX [headless|display] [i686|x86_64]
# which exports WINEPREFIX/WINEARCH/WINELOADER/WINEDEBUG, puts this folder's
# wine-bin/ first on PATH (so `wine`, `wineboot` and `winepath` run the loader
# of the prefix's architecture), creates the prefix on first use and leaves a
# persistent wineserver running for it. The architecture defaults to that of
# the build folder holding the prefix. Safe to call from many processes at
# once (everything happens under a lock beside the prefix).
#
# Extra one-time set-up: drop an idempotent script into cmake/wine-setup.d/
# (e.g. 50-serial.sh). Each *.sh there is sourced in name order, with the
# server running and WINEPREFIX exported, when the prefix is created and again
# whenever the set of scripts or their contents change. NR_WINE_MODE tells them
# whether the prefix is headless.

NR_WINE_CMAKE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
NR_WINE_SETUP_DIR=${NR_WINE_SETUP_DIR:-$NR_WINE_CMAKE_DIR/wine-setup.d}

# An i386 Linux program of 96 bytes that exits with 42 and needs no library.
NR_PROBE32_ELF=f0VMRgEBAQAAAAAAAAAAAAIAAwABAAAAVIAECDQAAAAAAAAAAAAAADQAIAABAAAAAAAAAAEAAAAAAAAAAIAECACABAhgAAAAYAAAAAUAAAAAEAAAuAEAAAC7KgAAAM2A

# Whether this host runs 32-bit x86 programs (0 when it does). Decided once:
# the answer goes to NR_HOST_32BIT (1 or 0, which a caller may also set to
# force it) and the reason for a no to NR_HOST_32BIT_WHY, both exported for
# the programs this run starts. The kernel is asked itself: a tiny i386
# program runs or not, whatever packages are installed.
nr_host_32bit() {
    case "${NR_HOST_32BIT:-}" in
        1) return 0 ;;
        0)
            export NR_HOST_32BIT_WHY=${NR_HOST_32BIT_WHY:-"NR_HOST_32BIT=0 treats this host as unable to run 32-bit programs"}
            return 1
            ;;
        "") ;;
        *) echo "NR_HOST_32BIT is \"$NR_HOST_32BIT\": 0 (cannot run 32-bit programs) or 1 (can)" >&2; return 2 ;;
    esac
    local dir rc=0 out
    dir=$(mktemp -d "${TMPDIR:-/tmp}/nr-probe32.XXXXXX") || return 2
    base64 -d <<<"$NR_PROBE32_ELF" >"$dir/probe" && chmod +x "$dir/probe"
    out=$("$dir/probe" 2>&1) || rc=$?
    rm -rf "$dir"
    if [ "$rc" = 42 ]; then
        export NR_HOST_32BIT=1
        return 0
    fi
    export NR_HOST_32BIT=0
    if grep -qw 'ia32_emulation=\(off\|0\)' /proc/cmdline 2>/dev/null ||
        { [ -r /proc/config.gz ] && zgrep -q '^CONFIG_IA32_EMULATION_DEFAULT_DISABLED=y' /proc/config.gz 2>/dev/null; } ||
        grep -q '^CONFIG_IA32_EMULATION_DEFAULT_DISABLED=y' "/boot/config-$(uname -r)" 2>/dev/null; then
        export NR_HOST_32BIT_WHY="this kernel cannot run 32-bit programs: ia32_emulation is off"
    else
        out=$(tail -n1 <<<"$out")
        export NR_HOST_32BIT_WHY="this kernel cannot run 32-bit programs: a 32-bit test program ended with $rc${out:+ (${out##*: })}"
    fi
    return 1
}

# The Windows architecture of build folder $1 (i686 or x86_64), from its cache.
nr_build_arch() {
    sed -n 's/^NR_ARCH:[A-Z]*=//p' "$1/CMakeCache.txt" 2>/dev/null
}

# The architecture of Windows program $1, from its PE header's machine field.
nr_exe_arch() {
    local pe
    pe=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null) || return 1
    case "$(od -An -tx2 -j$((pe + 4)) -N2 "$1" 2>/dev/null)" in
        *14c) echo i686 ;;
        *8664) echo x86_64 ;;
        *) return 1 ;;
    esac
}

nr_wine_use() {
    local arch=${2:-${NR_WINE_ARCH:-}}
    export WINEPREFIX=$1
    case "$arch" in
        i686) export WINEARCH=win32 WINELOADER=/usr/lib/wine/wine ;;
        x86_64) export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64 ;;
        *) echo "wine: no architecture for $1 (i686 or x86_64)" >&2; return 2 ;;
    esac
    export NR_WINE_ARCH=$arch
    case ":$PATH:" in *":$NR_WINE_CMAKE_DIR/wine-bin:"*) ;; *) export PATH="$NR_WINE_CMAKE_DIR/wine-bin:$PATH" ;; esac
    export WINEDEBUG=${NR_WINEDEBUG:--all}
    export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml,winemenubuilder.exe="}
}

# Fingerprint of everything that shapes a prefix; a change re-runs the set-up.
nr_wine_fingerprint() {
    {
        echo "mode=$1 arch=$WINEARCH"
        cat "$NR_WINE_CMAKE_DIR/wine-env.sh"
        if [ -d "$NR_WINE_SETUP_DIR" ]; then
            for f in "$NR_WINE_SETUP_DIR"/*.sh; do
                [ -f "$f" ] && { echo "== $f"; cat "$f"; }
            done
        fi
    } | md5sum | cut -d' ' -f1
}

# Starts the persistent server; 0 when this call started it. Its stdio goes
# to /dev/null so no caller's pipe stays open after the caller ends.
nr_wine_start_server() {
    wineserver -p </dev/null >/dev/null 2>&1
}

# Waits up to N tenths of a second for the prefix's desktop process.
nr_wine_wait_desktop() {
    local i p
    for ((i = 0; i < $1; i++)); do
        for p in $(pgrep -f 'explorer.exe /desktop'); do
            tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && return 0
        done
        sleep 0.1
    done
    return 1
}

# The set-up proper, in a prefix whose server is not running yet.
nr_wine_setup_steps() {
    local mode=$1 f
    nr_wine_start_server
    wineboot --init || return 1
    if [ "$mode" = headless ]; then
        wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f || return 1
    else
        wine reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1 || true
    fi
    if [ -d "$NR_WINE_SETUP_DIR" ]; then
        for f in "$NR_WINE_SETUP_DIR"/*.sh; do
            [ -f "$f" ] || continue
            NR_WINE_MODE=$mode . "$f" || { echo "wine: set-up step $f failed" >&2; return 1; }
        done
    fi
    # Write the registry to disk now, so a later cold start sees it.
    wineserver -k
    wineserver -w
}

# Inside the lock: create or update the prefix, start the server.
nr_wine_prepare_locked() {
    local prefix=$1 mode=$2 log=$1.log
    local want have=""
    want=$(nr_wine_fingerprint "$mode")
    [ -f "$prefix/.nr-setup" ] && have=$(cat "$prefix/.nr-setup")
    # Wine cannot turn a prefix into one of the other architecture.
    if [ ! -f "$prefix/system.reg" ] || ! grep -qx "#arch=$WINEARCH" "$prefix/system.reg"; then
        have=""
        rm -rf "$prefix"
        mkdir -p "$prefix"
    fi
    if [ "$have" != "$want" ]; then
        echo "wine: preparing $mode $WINEARCH prefix $prefix (log: $log)" >&2
        nr_wine_setup_steps "$mode" </dev/null >"$log" 2>&1 || {
            echo "wine: $WINEARCH prefix set-up failed ($WINELOADER); the end of $log:" >&2
            tail -n 12 "$log" | sed 's/^/    /' >&2
            wineserver -k 2>/dev/null
            return 1
        }
        echo "$want" >"$prefix/.nr-setup"
    fi
    if nr_wine_start_server; then
        # A fresh server: bring Wine's own services up now with quiet stdio,
        # or the first program would start them holding the caller's pipes.
        wine cmd /c exit 0 </dev/null >/dev/null 2>&1
        if [ "$mode" = headless ]; then
            # Keep the desktop alive: otherwise each program that opens a
            # window starts the desktop process, which inherits its stdio and
            # lingers a second after it (every test would take 1 s longer).
            # Any idle windowed program does; nothing is shown headless.
            # Wait for its desktop, or the caller's program could start it.
            setsid wine notepad.exe </dev/null >/dev/null 2>&1 &
            nr_wine_wait_desktop 100
        fi
    fi
    return 0
}

nr_wine_prepare() {
    local prefix=$1 mode=${2:-headless} arch=${3:-}
    case "$mode" in headless|display) ;; *) echo "wine: unknown mode $mode" >&2; return 2 ;; esac
    [ -n "$arch" ] || arch=$(nr_build_arch "$(dirname "$prefix")")
    if [ "$arch" = i686 ] && ! nr_host_32bit; then
        echo "wine: no 32-bit prefix $prefix: $NR_HOST_32BIT_WHY" >&2
        return 1
    fi
    nr_wine_use "$prefix" "$arch" || return
    mkdir -p "$(dirname "$prefix")"
    # Command mode with -o: flock itself holds the lock, and nothing started
    # inside (the server, Wine's services) inherits it.
    flock -o "$prefix.setup-lock" bash -c '. "$1/wine-env.sh" && nr_wine_prepare_locked "$2" "$3"' \
        nr-wine "$NR_WINE_CMAKE_DIR" "$prefix" "$mode"
}

# Ends the prefix's server (and with it every program still running in it).
nr_wine_stop() {
    [ -d "$1" ] && { WINEPREFIX=$1 wineserver -k 2>/dev/null; WINEPREFIX=$1 wineserver -w 2>/dev/null; }
    return 0
}

# The virtual null-modem cable (tools/nullmodem) of build folder BUILD, for
# the programs of prefix PREFIX: nr_cable_use BUILD PREFIX exports
#   LD_PRELOAD          the preload library ($LIB picks the 32- or 64-bit build)
#   NR_NULLMODEM_STATE  the prefix's cable file, PREFIX.cable
#   NR_NULLMODEM_TOOL   the tool that plugs pty pairs in and sets lines
# and fails (changing nothing) when the cable is not built. Call it after
# nr_wine_prepare: the server and Wine's services need no cable.
nr_cable_use() {
    local dir=$1/nullmodem
    local word=i386
    [ "${NR_WINE_ARCH:-}" = x86_64 ] && word=x86_64
    [ -f "$dir/lib/$word-linux-gnu/libnrnullmodem.so" ] && [ -x "$dir/nrnullmodem" ] || return 1
    # LD_PRELOAD splits at blanks and colons.
    case "$dir" in *[[:space:]:]*) echo "wine: no modem lines: blank or colon in $dir" >&2; return 1 ;; esac
    local lib="$dir"'/$LIB/libnrnullmodem.so'
    case " ${LD_PRELOAD:-} " in
        *" $lib "*) ;;
        *) export LD_PRELOAD="$lib${LD_PRELOAD:+ $LD_PRELOAD}" ;;
    esac
    export NR_NULLMODEM_STATE=$2.cable
    export NR_NULLMODEM_TOOL=$dir/nrnullmodem
}

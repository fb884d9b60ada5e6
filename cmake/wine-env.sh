# Shared set-up of the project's Wine prefixes. Source it, then call
#   nr_wine_prepare PREFIX [headless|display]
# which exports WINEPREFIX/WINEARCH/WINEDEBUG, creates the prefix on first use
# and leaves a persistent wineserver running for it. Safe to call from many
# processes at once (everything happens under a lock beside the prefix).
#
# Extra one-time set-up: drop an idempotent script into cmake/wine-setup.d/
# (e.g. 50-serial.sh). Each *.sh there is sourced in name order, with the
# server running and WINEPREFIX exported, when the prefix is created and again
# whenever the set of scripts or their contents change. NR_WINE_MODE tells them
# whether the prefix is headless.

NR_WINE_CMAKE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
NR_WINE_SETUP_DIR=${NR_WINE_SETUP_DIR:-$NR_WINE_CMAKE_DIR/wine-setup.d}

nr_wine_use() {
    export WINEPREFIX=$1
    export WINEARCH=win32
    export WINEDEBUG=${NR_WINEDEBUG:--all}
    export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml,winemenubuilder.exe="}
}

# Fingerprint of everything that shapes a prefix; a change re-runs the set-up.
nr_wine_fingerprint() {
    {
        echo "mode=$1"
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

# Inside the lock: create or update the prefix, start the server.
nr_wine_prepare_locked() {
    local prefix=$1 mode=$2 log=$1.log
    local want have=""
    want=$(nr_wine_fingerprint "$mode")
    [ -f "$prefix/.nr-setup" ] && have=$(cat "$prefix/.nr-setup")
    if [ ! -f "$prefix/system.reg" ]; then
        have=""
        rm -rf "$prefix"
        mkdir -p "$prefix"
    fi
    if [ "$have" != "$want" ]; then
        echo "wine: preparing $mode prefix $prefix (log: $log)" >&2
        {
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
        } </dev/null >>"$log" 2>&1 || { echo "wine: prefix set-up failed, see $log" >&2; return 1; }
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
    local prefix=$1 mode=${2:-headless}
    case "$mode" in headless|display) ;; *) echo "wine: unknown mode $mode" >&2; return 2 ;; esac
    nr_wine_use "$prefix"
    mkdir -p "$(dirname "$prefix")"
    # Command mode with -o: flock itself holds the lock, and nothing started
    # inside (the server, Wine's services) inherits it.
    flock -o "$prefix.setup-lock" bash -c '. "$1/wine-env.sh" && nr_wine_prepare_locked "$2" "$3"' \
        nr-wine "$NR_WINE_CMAKE_DIR" "$prefix" "$mode"
}

# Ends the prefix's server (and with it every program still running in it).
nr_wine_stop() {
    nr_wine_use "$1"
    [ -d "$1" ] && { wineserver -k 2>/dev/null; wineserver -w 2>/dev/null; }
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
    [ -f "$dir/lib/i386-linux-gnu/libnrnullmodem.so" ] && [ -x "$dir/nrnullmodem" ] || return 1
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

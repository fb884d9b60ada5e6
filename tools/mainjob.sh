#!/usr/bin/env bash
# The utility's main job: the programming window and the simulated truck
# module, joined by a virtual serial cable (a socat pty pair mapped as COM1
# and COM2 of a Wine prefix, both listed in the prefix's serial-port map, and
# wired as a null-modem cable with modem lines when tools/nullmodem is built).
#
#   mainjob.sh [--display | --headless] [--build-dir DIR] [--shot FILE]
#
# With a reachable display the window opens there: pick a make, press START,
# close the window to end. Without one (or with --headless) the window runs on
# a private Xvfb screen; START is pressed with a real mouse click, the result
# is read from the log pane, a screenshot is saved, and the exit code is 0 only
# when the log shows the success line.
#
# The script can also be sourced for its mj_* functions (the GUI checks do).

MJ_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$MJ_ROOT/cmake/wine-env.sh"

# The build folder of ./build.sh run (build/i686, or build/x86_64 where this
# host cannot run 32-bit programs) unless --build-dir names one.
MJ_BUILD=""
MJ_MODE=""
MJ_SHOT=""
MJ_PREFIX=""
MJ_RUN=""    # this run's logs, pid list and screenshot
MJ_PAIR=""   # where socat puts the two pty links
MJ_CABLE_TTY=""  # one tty of the pair while it is on the null-modem cable
MJ_XVFB_PID="" MJ_SOCAT_PID="" MJ_SIM_PID="" MJ_APP_PID="" MJ_TAIL_PID=""
MJ_STARTED_SERVER=0
MJ_REMOVE=()  # files this run made inside the prefix
MJ_LOCK_FD=9  # held for the whole run; closed for every child (9>&-)

mj_say() { printf '==> %s\n' "$*"; }
mj_die() { printf 'mainjob: %s\n' "$*" >&2; exit 1; }
mj_now_ms() { date +%s%3N; }

mj_has_display() {
    [ -n "${DISPLAY:-}" ] && xdotool getdisplaygeometry >/dev/null 2>&1
}

mj_tools_missing() {
    local t missing=()
    for t in Xvfb xdotool socat import convert flock wine wineserver; do
        command -v "$t" >/dev/null 2>&1 || missing+=("$t")
    done
    echo "${missing[*]:-}"
}

# ---- processes

mj_alive() { [ -n "${1:-}" ] && kill -0 "$1" 2>/dev/null; }

# Ends one process we started, by its id; waits up to ~2 s, then kills it.
mj_end() {
    local pid=$1 i
    mj_alive "$pid" || return 0
    kill "$pid" 2>/dev/null
    for ((i = 0; i < 40; i++)); do
        mj_alive "$pid" || break
        sleep 0.05
    done
    mj_alive "$pid" && kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    return 0
}

mj_record() { echo "$1 $2" >>"$MJ_RUN/pids"; }

# Leftovers of an earlier run that was killed outright: only the ids it
# recorded, and only while they still run the program recorded with them.
mj_end_leftovers() {
    local name pid cmd
    [ -f "$MJ_RUN/pids" ] || return 0
    while read -r name pid; do
        cmd=$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null) || continue
        case "$cmd" in "$name"*|*/"$name"*) mj_end "$pid" ;; esac
    done <"$MJ_RUN/pids"
    rm -f "$MJ_RUN/pids"
}

mj_cleanup() {
    local rc=$?
    trap - EXIT INT TERM HUP
    mj_end "$MJ_APP_PID"
    mj_end "$MJ_SIM_PID"
    if [ "$MJ_STARTED_SERVER" = 1 ]; then
        nr_wine_stop "$MJ_PREFIX" 9>&- >/dev/null 2>&1
    fi
    mj_end "$MJ_SOCAT_PID"
    [ -n "$MJ_CABLE_TTY" ] && mj_cable unplug "$MJ_CABLE_TTY" 9>&-
    mj_end "$MJ_XVFB_PID"
    mj_end "$MJ_TAIL_PID"
    [ -n "$MJ_PAIR" ] && rm -rf "$MJ_PAIR"
    [ ${#MJ_REMOVE[@]} -gt 0 ] && rm -f "${MJ_REMOVE[@]}"
    [ -n "$MJ_RUN" ] && rm -f "$MJ_RUN/pids"
    exit "$rc"
}

# Sets up the run: build dir, prefix, lock, clean-up trap. $1: headless|display
mj_begin() {
    local mode=$1 missing
    missing=$(mj_tools_missing)
    [ -z "$missing" ] || { echo "mainjob: missing tools: $missing" >&2; exit 77; }
    if [ -z "$MJ_BUILD" ]; then
        MJ_BUILD=${NR_BUILD_DIR:-$MJ_ROOT/build}/i686
        nr_host_32bit || MJ_BUILD=${MJ_BUILD%/i686}/x86_64
    fi
    MJ_BUILD=$(cd "$MJ_BUILD" 2>/dev/null && pwd) || mj_die "no build folder $MJ_BUILD"
    local exe
    for exe in Project2 nrsim nrprobe; do
        [ -f "$MJ_BUILD/$exe.exe" ] || mj_die "$MJ_BUILD/$exe.exe is not built"
    done
    if [ "$mode" = headless ]; then MJ_PREFIX=$MJ_BUILD/wine-xvfb; else MJ_PREFIX=$MJ_BUILD/wine-display; fi
    MJ_RUN=$MJ_PREFIX.run
    MJ_PAIR=$MJ_PREFIX.ports
    mkdir -p "$MJ_RUN"
    eval "exec $MJ_LOCK_FD>\"\$MJ_PREFIX.run-lock\""
    flock -w 180 "$MJ_LOCK_FD" || mj_die "another main job keeps $MJ_PREFIX busy"
    trap mj_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM HUP
    mj_end_leftovers
    rm -f "$MJ_RUN"/*.log
}

# A private X screen; exports DISPLAY.
mj_start_xvfb() {
    local f=$MJ_RUN/xvfb.display i n=""
    rm -f "$f"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$f" </dev/null >"$MJ_RUN/xvfb.log" 2>&1 9>&- &
    MJ_XVFB_PID=$!
    mj_record Xvfb "$MJ_XVFB_PID"
    for ((i = 0; i < 200; i++)); do
        n=$(head -n1 "$f" 2>/dev/null)
        [ -n "$n" ] && break
        mj_alive "$MJ_XVFB_PID" || break
        sleep 0.05
    done
    [ -n "$n" ] || mj_die "Xvfb did not start (see $MJ_RUN/xvfb.log)"
    export DISPLAY=:$n
}

# Whether the prefix maps COM1 and COM2 to the pair's links.
mj_ports_mapped() {
    [ "$(readlink "$MJ_PREFIX/dosdevices/com1" 2>/dev/null)" = "$MJ_PAIR/com1" ] &&
        [ "$(readlink "$MJ_PREFIX/dosdevices/com2" 2>/dev/null)" = "$MJ_PAIR/com2" ]
}

# A fresh server for the prefix: its desktop opens on our display, and Wine
# builds the port map from the prefix's port settings as it starts.
mj_prepare_prefix() {
    nr_wine_stop "$MJ_PREFIX" 9>&- >/dev/null 2>&1
    MJ_STARTED_SERVER=1
    nr_wine_prepare "$MJ_PREFIX" display 9>&- || mj_die "Wine prefix set-up failed"
    if ! mj_ports_mapped; then
        # Wine's own port settings give both the dosdevices links and the
        # serial-port map entries; they take effect when the server starts.
        mj_say "mapping COM1 and COM2 of $MJ_PREFIX to the virtual cable"
        wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$MJ_PAIR/com1" /f </dev/null >/dev/null 2>&1 9>&- &&
            wine reg add 'HKLM\Software\Wine\Ports' /v COM2 /d "$MJ_PAIR/com2" /f </dev/null >/dev/null 2>&1 9>&- ||
            mj_die "cannot write the port settings"
        nr_wine_stop "$MJ_PREFIX" 9>&- >/dev/null 2>&1
        nr_wine_prepare "$MJ_PREFIX" display 9>&- || mj_die "Wine prefix restart failed"
        mj_ports_mapped || mj_die "Wine did not map COM1/COM2 to $MJ_PAIR"
    fi
    local map
    map=$(wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' </dev/null 2>/dev/null 9>&- | tr -d '\r')
    grep -q 'REG_SZ *COM1$' <<<"$map" && grep -q 'REG_SZ *COM2$' <<<"$map" ||
        mj_die "COM1/COM2 are missing from the serial-port map:
$map"
}

# The null-modem tool on the prefix's cable (fails when it is not built).
mj_cable() {
    [ -x "$MJ_BUILD/nullmodem/nrnullmodem" ] &&
        "$MJ_BUILD/nullmodem/nrnullmodem" --state "$MJ_PREFIX.cable" "$@" </dev/null
}

# Runs a Windows program of the run, on the null-modem cable when it is built.
mj_wine() {
    nr_cable_use "$MJ_BUILD" "$MJ_PREFIX"
    exec wine "$@"
}

# Plugs the cable in: a pty pair whose ends are the links COM1 and COM2 point
# to, wired as a null-modem cable when the cable is built.
mj_plug() {
    local i
    rm -rf "$MJ_PAIR"
    mkdir -p "$MJ_PAIR"
    socat -x pty,raw,echo=0,link="$MJ_PAIR/com1" pty,raw,echo=0,link="$MJ_PAIR/com2" </dev/null >"$MJ_RUN/socat.log" 2>&1 9>&- &
    MJ_SOCAT_PID=$!
    mj_record socat "$MJ_SOCAT_PID"
    for ((i = 0; i < 100; i++)); do
        if [ -e "$MJ_PAIR/com1" ] && [ -e "$MJ_PAIR/com2" ]; then
            # Its own names, which outlive the links when socat ends.
            if mj_cable plug "$MJ_PAIR/com1" "$MJ_PAIR/com2" 9>&-; then
                MJ_CABLE_TTY=$(readlink -f "$MJ_PAIR/com1")
            fi
            return 0
        fi
        mj_alive "$MJ_SOCAT_PID" || break
        sleep 0.05
    done
    mj_die "socat did not make the pty pair (see $MJ_RUN/socat.log)"
}

# Adds COM$1 for end $2 (com1|com2) of the cable the way a plugged-in USB
# adapter appears: a device link and an entry in the serial-port map, both gone
# with the server. Ports that Wine makes itself stay openable after their
# device vanished; this one disappears like an adapter that is pulled.
mj_add_hotplug_port() {
    local n=$1 end=$2
    ln -sfn "$MJ_PAIR/$end" "$MJ_PREFIX/dosdevices/com$n" || mj_die "cannot map COM$n"
    MJ_REMOVE+=("$MJ_PREFIX/dosdevices/com$n")
    wine reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v "\\Device\\nrHotplug$n" /d "COM$n" /f \
        </dev/null >/dev/null 2>&1 9>&- || mj_die "cannot list COM$n in the serial-port map"
}

# Pulls the cable, as pulling a USB adapter would: both ends go away.
mj_unplug() {
    mj_end "$MJ_SOCAT_PID"
    MJ_SOCAT_PID=""
}

# The simulated module: mj_start_sim PORT MODE [more nrsim options]
mj_start_sim() {
    local port=$1 mode=$2 i
    shift 2
    (mj_wine "$MJ_BUILD/nrsim.exe" --port "$port" --mode "$mode" "$@") </dev/null >"$MJ_RUN/module.log" 2>&1 9>&- &
    MJ_SIM_PID=$!
    mj_record wine "$MJ_SIM_PID"
    for ((i = 0; i < 300; i++)); do
        grep -q '^module on' "$MJ_RUN/module.log" 2>/dev/null && return 0
        mj_alive "$MJ_SIM_PID" || break
        sleep 0.05
    done
    mj_die "the module simulator did not start:
$(cat "$MJ_RUN/module.log" 2>/dev/null)"
}

mj_module_output() { tr -d '\r' <"$MJ_RUN/module.log" 2>/dev/null; }

# Waits until the module has printed a line containing $2 ($1 seconds at most).
mj_module_until() {
    local secs=$1 text=$2 i
    for ((i = 0; i < secs * 20; i++)); do
        grep -qF -- "$text" "$MJ_RUN/module.log" 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}

mj_probe() { wine "$MJ_BUILD/nrprobe.exe" "$@" </dev/null 2>>"$MJ_RUN/probe.log" 9>&-; }

# Starts the utility and waits for its window; sets MJ_STARTUP_MS.
mj_start_app() {
    local t0 waited
    t0=$(mj_now_ms)
    (mj_wine "$MJ_BUILD/Project2.exe") </dev/null >"$MJ_RUN/app.log" 2>&1 9>&- &
    MJ_APP_PID=$!
    mj_record wine "$MJ_APP_PID"
    # The utility starts the prefix's desktop process; until it runs, a probe
    # could start it instead, holding the probe's output pipe open.
    nr_wine_wait_desktop 200 || mj_die "Wine's desktop did not start"
    waited=$(mj_probe wait 30) || mj_die "the programming window did not appear (see $MJ_RUN/app.log)"
    MJ_STARTUP_MS=$(($(mj_now_ms) - t0))
}

# Clicks the middle of a rectangle "left top width height" with the real mouse.
mj_click_rect() {
    local l t w h
    read -r l t w h <<<"$1"
    [ -n "${h:-}" ] || mj_die "no place to click"
    local x=$((l + w / 2)) y=$((t + h / 2)) at
    at=$(xdotool getmouselocation --shell 2>/dev/null | grep -E '^[XY]=' | tr '\n' ' ')
    # --sync waits for the pointer to move, which it does not when already there.
    if [ "$at" = "X=$x Y=$y " ]; then
        xdotool click 1
    else
        xdotool mousemove --sync "$x" "$y" click 1
    fi
}

mj_click() {
    local r
    r=$(mj_probe rect "$1") || mj_die "no control captioned \"$1\" in the window"
    mj_click_rect "$r"
}

# Picks a port in the port box by mouse: open the list, click the entry.
mj_pick_port() {
    local r i
    r=$(mj_probe boxrect) || mj_die "no port box"
    mj_click_rect "$r"
    for ((i = 0; i < 100; i++)); do
        r=$(mj_probe item "$1") && break
        sleep 0.05
    done
    [ -n "$r" ] || mj_die "the port list did not drop down, or has no $1"
    mj_click_rect "$r"
}

mj_log_lines() { mj_probe log | wc -l; }

# Waits for a log line from index $2 on containing one of the texts; prints it.
mj_until() { mj_probe until "$@"; }

mj_screenshot() {
    mj_probe paint >/dev/null
    import -window root "$1" || mj_die "screenshot failed"
}

# Distinct colours inside a rectangle of the screenshot.
mj_colours() {
    local l t w h
    read -r l t w h <<<"$2"
    convert "$1" -crop "${w}x${h}+${l}+${t}" +repage -format '%k' info:
}

mj_wait_exit() {
    local pid=$1 secs=$2 i
    for ((i = 0; i < secs * 20; i++)); do
        mj_alive "$pid" || return 0
        sleep 0.05
    done
    return 1
}

mj_close_app() {
    mj_click Exit
    mj_wait_exit "$MJ_APP_PID" 15 || return 1
    wait "$MJ_APP_PID" 2>/dev/null
    MJ_APP_PID=""
    return 0
}

# ---- the two ways to run

mj_run_display() {
    mj_begin display
    mj_prepare_prefix
    mj_plug
    mj_start_sim 2 ack
    mj_start_app
    mj_say "window up after $MJ_STARTUP_MS ms on display $DISPLAY: pick a make, press START; close the window to end"
    mj_say "the module on COM2 prints what it receives:"
    tail -n +1 -f --pid=$$ "$MJ_RUN/module.log" 9>&- &
    MJ_TAIL_PID=$!
    local rc=0
    wait "$MJ_APP_PID" || rc=$?
    MJ_APP_PID=""
    mj_say "window closed (exit code $rc)"
    return "$rc"
}

mj_run_headless() {
    local failures=0 rc line title makes box shot rect n0
    mj_begin headless
    mj_start_xvfb
    mj_prepare_prefix
    mj_plug
    mj_start_sim 2 ack
    mj_start_app
    mj_say "window up after $MJ_STARTUP_MS ms on Xvfb $DISPLAY"

    check() {  # check DESCRIPTION CONDITION-RESULT
        if [ "$2" = 0 ]; then echo "  ok: $1"; else echo "  FAILED: $1"; failures=$((failures + 1)); fi
    }
    title=$(mj_probe title)
    # Sixteen U+00FF, in UTF-8 whatever the locale.
    [ "$title" = " KORVANTE v5 - $(printf '\xc3\xbf%.0s' {1..16})" ]
    check "caption \"$title\"" $?
    makes=$(mj_probe list)
    [ "$(tr -d ' \n' <<<"$makes")" = "*DAFMANIVECOMERCEDESSCANIARENAULTVOLVO" ]
    rc=$?; check "make list, DAF selected ($(tr '\n' ' ' <<<"$makes"))" "$rc"
    box=$(mj_probe box)
    grep -qx '\*COM1' <<<"$box"
    rc=$?; check "port box shows COM1 (entries: $(tr '\n' ' ' <<<"$box"))" "$rc"

    n0=$(mj_log_lines)
    mj_click START
    line=$(mj_until 15 "$n0" "Programming successfull! " "Error:" "Fatal Error:")
    [ "$line" = "Programming successfull! " ]
    check "the log ends the cycle with \"${line:-nothing}\"" $?
    mj_module_until 5 "RX AA 55 01 00"
    check "the module received the DAF frame" $?

    shot=${MJ_SHOT:-$MJ_RUN/window.png}
    mj_screenshot "$shot"
    rect=$(mj_probe client 167 9 150 150)  # the picture, as laid out
    [ -n "$rect" ] && [ "$(mj_colours "$shot" "$rect")" -gt 2 ]
    check "the make's logo is drawn in its frame" $?

    echo "--- log pane"
    mj_probe log | sed 's/^/  /'
    echo "--- the module received"
    mj_module_output | sed 's/^/  /'
    echo "--- screenshot: $shot"

    mj_close_app
    check "Exit closes the window and ends the program" $?
    [ "$failures" = 0 ] || { echo "main job: $failures check(s) failed" >&2; return 1; }
    mj_say "programmed the simulated module: Programming successfull!"
    return 0
}

mj_main() {
    while [ $# -gt 0 ]; do
        case "$1" in
            --display) MJ_MODE=display ;;
            --headless) MJ_MODE=headless ;;
            --build-dir) MJ_BUILD=$2; shift ;;
            --shot) MJ_SHOT=$2; shift ;;
            -h|--help) sed -n '2,15p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; return 0 ;;
            *) echo "mainjob: unknown argument $1" >&2; return 2 ;;
        esac
        shift
    done
    if [ -z "$MJ_MODE" ]; then
        if mj_has_display; then MJ_MODE=display; else MJ_MODE=headless; fi
    fi
    if [ "$MJ_MODE" = display ]; then
        mj_has_display || mj_die "display ${DISPLAY:-(none)} is not reachable"
        mj_run_display
    else
        mj_run_headless
    fi
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -uo pipefail
    mj_main "$@"
    exit $?
fi

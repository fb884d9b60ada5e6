#!/usr/bin/env bash
# The serial terminal against a terminal program nobody here wrote: picocom
# on the Linux end of the virtual null-modem cable, the terminal on COM1,
# driven with the real mouse and keyboard on a private X screen:
#   - keys typed into the terminal reach picocom, picocom's reach the terminal;
#   - the CTS, DSR, RLSD and RING monitors follow picocom's RTS and DTR (which
#     its open raises) and the cable's RING; the DTR and RTS switches show at
#     picocom as DSR and CTS;
#   - the status line counts the bytes both ways; the system's port dialog
#     sets the line;
#   - a screenshot shows the text and the ticked monitors.
#   gui_terminal.sh [--build-dir DIR] [--shot FILE]
set -uo pipefail

. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/tools/mainjob.sh"

while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) MJ_BUILD=$2; shift ;;
        --shot) MJ_SHOT=$2; shift ;;
        *) echo "gui_terminal: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done

for t in picocom script; do
    command -v "$t" >/dev/null 2>&1 || { echo "gui_terminal: missing tool: $t" >&2; exit 77; }
done
[ -f "$MJ_BUILD/nrterm.exe" ] || { echo "gui_terminal: $MJ_BUILD/nrterm.exe is not built" >&2; exit 1; }
[ -x "$MJ_BUILD/nullmodem/nrnullmodem" ] || { echo "gui_terminal: the null-modem cable is not built" >&2; exit 77; }

export NR_PROBE_TITLE="nrterm serial terminal"
PEER_PID="" TERM_PID=""
failures=0
check() {
    if [ "$2" = 0 ]; then echo "  ok: $1"; else echo "  FAILED: $1"; failures=$((failures + 1)); fi
}
report() {
    echo "--- terminal: $(mj_probe log | tr '\n' '|')"
    echo "--- status: $(mj_probe labels)"
    echo "--- picocom received: $(cat "$MJ_RUN/peer.log" 2>/dev/null)"
    echo "--- picocom screen"
    tr -d '\r' <"$MJ_RUN/peer.out" 2>/dev/null | sed 's/^/  /'
}
# Stops at the first failed step whose outcome the later steps depend on.
need() {
    check "$1" "$2"
    [ "$2" = 0 ] || { report; exit 1; }
}
# Waits up to $1 seconds for the command in the rest of the line to succeed.
within() {
    local end=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$end" ] || return 1
        sleep 0.05
    done
}

# ---- picocom on the far end of the cable; it wants a terminal, script gives it one
peer_start() {
    mkfifo "$MJ_RUN/peer.in"
    rm -f "$MJ_RUN/peer.log" "$MJ_RUN/peer.out"
    (
        nr_cable_use "$MJ_BUILD" "$MJ_PREFIX"
        exec script -qfec "picocom --baud 9600 --logfile $MJ_RUN/peer.log $MJ_PAIR/com2" /dev/null
    ) <"$MJ_RUN/peer.in" >"$MJ_RUN/peer.out" 2>&1 9>&- &
    PEER_PID=$!
    mj_record script "$PEER_PID"
    exec 8>"$MJ_RUN/peer.in"
    within 10 grep -q 'Terminal ready' "$MJ_RUN/peer.out"
}
peer_keys() { printf "$@" >&8; }
peer_received() { grep -qF -- "$1" "$MJ_RUN/peer.log" 2>/dev/null; }
# picocom's own report of its modem lines, e.g. "DSR:1 ... CTS:0"; asks anew.
peer_lines() {
    local n
    n=$(grep -c 'mctl:' "$MJ_RUN/peer.out" 2>/dev/null)
    peer_keys '\001\026'  # C-a C-v
    within 10 test "$(grep -c 'mctl:' "$MJ_RUN/peer.out")" -gt "$n" || return 1
    grep 'mctl:' "$MJ_RUN/peer.out" | tail -n1 | tr -d '\r'
}
peer_sees() {  # peer_sees DSR:1 CTS:0
    local l w
    l=$(peer_lines) || return 1
    for w in "$@"; do grep -qw -- "$w" <<<"$l" || return 1; done
}
peer_stop() {
    [ -n "$PEER_PID" ] || return 0
    peer_keys '\001\030' 2>/dev/null  # C-a C-x
    exec 8>&-
    mj_wait_exit "$PEER_PID" 5 || mj_end "$PEER_PID"
    PEER_PID=""
}

# ---- the terminal
term_checked() { [ "$(mj_probe checked "$1")" = "$2" ]; }
monitors() {  # monitors CTS DSR RLSD RING, each 0 or 1
    term_checked CTS "$1" && term_checked DSR "$2" && term_checked RLSD "$3" && term_checked RING "$4"
}
term_shows() { mj_probe log | tr -d '\n' | grep -qF -- "$1"; }
status_has() { mj_probe labels | grep -qF -- "$1"; }

term_cleanup() {
    peer_stop
    mj_end "$TERM_PID"
}
mj_begin headless
# mj_cleanup exits with the status the script ended with.
trap 'rc=$?; term_cleanup; (exit $rc); mj_cleanup' EXIT
mj_start_xvfb
mj_prepare_prefix
mj_plug
peer_start
need "picocom runs on the far end of the cable" $?

(mj_wine "$MJ_BUILD/nrterm.exe") </dev/null >"$MJ_RUN/term.log" 2>&1 9>&- &
TERM_PID=$!
mj_record wine "$TERM_PID"
nr_wine_wait_desktop 200 || mj_die "Wine's desktop did not start"
mj_probe wait 30 >/dev/null
need "the terminal window is up with its port box" $?

mj_pick_port COM1
mj_probe box | grep -qx '\*COM1'
need "COM1 picked in the port box" $?
mj_click Open
within 5 status_has "COM1 open"
rc=$?; need "Open opens the port: \"$(mj_probe labels)\"" "$rc"
within 5 monitors 1 1 1 0
check "picocom's open raised its DTR and RTS, as a tty driver's does" $?
peer_keys '\001\024\001\007'  # C-a C-t, C-a C-g: picocom lowers DTR and RTS
within 5 monitors 0 0 0 0
check "no monitor ticked while picocom holds its lines down" $?
mj_screenshot "$MJ_RUN/lines-off.png"

# Keys typed into the terminal go to the line and, without echo, are not shown.
mj_click_rect "$(mj_probe client 8 66 584 302)"
xdotool type --delay 40 'hello picocom'
within 5 peer_received 'hello picocom'
check "typed keys reach picocom" $?
! term_shows 'hello'
check "without echo the terminal shows nothing of what was typed" $?

peer_keys 'greetings from picocom'
within 5 term_shows 'greetings from picocom'
check "picocom's keys appear in the terminal" $?

# With Echo the terminal shows what is typed as well.
mj_click Echo
mj_click_rect "$(mj_probe client 8 66 584 302)"
xdotool type --delay 40 ' + echo'
within 5 peer_received 'hello picocom + echo'
check "with Echo typed keys still reach picocom" $?
term_shows 'greetings from picocom + echo'
check "and show in the terminal" $?

peer_keys '\001\024'  # C-a C-t: picocom raises DTR
within 5 monitors 0 1 1 0
check "picocom's DTR ticks DSR and RLSD" $?
peer_keys '\001\007'  # C-a C-g: picocom raises RTS
within 5 monitors 1 1 1 0
check "picocom's RTS ticks CTS" $?
mj_cable ring "$MJ_PAIR/com1" on 9>&- && within 5 term_checked RING 1
check "RING on the cable ticks the ring monitor" $?
mj_cable ring "$MJ_PAIR/com1" off 9>&-
sleep 0.3
term_checked RING 1
check "the ring monitor keeps what it saw" $?

within 5 peer_sees DSR:1 DCD:1 CTS:1
rc=$?; check "picocom sees the terminal's DTR and RTS: $(peer_lines)" "$rc"
mj_click DTR
within 5 peer_sees DSR:0 DCD:0 CTS:1
rc=$?; check "switching DTR off shows at picocom: $(peer_lines)" "$rc"
mj_click RTS
within 5 peer_sees DSR:0 CTS:0
rc=$?; check "switching RTS off shows at picocom: $(peer_lines)" "$rc"
mj_click DTR
mj_click RTS
within 5 peer_sees DSR:1 CTS:1
rc=$?; check "and on again: $(peer_lines)" "$rc"

within 5 status_has "received 22, sent 20"
rc=$?; check "the status line counts both ways: \"$(mj_probe labels)\"" "$rc"

# The line settings through the system's dialog: the next rate, then OK.
# The switches stay what they show.
mj_click DTR
within 5 peer_sees DSR:0
mj_click "Settings..."
within 10 xdotool search --name "Settings for COM1" >/dev/null
check "Settings... opens the system's port dialog" $?
xdotool key Down Return
within 5 eval 'mj_probe labels | grep -Eq "COM1 open, [0-9]+ 8N1" && ! status_has "9600 8N1"'
rc=$?; check "the rate picked there is the port's now: \"$(mj_probe labels)\"" "$rc"
within 5 peer_sees DSR:0 CTS:1
rc=$?; check "and DTR is still off, RTS on: $(peer_lines)" "$rc"
mj_click DTR
within 5 peer_sees DSR:1

# The screenshot: the text is drawn, and a ticked monitor looks unlike an
# unticked one. The README's picture comes from here (--shot).
shot=${MJ_SHOT:-$MJ_RUN/terminal.png}
mj_screenshot "$shot"
rect=$(mj_probe client 8 66 584 302)
[ -n "$rect" ] && [ "$(mj_colours "$shot" "$rect")" -gt 2 ]
check "the terminal's text is drawn" $?
ticks() {  # ticks SHOT CAPTION: dark pixels in the box of a check box (its left 14 pixels)
    local l t w h
    read -r l t w h <<<"$(mj_probe rect "$2")"
    convert "$1" -crop "14x${h}+${l}+${t}" +repage -colorspace gray -threshold 40% \
        -format '%[fx:round(w*h*(1-mean))]' info:
}
ok=0
for c in CTS DSR RLSD RING; do
    [ "$(ticks "$shot" $c)" -ge 4 ] && [ "$(ticks "$MJ_RUN/lines-off.png" $c)" -lt 2 ] || ok=1
done
[ $ok = 0 ]
check "the screenshots show the monitors unticked, then ticked" $?

mj_click Close
within 5 status_has "COM1 closed"
check "Close closes the port" $?
within 5 monitors 0 0 0 1
check "closed, the line monitors show nothing; RING stays until clicked" $?
mj_click RING
within 5 term_checked RING 0
check "a click on the ring monitor clears it" $?
mj_click CTS
sleep 0.3
term_checked CTS 0
check "a click on a line monitor changes nothing" $?

report
echo "--- screenshot: $shot"
xdotool key --clearmodifiers alt+F4
if ! mj_wait_exit "$TERM_PID" 10; then
    check "the terminal ends when its window is closed" 1
fi
TERM_PID=""
[ "$failures" = 0 ] || { echo "gui_terminal: $failures check(s) failed" >&2; exit 1; }
exit 0

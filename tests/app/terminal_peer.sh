# The terminal's GUI checks share this: picocom (PEER_OPTIONS) on the Linux
# end of the virtual null-modem cable, nrterm on COM1 of the private prefix,
# and the helpers that look at both. Sourced; term_session starts it all.
#   SCRIPT [--build-dir DIR] [--shot FILE]
TERM_TEST=$(basename "$0" .sh)
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/tools/mainjob.sh"

while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) MJ_BUILD=$2; shift ;;
        --shot) MJ_SHOT=$2; shift ;;
        *) echo "$TERM_TEST: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done

for t in picocom script; do
    command -v "$t" >/dev/null 2>&1 || { echo "$TERM_TEST: missing tool: $t" >&2; exit 77; }
done
[ -f "$MJ_BUILD/nrterm.exe" ] || { echo "$TERM_TEST: $MJ_BUILD/nrterm.exe is not built" >&2; exit 1; }
[ -x "$MJ_BUILD/nullmodem/nrnullmodem" ] || { echo "$TERM_TEST: the null-modem cable is not built" >&2; exit 77; }

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
        exec script -qfec "picocom $PEER_OPTIONS --logfile $MJ_RUN/peer.log $MJ_PAIR/com2" /dev/null
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
    n=$(peer_reports)
    peer_keys '\001\026'  # C-a C-v
    within 30 peer_answered "$n" || return 1
    grep 'mctl:.*RI:[01]' "$MJ_RUN/peer.out" | tail -n1 | tr -d '\r'
}
peer_reports() { grep -c 'mctl:.*RI:[01]' "$MJ_RUN/peer.out" 2>/dev/null; }
# Counted anew on each try: an argument to within is expanded only once.
peer_answered() { [ "$(peer_reports)" -gt "$1" ]; }
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
# The session: the private X screen, the prefix, the cable, picocom on it.
term_session() {
    mj_begin headless
    # mj_cleanup exits with the status the script ended with.
    trap 'rc=$?; term_cleanup; (exit $rc); mj_cleanup' EXIT
    mj_start_xvfb
    mj_prepare_prefix
    wine reg delete 'HKCU\Software\nrterm' /f </dev/null >/dev/null 2>&1 9>&-  # no earlier run's settings
    mj_plug
    peer_start
    need "picocom runs on the far end of the cable" $?
}
# Starts nrterm with the arguments given and waits for its window.
term_start() {
    (mj_wine "$MJ_BUILD/nrterm.exe" "$@") </dev/null >"$MJ_RUN/term.log" 2>&1 9>&- &
    TERM_PID=$!
    mj_record wine "$TERM_PID"
    nr_wine_wait_desktop 200 || mj_die "Wine's desktop did not start"
    mj_probe wait 30 >/dev/null
}
# Closes the window the way a user does; true when the program ends.
term_close() {
    xdotool key --clearmodifiers alt+F4
    mj_wait_exit "$TERM_PID" 10 && TERM_PID=""
}
lit() {  # lit SHOT CAPTION: pixels of a lamp in its lit green
    local l t w h
    read -r l t w h <<<"$(mj_probe rect "$2")"
    convert "$1" -crop "${w}x${h}+${l}+${t}" +repage -fx 'g>0.8 && r<0.3 && b<0.3' \
        -format '%[fx:round(w*h*mean)]' info:
}

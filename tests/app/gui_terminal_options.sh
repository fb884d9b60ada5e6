#!/usr/bin/env bash
# nrterm as a technician starts it, against picocom at the same settings on
# the virtual null-modem cable, with the real mouse and keyboard:
#   nrterm COM1 115200 7E1 --rtscts -g CAPTURE
# the line the cable sees, received text that lands at the end while the user
# reads older text, a break, CR LF for Enter, hex view and hex send, the
# capture byte for byte, a screenshot, and the settings back on the next start.
#   gui_terminal_options.sh [--build-dir DIR] [--shot FILE]
set -uo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/terminal_peer.sh"
PEER_OPTIONS="--baud 115200 --databits 7 --parity e --flow h"
term_session

capture=$MJ_RUN/capture.log
rm -f "$capture"
sent=""  # everything picocom sends, as the capture must hold it
peer_send() {
    peer_keys "$1"
    sent+=$(printf "$1"; printf x) && sent=${sent%x}
}
peer_tail() { tail -c "$1" "$MJ_RUN/peer.log" 2>/dev/null | od -An -tx1 | tr -d ' \n'; }
peer_ends_with() { [ "$(peer_tail $((${#1} / 2)))" = "$1" ]; }  # peer_ends_with HEX
cable_has() { mj_cable show "$MJ_PAIR/com1" 9>&- | grep -q -- "$1"; }
# Picks ITEM in the drop-down list at client rectangle L T W H.
pick() {
    mj_click_rect "$(mj_probe client $1)" && within 30 mj_probe item "$2" >/dev/null &&
        mj_click_rect "$(mj_probe item "$2")"
}
enter_sends() {  # enter_sends HEX: types "z", Enter; picocom's last bytes are "z" and HEX
    mj_click_rect "$(mj_probe logrect)"
    xdotool type 'z'
    xdotool key Return
    within 30 peer_ends_with "7a$1"
}

term_start COM1 115200 7E1 --rtscts -g "Z:${capture//\//\\}"
need "nrterm starts with its port named" $?
within 30 status_has "COM1 open, 115200 7E1 RTS/CTS"
rc=$?; need "the command line set the line: $(mj_probe labels | tail -n1)" "$rc"
within 30 cable_has "line=115200/7E1"
rc=$?; check "the cable sees 115200 7E1: $(mj_cable show "$MJ_PAIR/com1" 9>&-)" "$rc"

peer_send 'line one\r\nline two\r\nline three\r\n'
within 30 term_shows 'line three'
check "picocom's lines show, CR LF as one line break" $?
# A click into older text moves the caret there; what comes still goes at the end.
read -r l t _ _ <<<"$(mj_probe logrect)"
xdotool mousemove --sync $((l + 20)) $((t + 8)) click 1
peer_send 'tail end'
within 30 eval '[ "$(mj_probe log | tail -n1)" = "tail end" ]'
rc=$?; check "received bytes land at the end, not at the click: $(mj_probe log | tr '\n' '|')" "$rc"

mj_click Break
within 30 cable_has "breaks=1 "
rc=$?; check "Break sends a break: $(mj_cable show "$MJ_PAIR/com1" 9>&-)" "$rc"

enter_sends 0d
check "Enter sends CR at first" $?
pick "80 86 70 24" "CR LF"
enter_sends 0d0a
rc=$?; check "Enter sends CR LF when chosen: $(peer_tail 3)" "$rc"

mj_click "Hex view"
peer_send 'hi'
within 30 term_shows '68 69'
check "hex view shows picocom's bytes in hex" $?
mj_click_rect "$(mj_probe client 326 86 224 24)"
xdotool type --delay 20 '41 42 0D'
mj_click "Send hex"
within 30 peer_ends_with 41420d
rc=$?; check "hex send sends those bytes: $(peer_tail 3)" "$rc"

shot=${MJ_SHOT:-$MJ_RUN/terminal-options.png}
mj_screenshot "$shot"
[ "$(mj_colours "$shot" "$(mj_probe logrect)")" -gt 2 ] && [ "$(lit "$shot" CTS)" -ge 100 ]
check "the screenshot shows the text and CTS lit" $?

report
term_close
check "nrterm ends when its window is closed" $?
cmp -s "$capture" <(printf '%s' "$sent")
rc=$?; check "the capture holds what picocom sent, byte for byte ($(wc -c <"$capture" 2>/dev/null) bytes)" "$rc"

# The next start, the port picked in the box: it comes back as it was left.
term_start && mj_pick_port COM1 && mj_click Open
within 30 status_has "COM1 open, 115200 7E1 RTS/CTS"
rc=$?; check "the next start restores the port's line: $(mj_probe labels | tail -n1)" "$rc"
term_checked "Hex view" 1 && enter_sends 0d0a
check "and hex view and CR LF for Enter" $?
term_close
[ "$failures" = 0 ] || { echo "gui_terminal_options: $failures check(s) failed" >&2; exit 1; }
exit 0

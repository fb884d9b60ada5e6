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
#   - a screenshot shows the text and the lamps dark, then lit.
#   gui_terminal.sh [--build-dir DIR] [--shot FILE]
set -uo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/terminal_peer.sh"
PEER_OPTIONS="--baud 9600"
term_session

term_start
need "the terminal window is up with its port box" $?

mj_pick_port COM1
mj_probe box | grep -qx '\*COM1'
need "COM1 picked in the port box" $?
mj_click Open
within 30 status_has "COM1 open"
rc=$?; need "Open opens the port: \"$(mj_probe labels)\"" "$rc"
within 30 monitors 1 1 1 0
check "picocom's open raised its DTR and RTS, as a tty driver's does" $?
peer_keys '\001\024\001\007'  # C-a C-t, C-a C-g: picocom lowers DTR and RTS
within 30 monitors 0 0 0 0
check "no monitor ticked while picocom holds its lines down" $?
mj_screenshot "$MJ_RUN/lines-off.png"

# Keys typed into the terminal go to the line and, without echo, are not shown.
mj_click_rect "$(mj_probe logrect)"
xdotool type --delay 40 'hello picocom'
within 30 peer_received 'hello picocom'
check "typed keys reach picocom" $?
! term_shows 'hello'
check "without echo the terminal shows nothing of what was typed" $?

peer_keys 'greetings from picocom'
within 30 term_shows 'greetings from picocom'
check "picocom's keys appear in the terminal" $?

# With Echo the terminal shows what is typed as well.
mj_click Echo
mj_click_rect "$(mj_probe logrect)"
xdotool type --delay 40 ' + echo'
within 30 peer_received 'hello picocom + echo'
check "with Echo typed keys still reach picocom" $?
term_shows 'greetings from picocom + echo'
check "and show in the terminal" $?

peer_keys '\001\024'  # C-a C-t: picocom raises DTR
within 30 monitors 0 1 1 0
check "picocom's DTR ticks DSR and RLSD" $?
peer_keys '\001\007'  # C-a C-g: picocom raises RTS
within 30 monitors 1 1 1 0
check "picocom's RTS ticks CTS" $?
mj_cable ring "$MJ_PAIR/com1" on 9>&- && within 30 term_checked RING 1
check "RING on the cable ticks the ring monitor" $?
mj_cable ring "$MJ_PAIR/com1" off 9>&-
sleep 0.3
term_checked RING 1
check "the ring monitor keeps what it saw" $?

within 30 peer_sees DSR:1 DCD:1 CTS:1
rc=$?; check "picocom sees the terminal's DTR and RTS: $(peer_lines)" "$rc"
mj_click DTR
within 30 peer_sees DSR:0 DCD:0 CTS:1
rc=$?; check "switching DTR off shows at picocom: $(peer_lines)" "$rc"
mj_click RTS
within 30 peer_sees DSR:0 CTS:0
rc=$?; check "switching RTS off shows at picocom: $(peer_lines)" "$rc"
mj_click DTR
mj_click RTS
within 30 peer_sees DSR:1 CTS:1
rc=$?; check "and on again: $(peer_lines)" "$rc"

within 30 status_has "received 22, sent 20"
rc=$?; check "the status line counts both ways: \"$(mj_probe labels)\"" "$rc"

# The line settings through the system's dialog: the next rate, then OK.
# The switches stay what they show.
mj_click DTR
within 30 peer_sees DSR:0
mj_click "Settings..."
within 30 xdotool search --name "Settings for COM1" >/dev/null
check "Settings... opens the system's port dialog" $?
xdotool key Down Return
within 30 eval 'mj_probe labels | grep -Eq "COM1 open, [0-9]+ 8N1" && ! status_has "9600 8N1"'
rc=$?; check "the rate picked there is the port's now: \"$(mj_probe labels)\"" "$rc"
within 30 peer_sees DSR:0 CTS:1
rc=$?; check "and DTR is still off, RTS on: $(peer_lines)" "$rc"
mj_click DTR
within 30 peer_sees DSR:1

# The screenshot: the text is drawn, and a ticked monitor looks unlike an
# unticked one. The README's picture comes from here (--shot).
shot=${MJ_SHOT:-$MJ_RUN/terminal.png}
mj_screenshot "$shot"
rect=$(mj_probe logrect)
[ -n "$rect" ] && [ "$(mj_colours "$shot" "$rect")" -gt 2 ]
check "the terminal's text is drawn" $?
ok=0
for c in CTS DSR RLSD RING; do
    [ "$(lit "$shot" $c)" -ge 100 ] && [ "$(lit "$MJ_RUN/lines-off.png" $c)" -lt 2 ] || ok=1
done
[ $ok = 0 ]
check "the screenshots show the lamps dark, then lit" $?

mj_click Close
within 30 status_has "COM1 closed"
check "Close closes the port" $?
within 30 monitors 0 0 0 1
check "closed, the line monitors show nothing; RING stays until clicked" $?
mj_click RING
within 30 term_checked RING 0
check "a click on the ring monitor clears it" $?
mj_click CTS
sleep 0.3
term_checked CTS 0
check "a click on a line monitor changes nothing" $?

report
echo "--- screenshot: $shot"
term_close || check "the terminal ends when its window is closed" 1
TERM_PID=""
[ "$failures" = 0 ] || { echo "gui_terminal: $failures check(s) failed" >&2; exit 1; }
exit 0

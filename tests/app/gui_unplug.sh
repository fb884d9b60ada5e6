#!/usr/bin/env bash
# The adapter pulled while the window waits for the module's answer, driven
# with the real mouse on a private X screen:
#   - the wait still ends, with "Error: Timeout!", and the window stays usable;
#   - the next START reports that the port cannot be opened;
#   - Exit still closes the program.
# The window's end of the cable is COM5, listed the way a USB adapter is
# (Wine keeps its own ports openable after their device is gone), and is
# picked in the port box with the mouse.
#   gui_unplug.sh [--build-dir DIR]
set -uo pipefail

. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/tools/mainjob.sh"

while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) MJ_BUILD=$2; shift ;;
        *) echo "gui_unplug: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done

failures=0
check() {
    if [ "$2" = 0 ]; then echo "  ok: $1"; else echo "  FAILED: $1"; failures=$((failures + 1)); fi
}
# Stops at the first failed step whose outcome the later steps depend on.
need() {
    check "$1" "$2"
    if [ "$2" != 0 ]; then
        echo "--- log pane"
        mj_probe log | sed 's/^/  /'
        echo "--- the module"
        mj_module_output | sed 's/^/  /'
        exit 1
    fi
}

mj_begin headless
mj_start_xvfb
mj_prepare_prefix
mj_plug
mj_add_hotplug_port 5 com1
mj_start_sim 2 silent
mj_start_app

mj_pick_port COM5
mj_probe box | grep -qx '\*COM5'
need "COM5 picked in the port box" $?

n=$(mj_log_lines)
mj_click START
mj_module_until 5 "RX AA 55 01 00"
need "the module received the request" $?
mj_unplug
t0=$(mj_now_ms)
line=$(mj_until 12 "$n" "Error: Timeout!" "Programming successfull! " "Error: Wrong")
need "the wait ends with \"${line:-nothing}\" after the cable is pulled" $([ "$line" = "Error: Timeout!" ]; echo $?)
echo "  (the wait ended $(($(mj_now_ms) - t0)) ms after the pull)"
mj_alive "$MJ_APP_PID"
need "the program is still running" $?
[ "$(mj_probe enabled)" = 1 ]
need "the window takes input again" $?

n=$(mj_log_lines)
mj_click START
line=$(mj_until 5 "$n" "Fatal Error: " "Error: Communication problem!" "Programming successfull! ")
[[ "$line" == "Fatal Error: "* ]]
check "the next START reports the open failure: \"${line:-nothing}\"" $?
line=$(mj_until 8 "$n" "Error: Timeout!")
check "and its wait ends with \"${line:-nothing}\"" $([ "$line" = "Error: Timeout!" ]; echo $?)

mj_screenshot "$MJ_RUN/unplug.png"
echo "--- log pane"
mj_probe log | sed 's/^/  /'
echo "--- screenshot: $MJ_RUN/unplug.png"

mj_close_app
check "Exit closes the window and ends the program" $?
[ "$failures" = 0 ] || { echo "gui_unplug: $failures check(s) failed" >&2; exit 1; }
exit 0

#!/bin/sh
# Maps a Linux serial device as a COM port of a Wine prefix, as Wine maps the
# ports it finds itself: Windows programs open it and list it among the
# machine's ports (the serial-port map).
#   sh wine-map-port.sh TTY COMn [PREFIX]
# TTY: /dev/ttyUSB0, /dev/ttyS0, /dev/ttyACM0 or one end of a socat pty pair.
# PREFIX: the Wine prefix ($WINEPREFIX unless given, else ~/.wine). Wine runs
# as $WINE (wine unless set, e.g. WINE=wine64).
set -eu
usage() {
    echo "usage: sh wine-map-port.sh TTY COMn [PREFIX]" >&2
    exit 2
}
[ $# -ge 2 ] && [ $# -le 3 ] || usage
tty=$1
case "$tty" in /*) ;; *) tty=$PWD/$tty ;; esac
n=$(printf '%s\n' "$2" | sed -n 's/^[Cc][Oo][Mm]\([1-9][0-9]\{0,2\}\)$/\1/p')
[ -n "$n" ] && [ "$n" -le 256 ] || usage
[ -e "$tty" ] || { echo "wine-map-port: no device $tty" >&2; exit 1; }
export WINEPREFIX="${3:-${WINEPREFIX:-$HOME/.wine}}"
wine=${WINE:-wine}
# Wine's own port setting: at each start Wine links the port and lists it.
"$wine" reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$tty" /f >/dev/null
# The Wine running now (the line above started one if none ran) has already
# read the settings: link and list the port in it too. Wine names its ports
# \Device\SerialN from 0 for COM1; the same name keeps one entry per port.
ln -sfn "$tty" "$WINEPREFIX/dosdevices/com$n"
"$wine" reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v "\\Device\\Serial$((n - 1))" /d "COM$n" /f >/dev/null
echo "COM$n of $WINEPREFIX is $tty"

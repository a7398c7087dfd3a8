#!/usr/bin/env bash
# The main window's smaller windows with real windows: host1 starts with a long chat log, so
# its splash stays up while the log loads; a three-line message typed in the big message
# window reaches the headless peer on host2 line by line; the about box shows the version;
# the title button hides the window to the tray and a double click on the tray icon brings
# it back. Screenshots stay in the given directory. Exit 77 when it cannot run here.
#
#   aux_windows_test.sh path/to/kalvento path/to/kalvento-peer [screenshot directory]
set -euo pipefail

KV=$(readlink -f "${1:?usage: $0 path/to/kalvento path/to/kalvento-peer [shots]}")
PEER=$(readlink -f "${2:?usage: $0 path/to/kalvento path/to/kalvento-peer [shots]}")
SHOTS=${3:-$(dirname "$KV")/tests/gui/aux-windows}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR/../netns source=netns.sh
source "$HERE/../netns/netns.sh"
# shellcheck source-path=SCRIPTDIR source=gui_kit.sh
source "$HERE/gui_kit.sh"
netns_require
gui_require

TITLE="Kalvento 1.2 by Fennrake"
SPLASH="Odota... Ladataan ohjelmaa..."
BIG="Send multilined messages"

netns_setup host1:ALPHA host2:ALPHA
OUT=$(mktemp -d)
mkdir -p "$SHOTS"
rm -f "$SHOTS"/*.png "$SHOTS"/*.log
netns_on_exit "cp '$OUT/host1.log' '$SHOTS/host1-trace.log'; cp '$OUT/host2.log' '$SHOTS/host2-peer.log'"
netns_on_exit "rm -rf '$OUT'"
CONFIG=$OUT/host1/config
gui_prepare_home "$OUT/host1"
cat >"$CONFIG/Options.ini" <<EOF
[General]
Show splashscreen=1
Save messages log=1
Automatic update=0
Hide to tray=0
[Advanced]
Language index=0
EOF
# A log of earlier runs long enough that loading it keeps the splash up for a while.
{
    printf '{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Sans Serif;}}{\\colortbl ;\\red0\\green0\\blue255;}\n'
    for ((i = 0; i < 60000; i++)); do
        printf '\\cf1 Earlier (10:%02d): a line from an earlier run, number %d\\par\n' $((i % 60)) "$i"
    done
    printf '}\n'
} >"$CONFIG/log.rtf"

gui_start_display host1
mkfifo "$OUT/host2.in"
# shellcheck disable=SC2016 # expanded by the inner shell
netns_bg host2 "$OUT/host2.log" sh -c 'exec "$0" --greet < "$1"' "$PEER" "$OUT/host2.in"
exec {peer_in}>"$OUT/host2.in"
netns_wait_for "$OUT/host2.log" '^READY' 10

gui_start_program host1 "$OUT/host1.log" "$OUT/host1" "$KV"
HOST1_PID=$NETNS_LAST_PID

# --- The splash, while the log loads -------------------------------------------------------
splash=$(gui_wait_until 20 gui_find_window host1 "$SPLASH") || true
check "the splash appears at the start" test -n "$splash"
[[ -n $splash ]] && gui_shoot host1 "$SHOTS/1-splash.png"
main=$(gui_wait_until 30 gui_find_window host1 "$TITLE") || true
check "the main window opens" test -n "$main"
if [[ -z $main ]]; then
    cat "$OUT/host1.log"
    exit 1
fi
check "the splash has gone" gui_wait_until 5 gui_no_window host1 "$SPLASH"
check "host1 lists host2" gui_wait_until 10 grep -q '^TRACE peer+ host2' "$OUT/host1.log"
sleep 0.5
gui_shoot host1 "$SHOTS/2-main-window.png"

# The buttons of the 633 by 417 window: two rows of 57 by 54 from (338, 301).
click() { gui_x host1 mousemove --window "$1" "$2" "$3" click 1; }

# --- A big message -------------------------------------------------------------------------
click "$main" $((338 + 57 + 28)) $((301 + 27)) # btnBigMessage
big=$(gui_wait_until 10 gui_find_window host1 "$BIG") || true
check "the big message window opens" test -n "$big"
if [[ -n $big ]]; then
    gui_x host1 windowfocus --sync "$big"
    click "$big" 300 160 # into the editor
    gui_x host1 type --delay 15 "First line, with a comma"
    gui_x host1 key Return
    gui_x host1 key Return
    gui_x host1 type --delay 15 'Third "quoted" line'
    sleep 0.3
    gui_shoot host1 "$SHOTS/3-big-message.png"
    click "$big" $((240 + 28)) $((387 + 27)) # btnSend
fi
line() { grep -qF -- "$1" "$OUT/host2.log"; }
check "the first line reaches host2" gui_wait_until 10 line "LINE public other host1: First line, with a comma"
check "the empty second line follows it" line "LINE more other : "
check "the third line follows" line "LINE more other : Third \"quoted\" line"
check "the three lines came in order" bash -c "grep '^LINE' '$OUT/host2.log' | tail -3 | head -1 | grep -q 'First line'"
[[ -n $big ]] && gui_x host1 windowfocus --sync "$big" && gui_x host1 key Escape
check "Esc closes the big message window" gui_wait_until 5 gui_no_window host1 "$BIG"

# --- The about box ----------------------------------------------------------------------------
click "$main" $((338 + 2 * 57 + 28)) $((301 + 54 + 27)) # btnInfo
about=$(gui_wait_until 10 gui_find_window host1 "About") || true
check "the about box opens" test -n "$about"
sleep 0.5
gui_shoot host1 "$SHOTS/4-about-box.png"
[[ -n $about ]] && gui_x host1 windowfocus --sync "$about" && gui_x host1 key Return
check "Return closes the about box" gui_wait_until 5 gui_no_window host1 About

# --- The title button and the tray ------------------------------------------------------------
read -r right top width height < <(sed -n 's/^TRACE title-button right \([0-9]*\) top \([0-9]*\) size \([0-9]*\)x\([0-9]*\)$/\1 \2 \3 \4/p' "$OUT/host1.log" | head -1)
check "the title button's place is known ($right, $top, ${width}x$height)" test -n "$right"
hidden() { [[ -z $(gui_find_window host1 "$TITLE") ]]; }
if [[ -n $right ]]; then
    click "$main" $((633 - right + width / 2)) $((top + height / 2))
    check "the title button hides the window although \"Hide to tray\" is off" gui_wait_until 5 hidden
    sleep 0.3
    gui_shoot host1 "$SHOTS/5-in-the-tray.png"
    panel=$(gui_x host1 search --name '^panel$' | head -1)
    eval "$(gui_x host1 getwindowgeometry --shell "$panel")"
    gui_x host1 mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click --repeat 2 --delay 100 1
    back=$(gui_wait_until 10 gui_find_window host1 "$TITLE") || true
    check "a double click on the tray icon brings the window back" test -n "$back"
    sleep 0.3
    gui_shoot host1 "$SHOTS/6-restored.png"
fi
check "the setting \"Hide to tray\" was not changed" grep -qxF "Hide to tray=0" "$CONFIG/Options.ini"
netns_stop "$HOST1_PID"
check "host1 reported no error" bash -c "! grep -q '^kalvento: ' '$OUT/host1.log'"

echo "# screenshots in $SHOTS; $SECONDS s"
if ((NETNS_FAILURES > 0)); then
    echo "$NETNS_FAILURES check(s) failed; host1 said:"
    tail -50 "$OUT/host1.log"
    echo "host2 said:"
    cat "$OUT/host2.log"
    exit 1
fi

#!/usr/bin/env bash
# Two things a new user meets, with real windows and a real tray: a copy started hidden
# with "-s" (as at login) is listed by a running peer without ever being restored; and a
# friend added from the list's popup survives the program being killed at once. Screenshots
# stay in the given directory. Exit 77 when it cannot run here.
#
#   new_user_test.sh path/to/kalvento path/to/kalvento-peer [screenshot directory]
set -euo pipefail

KV=$(readlink -f "${1:?usage: $0 path/to/kalvento path/to/kalvento-peer [shots]}")
PEER=$(readlink -f "${2:?usage: $0 path/to/kalvento path/to/kalvento-peer [shots]}")
SHOTS=${3:-$(dirname "$KV")/tests/gui/new-user}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR/../netns source=netns.sh
source "$HERE/../netns/netns.sh"
# shellcheck source-path=SCRIPTDIR source=gui_kit.sh
source "$HERE/gui_kit.sh"
netns_require
gui_require

TITLE="Kalvento 1.2 by Fennrake"
# The list's place in the 633 by 417 window, and its rows.
LIST_X=336 LIST_Y=24 ITEM_H=18

netns_setup host1:ALPHA host2:ALPHA
OUT=$(mktemp -d)
mkdir -p "$SHOTS"
rm -f "$SHOTS"/*.png "$SHOTS"/*.log
netns_on_exit "cp '$OUT/host1.log' '$SHOTS/host1-trace.log'; cp '$OUT/host2.log' '$SHOTS/host2-peer.log'"
netns_on_exit "rm -rf '$OUT'"
CONFIG=$OUT/host1/config
gui_prepare_home "$OUT/host1"
printf '[General]\nShow splashscreen=0\nAutomatic update=0\n[Advanced]\nLanguage index=0\n' \
    >"$CONFIG/Options.ini"

gui_start_display host1
mkfifo "$OUT/host2.in"
# shellcheck disable=SC2016 # expanded by the inner shell
netns_bg host2 "$OUT/host2.log" sh -c 'exec "$0" --greet --identity Bob < "$1"' "$PEER" "$OUT/host2.in"
exec {peer_in}>"$OUT/host2.in"
netns_wait_for "$OUT/host2.log" '^READY' 10

# --- Started hidden: greeted anyway ---------------------------------------------------------
gui_start_program host1 "$OUT/host1.log" "$OUT/host1" "$KV" -s
HOST1_PID=$NETNS_LAST_PID
check "the hidden copy is listed by the running peer" gui_wait_until 15 grep -q '^PEER+ host1$' "$OUT/host2.log"
check "and it lists the peer by its identity" gui_wait_until 10 grep -q '^TRACE peer~ host2 Bob$' "$OUT/host1.log"
check "its window was never shown" gui_no_window host1 "$TITLE"
gui_shoot host1 "$SHOTS/1-hidden-in-the-tray.png"

# Back from the tray with a double click on its icon.
panel=$(gui_x host1 search --name '^panel$' | head -1)
eval "$(gui_x host1 getwindowgeometry --shell "$panel")"
gui_x host1 mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click --repeat 2 --delay 100 1
main=$(gui_wait_until 10 gui_find_window host1 "$TITLE") || true
check "a double click on the tray icon shows the window" test -n "$main"
if [[ -z $main ]]; then
    cat "$OUT/host1.log"
    exit 1
fi

# --- A friend, then a kill -----------------------------------------------------------------
# The peer's row: entries stand in the order of their "peer+" lines.
row=$(grep '^TRACE peer+ ' "$OUT/host1.log" | grep -n ' host2 ' | head -1 | cut -d: -f1)
row=$((row - 1))
gui_x host1 windowfocus --sync "$main"
gui_x host1 mousemove --window "$main" $((LIST_X + 40)) $((LIST_Y + row * ITEM_H + ITEM_H / 2)) click 3
sleep 0.5
gui_shoot host1 "$SHOTS/2-friends-menu.png"
gui_x host1 key Down Return
sleep 0.5
gui_shoot host1 "$SHOTS/3-friend-marked.png"
friend() { grep -qx 'Friend1=Bob' "$CONFIG/Options.ini"; }
check "the friend is in Options.ini before any exit" gui_wait_until 5 friend
kill -KILL "$HOST1_PID"
wait "$HOST1_PID" 2>/dev/null || true
check "the friend is still there after a kill" friend
check "nothing was left beside Options.ini" bash -c "[[ \$(ls -A '$CONFIG' | grep -v '^Options.ini\$' | grep -c tmp) -eq 0 ]]"

echo "# screenshots in $SHOTS; $SECONDS s"
if ((NETNS_FAILURES > 0)); then
    echo "$NETNS_FAILURES check(s) failed; host1 said:"
    cat "$OUT/host1.log"
    echo "host2 said:"
    cat "$OUT/host2.log"
    exit 1
fi

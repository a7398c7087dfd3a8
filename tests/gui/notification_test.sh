#!/usr/bin/env bash
# The desktop notification with a real notification daemon: dunst on host1's X display and
# a private session bus that this test starts. host1 waits hidden in its tray while the
# headless peer on host2 writes: the first line gives one notification with the sender and
# the text, the next ones update it, markup typed by the peer shows as typed, a click on
# the notification brings the window back, and with "Desktop notification" off nothing is
# shown. Exit 77 when it cannot run here.
#
#   notification_test.sh path/to/kalvento path/to/kalvento-peer [screenshot directory]
set -euo pipefail

KV=$(readlink -f "${1:?usage: $0 path/to/kalvento path/to/kalvento-peer [shots]}")
PEER=$(readlink -f "${2:?usage: $0 path/to/kalvento path/to/kalvento-peer [shots]}")
SHOTS=${3:-$(dirname "$KV")/tests/gui/notification}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR/../netns source=netns.sh
source "$HERE/../netns/netns.sh"
# shellcheck source-path=SCRIPTDIR source=gui_kit.sh
source "$HERE/gui_kit.sh"
netns_require
gui_require
netns_require_tools dunst dunstctl dbus-daemon python3

TITLE="Kalvento 1.2 by Fennrake"
netns_setup host1:ALPHA host2:ALPHA host3:ALPHA
netns_workdir "$SHOTS"

gui_start_display host1
# The session bus: a socket file, which the program reaches from its namespace.
export DBUS_SESSION_BUS_ADDRESS="unix:path=$OUT/bus"
dbus-daemon --session --nofork --nopidfile --address="$DBUS_SESSION_BUS_ADDRESS" \
    >"$OUT/dbus.log" 2>&1 &
NETNS_PIDS+=("$!")
gui_wait_until 10 test -S "$OUT/bus" || {
    echo "the session bus did not start" >&2
    exit 1
}
# Markup on, as desktops have it: the body is then read as markup, so a peer's must be escaped.
printf '[global]\nmarkup = full\n' >"$OUT/dunstrc"
DISPLAY=${GUI_DISPLAY[host1]} dunst -conf "$OUT/dunstrc" >"$OUT/dunst.log" 2>&1 &
NETNS_PIDS+=("$!")
check "dunst is on the bus" gui_wait_until 10 dunstctl count displayed

# The notifications shown, as "id|summary|body" lines, oldest first: dunst lists them in
# its history once they are closed.
closed() {
    dunstctl close-all
    sleep 0.3
    dunstctl history | python3 -c '
import json, sys
for n in reversed(json.load(sys.stdin)["data"][0]):
    print("%d|%s|%s" % (n["id"]["data"], n["summary"]["data"], n["body"]["data"]))'
}
# A peer's name and text come isolated (U+2068 ... U+2069), so that their direction
# controls reorder nothing around them; plain takes the isolates off for comparing.
plain() { sed 's/\xe2\x81\xa8//g; s/\xe2\x81\xa9//g'; }
displayed() { [[ $(dunstctl count displayed) -eq $1 ]]; }

mkfifo "$OUT/host2.in"
# shellcheck disable=SC2016 # expanded by the inner shell
netns_bg host2 "$OUT/host2-peer.log" sh -c 'exec "$0" --greet --identity Bob < "$1"' "$PEER" "$OUT/host2.in"
exec {peer_in}>"$OUT/host2.in"
netns_wait_for "$OUT/host2-peer.log" '^READY' 10
mkfifo "$OUT/host3.in"
netns_bg host3 "$OUT/host3-peer.log" sh -c 'exec "$0" --greet --identity Cecilia < "$1"' "$PEER" "$OUT/host3.in"
exec {cecilia_in}>"$OUT/host3.in"
netns_wait_for "$OUT/host3-peer.log" '^READY' 10

# start <run> <desktop notification 0|1>: host1 hidden in its tray.
start() {
    gui_prepare_home "$OUT/$1"
    printf '[General]\nShow splashscreen=0\nAutomatic update=0\nHide to tray=1\n[Messages]\nShow alert=1\nFlashing icon=1\nBring on top=0\nPlay a sound=0\nDesktop notification=%s\n[Advanced]\nLanguage index=0\n' \
        "$2" >"$OUT/$1/config/Options.ini"
    gui_start_program host1 "$OUT/$1.log" "$OUT/$1" \
        env DBUS_SESSION_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS" "$KV" -s
    RUN_PID=$NETNS_LAST_PID
    check "$1: host1 lists the peer" gui_wait_until 15 grep -q '^TRACE peer~ host2 Bob$' "$OUT/$1.log"
    check "$1: its window is hidden" gui_no_window host1 "$TITLE"
}
say() {
    echo "say $1" >&"$peer_in"
    check "$2 reaches host1" gui_wait_until 10 grep -qF "$2" "$OUT/$RUN.log"
}
notifications() { grep -c '^TRACE notification [0-9]' "$OUT/$RUN.log" || true; }

# --- Notifications on ----------------------------------------------------------------------
RUN=on
start on 1
say "Is the printer free?" "Is the printer free?"
check "one notification" gui_wait_until 10 displayed 1
check "the program got its id" gui_wait_until 5 bash -c "[[ \$(grep -c '^TRACE notification [0-9]' '$OUT/on.log') -eq 1 ]]"
gui_shoot host1 "$SHOTS/1-notification.png"
say "<b>x</b> &amp;" "<b>x</b> &amp;"
say "It is now" "It is now"
check "the next lines update it" gui_wait_until 10 bash -c "[[ \$(grep -c '^TRACE notification [0-9]' '$OUT/on.log') -eq 3 ]]"
ids=$(grep '^TRACE notification [0-9]' "$OUT/on.log" | awk '{print $3}' | sort -u | wc -l)
check "with the same id, so one notification stands" test "$ids" -eq 1
check "still one shown" displayed 1
gui_shoot host1 "$SHOTS/2-updated.png"
history=$(closed)
echo "$history" | sed 's/^/# shown: /'
check "one notification in dunst's history" test "$(echo "$history" | grep -c .)" -eq 1
check "it shows the sender and the last line" grep -qxF "$(grep '^TRACE notification' "$OUT/on.log" | tail -1 | awk '{print $3}')|Bob|It is now" < <(plain <<<"$history")
check "the sender and the line are isolated" grep -qF $'|\xe2\x81\xa8Bob\xe2\x81\xa9|\xe2\x81\xa8It is now\xe2\x81\xa9' <<<"$history"

# Two people: a notification each, each updated in place by its own sender's lines.
check "host1 lists Cecilia" gui_wait_until 10 grep -q '^TRACE peer~ host3 Cecilia$' "$OUT/on.log"
say "Lunch?" "Lunch?"
echo "say Coffee first" >&"$cecilia_in"
check "Coffee first reaches host1" gui_wait_until 10 grep -qF "Coffee first" "$OUT/on.log"
check "two notifications stand, one per sender" gui_wait_until 10 displayed 2
say "At noon then" "At noon then"
sleep 0.5
check "Bob's next line updates his, so still two" displayed 2
gui_shoot host1 "$SHOTS/2b-two-senders.png"
history=$(closed | plain)
echo "$history" | sed 's/^/# shown: /'
check "Bob's shows his last line" grep -q '|Bob|At noon then$' <<<"$history"
check "Cecilia's shows hers" grep -q '|Cecilia|Coffee first$' <<<"$history"

# Markup typed by the peer: the body carries it as entities, which show as typed.
say "<i>see</i> &lt;this&gt;" "<i>see</i> &lt;this&gt;"
check "a notification for the markup" gui_wait_until 10 displayed 1
body=$(closed | plain | tail -1 | cut -d'|' -f3-)
echo "# body sent: $body"
check "markup from a peer is escaped" test "$body" = "&lt;i&gt;see&lt;/i&gt; &amp;lt;this&amp;gt;"
check "and reads back as the peer typed it" \
    test "$(python3 -c 'import html,sys; print(html.unescape(sys.argv[1]))' "$body")" = "<i>see</i> &lt;this&gt;"

# A click on the notification (its default action) brings the window back.
say "Come and look" "Come and look"
check "a notification to click" gui_wait_until 10 displayed 1
dunstctl action 0 || true
main=$(gui_wait_until 10 gui_find_window host1 "$TITLE") || true
check "a click on it shows the window" test -n "$main"
gui_shoot host1 "$SHOTS/3-after-the-click.png"
netns_stop "$RUN_PID"
dunstctl close-all

# --- Notifications off ---------------------------------------------------------------------
RUN=off
start off 0
before=$(dunstctl count history)
say "Anyone there?" "Anyone there?"
sleep 1.5
check "no notification when it is off" displayed 0
check "nothing new in the history" test "$(dunstctl count history)" -eq "$before"
check "the program sent none" test "$(notifications)" -eq 0
netns_stop "$RUN_PID"

for run in on off; do
    check "$run reported no error" bash -c "! grep -q '^kalvento: ' '$OUT/$run.log'"
done
echo "bye" >&"$peer_in"
exec {peer_in}>&-

echo "# screenshots in $SHOTS; $SECONDS s"
if ((NETNS_FAILURES > 0)); then
    echo "$NETNS_FAILURES check(s) failed; host1 said:"
    tail -40 "$OUT/on.log"
    cat "$OUT/dunst.log"
    exit 1
fi

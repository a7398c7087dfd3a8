#!/usr/bin/env bash
# Nothing the user wrote is lost, cut or sent to the wrong people, with a real window and a
# real tray on host1 and two headless peers, Bob on host2 and Cecilia on host3:
#   - the chat cleared, two lines written, the program closed and started again: both lines
#     are in the log and in the view;
#   - a pasted line of 44,000 characters and a big message of 150 lines arrive whole;
#   - Enter on an empty or blank box sends nothing;
#   - a line marked private with nobody ticked is not sent, and the user is told why;
#   - a peer's line with a line break, or with a right-to-left override, cannot pass for a
#     line of another sender in the view.
# Exit 77 when it cannot run here.
#
#   lines_test.sh path/to/kalvento path/to/kalvento-peer [screenshot directory]
set -euo pipefail

KV=$(readlink -f "${1:?usage: $0 path/to/kalvento path/to/kalvento-peer [shots]}")
PEER=$(readlink -f "${2:?usage: $0 path/to/kalvento path/to/kalvento-peer [shots]}")
SHOTS=${3:-$(dirname "$KV")/tests/gui/lines}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR/../netns source=netns.sh
source "$HERE/../netns/netns.sh"
# shellcheck source-path=SCRIPTDIR source=gui_kit.sh
source "$HERE/gui_kit.sh"
netns_require
gui_require
netns_require_tools xclip python3

TITLE="Kalvento 1.2 by Fennrake"
BIG="Send multilined messages"
# Where the controls sit in the 633 by 417 window, relative to its top left corner.
LIST_X=336 LIST_Y=24 ITEM_H=18
PRIVATE_AT=(350 231)       # the "Send a private message" box in its panel
MESSAGE_AT=(480 282)       # the message box
CHAT_AT=(150 150)          # the chat view
BIG_AT=(423 328)           # btnBigMessage
BIG_SEND_AT=(268 414)      # the big message window's send button

netns_setup host1:ALPHA host2:ALPHA host3:ALPHA
OUT=$(mktemp -d)
mkdir -p "$SHOTS"
rm -f "$SHOTS"/*.png "$SHOTS"/*.log
netns_on_exit "cp '$OUT'/*.log '$SHOTS/' 2>/dev/null || true"
netns_on_exit "rm -rf '$OUT'"
CONFIG=$OUT/host1/config
gui_prepare_home "$OUT/host1"
printf '[General]\nShow splashscreen=0\nAutomatic update=0\nHide to tray=0\nSave messages log=1\n[Advanced]\nLanguage index=0\nIdentity=Anna\n' \
    >"$CONFIG/Options.ini"
# An earlier run's history, which clearing the view must not lose.
printf '{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Arial;}}\n\\pard an earlier history line\\par\n}\n' \
    >"$CONFIG/log.rtf"

gui_start_display host1
# A peer reads its commands from a pipe, which its shell opens once we hold the other end.
start_peer() {
    local host=$1 name=$2
    mkfifo "$OUT/$host.in"
    # shellcheck disable=SC2016 # expanded by the inner shell
    netns_bg "$host" "$OUT/$host.log" sh -c 'exec "$0" --greet --identity "$1" < "$2"' \
        "$PEER" "$name" "$OUT/$host.in"
}
start_peer host2 Bob
exec {bob}>"$OUT/host2.in"
start_peer host3 Cecilia
exec {cecilia}>"$OUT/host3.in"
netns_wait_for "$OUT/host2.log" '^READY' 10
netns_wait_for "$OUT/host3.log" '^READY' 10

MAIN=
start_program() {
    gui_start_program host1 "$OUT/host1-$1.log" "$OUT/host1" "$KV"
    HOST1_PID=$NETNS_LAST_PID
    MAIN=$(gui_wait_until 20 gui_find_window host1 "$TITLE") || true
    [[ -n $MAIN ]] || { echo "the window did not open" >&2; cat "$OUT/host1-$1.log" >&2; exit 1; }
    gui_wait_until 15 grep -q '^TRACE peer+ host2 ' "$OUT/host1-$1.log"
    gui_wait_until 15 grep -q '^TRACE peer+ host3 ' "$OUT/host1-$1.log"
    gui_x host1 windowfocus --sync "$MAIN"
}
click() { gui_x host1 mousemove --window "$1" "$2" "$3" click 1; }
focus_message() {
    gui_x host1 windowfocus --sync "$MAIN"
    click "$MAIN" "${MESSAGE_AT[@]}"
}
paste_from() {
    DISPLAY=${GUI_DISPLAY[host1]} xclip -selection clipboard -i "$1"
    sleep 0.3
    gui_x host1 key ctrl+v
}
# The view's text as the user would copy it: Ctrl+A, Ctrl+C in the chat.
view_text() {
    click "$MAIN" "${CHAT_AT[@]}"
    gui_x host1 key ctrl+a ctrl+c
    sleep 0.3
    DISPLAY=${GUI_DISPLAY[host1]} xclip -selection clipboard -o
}
peer_lines() { grep -c '^LINE ' "$OUT/$1.log" || true; }
# The texts of the lines a peer printed after line number $2, joined (continuation pieces
# of one message joined without a break, as they were one line when typed).
joined_after() {
    python3 - "$OUT/$1.log" "$2" <<'EOF'
import sys
lines = [l.rstrip("\n") for l in open(sys.argv[1], encoding="utf-8") if l.startswith("LINE ")]
print("".join(l.split(": ", 1)[1] for l in lines[int(sys.argv[2]):]), end="")
EOF
}

# --- Clear the chat, write two lines, close, start again -----------------------------------
start_program 1
click "$MAIN" "${CHAT_AT[@]}"
gui_x host1 key ctrl+Delete
focus_message
gui_x host1 type --delay 10 "written after clearing one"
gui_x host1 key Return
gui_x host1 type --delay 10 "written after clearing two"
gui_x host1 key Return
check "both lines reach Bob" gui_wait_until 10 grep -q 'LINE public other Anna: written after clearing two' "$OUT/host2.log"
gui_shoot host1 "$SHOTS/1-cleared-and-written.png"
gui_x host1 key Escape # closes: "Hide to tray" is off
wait "$HOST1_PID" 2>/dev/null || true
check "the log keeps the earlier history" grep -q 'an earlier history line' "$CONFIG/log.rtf"
check "the log holds both lines written after clearing" \
    bash -c "grep -q 'written after clearing one' '$CONFIG/log.rtf' && grep -q 'written after clearing two' '$CONFIG/log.rtf'"
start_program 2
view=$(view_text)
check "the next start shows both lines" \
    bash -c "grep -q 'written after clearing one' <<<\"\$0\" && grep -q 'written after clearing two' <<<\"\$0\"" "$view"

# --- Enter on an empty or blank box ------------------------------------------------------------
before2=$(peer_lines host2)
focus_message
gui_x host1 key Return
gui_x host1 type "   "
gui_x host1 key Return
gui_x host1 key ctrl+a BackSpace
sleep 1
check "Enter on an empty or blank box sends Bob nothing" test "$(peer_lines host2)" -eq "$before2"

# --- A pasted line of 44,000 characters --------------------------------------------------------
python3 -c "
import sys
words = ['Zażółć', 'gęślą', 'jaźń', 'café', '✓', 'end']
out, i = [], 0
while sum(len(w) + 1 for w in out) < 44000:
    out.append(words[i % len(words)] + str(i)); i += 1
sys.stdout.write(' '.join(out)[:44000])" >"$OUT/long.txt"
before2=$(peer_lines host2)
focus_message
paste_from "$OUT/long.txt"
gui_x host1 key Return
arrived_whole() { [[ $(joined_after host2 "$before2") == "$(cat "$OUT/long.txt")" ]]; }
check "a pasted line of 44,000 characters reaches Bob whole" gui_wait_until 15 arrived_whole

# --- A big message of 150 lines ------------------------------------------------------------------
seq -f 'big message line %g' 1 150 >"$OUT/big.txt"
before2=$(peer_lines host2)
click "$MAIN" "${BIG_AT[@]}"
big=$(gui_wait_until 10 gui_find_window host1 "$BIG") || true
check "the big message window opens" test -n "$big"
if [[ -n $big ]]; then
    gui_x host1 windowfocus --sync "$big"
    click "$big" 300 160
    paste_from "$OUT/big.txt"
    sleep 0.3
    gui_shoot host1 "$SHOTS/2-big-message.png"
    click "$big" "${BIG_SEND_AT[@]}"
fi
all_150() { [[ $(($(peer_lines host2) - before2)) -ge 150 ]]; }
check "all 150 lines reach Bob" gui_wait_until 15 all_150
check "in order, each once" bash -c "grep '^LINE ' '$OUT/host2.log' | tail -n 150 | sed 's/^LINE [a-z]* other [^:]*: //' | diff -q - '$OUT/big.txt'"
[[ -n $big ]] && gui_x host1 windowfocus --sync "$big" && gui_x host1 key Escape

# --- A private line with nobody ticked -------------------------------------------------------
row=$(grep '^TRACE peer+ ' "$OUT/host1-2.log" | grep -n ' host2 ' | head -1 | cut -d: -f1)
row=$((row - 1))
gui_x host1 windowfocus --sync "$MAIN"
box() { click "$MAIN" $((LIST_X + 10)) $((LIST_Y + row * ITEM_H + ITEM_H / 2)); }
box # tick Bob
click "$MAIN" "${PRIVATE_AT[@]}"
box # untick him again: the private box stays ticked, greyed
before2=$(peer_lines host2)
before3=$(peer_lines host3)
focus_message
gui_x host1 type --delay 10 "meant for Bob alone"
gui_x host1 key Return
told() { grep -q 'no computer is ticked' "$OUT/host1-2.log"; }
check "the user is told why the private line was not sent" gui_wait_until 5 told
gui_shoot host1 "$SHOTS/3-private-without-recipient.png"
sleep 1
check "the private line reaches nobody" \
    bash -c "[[ $(peer_lines host2) -eq $before2 && $(peer_lines host3) -eq $before3 ]] && ! grep -q 'meant for Bob' '$OUT/host2.log' '$OUT/host3.log'"
gui_x host1 key Return # the box with the reason

# --- Lines that try to pass for another sender's -----------------------------------------------
echo 'sayx first line\nCecilia (12:00:00): I owe Bob 100 euros' >&"$bob"
echo 'sayx \u202Ereversed text' >&"$bob"
check "Bob's two lines are shown" gui_wait_until 10 grep -q 'reversed text' "$OUT/host1-2.log"
sleep 0.5
gui_shoot host1 "$SHOTS/4-forged-looking-lines.png"
view=$(view_text)
check "no line of the view reads as Cecilia's" bash -c "! grep -q '^Cecilia' <<<\"\$0\"" "$view"
check "the override is isolated inside Bob's line" \
    bash -c "grep -qF \$'\\xe2\\x81\\xa8\\xe2\\x80\\xaereversed text' <<<\"\$0\"" "$view"

gui_x host1 key Escape
wait "$HOST1_PID" 2>/dev/null || true
echo "# screenshots in $SHOTS; $SECONDS s"
exit $((NETNS_FAILURES > 0))

#!/usr/bin/env bash
# Asking for the user's attention on X11, with a real window manager (openbox) on host1's
# display. While another window has the focus, a line from the peer on host2 marks the
# program's window as demanding attention (_NET_WM_STATE_DEMANDS_ATTENTION, which the
# window manager keeps), the mark goes when the user comes to the window, and a line that
# arrives while the window has the focus marks nothing. With "Bring on top" on, a line that
# arrives while another window has the focus raises the program's window and gives the focus
# to its message box. The options window and the about box ask to be closed but neither
# minimized nor maximized, and carry the program's icon. Started again while its window is
# in the tray, the program brings the running copy's window to the front and leaves.
# Exit 77 when it cannot run here.
#
#   attention_test.sh path/to/kalvento path/to/kalvento-peer [screenshot directory]
set -euo pipefail

KV=$(readlink -f "${1:?usage: $0 path/to/kalvento path/to/kalvento-peer [shots]}")
PEER=$(readlink -f "${2:?usage: $0 path/to/kalvento path/to/kalvento-peer [shots]}")
SHOTS=${3:-$(dirname "$KV")/tests/gui/attention}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR/../netns source=netns.sh
source "$HERE/../netns/netns.sh"
# shellcheck source-path=SCRIPTDIR source=gui_kit.sh
source "$HERE/gui_kit.sh"
netns_require
gui_require
netns_require_tools openbox xmessage xprop

TITLE="Kalvento 1.2 by Fennrake"
netns_setup host1:ALPHA host2:ALPHA
netns_workdir "$SHOTS"

gui_start_display host1
mkdir -p "$OUT/wm-home"
DISPLAY=${GUI_DISPLAY[host1]} HOME="$OUT/wm-home" openbox >"$OUT/openbox.log" 2>&1 &
NETNS_PIDS+=("$!")
wm_running() {
    DISPLAY=${GUI_DISPLAY[host1]} xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'
}
check "openbox manages the display" gui_wait_until 10 wm_running

mkfifo "$OUT/host2.in"
# shellcheck disable=SC2016 # expanded by the inner shell
netns_bg host2 "$OUT/host2-peer.log" sh -c 'exec "$0" --greet --identity Bob < "$1"' "$PEER" "$OUT/host2.in"
exec {peer_in}>"$OUT/host2.in"
netns_wait_for "$OUT/host2-peer.log" '^READY' 10

active() { gui_x host1 getactivewindow 2>/dev/null; }
is_active() { [[ $(active) == "$1" ]]; }
not_active() { ! is_active "$1"; }
demands_attention() {
    DISPLAY=${GUI_DISPLAY[host1]} xprop -id "$1" _NET_WM_STATE 2>/dev/null |
        grep -q _NET_WM_STATE_DEMANDS_ATTENTION
}
no_attention() { ! demands_attention "$1"; }
# Another program's window, which takes the focus from ours.
other_window() {
    DISPLAY=${GUI_DISPLAY[host1]} xmessage -name other -geometry 300x100+600+500 \
        "Another program" >/dev/null 2>&1 &
    NETNS_PIDS+=("$!")
    OTHER_PID=$!
    local id
    id=$(gui_wait_until 10 gui_find_window host1 other) || true
    check "$1: another window takes the focus" gui_wait_until 10 is_active "$id"
    # The window manager has moved the focus; wait until the program has heard so too, or a
    # line arriving in between still finds the window active.
    check "$1: the program sees its window inactive" \
        gui_wait_until 10 grep -q '^TRACE window inactive$' "$OUT/$1.log"
}
say() {
    echo "say $1" >&"$peer_in"
    check "$1 reaches host1" gui_wait_until 10 grep -qF "TRACE line public Bob: $1" "$OUT/$RUN.log"
}

# start <run> <bring on top 0|1>: the window shown and active.
start() {
    RUN=$1
    gui_prepare_home "$OUT/$1"
    printf '[General]\nShow splashscreen=0\nAutomatic update=0\nHide to tray=1\n[Messages]\nShow alert=1\nFlashing icon=0\nBring on top=%s\nPlay a sound=0\nDesktop notification=0\n[Advanced]\nLanguage index=0\n' \
        "$2" >"$OUT/$1/config/Options.ini"
    gui_start_program host1 "$OUT/$1.log" "$OUT/$1" "$KV"
    RUN_PID=$NETNS_LAST_PID
    check "$1: host1 lists the peer" gui_wait_until 15 grep -q '^TRACE peer~ host2 Bob$' "$OUT/$1.log"
    MAIN=$(gui_wait_until 10 gui_find_window host1 "$TITLE") || true
    check "$1: the window is shown" test -n "$MAIN"
    gui_x host1 windowactivate --sync "$MAIN" 2>/dev/null || true
    check "$1: and active" gui_wait_until 10 is_active "$MAIN"
}

# --- Attention: marked while another window has the focus -----------------------------------
start mark 0
say "Nobody is looking"
sleep 0.5
check "a line in the active window marks nothing" no_attention "$MAIN"
other_window mark
say "Are you there?"
check "a line while another window has the focus asks for attention" \
    gui_wait_until 10 demands_attention "$MAIN"
gui_shoot host1 "$SHOTS/1-demands-attention.png"
check "without bring on top the focus stays where it was" not_active "$MAIN"
gui_x host1 windowactivate --sync "$MAIN" 2>/dev/null || true
check "coming to the window" gui_wait_until 10 is_active "$MAIN"
check "clears the mark" gui_wait_until 10 no_attention "$MAIN"
kill "$OTHER_PID" 2>/dev/null || true
netns_stop "$RUN_PID"

# --- Bring on top: raised, and the message box takes the focus ------------------------------------------
start front 1
other_window front
say "Look here"
# The program's message box comes up over its window and takes the focus.
title_of() { DISPLAY=${GUI_DISPLAY[host1]} xdotool getwindowname "$1" 2>/dev/null; }
box_active() {
    local id
    id=$(active) && [[ -n $id && $id != "$MAIN" && $(title_of "$id") == "$TITLE" ]]
}
check "bring on top gives the focus to the program's message box" gui_wait_until 10 box_active
# Topmost last: ours above the other program's.
above_other() {
    local other order
    other=$(printf '0x%x' "$(gui_find_window host1 other)")
    order=$(DISPLAY=${GUI_DISPLAY[host1]} xprop -root _NET_CLIENT_LIST_STACKING | tr -d ',' |
        awk '{ for (i = 5; i <= NF; i++) print $i }')
    [[ $(grep -n -x "$(printf '0x%x' "$MAIN")" <<<"$order" | cut -d: -f1) -gt \
        $(grep -n -x "$other" <<<"$order" | cut -d: -f1) ]]
}
check "and the window is raised above the other program's" gui_wait_until 5 above_other
gui_shoot host1 "$SHOTS/2-brought-on-top.png"
kill "$OTHER_PID" 2>/dev/null || true
netns_stop "$RUN_PID"

# --- Decorations: a dialog asks to be closed, never minimized or maximized ----------------------
# What the program asks of the window manager is in _MOTIF_WM_HINTS (flags, functions,
# decorations...): a dialog's functions hold close (0x20) but neither minimize (0x08) nor
# maximize (0x10). Openbox leaves minimize and maximize to the user whatever a window asks
# (its _NET_WM_ALLOWED_ACTIONS still offer them), but takes maximize from a window of a fixed
# size, as the about box is.
start dialog 0
prop() {
    local out
    out=$(DISPLAY=${GUI_DISPLAY[host1]} xprop -id "$1" "$2" 2>/dev/null) || return 1
    echo "$out"
}
# The second number of "_MOTIF_WM_HINTS(_MOTIF_WM_HINTS) = 0x3, 0x26, 0x1e, 0x0, 0x0".
functions() {
    local hints
    hints=$(prop "$1" _MOTIF_WM_HINTS) || return 1
    hints=${hints#*= }
    hints=${hints#*, }
    echo $((${hints%%,*}))
}
asks() {
    local have
    have=$(functions "$1") && ((have & $2))
}
asks_not() { ! asks "$1" "$2"; }
offers() { [[ $(prop "$1" _NET_WM_ALLOWED_ACTIONS) == *"_NET_WM_ACTION_$2"* ]]; }
offers_not() { ! offers "$1" "$2"; }
has_icon() { [[ $(prop "$1" _NET_WM_ICON) == *"Icon ("* ]]; }
check "the main window asks for minimize and maximize" asks "$MAIN" $((0x08 | 0x10))
# The buttons of the 633 by 417 window: two rows of 57 by 54 from (338, 301); Options and
# the about box are the second and third of the second row.
button() { gui_x host1 mousemove --window "$MAIN" $((338 + $1 * 57 + 28)) $((301 + 54 + 27)) click 1; }
dialog() {
    local title=$1 id
    id=$(gui_wait_until 10 gui_find_window host1 "$title") || true
    check "$title opens" test -n "$id"
    [[ -n $id ]] || return 0
    check "$title: the window manager shows it" gui_wait_until 5 offers "$id" CLOSE
    echo "$title: $(prop "$id" _MOTIF_WM_HINTS); $(prop "$id" _NET_WM_ALLOWED_ACTIONS)"
    check "$title asks to be closed" asks "$id" 0x20
    check "$title asks not to be minimized" asks_not "$id" 0x08
    check "$title asks not to be maximized" asks_not "$id" 0x10
    check "$title carries the program's icon" has_icon "$id"
    DIALOG=$id
}
button 1
dialog Options
gui_shoot host1 "$SHOTS/3-options-dialog.png"
[[ -n ${DIALOG:-} ]] && gui_x host1 windowfocus --sync "$DIALOG" && gui_x host1 key Escape
check "Esc closes the options" gui_wait_until 5 gui_no_window host1 Options
DIALOG=
button 2
dialog About
if [[ -n $DIALOG ]]; then
    check "openbox offers no maximize for the about box, whose size is fixed" \
        offers_not "$DIALOG" MAXIMIZE_HORZ
    gui_x host1 windowfocus --sync "$DIALOG"
    gui_x host1 key Return
fi
netns_stop "$RUN_PID"

# --- Started again: the running copy's window comes back from the tray, to the front -------
start again 0
# Close with "Hide to tray" on: the window goes to the tray.
gui_x host1 mousemove --window "$MAIN" $((338 + 4 * 57 + 28)) $((301 + 54 + 27)) click 1
check "again: Close hides the window in the tray" gui_wait_until 10 gui_no_window host1 "$TITLE"
other_window again
# The login entry starts it hidden ("-s") while it runs: the start leaves at once and the
# window stays in the tray.
gui_start_program host1 "$OUT/again-hidden.log" "$OUT/again" "$KV" -s
HIDDEN_PID=$NETNS_LAST_PID
hidden_ended() { ! kill -0 "$HIDDEN_PID" 2>/dev/null; }
check "again: a second start with -s leaves at once" gui_wait_until 10 hidden_ended
hidden_rc=0
wait "$HIDDEN_PID" || hidden_rc=$?
check "again: with exit status 0" test "$hidden_rc" -eq 0
sleep 2
check "again: the window stays in the tray" gui_no_window host1 "$TITLE"
# The user starts the program again from the menu: the second start leaves at once, and the
# running copy shows its window over the other program's, with the focus.
gui_start_program host1 "$OUT/again-second.log" "$OUT/again" "$KV"
SECOND_PID=$NETNS_LAST_PID
second_ended() { ! kill -0 "$SECOND_PID" 2>/dev/null; }
check "again: the second start leaves at once" gui_wait_until 10 second_ended
second_rc=0
wait "$SECOND_PID" || second_rc=$?
check "again: with exit status 0" test "$second_rc" -eq 0
main_shown() { gui_find_window host1 "$TITLE" >/dev/null; }
check "again: the running copy's window is shown" gui_wait_until 10 main_shown
check "again: above the other program's" gui_wait_until 5 above_other
check "again: and active" gui_wait_until 10 is_active "$MAIN"
gui_shoot host1 "$SHOTS/4-started-again.png"
check "again: the second start made no window of its own" \
    test "$(gui_x host1 search --onlyvisible --name "^$TITLE\$" | wc -l)" -eq 1
kill "$OTHER_PID" 2>/dev/null || true
netns_stop "$RUN_PID"

for run in mark front dialog again; do
    check "$run reported no error" bash -c "! grep -q '^kalvento: ' '$OUT/$run.log'"
done
echo "bye" >&"$peer_in"
exec {peer_in}>&-

echo "# screenshots in $SHOTS; $SECONDS s"
if ((NETNS_FAILURES > 0)); then
    echo "$NETNS_FAILURES check(s) failed"
    for run in mark front dialog again; do
        echo "--- $run said:"
        tail -20 "$OUT/$run.log" 2>/dev/null || true
    done
    tail -20 "$OUT/openbox.log"
    exit 1
fi

#!/usr/bin/env bash
# The first start as a person meets it: host1 starts the program with no settings file, in a
# network namespace with its own X display and tray. The welcome wizard comes first; the
# keyboard picks the shipped translation (the wizard speaks it at once), switches the update
# check off and types the identity "Steve". A file handed over by "kalvento --send" while the
# wizard asks is answered at once and offered once the window is up. The main window then
# opens in that language, host2 (the headless peer) lists host1 as "Steve", and the next
# start goes straight to the main window, where a file handed over for nobody in particular
# is sent to the computer ticked, by keyboard, in the window that asks whom. Screenshots stay in the given directory. Exit 77
# when it cannot run here.
#
#   first_run_test.sh path/to/kalvento path/to/kalvento-peer [screenshot directory]
set -euo pipefail

KV=$(readlink -f "${1:?usage: $0 path/to/kalvento path/to/kalvento-peer [shots]}")
PEER=$(readlink -f "${2:?usage: $0 path/to/kalvento path/to/kalvento-peer [shots]}")
SHOTS=${3:-$(dirname "$KV")/tests/gui/first-run}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR/../netns source=netns.sh
source "$HERE/../netns/netns.sh"
# shellcheck source-path=SCRIPTDIR source=gui_kit.sh
source "$HERE/gui_kit.sh"
netns_require
gui_require
if [[ ! -f $(dirname "$KV")/Languages/Suomi.txt ]]; then
    echo "SKIP: the translation is not beside $KV" >&2
    exit 77
fi

WIZARD="Welcome to Kalvento"
FINNISH_WIZARD="Tervetuloa Kalventoon"
ENGLISH_TITLE="Kalvento 1.2 by Fennrake"
FINNISH_TITLE="Kalvento 1.2 – Fennrake"
FINNISH_SEND="Lähetä tiedostoja"

netns_setup host1:ALPHA host2:ALPHA
OUT=$(mktemp -d)
mkdir -p "$SHOTS"
rm -f "$SHOTS"/*.png "$SHOTS"/*.log
# What the copies said stays beside the screenshots, also after a failure.
netns_on_exit "cp '$OUT/host1.log' '$SHOTS/host1-trace.log'; cp '$OUT/host2.log' '$SHOTS/host2-peer.log'"
netns_on_exit "rm -rf '$OUT'"
CONFIG=$OUT/host1/config
gui_prepare_home "$OUT/host1"

gui_start_display host1

# host2 listens before host1 starts, so it hears host1's very first greeting.
mkfifo "$OUT/host2.in"
# shellcheck disable=SC2016 # expanded by the inner shell
netns_bg host2 "$OUT/host2.log" sh -c 'exec "$0" --greet < "$1"' "$PEER" "$OUT/host2.in"
exec {peer_in}>"$OUT/host2.in"
netns_wait_for "$OUT/host2.log" '^READY' 10

start_host1() {
    gui_start_program host1 "$OUT/host1.log" "$OUT/host1" "$KV"
    HOST1_PID=$NETNS_LAST_PID
}
setting() { grep -qxF -- "$1" "$CONFIG/Options.ini"; }
peer_lists() { grep -qE "^PEERS .*host1/ALPHA/$1(\||\$)" "$OUT/host2.log"; }
shown() { [[ -n $(gui_find_window host1 "$1") ]]; }
gone() { gui_no_window host1 "$1"; }

# --- First start: the wizard -----------------------------------------------------------------
start_host1
wizard=$(gui_wait_until 30 gui_find_window host1 "$WIZARD") || true
check "the first start shows the wizard \"$WIZARD\"" test -n "$wizard"
if [[ -z $wizard ]]; then
    cat "$OUT/host1.log"
    exit 1
fi
check "no main window while the wizard runs" gone "$ENGLISH_TITLE"
check "nothing is written before the wizard ends" test ! -e "$CONFIG/Options.ini"
gui_shoot host1 "$SHOTS/wizard-1-language.png"

# A file handed over from a shell while the wizard asks: answered at once, offered to host2
# once the window is up and host2 is listed.
echo "handed over during the first start" >"$OUT/early.txt"
send_started=$SECONDS
netns_exec host1 env DISPLAY="${GUI_DISPLAY[host1]}" HOME="$OUT/host1/home" \
    XDG_CONFIG_HOME="$OUT/host1/home/.config" XDG_RUNTIME_DIR="$OUT/host1/run" \
    KALVENTO_CONFIG_DIR="$CONFIG" "$KV" --send "$OUT/early.txt" --to host2 \
    >"$OUT/early.out" 2>&1 && send_rc=0 || send_rc=$?
send_took=$((SECONDS - send_started))
check "--send while the wizard asks is answered at once (exit $send_rc in $send_took s)" \
    bash -c "test $send_rc -eq 0 && test $send_took -lt 10 && grep -q 'once listed' '$OUT/early.out'"

gui_x host1 windowfocus --sync "$wizard"
# Page 1: the language list has the keyboard; the entry after the built-in English is the
# shipped translation.
gui_x host1 key Down
check "the wizard speaks the chosen language at once" gui_wait_until 5 shown "$FINNISH_WIZARD"
sleep 0.3
gui_shoot host1 "$SHOTS/wizard-1-language-chosen.png"
gui_x host1 key Escape # nothing to cancel
sleep 0.3
check "Esc does not end the wizard" shown "$FINNISH_WIZARD"
gui_x host1 key Return
sleep 0.3
gui_shoot host1 "$SHOTS/wizard-2-update.png"
# Page 2: "Check for updates automatically" has the keyboard.
gui_x host1 key space
gui_x host1 key Return
sleep 0.3
gui_x host1 type --delay 20 "Steve"
sleep 0.3
gui_shoot host1 "$SHOTS/wizard-3-identity.png"
gui_x host1 key Return

main=$(gui_wait_until 20 gui_find_window host1 "$FINNISH_TITLE") || true
check "the main window opens in the chosen language: \"$FINNISH_TITLE\"" test -n "$main"
check "the wizard has gone" gone "$FINNISH_WIZARD"
for line in "Identity=Steve" "Automatic update=0" "Always connected to the Internet=0" \
    "Language index=1" "Language=Suomi"; do
    check "Options.ini holds $line" setting "$line"
done
check "host1 lists host2" gui_wait_until 10 grep -q '^TRACE peer+ host2' "$OUT/host1.log"
peers_of_host2() {
    echo peers >&"$peer_in"
    sleep 0.2
    peer_lists Steve
}
check "host2 lists host1 by the identity typed in the wizard" gui_wait_until 10 peers_of_host2
check "the file handed over during the wizard is offered to host2" \
    gui_wait_until 20 grep -qE '^FILE-OFFER [0-9a-f]+ host1 1 [0-9]+ early.txt$' "$OUT/host2.log"
sleep 0.5
gui_shoot host1 "$SHOTS/main-first-start.png"

# --- Second start: no wizard, the same language --------------------------------------------
netns_stop "$HOST1_PID"
check "host1 left host2's list at its end" gui_wait_until 10 grep -q '^PEER- host1' "$OUT/host2.log"
start_host1
main=$(gui_wait_until 30 gui_find_window host1 "$FINNISH_TITLE") || true
check "the second start opens the main window in the same language" test -n "$main"
check "the second start shows no wizard" gone "$WIZARD"
sleep 0.5
gui_shoot host1 "$SHOTS/main-second-start.png"

# The file manager's "Send files with Kalvento" names no computer, and nobody is ticked: a
# window asks whom, and the keyboard alone answers it.
check "host1 lists host2 again" gui_wait_until 10 grep -q '^TRACE peer+ host2' "$OUT/host1.log"
echo "sent from the file manager" >"$OUT/chosen.txt"
netns_exec host1 env DISPLAY="${GUI_DISPLAY[host1]}" HOME="$OUT/host1/home" \
    XDG_CONFIG_HOME="$OUT/host1/home/.config" XDG_RUNTIME_DIR="$OUT/host1/run" \
    KALVENTO_CONFIG_DIR="$CONFIG" "$KV" --send "$OUT/chosen.txt" >"$OUT/chosen.out" 2>&1 &&
    send_rc=0 || send_rc=$?
check "--send for nobody in particular is taken (exit $send_rc)" \
    bash -c "test $send_rc -eq 0 && grep -q 'asks whom' '$OUT/chosen.out'"
whom=$(gui_wait_until 10 gui_find_window host1 "$FINNISH_SEND") || true
check "a window \"$FINNISH_SEND\" asks whom to send the file to" test -n "$whom"
if [[ -n $whom ]]; then
    gui_x host1 windowfocus --sync "$whom"
    sleep 0.3
    gui_shoot host1 "$SHOTS/send-to.png"
    gui_x host1 key space
    gui_x host1 key Return
    check "the window has gone" gui_wait_until 5 gone "$FINNISH_SEND"
    check "the computer ticked there is offered the file" gui_wait_until 20 \
        grep -qE '^FILE-OFFER [0-9a-f]+ host1 1 [0-9]+ chosen.txt$' "$OUT/host2.log"
fi
netns_stop "$HOST1_PID"
check "host1 reported no error" bash -c "! grep -q '^kalvento: ' '$OUT/host1.log'"

echo "# screenshots in $SHOTS; $SECONDS s"
if ((NETNS_FAILURES > 0)); then
    echo "$NETNS_FAILURES check(s) failed; host1 said:"
    cat "$OUT/host1.log"
    echo "host2 said:"
    cat "$OUT/host2.log"
    exit 1
fi

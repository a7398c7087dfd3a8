#!/usr/bin/env bash
# The daily update check as a user meets it: host1 runs the program with a real X display
# and tray, "Always connected to the Internet" on and "Last checked" yesterday; a web server
# on another host of the private LAN offers a newer version. Hidden to the tray, the program
# checks by itself within seconds and asks (M002); Yes shows the update window with the
# offered version; Download brings the file into the save directory with the progress bar
# moving; M033 (where the file is) follows; Options.ini then holds today's "Last checked".
# Screenshots stay in the given directory. Exit 77 when it cannot run here.
#
#   update_check_test.sh path/to/kalvento path/to/http_test_server.py [screenshot directory]
set -euo pipefail

KV=$(readlink -f "${1:?usage: $0 path/to/kalvento path/to/http_test_server.py [shots]}")
SERVER=$(readlink -f "${2:?usage: $0 path/to/kalvento path/to/http_test_server.py [shots]}")
SHOTS=${3:-$(dirname "$KV")/tests/gui/update-check}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR/../netns source=netns.sh
source "$HERE/../netns/netns.sh"
# shellcheck source-path=SCRIPTDIR source=gui_kit.sh
source "$HERE/gui_kit.sh"
netns_require
gui_require
command -v python3 >/dev/null || { echo "SKIP: python3 is missing" >&2; exit 77; }

TITLE="Kalvento 1.2 by Fennrake"
UPDATE="Check for updates"
TODAY=$(date +%Y-%m-%d)
YESTERDAY=$(date -d yesterday +%Y-%m-%d)
# 40 pieces of 100 kB, one every 100 ms: four seconds of download to watch.
DOWNLOAD_NAME=kalvento-99.0.0.bin
DOWNLOAD_SIZE=4000000

netns_setup host1:ALPHA web:ALPHA
OUT=$(mktemp -d)
mkdir -p "$SHOTS"
rm -f "$SHOTS"/*.png "$SHOTS"/*.log
netns_on_exit "cp '$OUT/host1.log' '$SHOTS/host1-trace.log'; cp '$OUT/web.log' '$SHOTS/web.log'"
netns_on_exit "rm -rf '$OUT'"
chmod 0755 "$OUT"

# --- The web server on its own host ---------------------------------------------------------
WEB=$(netns_addr web)
mkdir -p "$OUT/web-requests"
mkfifo "$OUT/web.in"
# shellcheck disable=SC2016 # expanded by the inner shell
netns_bg web "$OUT/web.log" sh -c 'exec python3 "$0" --bind "$1" --port 8080 --log "$2" < "$3"' \
    "$SERVER" "$WEB" "$OUT/web-requests" "$OUT/web.in"
exec {web_in}>"$OUT/web.in"
netns_wait_for "$OUT/web.log" '^PORT 8080' 10
cat >"$OUT/Kalvento.ini" <<EOF
[UpdateInfo]
Version=99.0.0
UpdateURL=http://$WEB:8080/drip/40/100000/100/$DOWNLOAD_NAME
ReadmeURL=http://$WEB:8080/readme.html
Details=The release that checks for itself
EOF
chmod 0644 "$OUT/Kalvento.ini"

# --- host1: the program, hidden to the tray -------------------------------------------------
CONFIG=$OUT/host1/config
DOWNLOADS=$OUT/host1/downloads
gui_prepare_home "$OUT/host1"
mkdir -p "$DOWNLOADS"
cat >"$CONFIG/Options.ini" <<EOF
[General]
Show splashscreen=0
Automatic update=1
Always connected to the Internet=1
Hide to tray=1
[Update]
Update address=http://$WEB:8080/file?path=$OUT/Kalvento.ini
Save update directory=$DOWNLOADS/
Last checked=$YESTERDAY
Error type 1 count=0
[Advanced]
Language index=0
EOF

gui_start_display host1
gui_start_program host1 "$OUT/host1.log" "$OUT/host1" "$KV"
HOST1_PID=$NETNS_LAST_PID

main=$(gui_wait_until 30 gui_find_window host1 "$TITLE") || true
check "the main window opens" test -n "$main"
if [[ -z $main ]]; then
    cat "$OUT/host1.log"
    exit 1
fi
sleep 2
check "no check runs while the window is shown" test ! -e "$OUT/web-requests/request-1.bin"
gui_shoot host1 "$SHOTS/1-main-window.png"

# Esc hides to the tray ("Hide to tray" is on).
gui_x host1 windowfocus --sync "$main"
gui_x host1 key Escape
gui_wait_until 10 gui_no_window host1 "$TITLE" || true

asked() { grep -q '^TRACE question A newer version of Kalvento detected!' "$OUT/host1.log"; }
check "hidden, it checks by itself and offers the newer version (M002)" gui_wait_until 20 asked
check "the check asked the web server for the description" \
    grep -q "^GET /file?path=" "$OUT/web-requests/request-1.bin"
check "\"Last checked\" is today's date" grep -qxF "Last checked=$TODAY" "$CONFIG/Options.ini"
question=$(gui_wait_until 10 gui_find_window host1 "$TITLE") || true
check "the question is on the screen" test -n "$question"
gui_shoot host1 "$SHOTS/2-question.png"
[[ -n $question ]] && gui_x host1 windowfocus --sync "$question" && gui_x host1 key Return

window=$(gui_wait_until 10 gui_find_window host1 "$UPDATE") || true
check "Yes shows the update window" test -n "$window"
if [[ -z $window ]]; then
    cat "$OUT/host1.log"
    exit 1
fi
check "it shows what the check found" grep -q '^TRACE update-status A newer program version is available!' "$OUT/host1.log"
sleep 0.5
gui_shoot host1 "$SHOTS/3-update-window.png"

# The download button is the first of the row of four at the bottom of the window (57 by 54
# each, centred, 8 pixels above the bottom edge); the window is as large as its texts make it.
read -r width height < <(gui_x host1 getwindowgeometry --shell "$window" |
    awk -F= '$1 == "WIDTH" { w = $2 } $1 == "HEIGHT" { h = $2 } END { print w, h }')
gui_x host1 mousemove --window "$window" $(((width - 4 * 57) / 2 + 28)) $((height - 8 - 27)) click 1
downloading() { grep -q '^TRACE update-status Downloading .* of 4,000,000!' "$OUT/host1.log"; }
check "the download shows its progress" gui_wait_until 10 downloading
sleep 1.5
gui_shoot host1 "$SHOTS/4-downloading.png"
finished() { grep -q '^TRACE update-status Succesfully downloaded the program update!' "$OUT/host1.log"; }
check "the download finishes" gui_wait_until 20 finished
progress=$(grep -c '^TRACE update-status Downloading ' "$OUT/host1.log" || true)
check "the progress moved in many steps ($progress)" test "$progress" -gt 10
check "the last progress text counts every byte" \
    grep -q '^TRACE update-status Downloading 4,000,000 of 4,000,000!' "$OUT/host1.log"

# M033 is a message box over the update window, with the same title: the newer window.
two_windows() { [[ $(gui_x host1 search --onlyvisible --name "^$UPDATE\$" 2>/dev/null | wc -l) -ge 2 ]]; }
check "the install note (M033) follows" gui_wait_until 10 two_windows
sleep 0.5
gui_shoot host1 "$SHOTS/5-install-note.png"
note=$(gui_x host1 search --onlyvisible --name "^$UPDATE\$" 2>/dev/null | tail -1) || true
[[ -n $note ]] && gui_x host1 windowfocus --sync "$note" && gui_x host1 key Return
sleep 0.5
gui_shoot host1 "$SHOTS/6-downloaded.png"
window=$(gui_find_window host1 "$UPDATE") || true
[[ -n $window ]] && gui_x host1 windowfocus --sync "$window" && gui_x host1 key Escape
check "the update window closes" gui_wait_until 10 gui_no_window host1 "$UPDATE"

size() { [[ $(stat -c %s "$DOWNLOADS/$DOWNLOAD_NAME" 2>/dev/null) == "$DOWNLOAD_SIZE" ]]; }
check "the file is in the save directory, whole" size
check "nothing else is left there" test "$(ls -A "$DOWNLOADS")" = "$DOWNLOAD_NAME"
check "the counter of failed checks stays 0" grep -qxF "Error type 1 count=0" "$CONFIG/Options.ini"
netns_stop "$HOST1_PID"
check "host1 reported no error" bash -c "! grep -q '^kalvento: ' '$OUT/host1.log'"

echo "# screenshots in $SHOTS; $SECONDS s"
if ((NETNS_FAILURES > 0)); then
    echo "$NETNS_FAILURES check(s) failed; host1 said:"
    cat "$OUT/host1.log"
    echo "the web server said:"
    cat "$OUT/web.log"
    exit 1
fi

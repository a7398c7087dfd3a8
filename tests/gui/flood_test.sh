#!/usr/bin/env bash
# The program under attack, with a real window and tray on host1, a headless peer on host2
# and a flooder on host3, all in ALPHA on a private bridge:
#  1. 100,000 well-formed chat lines and 100,000 malformed datagrams at once, while the
#     user types: the typed line shows in the user's own view and reaches the peer, the
#     peer's line shows, the window keeps answering, memory stays bounded;
#  2. 10,000 forged greetings in 5 s: what host1 sends stays within its budget of answers,
#     the list does not fill, and the conversation with the peer goes on.
# Exit 77 when it cannot run here.
#
#   flood_test.sh path/to/kalvento path/to/kalvento-peer path/to/dgram_tool [output dir]
set -euo pipefail

usage="usage: $0 path/to/kalvento path/to/kalvento-peer path/to/dgram_tool [output dir]"
KV=$(readlink -f "${1:?$usage}")
PEER=$(readlink -f "${2:?$usage}")
TOOL=$(readlink -f "${3:?$usage}")
SHOTS=${4:-$(dirname "$KV")/tests/gui/flood}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR/../netns source=netns.sh
source "$HERE/../netns/netns.sh"
# shellcheck source-path=SCRIPTDIR source=gui_kit.sh
source "$HERE/gui_kit.sh"
netns_require
# What host1 sends is counted: no sign of life of its own may fall into a count (one a
# minute to each computer with a key otherwise).
export KALVENTO_PRESENCE_MS=3600000
gui_require

TITLE="Kalvento 1.2 by Fennrake"
netns_setup host1:ALPHA host2:ALPHA host3:ALPHA
OUT=$(mktemp -d)
mkdir -p "$SHOTS"
rm -f "$SHOTS"/*.png "$SHOTS"/*.log
netns_on_exit "cp '$OUT/host1.log' '$SHOTS/host1-full.log'; grep -v ': flood [0-9]*$' '$OUT/host1.log' >'$SHOTS/host1-trace.log'; cp '$OUT/host2.log' '$SHOTS/host2-peer.log'"
netns_on_exit "rm -rf '$OUT'"
gui_prepare_home "$OUT/host1"
printf '[General]\nShow splashscreen=0\nAutomatic update=0\nHide to tray=0\n[Advanced]\nLanguage index=0\n' \
    >"$OUT/host1/config/Options.ini"
HOST1=$(netns_addr host1)

gui_start_display host1
mkfifo "$OUT/host2.in"
# shellcheck disable=SC2016 # expanded by the inner shell
netns_bg host2 "$OUT/host2.log" sh -c 'exec "$0" --greet --identity Bob < "$1"' "$PEER" "$OUT/host2.in"
exec {peer_in}>"$OUT/host2.in"
netns_wait_for "$OUT/host2.log" '^READY' 10
gui_start_program host1 "$OUT/host1.log" "$OUT/host1" "$KV"
KV_PID=$NETNS_LAST_PID
main=$(gui_wait_until 15 gui_find_window host1 "$TITLE") || true
check "the window opens" test -n "$main"
check "host1 lists the peer" gui_wait_until 15 grep -q '^TRACE peer+ host2 ' "$OUT/host1.log"
check "the peer lists host1" gui_wait_until 10 grep -q '^PEER+ host1$' "$OUT/host2.log"
[[ -n $main ]] || exit 1

rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$KV_PID/status"; }
# What host1 has sent over UDP so far (its namespace's counter).
udp_out() { ip netns exec "$(netns_ns host1)" awk '/^Udp:/ && $2 ~ /^[0-9]+$/ { print $5 }' /proc/net/snmp; }
shown() { grep -qxF "TRACE line $1" "$OUT/host1.log"; }
peer_got() { grep -qxF "LINE $1" "$OUT/host2.log"; }
# type text: into host1's message box, ended by Return; the time it took, in ms.
type_line() {
    local began=${EPOCHREALTIME/./}
    gui_x host1 windowfocus --sync "$main"
    gui_x host1 type --delay 20 "$1"
    gui_x host1 key Return
    echo $(((${EPOCHREALTIME/./} - began) / 1000))
}
# ms from now until host1's view shows the line (or the deadline passes).
ms_until_shown() {
    local began=${EPOCHREALTIME/./}
    gui_wait_until "$2" shown "$1" || return 1
    echo $(((${EPOCHREALTIME/./} - began) / 1000))
}

# --- 1. A flood of lines and of garbage while the user types ---------------------------------
rss_before=$(rss_kb)
netns_bg host3 "$OUT/flood-lines.log" "$TOOL" flood lines "$HOST1:5737" 100000
lines_pid=$NETNS_LAST_PID
netns_bg host3 "$OUT/flood-garbage.log" "$TOOL" flood malformed "$HOST1:5737" 100000
garbage_pid=$NETNS_LAST_PID
# The sampling of memory runs beside it.
(
    peak=0
    while kill -0 "$lines_pid" 2>/dev/null || kill -0 "$garbage_pid" 2>/dev/null; do
        r=$(rss_kb) && ((r > peak)) && peak=$r
        sleep 0.2
    done
    echo "$peak" >"$OUT/rss-peak"
) &
sampler=$!

sleep 0.5
typing_ms=$(type_line "typed during the flood")
gui_shoot host1 "$SHOTS/1-during-the-flood.png"
echo "say from the peer during the flood" >&"$peer_in"
wait "$lines_pid" "$garbage_pid" || true
wait "$sampler" || true
echo "# $(cat "$OUT/flood-lines.log"), $(cat "$OUT/flood-garbage.log")"
own_ms=$(ms_until_shown "public host1: typed during the flood" 30) || own_ms=
check "the typed line shows in the user's own view" test -n "$own_ms"
check "the typed line reaches the peer" \
    gui_wait_until 10 peer_got "public other host1: typed during the flood"
# A line from elsewhere may be lost among the flood (the queue keeps the first 4,096 that
# wait); the next one after it must show.
if gui_wait_until 5 shown "public Bob: from the peer during the flood"; then
    echo "# the peer's line sent during the flood showed"
else
    echo "# the peer's line sent during the flood was lost among the flood"
fi
echo "say from the peer after the flood" >&"$peer_in"
check "the peer's line after the flood shows" gui_wait_until 10 shown "public Bob: from the peer after the flood"
flood_shown=$(grep -c '^TRACE line public [^ ]*: flood ' "$OUT/host1.log" || true)
check "no malformed datagram became a line" \
    test "$(grep -c '^TRACE line .*broken' "$OUT/host1.log" || true)" -eq 0
check "the copy is still running" kill -0 "$KV_PID"

# Responsive once the flood has passed: a line typed now shows at once.
sleep 1
type_line "typed after the flood" >/dev/null
after_ms=$(ms_until_shown "public host1: typed after the flood" 10) || after_ms=
check "a line typed after the flood shows within 2 s" test -n "$after_ms" -a "${after_ms:-99999}" -lt 2000
rss_peak=$(cat "$OUT/rss-peak")
rss_after=$(rss_kb)
echo "# typing took $typing_ms ms during the flood, the line showed ${own_ms:-?} ms after;" \
    "after the flood a line showed in ${after_ms:-?} ms"
echo "# $flood_shown flood lines shown; resident memory $((rss_before / 1024)) MB before," \
    "$((rss_peak / 1024)) MB at the peak, $((rss_after / 1024)) MB after"
# Bounded: the receive queue holds at most 32 MB, and the lines shown are history.
check "memory stays bounded (peak under 200 MB more than before)" \
    test $((rss_peak - rss_before)) -lt $((200 * 1024))
gui_shoot host1 "$SHOTS/2-after-the-flood.png"

# --- 2. Forged greetings ----------------------------------------------------------------------
sent_before=$(udp_out)
began=${EPOCHREALTIME/./}
netns_exec host3 "$TOOL" flood greetings "$HOST1:5737" 10000 --rate 2000 >"$OUT/flood-greetings.log"
sleep 1 # what waits is read
elapsed_s=$(((${EPOCHREALTIME/./} - began + 999999) / 1000000))
sent=$(($(udp_out) - sent_before))
listed=$(grep -c '^TRACE peer+ FAKE' "$OUT/host1.log" || true)
# The budget of one sender address: 50 at once, then 10 a second; one answer each.
budget=$((50 + 10 * elapsed_s))
echo "# $(cat "$OUT/flood-greetings.log"): host1 sent $sent datagrams in ${elapsed_s} s," \
    "listed $listed forged computers (budget $budget)"
check "what host1 sent stays within its budget" test "$sent" -le "$budget"
check "the forged computers listed stay within it" test "$listed" -le "$budget"

echo "say after the forgeries" >&"$peer_in"
check "the peer's next line shows" gui_wait_until 10 shown "public Bob: after the forgeries"
sent_before=$(udp_out)
type_line "typed after the forgeries" >/dev/null
check "the user's line reaches the peer" \
    gui_wait_until 10 peer_got "public other host1: typed after the forgeries"
sent=$(($(udp_out) - sent_before))
echo "# the typed line went out $sent times (at most one per listed computer)"
check "the typed line goes out once per listed computer" test "$sent" -le $((listed + 2))
gui_shoot host1 "$SHOTS/3-after-the-forgeries.png"

echo "# $SECONDS s"
exit $((NETNS_FAILURES > 0))

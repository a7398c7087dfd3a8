#!/usr/bin/env bash
# Forged greetings against the copy under test (the headless peer on host1), beside a real
# peer on host2, all in ALPHA on a private bridge. A forger on host3 sends 10,000 greetings
# in 5 s for 4,000 computers of its own (as many as the list and the table of addresses
# keep; more would push each other out), from 200 addresses that it does not hold
# (198.51.100.50 to .249: nobody answers there), through a raw socket. Then what one
# typed line and the goodbye make host1 send stays within the budget of docs/protocol.md:
# one datagram to each computer whose address confirmed it (here host2) and at most 32 to
# the others, whatever the list holds; the real peer gets every line. Exit 77 when it
# cannot run here.
#
#   forged_greetings_test.sh path/to/kalvento-peer path/to/dgram_tool
set -euo pipefail

usage="usage: $0 path/to/kalvento-peer path/to/dgram_tool"
PEER=$(readlink -f "${1:?$usage}")
TOOL=$(readlink -f "${2:?$usage}")
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=netns.sh
source "$HERE/netns.sh"
netns_require
# What host1 sends is counted: no sign of life of its own may fall into a count (one a
# minute to each computer with a key otherwise).
export KALVENTO_PRESENCE_MS=3600000

UNCONFIRMED_RECIPIENTS=32
netns_setup host1:ALPHA host2:ALPHA host3:ALPHA
OUT=$(mktemp -d)
netns_on_exit "rm -rf '$OUT'"
HOST1=$(netns_addr host1)

declare -A input
for host in host1 host2; do
    mkfifo "$OUT/$host.in"
    netns_bg "$host" "$OUT/$host.log" sh -c 'exec "$0" < "$1"' "$PEER" "$OUT/$host.in"
    exec {fd}>"$OUT/$host.in"
    input[$host]=$fd
done
say() { echo "${*:2}" >&"${input[$1]}"; }
# What host1 has sent over UDP so far (its namespace's counter).
udp_out() { ip netns exec "$(netns_ns host1)" awk '/^Udp:/ && $2 ~ /^[0-9]+$/ { print $5 }' /proc/net/snmp; }
# host1's list: "<listed> <confirmed> <heard> <unknown> <waiting>", asked anew.
counts() {
    local before
    before=$(grep -c '^COUNT ' "$OUT/host1.log" || true)
    say host1 count
    for _ in $(seq 100); do
        (($(grep -c '^COUNT ' "$OUT/host1.log" || true) > before)) && break
        sleep 0.02
    done
    grep '^COUNT ' "$OUT/host1.log" | tail -n 1 | cut -d' ' -f2-
}
now_s() { echo $((${EPOCHREALTIME/./} / 1000000)); }

for host in host1 host2; do
    netns_wait_for "$OUT/$host.log" '^READY'
    say "$host" greet
    netns_wait_for "$OUT/$host.log" '^GROUPS '
done
netns_wait_for "$OUT/host1.log" '^PEER+ host2$' 5
netns_wait_for "$OUT/host2.log" '^PEER+ host1$' 5
for _ in $(seq 100); do
    [[ $(counts) == "2 2 0 0 0" ]] && break
    sleep 0.05
done
check "host1 lists host2, its address confirmed" test "$(counts)" = "2 2 0 0 0"

# --- The flood ---------------------------------------------------------------------------
sent_before=$(udp_out)
began=$(now_s)
netns_exec host3 "$TOOL" flood greetings "$HOST1:5737" 10000 --rate 2000 \
    --sources 198.51.100.50:200 --names 4000 >"$OUT/flood.log"
# The copy keeps answering: its answers to addresses where nobody receives never hold it up.
asked=${EPOCHREALTIME/./}
counts >/dev/null
answer_ms=$(((${EPOCHREALTIME/./} - asked) / 1000))
echo "# host1 answered a command $answer_ms ms after it was typed, just after the flood"
check "host1 answers at once after the flood" test "$answer_ms" -lt 1000
# Until the greetings that wait for the budget are answered and no question is left:
# nothing waits, and host1 has sent nothing for two seconds.
last=-1
for _ in $(seq 60); do
    read -r listed confirmed heard unknown waiting <<<"$(counts)"
    sent_now=$(udp_out)
    ((waiting == 0 && sent_now == last)) && break
    last=$sent_now
    sleep 2
done
elapsed=$(($(now_s) - began + 1))
sent=$((sent_now - sent_before))
# Each greeting let in is answered once (2,000 at once, then 500 a second), and each forged
# address is asked to confirm at most once in 2 s.
budget=$((2000 + 500 * elapsed + 200 * (elapsed / 2 + 1)))
echo "# $(cat "$OUT/flood.log"): host1 listed $listed ($confirmed confirmed, $heard heard," \
    "$unknown unknown), sent $sent datagrams in $elapsed s (budget $budget)"
check "nothing waits any more" test "$waiting" -eq 0
check "what host1 sent stays within its budget" test "$sent" -le "$budget"
check "no forged computer is confirmed" test "$confirmed" -eq 2
check "the list stays within its bound" test "$listed" -le 4096

# --- One typed line ----------------------------------------------------------------------
sent_before=$(udp_out)
say host1 say after the forgeries
netns_wait_for "$OUT/host2.log" 'after the forgeries$' 5 || true
sleep 1
line_sent=$(($(udp_out) - sent_before))
line_budget=$((confirmed - 1 + UNCONFIRMED_RECIPIENTS))
withheld=$(grep '^WITHHELD ' "$OUT/host1.log" | tail -n 1 | cut -d' ' -f2)
echo "# the typed line went out $line_sent times, $withheld listed computers left out" \
    "(budget: $((confirmed - 1)) confirmed + $UNCONFIRMED_RECIPIENTS others)"
check "the real peer gets the line once" \
    test "$(grep -c '^LINE public other host1: after the forgeries$' "$OUT/host2.log")" -eq 1
check "host1 shows its own line" grep -qx "LINE public own host1: after the forgeries" "$OUT/host1.log"
check "the typed line stays within the budget" test "$line_sent" -le "$line_budget"
check "the rest of the list is left out, and said so" \
    test "${withheld:-0}" -eq $((listed - 1 - line_budget))

say host2 say still talking
netns_wait_for "$OUT/host1.log" 'still talking$' 5 || true
check "the real peer's line shows on host1" grep -qx "LINE public other host2: still talking" "$OUT/host1.log"

# --- The goodbye -------------------------------------------------------------------------
sent_before=$(udp_out)
say host1 bye
netns_wait_for "$OUT/host2.log" '^PEER- host1$' 5 || true
sleep 0.5
bye_sent=$(($(udp_out) - sent_before))
echo "# the goodbye went out $bye_sent times"
check "the real peer drops host1 after its goodbye" grep -qx "PEER- host1" "$OUT/host2.log"
check "the goodbye stays within the budget" test "$bye_sent" -le "$line_budget"
check "no copy reported an error" bash -c "! grep -h '^ERROR' '$OUT'/host*.log"

say host2 quit
for host in host1 host2; do
    eval "exec ${input[$host]}>&-"
done
sleep 0.3

echo "# $SECONDS s"
if ((NETNS_FAILURES > 0)); then
    echo "$NETNS_FAILURES check(s) failed; logs:"
    grep -hv '^PEER+ FAKE' "$OUT"/host*.log
    exit 1
fi
echo "all checks passed"

#!/usr/bin/env bash
# A newcomer among many running copies (root only; exit 77 otherwise): the headless peer
# starts on host1 and greets, and every other copy of a LAN of n answers it at once from
# an address of its own, as copies do when a computer joins a big LAN. n = 4,096 fills the
# list: the newcomer and 4,095 others. It must list every one, confirm every
# address, and reach every one with a line and with its goodbye. Reports the time of each
# step and the newcomer's memory.
#
# The copies are one process, dgram_tool copies, on host2: their addresses are the
# benchmarking range 198.18.0.0/19 as a prefix on host2's loopback (all of it local there),
# which host1 reaches through host2's address on the private bridge. Nothing of it exists
# outside the namespaces.
#
#   newcomer_bench.sh path/to/kalvento-peer path/to/dgram_tool [n...]   (default 1000 4096)
set -euo pipefail

usage="usage: $0 path/to/kalvento-peer path/to/dgram_tool [copies...]"
PEER=$(readlink -f "${1:?$usage}")
TOOL=$(readlink -f "${2:?$usage}")
shift 2
COUNTS=("$@")
((${#COUNTS[@]} > 0)) || COUNTS=(1000 4096)
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../tests/netns/netns.sh
source "$HERE/../tests/netns/netns.sh"
netns_require

netns_setup host1:ALPHA host2:ALPHA
OUT=$(mktemp -d)
netns_on_exit "rm -rf '$OUT'"
FIRST=198.18.0.1
ip -n "$(netns_ns host2)" addr add 198.18.0.1/19 dev lo
ip -n "$(netns_ns host1)" route add 198.18.0.0/19 via "$(netns_addr host2)"

now_ms() { echo $((${EPOCHREALTIME/./} / 1000)); }
kb_of() { awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"; }
# until_ms deadline_s command...: polls every 10 ms; the ms it took, or fails.
until_ms() {
    local began tries=$(($1 * 100))
    shift
    began=$(now_ms)
    while ((tries-- > 0)); do
        if "$@"; then
            echo $(($(now_ms) - began))
            return 0
        fi
        sleep 0.01
    done
    return 1
}
listed() { (($(grep -c '^PEER+ SIM' "$OUT/peer.log") >= $1)); }
# The newcomer's count of confirmed addresses reaches n (asked anew each time).
confirmed() {
    echo count >&"$peer_in"
    sleep 0.02
    local last
    last=$(grep '^COUNT ' "$OUT/peer.log" | tail -n 1)
    [[ -n $last ]] && (($(echo "$last" | cut -d' ' -f3) >= $1 + 1))
}
tool_said() { grep -q -- "$1" "$OUT/copies.log"; }
# Datagrams a host's sockets dropped for a full receive buffer, so far.
rcvbuf_errors() { ip netns exec "$(netns_ns "$1")" awk '/^Udp:/ && $2 ~ /^[0-9]+$/ { print $6 }' /proc/net/snmp; }

for lan in "${COUNTS[@]}"; do
    n=$((lan - 1)) # the others
    netns_bg host2 "$OUT/copies.log" "$TOOL" copies "$n" "$FIRST" --timeout-ms 300000
    tool_pid=$NETNS_LAST_PID
    netns_wait_for "$OUT/copies.log" '^READY' 10
    rm -f "$OUT/peer.in"
    mkfifo "$OUT/peer.in"
    netns_bg host1 "$OUT/peer.log" sh -c 'exec "$0" < "$1"' "$PEER" "$OUT/peer.in"
    peer_pid=$NETNS_LAST_PID
    exec {peer_in}>"$OUT/peer.in"
    netns_wait_for "$OUT/peer.log" '^READY' 10
    rss_before=$(kb_of "$peer_pid" VmRSS)

    echo greet >&"$peer_in"
    walk_ms=$(until_ms 10 grep -q '^GROUPS' "$OUT/peer.log") || walk_ms=
    began=$(now_ms) # the greeting is out
    list_ms=$(until_ms 60 listed "$n") || list_ms=
    check "LAN of $lan: the newcomer lists every one" test -n "$list_ms"
    confirm_ms=$(until_ms 15 confirmed "$n") || confirm_ms=
    check "LAN of $lan: every address is confirmed" test -n "$confirm_ms"
    total_ms=$(($(now_ms) - began))
    rss_listed=$(kb_of "$peer_pid" VmRSS)

    echo "say hello to $lan" >&"$peer_in"
    line_ms=$(until_ms 30 tool_said "^ALL [0-9]* hello to $lan\$") || line_ms=
    check "LAN of $lan: the line reaches every one" test -n "$line_ms"
    check "LAN of $lan: nobody listed is left out of the line" \
        bash -c "! grep -q '^WITHHELD' '$OUT/peer.log'"
    rss_peak=$(kb_of "$peer_pid" VmHWM)
    echo bye >&"$peer_in"
    bye_ms=$(until_ms 30 tool_said "^ALL [0-9]* goodbye host1\$") || bye_ms=
    check "LAN of $lan: the goodbye reaches every one" test -n "$bye_ms"
    exec {peer_in}>&-
    netns_stop "$peer_pid"
    netns_stop "$tool_pid"
    echo "# datagrams dropped for full receive buffers: newcomer $(rcvbuf_errors host1), copies $(rcvbuf_errors host2)"
    answered=$(grep -m1 '^ANSWERED host1 ' "$OUT/copies.log" | cut -d' ' -f3-) || answered=
    echo "# LAN of $lan (answered: ${answered:-none} copies ms): after the walk (${walk_ms:-?} ms)," \
        "listed all in ${list_ms:-?} ms," \
        "all confirmed $((total_ms - ${list_ms:-0})) ms later (${total_ms} ms from the greeting);" \
        "a line reached all in ${line_ms:-?} ms, the goodbye in ${bye_ms:-?} ms;" \
        "newcomer's memory $((rss_before / 1024)) MB before, +$(((rss_listed - rss_before) / 1024)) MB" \
        "with the list, peak $((rss_peak / 1024)) MB"
    if ((NETNS_FAILURES > 0)); then
        grep -v '^PEER+' "$OUT/peer.log" | tail -n 20
        tail -n 20 "$OUT/copies.log"
        break
    fi
done
exit $((NETNS_FAILURES > 0))

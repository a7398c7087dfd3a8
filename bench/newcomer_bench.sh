#!/usr/bin/env bash
# A copy among many running copies (root only; exit 77 otherwise), the headless peer on
# host1 in a LAN of n copies (n = 4,096 fills the list: host1 and 4,095 others):
#
#  newcomer:  host1 starts and greets, and every other copy answers it at once from an
#             address of its own, as copies do when a computer joins a big LAN;
#  power cut: every other copy greets host1 at once, as copies that start together do.
#
# Either way host1 must list every one (and in the power cut answer every one), confirm
# every address, and reach every one with a line and with its goodbye. Reports the time of
# each step and host1's memory.
#
# The other copies are one process, dgram_tool copies, on host2: their addresses are the
# benchmarking range 198.18.0.0/19 as a prefix on host2's loopback (all of it local there),
# which host1 reaches through host2's address on the private bridge. Nothing of it exists
# outside the namespaces.
#
#   newcomer_bench.sh path/to/kalvento-peer path/to/dgram_tool [n...]   (default 1000 4096)
set -euo pipefail

usage="usage: $0 path/to/kalvento-peer path/to/dgram_tool [n...]"
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
# host1's count of confirmed entries reaches n, asked anew.
confirmed() {
    echo count >&"$peer_in"
    sleep 0.02
    local last
    last=$(grep '^COUNT ' "$OUT/peer.log" | tail -n 1)
    [[ -n $last ]] && (($(echo "$last" | cut -d' ' -f3) >= $1))
}
tool_said() { grep -q -- "$1" "$OUT/copies.log"; }
# Datagrams a host's sockets dropped for a full receive buffer, so far.
rcvbuf_errors() { ip netns exec "$(netns_ns "$1")" awk '/^Udp:/ && $2 ~ /^[0-9]+$/ { print $6 }' /proc/net/snmp; }

# run kind lan: one measurement; kind is newcomer or powercut.
run() {
    local kind=$1 lan=$2 n=$(($2 - 1)) greet=() list_ms answer_ms='' confirm_ms line_ms bye_ms
    local began total_ms rss_before rss_listed rss_peak peer_pid tool_pid
    rm -f "$OUT/peer.in" "$OUT/peer.log" "$OUT/copies.log"
    mkfifo "$OUT/peer.in"
    netns_bg host1 "$OUT/peer.log" sh -c 'exec "$0" < "$1"' "$PEER" "$OUT/peer.in"
    peer_pid=$NETNS_LAST_PID
    exec {peer_in}>"$OUT/peer.in"
    netns_wait_for "$OUT/peer.log" '^READY' 10
    rss_before=$(kb_of "$peer_pid" VmRSS)
    [[ $kind == powercut ]] && greet=(--greet "$(netns_addr host1):5737")
    netns_bg host2 "$OUT/copies.log" "$TOOL" copies "$n" "$FIRST" --timeout-ms 300000 "${greet[@]}"
    tool_pid=$NETNS_LAST_PID
    netns_wait_for "$OUT/copies.log" '^READY' 10
    if [[ $kind == newcomer ]]; then
        echo greet >&"$peer_in"
        netns_wait_for "$OUT/peer.log" '^GROUPS' 10 # the walk has ended, the greeting is out
    else
        netns_wait_for "$OUT/copies.log" '^GREETED' 10
    fi
    began=$(now_ms)
    list_ms=$(until_ms 60 listed "$n") || list_ms=
    check "$kind, LAN of $lan: host1 lists every one" test -n "$list_ms"
    if [[ $kind == powercut ]]; then
        answer_ms=$(until_ms 60 tool_said "^ALL [0-9]* answer host1\$") || answer_ms=
        check "$kind, LAN of $lan: host1 answers every one" test -n "$answer_ms"
    fi
    local entries=$n
    [[ $kind == newcomer ]] && entries=$lan # its own entry too: its greeting came back
    confirm_ms=$(until_ms 30 confirmed "$entries") || confirm_ms=
    check "$kind, LAN of $lan: every address is confirmed" test -n "$confirm_ms"
    total_ms=$(($(now_ms) - began))
    rss_listed=$(kb_of "$peer_pid" VmRSS)

    echo "say hello to $lan" >&"$peer_in"
    line_ms=$(until_ms 30 tool_said "^ALL [0-9]* hello to $lan\$") || line_ms=
    check "$kind, LAN of $lan: the line reaches every one" test -n "$line_ms"
    check "$kind, LAN of $lan: nobody listed is left out of the line" \
        bash -c "! grep -q '^WITHHELD' '$OUT/peer.log'"
    rss_peak=$(kb_of "$peer_pid" VmHWM)
    echo bye >&"$peer_in"
    bye_ms=$(until_ms 30 tool_said "^ALL [0-9]* goodbye host1\$") || bye_ms=
    check "$kind, LAN of $lan: the goodbye reaches every one" test -n "$bye_ms"
    exec {peer_in}>&-
    netns_stop "$peer_pid"
    netns_stop "$tool_pid"
    echo "# $kind, LAN of $lan: $(grep -m1 '^ANSWERED host1\|^GREETED' "$OUT/copies.log" || true)" \
        "(copies, ms); host1 listed all in ${list_ms:-?} ms${answer_ms:+, answered all in $answer_ms ms}," \
        "all confirmed ${total_ms} ms after the first greeting or answer;" \
        "a line reached all in ${line_ms:-?} ms, the goodbye in ${bye_ms:-?} ms;" \
        "resident memory $((rss_before / 1024)) MB before, +$((rss_listed - rss_before)) kB" \
        "with the list, peak $((rss_peak / 1024)) MB;" \
        "datagrams dropped for full receive buffers so far: host1 $(rcvbuf_errors host1), copies $(rcvbuf_errors host2)"
    if ((NETNS_FAILURES > 0)); then
        grep -v '^PEER+' "$OUT/peer.log" | tail -n 20
        tail -n 20 "$OUT/copies.log"
        return 1
    fi
}

for lan in "${COUNTS[@]}"; do
    run newcomer "$lan" || break
    run powercut "$lan" || break
done
exit $((NETNS_FAILURES > 0))

#!/usr/bin/env bash
# Receipts, the outbox and catch-up between whole programs, in ALPHA on a private bridge.
# host1, host2, host3 and host5 are headless peers with keys, host4 one without. Checks:
#   - a private line to host2, host3 and host4: host2 and host3 say delivered, host4 gives
#     no receipt; host2 reads it: read;
#   - host3's namespace drops every datagram (an nft rule): a private line to it is sent
#     again and then failed; with the rule gone, "again" delivers it;
#   - host3 killed: a private line to it waits in host1's outbox; host1 restarts; host3
#     starts: the line arrives once and host1 sees it delivered;
#   - host3 stopped, twenty lines said by host1 and host2, host3 started: the twenty appear
#     there in order, each once, caught up; host5, a relay that alters a line, is refused.
# Exit 77 when it cannot run here.
#
#   delivery_test.sh path/to/kalvento-peer
set -euo pipefail

usage="usage: $0 path/to/kalvento-peer"
PEER=$(readlink -f "${1:?$usage}")
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=netns.sh
source "$HERE/netns.sh"
netns_require
netns_require_tools nft

# Long enough that nobody is taken for absent while datagrams are dropped; the outbox
# phase starts its copies with a short one.
INTERVAL_MS=60000
netns_setup host1:ALPHA host2:ALPHA host3:ALPHA host4:ALPHA host5:ALPHA
OUT=$(mktemp -d)
netns_on_exit "rm -rf '$OUT'"

declare -A input pid
# start host args...: the peer on host, its commands from a fifo, its output in host.log
# (appended, so that a restart keeps what came before).
start() {
    local host=$1
    shift
    rm -f "$OUT/$host.in"
    mkfifo "$OUT/$host.in"
    netns_bg "$host" "$OUT/$host.log.part" env KALVENTO_PRESENCE_MS=$INTERVAL_MS \
        sh -c 'f=$1; shift; exec "$0" "$@" < "$f"' "$PEER" "$OUT/$host.in" "$@"
    pid[$host]=$NETNS_LAST_PID
    exec {fd}>"$OUT/$host.in"
    input[$host]=$fd
    netns_wait_for "$OUT/$host.log.part" '^KEY ' 5
}
say() { echo "${*:2}" >&"${input[$1]}"; }
# ends host's run: "quit" asks it to end, "bye" to say goodbye and end, "kill" kills it
# with SIGKILL
finish() {
    if [[ $2 == bye ]]; then
        say "$1" bye
        wait "${pid[$1]}" 2>/dev/null || true
    elif [[ $2 == kill ]]; then
        kill -KILL "${pid[$1]}"
        wait "${pid[$1]}" 2>/dev/null || true
    else
        say "$1" quit
        wait "${pid[$1]}" 2>/dev/null || true
    fi
    eval "exec ${input[$1]}>&-"
    cat "$OUT/$1.log.part" >>"$OUT/$1.log"
    rm -f "$OUT/$1.log.part"
}
log() { cat "$OUT/$1.log" "$OUT/$1.log.part" 2>/dev/null || true; }
# has: in host's current run; count: in all its runs
has() { grep -qx -- "$2" "$OUT/$1.log.part" 2>/dev/null; }
count() { log "$1" | grep -cx -- "$2" || true; }
# wait_for host line [seconds]
wait_for() {
    local tries=$((${3:-5} * 20))
    while ((tries-- > 0)); do
        has "$1" "$2" && return 0
        sleep 0.05
    done
    return 1
}
# the id of the newest line host sent
last_id() { grep '^TRACE line-id ' "$OUT/$1.log.part" | tail -1 | cut -d' ' -f3; }
greet_all() {
    for host in "$@"; do
        say "$host" greet
        wait_for "$host" "GROUPS ALPHA" || true
    done
}

for host in host1 host2 host3; do
    start "$host" --key "$OUT/$host.key"
done
start host4 --plain
greet_all host1 host2 host3 host4
for host in host2 host3; do
    wait_for host1 "TRACE presence $host available" 5 || true
done
wait_for host1 "PEER+ host4" 5 || true

# --- receipts --------------------------------------------------------------------------------
say host1 private host2,host3,host4 lunch at noon?
wait_for host1 "NORECEIPT host4" || true
id=$(last_id host1)
for host in host2 host3; do
    wait_for host1 "TRACE receipt $host delivered $id" 5 || true
    check "$host says it took the line" has host1 "TRACE receipt $host delivered $id"
    check "$host shows it once" test "$(count "$host" "LINE private other host1: lunch at noon?")" -eq 1
done
check "the older copy gives no receipt, and shows the line" \
    bash -c "grep -qx 'NORECEIPT host4' '$OUT/host1.log.part' && grep -qx 'LINE private other host1: lunch at noon?' '$OUT/host4.log.part'"
say host2 read
wait_for host1 "TRACE receipt host2 read $id" 5 || true
check "host2's window showed it: read" has host1 "TRACE receipt host2 read $id"
check "host3 has not read it" bash -c "! grep -q 'TRACE receipt host3 read' '$OUT/host1.log.part'"

# --- a recipient that drops everything -------------------------------------------------------
ns3=$(netns_ns host3)
ip netns exec "$ns3" nft add table inet drop_all
ip netns exec "$ns3" nft add chain inet drop_all input \
    '{ type filter hook input priority 0; policy drop; }'
netns_on_exit "ip netns exec '$ns3' nft delete table inet drop_all 2>/dev/null || true"
sent_before=$(date +%s)
say host1 private host3 are you there?
sleep 0.5
id=$(last_id host1)
wait_for host1 "TRACE receipt host3 failed $id" 30 || true
check "not delivered after the retries ($(($(date +%s) - sent_before)) s)" \
    has host1 "TRACE receipt host3 failed $id"
check "host3 got nothing meanwhile" test "$(count host3 "LINE private other host1: are you there?")" -eq 0
ip netns exec "$ns3" nft delete table inet drop_all
say host1 again
wait_for host1 "TRACE receipt host3 delivered $id" 10 || true
check "Send again delivers it once the rule is gone" has host1 "TRACE receipt host3 delivered $id"
check "host3 shows it once" test "$(count host3 "LINE private other host1: are you there?")" -eq 1
for host in host1 host2 host3 host4; do
    finish "$host" quit
done

# --- the outbox across a restart of the sender -----------------------------------------------
INTERVAL_MS=3000
for host in host1 host2 host3; do
    start "$host" --key "$OUT/$host.key"
done
greet_all host1 host2 host3
wait_for host1 "TRACE presence host3 available" 5 || true
finish host3 kill
wait_for host1 "TRACE presence host3 absent" 10 || true
say host1 private host3 for when you are back
wait_for host1 "WAITING-FOR host3" 5 || true
id=$(last_id host1)
check "a line to an absent computer waits in the outbox" has host1 "TRACE outbox host3 queued $id"
finish host1 quit
start host1 --key "$OUT/host1.key"
greet_all host1
say host1 waiting
wait_for host1 "WAITING $id host3" 5 || true
check "the line is still waiting after the sender's restart" has host1 "WAITING $id host3"
check "nothing is readable of it in the outbox file" \
    bash -c "! grep -q 'for when you are back' '$OUT/host1.key.outbox'"
start host3 --key "$OUT/host3.key"
greet_all host3
wait_for host1 "TRACE receipt host3 delivered $id" 10 || true
check "the line goes when host3 is heard again" has host1 "TRACE outbox host3 sent $id"
check "and host1 sees it delivered" has host1 "TRACE receipt host3 delivered $id"
check "host3 shows it once" test "$(count host3 "LINE private other host1: for when you are back")" -eq 1

# --- catch-up --------------------------------------------------------------------------------
start host5 --key "$OUT/host5.key"
greet_all host5
wait_for host5 "TRACE presence host3 available" 5 || true
# A goodbye: the others send it nothing more until it is back.
finish host3 bye
wait_for host1 "PEER- host3" 5 || true
for i in $(seq 1 20); do
    if ((i % 2)); then say host1 say line $i; else say host2 say line $i; fi
    sleep 0.05
done
wait_for host5 "LINE public other host2: line 20" 5 || true
start host3 --key "$OUT/host3.key"
greet_all host3
sleep 1
say host5 offer-altered host3
wait_for host3 "TRACE caught-up 20" 10 || true
check "host3 caught up on the twenty lines" has host3 "TRACE caught-up 20"
expected=$(for i in $(seq 1 20); do
    if ((i % 2)); then echo "CAUGHT public host1: line $i"; else echo "CAUGHT public host2: line $i"; fi
done)
check "in order, each once" bash -c "[[ \"\$(grep '^CAUGHT' '$OUT/host3.log.part')\" == '$expected' ]]"
wait_for host3 "TRACE refused auth host5" 5 || true
check "the line altered by a relay is refused" has host3 "TRACE refused auth host5"
check "and never shown" bash -c "! grep -q 'altered by a relay' '$OUT/host3.log.part'"

check "no copy reported an error" bash -c "! cat '$OUT'/host*.log* | grep -q '^ERROR'"
for host in host1 host2 host3 host5; do
    finish "$host" quit
done

echo "# $SECONDS s"
if ((NETNS_FAILURES > 0)); then
    echo "$NETNS_FAILURES check(s) failed; logs:"
    for host in host1 host2 host3 host4 host5; do
        echo "--- $host"
        cat "$OUT/$host.log" 2>/dev/null || true
    done
    exit 1
fi
echo "all checks passed"

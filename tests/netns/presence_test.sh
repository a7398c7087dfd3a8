#!/usr/bin/env bash
# Presence between whole programs, in ALPHA on a private bridge: three headless peers with
# keys and a sign of life every second (KALVENTO_PRESENCE_MS=1000; PRESENCE_INTERVAL_MS
# sets another, such as the real minute). Checks:
#   - each follows the other two once their first sign of life arrives;
#   - host3 killed with SIGKILL (no goodbye): host1 and host2 trace it absent, then gone,
#     and drop it from their lists within two intervals of its last sign and a margin,
#     while they stay present to each other;
#   - host3 started again (same key) and greeting: both list it and trace it available
#     at once;
#   - at a short interval, host3 cut off for longer than two intervals while the others talk,
#     once by its link going down, once by the switch dropping it: it loses them and they
#     lose it; when it is back it greets by itself (at once when its link comes up, else as
#     a copy that lost everybody), all list each other again, and host3 shows the public
#     lines it missed, each once, as caught up, and the others the one it said alone; then
#     host3 started again with its link down, which greets when the link comes up.
# Exit 77 when it cannot run here.
#
#   presence_test.sh path/to/kalvento-peer
set -euo pipefail

usage="usage: $0 path/to/kalvento-peer"
PEER=$(readlink -f "${1:?$usage}")
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=netns.sh
source "$HERE/netns.sh"
netns_require

INTERVAL_MS=${PRESENCE_INTERVAL_MS:-1000}
netns_setup host1:ALPHA host2:ALPHA host3:ALPHA
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
# ends host's run: "quit" asks it to end, "bye" to say goodbye and end (nothing is written
# to it after: it may be gone already, and a write to a fifo nobody reads ends this script),
# "kill" kills it with SIGKILL
finish() {
    if [[ $2 == bye ]]; then
        say "$1" bye
        wait "${pid[$1]}" 2>/dev/null || true
    elif [[ $2 == kill ]]; then
        kill -KILL "${pid[$1]}"
        wait "${pid[$1]}" 2>/dev/null || true
    else
        say "$1" quit
        sleep 0.5
    fi
    eval "exec ${input[$1]}>&-"
    cat "$OUT/$1.log.part" >>"$OUT/$1.log"
    rm -f "$OUT/$1.log.part"
}
log() { cat "$OUT/$1.log" "$OUT/$1.log.part" 2>/dev/null || true; }
has() { log "$1" | grep -qx -- "$2"; }
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
# wait_count host line n [seconds]: until host's log holds line n times
wait_count() {
    local tries=$((${4:-5} * 20))
    while ((tries-- > 0)); do
        [[ $(count "$1" "$2") -ge $3 ]] && return 0
        sleep 0.05
    done
    return 1
}
# line_no host line: the number of the first line of host's log that is line
line_no() { log "$1" | grep -nx -m1 -- "$2" | cut -d: -f1; }
now_ms() { echo $((${EPOCHREALTIME/./} / 1000)); }

for host in host1 host2 host3; do
    start "$host" --key "$OUT/$host.key"
done
for host in host1 host2 host3; do
    say "$host" greet
    wait_for "$host" "GROUPS ALPHA" || true
done
for host in host1 host2 host3; do
    for other in host1 host2 host3; do
        [[ $host == "$other" ]] && continue
        wait_for "$host" "TRACE presence $other available" 5 || true
        check "$host follows $other from its first sign of life" \
            has "$host" "TRACE presence $other available"
    done
done

# --- host3 dies without a goodbye ------------------------------------------------------------
killed=$(now_ms)
finish host3 kill
for host in host1 host2; do
    wait_for "$host" "PEER- host3" $((2 * INTERVAL_MS / 1000 + 10)) || true
done
elapsed=$(($(now_ms) - killed))
for host in host1 host2; do
    check "$host greys host3" has "$host" "TRACE presence host3 absent"
    check "$host then removes host3" has "$host" "TRACE presence host3 gone"
    check "$host greys host3 before it removes it" \
        test "$(line_no "$host" "TRACE presence host3 absent")" -lt \
        "$(line_no "$host" "TRACE presence host3 gone")"
    check "$host drops host3 from its list" has "$host" "PEER- host3"
done
# 19/10 of an interval after its last sign of life, which came at most an interval before
# the kill: within two intervals of the kill, and a margin.
check "both dropped host3 within two intervals and a margin (${elapsed} ms)" \
    test "$elapsed" -le $((2 * INTERVAL_MS + 1500))
check "host1 and host2 stayed present to each other" \
    bash -c "! grep -qE 'TRACE presence host[12] (absent|gone)' '$OUT/host1.log.part' '$OUT/host2.log.part'"

# --- host3 comes back ------------------------------------------------------------------------
back=$(now_ms)
start host3 --key "$OUT/host3.key"
say host3 greet
for host in host1 host2; do
    for _ in $(seq 60); do
        [[ $(count "$host" "TRACE presence host3 available") -ge 2 ]] && break
        sleep 0.05
    done
done
elapsed=$(($(now_ms) - back))
for host in host1 host2; do
    check "$host lists host3 again" test "$(count "$host" "PEER+ host3")" -eq 2
    check "$host traces host3 available again" \
        test "$(count "$host" "TRACE presence host3 available")" -eq 2
done
check "host3 is back at once, not a round later (${elapsed} ms)" test "$elapsed" -lt 3000
check "host3 lists both again" bash -c "grep -qx 'PEER+ host1' '$OUT/host3.log.part' && grep -qx 'PEER+ host2' '$OUT/host3.log.part'"

check "no copy reported an error" bash -c "! cat '$OUT'/host*.log* | grep -q '^ERROR'"

# --- host3's network goes away for a while, and comes back -----------------------------------
# (at the short interval only: at a minute it would take minutes, and it is the same code)
# outage n link|switch: the n-th time; host3's own link goes down, or the switch lets nothing
# of host3's through while its link stays up.
outage() {
    local n=$1 how=$2 ns3 host
    ns3=$(netns_ns host3)
    say host1 say before outage $n
    wait_for host3 "LINE public other host1: before outage $n" || true
    if [[ $how == link ]]; then
        ip -n "$ns3" link set veth0 down
    else
        ip -n "$NETNS_SWITCH" link set h3e0 nomaster
    fi
    for host in host1 host2; do
        wait_count "$host" "PEER- host3" $((n + 1)) $((2 * INTERVAL_MS / 1000 + 10)) || true
        wait_count host3 "PEER- $host" "$n" $((2 * INTERVAL_MS / 1000 + 10)) || true
    done
    check "$how $n: host1 and host2 lose host3" bash -c "[[ \$(grep -cx 'PEER- host3' '$OUT/host1.log.part') -eq $((n + 1)) && \$(grep -cx 'PEER- host3' '$OUT/host2.log.part') -eq $((n + 1)) ]]"
    check "$how $n: host3 loses host1 and host2" bash -c "[[ \$(grep -cx 'PEER- host1' '$OUT/host3.log.part') -eq $n && \$(grep -cx 'PEER- host2' '$OUT/host3.log.part') -eq $n ]]"
    say host1 say while host3 was away $n
    say host2 say me too $n
    say host3 say alone $n
    sleep 1
    if [[ $how == link ]]; then
        ip -n "$ns3" link set veth0 up
    else
        ip -n "$NETNS_SWITCH" link set h3e0 master br0
    fi
    wait_for host3 "CAUGHT public host1: while host3 was away $n" 20 || true
    wait_for host3 "CAUGHT public host2: me too $n" 5 || true
    if [[ $how == link ]]; then
        check "$how $n: host3 greets again when its link is back" \
            bash -c "grep -q '^TRACE network-back veth0 ' '$OUT/host3.log.part'"
    fi
    for host in host1 host2; do
        check "$how $n: $host lists host3 again" \
            test "$(grep -cx 'PEER+ host3' "$OUT/$host.log.part")" -eq $((n + 2))
        check "$how $n: host3 lists $host again" \
            test "$(grep -cx "PEER+ $host" "$OUT/host3.log.part")" -eq $((n + 1))
    done
    check "$how $n: host3 catches up on what it missed, each once" \
        test "$(grep -c "^CAUGHT .*$n\$" "$OUT/host3.log.part")" -eq 2
    check "$how $n: host3 took host1's line" has host3 "CAUGHT public host1: while host3 was away $n"
    check "$how $n: host3 took host2's line" has host3 "CAUGHT public host2: me too $n"
    for host in host1 host2; do
        wait_for "$host" "CAUGHT public host3: alone $n" 5 || true
        check "$how $n: $host takes what host3 said meanwhile" \
            has "$host" "CAUGHT public host3: alone $n"
    done
    check "$how $n: host3 did not hear them live" \
        bash -c "! grep -q '^LINE .*: while host3 was away $n\$' '$OUT/host3.log.part'"
    check "$how $n: what host3 saw before is not shown again" \
        test "$(log host3 | grep -c "before outage $n")" -eq 1
    say host2 say after outage $n
    wait_for host3 "LINE public other host2: after outage $n" || true
    check "$how $n: host3 hears the others live again" \
        has host3 "LINE public other host2: after outage $n"
}
# started before its network was there (at login, before the Wi-Fi): it greets when the
# link comes up
started_offline() {
    local ns3 host
    ns3=$(netns_ns host3)
    finish host3 bye
    wait_count host1 "PEER- host3" 4 || true
    ip -n "$ns3" link set veth0 down
    start host3 --key "$OUT/host3.key"
    say host3 greet
    wait_for host3 "GROUPS ALPHA" || true
    sleep 1
    check "offline: host3 is alone" bash -c "! grep -q '^PEER+ host[12]' '$OUT/host3.log.part'"
    ip -n "$ns3" link set veth0 up
    for host in host1 host2; do
        wait_for host3 "PEER+ $host" 10 || true
        check "offline: host3 lists $host once its link is up" has host3 "PEER+ $host"
    done
    wait_count host1 "PEER+ host3" 5 || true
    check "offline: host1 lists host3" test "$(count host1 "PEER+ host3")" -eq 5
}
if ((INTERVAL_MS <= 5000)); then
    outage 1 link
    outage 2 switch
    started_offline
fi
# Asking a silent computer whether it is there fails while the network is gone; that is
# no error for the user.
check "no copy reported an error, also while cut off" \
    bash -c "! cat '$OUT'/host*.log* | grep -q '^ERROR'"
for host in host1 host2 host3; do
    finish "$host" quit
done

echo "# $SECONDS s"
if ((NETNS_FAILURES > 0)); then
    echo "$NETNS_FAILURES check(s) failed; logs:"
    for host in host1 host2 host3; do
        echo "--- $host"
        cat "$OUT/$host.log"
    done
    exit 1
fi
echo "all checks passed"

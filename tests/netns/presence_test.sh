#!/usr/bin/env bash
# Presence between whole programs, in ALPHA on a private bridge: three headless peers with
# keys and a sign of life every second (KALVENTO_PRESENCE_MS=1000; PRESENCE_INTERVAL_MS
# sets another, such as the real minute). Checks:
#   - each follows the other two once their first sign of life arrives;
#   - host3 killed with SIGKILL (no goodbye): host1 and host2 trace it absent, then gone,
#     and drop it from their lists within two intervals of its last sign and a margin,
#     while they stay present to each other;
#   - host3 started again (same key) and greeting: both list it and trace it available
#     at once.
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
# ends host's run: "quit" asks it to end, "kill" kills it with SIGKILL
finish() {
    if [[ $2 == kill ]]; then
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

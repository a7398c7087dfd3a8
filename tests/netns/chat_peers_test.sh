#!/usr/bin/env bash
# Three chat copies (the headless peer) on a private bridge: host1 and host2 in ALPHA, host3
# in BETA, host1 with two interfaces. They find each other by the walk and the greetings,
# and every line reaches its receivers once through the terminal. Exit 77 when it cannot
# run here.
#
#   chat_peers_test.sh path/to/kalvento-peer
set -euo pipefail

PEER=$(readlink -f "${1:?usage: $0 path/to/kalvento-peer}")
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
NETNS_DOMAIN=lan.test
# shellcheck source=netns.sh
source "$HERE/netns.sh"
netns_require

count() { grep -cxF -- "$2" "$OUT/$1.log" || true; }
# say host command: one command line to the host's peer.
say() { echo "${*:2}" >&"${input[$1]}"; }

netns_setup host1:ALPHA host2:ALPHA host3:BETA
netns_add_second_interface host1
OUT=$(mktemp -d)
netns_on_exit "rm -rf '$OUT'"

declare -A input
for host in host1 host2 host3; do
    mkfifo "$OUT/$host.in"
    netns_bg "$host" "$OUT/$host.log" sh -c 'exec "$0" < "$1"' "$PEER" "$OUT/$host.in"
    exec {fd}>"$OUT/$host.in"
    input[$host]=$fd
done
for host in host1 host2 host3; do
    netns_wait_for "$OUT/$host.log" '^READY'
done

start=$(date +%s%N)
for host in host1 host2 host3; do
    say "$host" greet
    netns_wait_for "$OUT/$host.log" '^GROUPS '
done
walk_ms=$((($(date +%s%N) - start) / 1000000))
echo "# three walks and greetings took $walk_ms ms"
for host in host1 host2 host3; do
    check "walk from $host lists both groups" grep -qx "GROUPS ALPHA|BETA" "$OUT/$host.log"
    for other in host1 host2 host3; do
        netns_wait_for "$OUT/$host.log" "^PEER+ $other\$" 3 || true
        check "$host lists $other once" test "$(count "$host" "PEER+ $other")" -eq 1
    done
done

say host1 say hello everyone
for host in host1 host2 host3; do
    netns_wait_for "$OUT/$host.log" 'hello everyone$' 3 || true
done
sleep 0.6 # late copies from host1's second interface would arrive by now
check "host1 sees its own line once, as its own" \
    test "$(count host1 "LINE public own host1: hello everyone")" -eq 1
check "host2 gets the line once" test "$(count host2 "LINE public other host1: hello everyone")" -eq 1
check "host3 gets the line once" test "$(count host3 "LINE public other host1: hello everyone")" -eq 1

say host2 private host3 just for three
netns_wait_for "$OUT/host3.log" 'just for three$' 3 || true
sleep 0.6
check "the private line reaches host3" \
    test "$(count host3 "LINE private other host2: just for three")" -eq 1
check "the private line reaches nobody else" \
    test "$(grep -c 'just for three' "$OUT/host1.log" || true)" -eq 0
check "host2 was told it went to host3" grep -qx "SENT private to host3" "$OUT/host2.log"

say host3 identity Cy
netns_wait_for "$OUT/host1.log" '^PEER~ host3 Cy$' 3 || true
check "host1 shows host3 as Cy" grep -qx "PEER~ host3 Cy" "$OUT/host1.log"
check "host2 shows host3 as Cy" grep -qx "PEER~ host3 Cy" "$OUT/host2.log"
say host2 say from two
netns_wait_for "$OUT/host3.log" 'from two$' 3 || true
say host3 say from Cy
netns_wait_for "$OUT/host1.log" 'from Cy$' 3 || true
check "a line from host3 carries its identity" \
    grep -qx "LINE public other Cy: from Cy" "$OUT/host1.log"

# Every language's letters, and an emoji, on the wire between the namespaces.
WORLD="Zażółć gęślą jaźń — Γειά σου — Съешь — 你好 ✓ 😀"
say host2 say "$WORLD"
netns_wait_for "$OUT/host1.log" "$WORLD\$" 3 || true
check "a line in every language arrives exactly at host1" grep -qxF "LINE public other host2: $WORLD" "$OUT/host1.log"
check "and at host3" grep -qxF "LINE public other host2: $WORLD" "$OUT/host3.log"

say host1 bye
netns_wait_for "$OUT/host2.log" '^PEER- host1$' 3 || true
netns_wait_for "$OUT/host3.log" '^PEER- host1$' 3 || true
check "host2 drops host1 after its goodbye" grep -qx "PEER- host1" "$OUT/host2.log"
check "host3 drops host1 after its goodbye" grep -qx "PEER- host1" "$OUT/host3.log"
say host2 peers
netns_wait_for "$OUT/host2.log" '^PEERS ' 3 || true
check "host2's list holds host2 and host3" \
    grep -qx "PEERS host2/ALPHA/host2 (@ ALPHA)|host3/BETA/Cy" "$OUT/host2.log"
check "no copy reported an error" bash -c "! grep -h '^ERROR' '$OUT'/host*.log"

for host in host2 host3; do
    say "$host" quit
done
for host in host1 host2 host3; do
    eval "exec ${input[$host]}>&-"
done
sleep 0.3

echo "# $SECONDS s"
if ((NETNS_FAILURES > 0)); then
    echo "$NETNS_FAILURES check(s) failed; logs:"
    tail -n +1 "$OUT"/*.log
    exit 1
fi
echo "all checks passed"

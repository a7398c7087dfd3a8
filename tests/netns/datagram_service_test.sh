#!/usr/bin/env bash
# The datagram service between three hosts on a private bridge: host1 and host2 in ALPHA,
# host3 in BETA, host1 with two interfaces on the bridge. Each host has a real host name
# (hostN.lan.test) and nothing resolves those names. Exit 77 when it cannot run here.
#
#   datagram_service_test.sh path/to/dgram_tool
set -euo pipefail

TOOL=$(readlink -f "${1:?usage: $0 path/to/dgram_tool}")
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
NETNS_DOMAIN=lan.test
# shellcheck source=netns.sh
source "$HERE/netns.sh"
netns_require

# copies host text: how many times host's receiver got text.
copies() { grep -cxF "RECV $2" "$OUT/$1.log" || true; }

# reaches text "hosts that get it" "hosts that must not"
reaches() {
    local text=$1 host n counts=""
    for host in $2; do
        n=$(copies "$host" "$text")
        counts+=" $host=$n"
        check "$text reaches $host" test "$n" -ge 1
    done
    for host in $3; do
        n=$(copies "$host" "$text")
        counts+=" $host=$n"
        check "$text does not reach $host" test "$n" -eq 0
    done
    echo "#    copies of $text:$counts"
}

netns_setup host1:ALPHA host2:ALPHA host3:BETA
netns_add_second_interface host1
OUT=$(mktemp -d)
netns_on_exit "rm -rf '$OUT'"
hosts_before=$(sha256sum /etc/hosts)
echo "# LAN: host1 $(netns_addr host1) ($(netns_ifaces host1)), host2 $(netns_addr host2)," \
    "host3 $(netns_addr host3)"

# Every host listens; host3 also sends to itself and to its own group.
declare -A receiver
for host in host1 host2 host3; do
    extra=()
    [[ $host == host3 ]] && extra=(--send local::self-local --send group::self-group)
    netns_bg "$host" "$OUT/$host.log" "$TOOL" recv --timeout-ms 15000 "${extra[@]}"
    receiver[$host]=$NETNS_LAST_PID
done
for host in host1 host2 host3; do
    netns_wait_for "$OUT/$host.log" '^READY'
done
check "host names give the computer names" \
    test "$(head -1 "$OUT/host1.log")" = "READY host1 ALPHA"

set +e
second=$(netns_exec host1 "$TOOL" recv --timeout-ms 100)
second_rc=$?
set -e
check "a second owner of the endpoint fails: $second" \
    test "$second" = "ERROR Address already in use" -a "$second_rc" -eq 2

netns_exec host2 "$TOOL" send group - group-from-host2 >/dev/null
netns_exec host1 "$TOOL" send group - group-from-two-interfaces >/dev/null
netns_exec host3 "$TOOL" send named alpha named-alpha-from-host3 >/dev/null
netns_exec host1 "$TOOL" send named BETA named-beta-from-host1 >/dev/null
netns_exec host3 "$TOOL" send named host1 to-host1 >/dev/null
# Fresh senders know no addresses yet: the named computer is found without any resolver.
if command -v strace >/dev/null; then
    # A leak check cannot run under strace (a build with sanitizers).
    netns_exec host2 env ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
        strace -f -qq -o "$OUT/strace.log" -e trace=network,open,openat \
        "$TOOL" send named HOST3 to-host3 >/dev/null
else
    echo "# strace missing: resolver check skipped"
    netns_exec host2 "$TOOL" send named HOST3 to-host3 >/dev/null
fi

for host in host1 host2 host3; do
    netns_exec "$host" "$TOOL" walk --wait-ms 200 >"$OUT/walk-$host.log"
    walk_ms=$(sed -n 's/^WALK_MS //p' "$OUT/walk-$host.log")
    groups=$(sed -n 's/^GROUP //p' "$OUT/walk-$host.log" | sort | uniq -c | xargs)
    echo "# walk from $host: $walk_ms ms, answers: $groups"
    check "walk from $host lists ALPHA" grep -qx "GROUP ALPHA" "$OUT/walk-$host.log"
    check "walk from $host lists BETA" grep -qx "GROUP BETA" "$OUT/walk-$host.log"
    check "walk from $host well under a second" test "$walk_ms" -lt 700
done

sleep 0.2
for host in host1 host2 host3; do
    netns_stop "${receiver[$host]}"
done

reaches group-from-host2 "host1 host2" "host3"
reaches group-from-two-interfaces "host1 host2" "host3"
check "each interface of host1 broadcast once" test "$(copies host2 group-from-two-interfaces)" -ge 2
reaches named-alpha-from-host3 "host1 host2" "host3"
reaches named-beta-from-host1 "host3" "host1 host2"
reaches to-host1 "host1" "host2 host3"
reaches to-host3 "host3" "host1 host2"
reaches self-local "host3" ""
reaches self-group "host3" ""

if [[ -f $OUT/strace.log ]]; then
    check "no resolver was asked" \
        bash -c "! grep -E 'resolv.conf|/etc/hosts|htons\\(53\\)' '$OUT/strace.log'"
    check "the named send used the bridge's broadcast" \
        grep -q "inet_addr(\"198.51.100.255\")" "$OUT/strace.log"
fi
check "/etc/hosts untouched" test "$(sha256sum /etc/hosts)" = "$hosts_before"

# Restricted to one of its two interfaces, host1 takes only that interface's copy.
netns_bg host1 "$OUT/restricted.log" env KALVENTO_INTERFACES=veth0 "$TOOL" recv --timeout-ms 5000
pid=$NETNS_LAST_PID
netns_wait_for "$OUT/restricted.log" '^READY'
netns_exec host2 "$TOOL" send group - restricted >/dev/null
sleep 0.2
netns_stop "$pid"
check "the interface restriction drops the other interface's copy" \
    test "$(grep -cxF "RECV restricted" "$OUT/restricted.log")" -eq 1

echo "# $SECONDS s"
if ((NETNS_FAILURES > 0)); then
    echo "$NETNS_FAILURES check(s) failed; logs:"
    tail -n +1 "$OUT"/*.log
    exit 1
fi

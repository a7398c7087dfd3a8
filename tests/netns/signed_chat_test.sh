#!/usr/bin/env bash
# Identity keys between whole programs, in ALPHA on a private bridge: host1 and host2 are
# current copies (headless peers with key files), host3 an older copy (--plain) and host4
# a forger with the datagram tool. Everything the bridge carries is captured in the switch
# namespace. Checks:
#   - current copies pin each other, the older copy is listed plain, and all chat both ways;
#   - the capture holds no byte of a line between current copies (and does hold the older
#     copy's plain line, so the capture works);
#   - every forgery in host2's name changes nothing at host1 and is traced as refused: plain
#     datagrams (downgrade), datagrams signed by another key (key), a captured line sent
#     again with a high sequence number (replay); host2's lines still arrive after them;
#   - host4 claims host2's and host3's names from its own address with walk queries and
#     walk answers, and answers host1's questions in their names: host1's next private and
#     public lines still reach host2 (its key is pinned, so only its own datagrams place
#     it) and host4 gets nothing for host2, while the older copy host3 is still placed by
#     what answers, as before; and host1 started again, its book read, is not misled by
#     such claims made before host2 has spoken;
#   - host2 started again with a new key is a changed key at host1, which keeps private
#     lines from it until accepted;
#   - a copy on host4 that calls itself host2: both copies of that name tell their users,
#     and host1's public lines still reach the real host2.
# Exit 77 when it cannot run here.
#
#   signed_chat_test.sh path/to/kalvento-peer path/to/dgram_tool
set -euo pipefail

usage="usage: $0 path/to/kalvento-peer path/to/dgram_tool"
PEER=$(readlink -f "${1:?$usage}")
TOOL=$(readlink -f "${2:?$usage}")
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=netns.sh
source "$HERE/netns.sh"
netns_require

netns_setup host1:ALPHA host2:ALPHA host3:ALPHA host4:ALPHA
OUT=$(mktemp -d)
netns_on_exit "rm -rf '$OUT'"
HOST1=$(netns_addr host1)

# The capture, in the namespace that holds the bridge.
ip netns exec "$NETNS_SWITCH" "$TOOL" capture "$OUT/capture.bin" --timeout-ms 120000 \
    >"$OUT/capture.log" 2>&1 &
CAPTURE_PID=$!
netns_on_exit "kill $CAPTURE_PID 2>/dev/null || true"
netns_wait_for "$OUT/capture.log" '^CAPTURING' 5

declare -A input
# start host args...: the peer on host, its commands from a fifo, its output in host.log
# (appended, so that a restart keeps what came before).
start() {
    local host=$1
    shift
    rm -f "$OUT/$host.in"
    mkfifo "$OUT/$host.in"
    netns_bg "$host" "$OUT/$host.log.part" sh -c 'f=$1; shift; exec "$0" "$@" < "$f"' \
        "$PEER" "$OUT/$host.in" "$@"
    exec {fd}>"$OUT/$host.in"
    input[$host]=$fd
    netns_wait_for "$OUT/$host.log.part" '^KEY ' 5
}
say() { echo "${*:2}" >&"${input[$1]}"; }
stop() {
    say "$1" quit
    eval "exec ${input[$1]}>&-"
    sleep 0.5
    cat "$OUT/$1.log.part" >>"$OUT/$1.log"
    rm -f "$OUT/$1.log.part"
}
log() { cat "$OUT/$1.log" "$OUT/$1.log.part" 2>/dev/null || true; }
has() { log "$1" | grep -qx -- "$2"; }
count() { log "$1" | grep -cx -- "$2" || true; }
wait_for() {
    for _ in $(seq 100); do
        has "$1" "$2" && return 0
        sleep 0.05
    done
    return 1
}

start host1 --key "$OUT/host1.key"
start host2 --key "$OUT/host2.key"
for host in host1 host2; do
    say "$host" greet
    wait_for "$host" "GROUPS ALPHA" || true
done
wait_for host1 "PEER+ host2" || true
wait_for host2 "PEER+ host1" || true
ID2=$(log host2 | awk '/^READY/ { print $4; exit }')
check "host1 pins host2's key" has host1 "TRACE peer-trust host2 pinned"
check "host2 pins host1's key" has host2 "TRACE peer-trust host1 pinned"

# --- Lines between the current copies, before the older one is there ---------------------
say host1 say secret-public-from-one
say host2 private host1 secret-private-from-two
wait_for host2 "LINE public other host1: secret-public-from-one" || true
wait_for host1 "LINE private other host2: secret-private-from-two" || true
# lineTrust host kind sender text: the trust line right after the line
lineTrust() {
    log "$1" | grep -A1 -x -- "LINE $2 other $3: $4" | tail -n 1
}
check "host2 gets host1's public line, encrypted" test \
    "$(lineTrust host2 public host1 secret-public-from-one)" = "TRACE line-trust public host1 encrypted"
check "host1 gets host2's private line, encrypted" test \
    "$(lineTrust host1 private host2 secret-private-from-two)" = "TRACE line-trust private host2 encrypted"

# --- The older copy ----------------------------------------------------------------------
start host3 --plain
say host3 greet
wait_for host3 "GROUPS ALPHA" || true
wait_for host1 "PEER+ host3" || true
wait_for host2 "PEER+ host3" || true
check "host1 lists the older copy as plain" has host1 "TRACE peer-trust host3 plain"
check "the older copy lists both current ones" \
    bash -c "grep -qx 'PEER+ host1' '$OUT/host3.log.part' && grep -qx 'PEER+ host2' '$OUT/host3.log.part'"
say host3 say plain-hello-from-three
say host1 private host3 to-the-older-copy
wait_for host1 "LINE public other host3: plain-hello-from-three" || true
wait_for host3 "LINE private other host1: to-the-older-copy" || true
wait_for host2 "LINE public other host3: plain-hello-from-three" || true
check "host1 gets the older copy's line, plain" test \
    "$(lineTrust host1 public host3 plain-hello-from-three)" = "TRACE line-trust public host3 plain"
check "host2 gets the older copy's line" has host2 "LINE public other host3: plain-hello-from-three"
check "the older copy gets host1's private line" has host3 "LINE private other host1: to-the-older-copy"

# Every address confirmed before the forger speaks (a forged frame then cannot move one).
for _ in $(seq 100); do
    say host1 count
    sleep 0.1
    [[ $(log host1 | grep '^COUNT ' | tail -n 1) == "COUNT 3 3 0 0 0" ]] && break
done
check "host1 has confirmed every address" test "$(log host1 | grep '^COUNT ' | tail -n 1)" = "COUNT 3 3 0 0 0"

# --- Forgeries from host4 in host2's name ------------------------------------------------
forge() { netns_exec host4 "$TOOL" forge "$@" --target host1 --group ALPHA >>"$OUT/forge.log"; }
forge line host2 "$HOST1" --sender-id "$ID2" --text forged-plain-line
forge greeting host2 "$HOST1"
forge goodbye host2 "$HOST1" --sender-id "$ID2" --own-key
forge identity host2 "$HOST1" --sender-id "$ID2" --own-key --text Mallory
forge line host2 "$HOST1" --sender-id "$ID2" --own-key --text forged-signed-line
sleep 0.5
# A captured line of host2's, as it was and with a high sequence number.
netns_exec host4 "$TOOL" replay "$OUT/capture.bin" host2 host1 "$HOST1" >>"$OUT/forge.log" || true
netns_exec host4 "$TOOL" replay "$OUT/capture.bin" host2 host1 "$HOST1" \
    --sequence 4294967000 >>"$OUT/forge.log" || true
sleep 0.5
say host2 say after-the-forgeries
wait_for host1 "LINE public other host2: after-the-forgeries" || true

check "plain datagrams in host2's name are refused" \
    test "$(count host1 'TRACE refused downgrade host2')" -eq 2
check "datagrams signed by another key are refused" \
    test "$(count host1 'TRACE refused key host2')" -eq 3
check "the replayed line is refused" has host1 "TRACE refused replay host2"
check "no forged line is shown" bash -c "! grep -q 'forged' '$OUT/host1.log.part'"
check "host2 is still listed with its own name" \
    bash -c "! grep -qx 'PEER- host2' '$OUT/host1.log.part' && ! grep -q 'Mallory' '$OUT/host1.log.part'"
check "the replayed line is shown once" \
    test "$(count host1 'LINE private other host2: secret-private-from-two')" -eq 1
check "host2's line after the forgeries arrives" \
    has host1 "LINE public other host2: after-the-forgeries"

# --- Forged addresses from host4 in host2's and host3's names ----------------------------
# divert victim: host4 claims victim's name at host1 while host1 sends it a private line and
# a public one.
divert() {
    netns_bg host4 "$OUT/divert-$1.log" "$TOOL" divert "$1" "$HOST1" --target host1 \
        --group ALPHA --timeout-ms 20000
    local pid=$NETNS_LAST_PID
    netns_wait_for "$OUT/divert-$1.log" '^DIVERTING' 5
    # Long enough for host1 to ask host4's address (at most every 2 s) and hear it answer.
    sleep 3
    say host1 private "$1" "private-to-$1-after-the-claims"
    say host1 say "public-after-claiming-$1"
    wait_for "$1" "LINE private other host1: private-to-$1-after-the-claims" || true
    wait_for "$1" "LINE public other host1: public-after-claiming-$1" || true
    sleep 0.5
    netns_stop "$pid"
}
divert host2
check "host2 gets host1's private line after the claims, encrypted" test \
    "$(lineTrust host2 private host1 private-to-host2-after-the-claims)" = "TRACE line-trust private host1 encrypted"
check "host2 gets host1's public line after the claims, encrypted" test \
    "$(lineTrust host2 public host1 public-after-claiming-host2)" = "TRACE line-trust public host1 encrypted"
check "host4 got nothing addressed to host2" grep -qx 'STOLEN host2 0' "$OUT/divert-host2.log"
divert host3
check "the older copy's address still moves to where its name answers" \
    bash -c "grep -q '^STOLEN host3 [1-9]' '$OUT/divert-host3.log'"

# --- The capture --------------------------------------------------------------------------
found() { "$TOOL" find "$OUT/capture.bin" "$1" | cut -d' ' -f2; }
check "the capture holds the older copy's plain line" test "$(found plain-hello-from-three)" -gt 0
check "the capture holds the private line to the older copy" \
    test "$(found '#PRI#to-the-older-copy')" -gt 0
check "the capture holds nothing of the public line between current copies" \
    test "$(found secret-public-from-one)" -eq 0
check "the capture holds nothing of the private line between current copies" \
    test "$(found '#PRI#secret-private-from-two')" -eq 0

# --- host2 with a new key -----------------------------------------------------------------
stop host2
start host2 --key "$OUT/host2-new.key"
say host2 greet
wait_for host1 "TRACE peer-trust host2 changed" || true
check "host1 sees host2's key changed" has host1 "TRACE peer-trust host2 changed"
say host1 private host2 before-accepting
wait_for host1 "NOTSENT host2" || true
check "host1 keeps a private line from the changed computer" has host1 "NOTSENT host2"
say host1 accept host2
say host1 private host2 after-accepting
wait_for host2 "LINE private other host1: after-accepting" || true
check "after accepting, the private line goes" has host2 "LINE private other host1: after-accepting"
check "host2 never got the line kept back" bash -c "! grep -q before-accepting '$OUT/host2.log.part'"

# --- host1 started again, claimed by host4 before host2 speaks ---------------------------
stop host1
netns_bg host4 "$OUT/divert-restart.log" "$TOOL" divert host2 "$HOST1" --target host1 \
    --group ALPHA --timeout-ms 20000
DIVERT_PID=$NETNS_LAST_PID
netns_wait_for "$OUT/divert-restart.log" '^DIVERTING' 5
start host1 --key "$OUT/host1.key"
sleep 3
say host1 greet
# What it logs since it started again.
netns_wait_for "$OUT/host1.log.part" '^PEER+ host2$' 5 || true
say host1 private host2 after-host1-started-again
say host1 say public-after-host1-started-again
wait_for host2 "LINE private other host1: after-host1-started-again" || true
wait_for host2 "LINE public other host1: public-after-host1-started-again" || true
sleep 0.5
netns_stop "$DIVERT_PID"
# A public line goes only to a computer whose address is known: host2's answer placed it.
check "host1 started again reaches host2, claimed before it spoke" test \
    "$(lineTrust host2 private host1 after-host1-started-again)" = "TRACE line-trust private host1 encrypted"
check "host1 started again sends host2 its public line" test \
    "$(lineTrust host2 public host1 public-after-host1-started-again)" = "TRACE line-trust public host1 encrypted"
check "host4 got nothing addressed to host2 after host1 started again" \
    grep -qx 'STOLEN host2 0' "$OUT/divert-restart.log"

# --- a second computer that goes by host2's name ------------------------------------------
# host4 runs a current copy that calls itself host2 (as two hosts of one name would). Both
# copies of that name say so, each naming the other's address, and host1, which now sees
# host2's key as changed, still reaches the real host2 with its public lines.
export KALVENTO_COMPUTER_NAME=host2
start host4 --key "$OUT/twin.key"
unset KALVENTO_COMPUTER_NAME
say host4 greet
wait_for host4 "TRACE name-clash $(netns_addr host2) .*" || true
check "host2 is told another computer goes by its name" \
    bash -c "cat '$OUT'/host2.log* | grep -Eqx 'TRACE name-clash $(netns_addr host4) [0-9]{30}'"
check "the twin learns it as well, from host2's greeting" \
    bash -c "cat '$OUT'/host4.log* | grep -Eqx 'TRACE name-clash $(netns_addr host2) [0-9]{30}'"
wait_for host1 "TRACE peer-trust host2 changed" || true
say host1 say public-beside-the-twin
wait_for host2 "LINE public other host1: public-beside-the-twin" || true
check "host1's public line still reaches the real host2" has host2 \
    "LINE public other host1: public-beside-the-twin"

check "no copy reported an error" bash -c "! cat '$OUT'/host*.log* | grep -q '^ERROR'"
for host in host1 host2 host3 host4; do
    stop "$host"
done
kill "$CAPTURE_PID" 2>/dev/null || true

echo "# $SECONDS s"
if ((NETNS_FAILURES > 0)); then
    echo "$NETNS_FAILURES check(s) failed; logs:"
    for host in host1 host2 host3 host4; do
        echo "--- $host"
        cat "$OUT/$host.log"
    done
    cat "$OUT/forge.log"
    cat "$OUT"/divert-*.log
    exit 1
fi
echo "all checks passed"

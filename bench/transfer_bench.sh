#!/usr/bin/env bash
# File transfers between two headless copies in two network namespaces on a private bridge,
# over veth pairs with no shaping (root only; exit 77 otherwise). One table, side by side:
#   - raw TCP moving a 1 GB file from disk to disk (python3: sendfile out, recv_into and
#     write in), the floor;
#   - the same 1 GB through the program, signed handshake and encrypted stream: from the
#     send command (hashing included) and from the receiver's offer to its "done", MB/s,
#     per cent of raw, and the CPU of each side over it (utime+stime from /proc/<pid>/stat);
#   - 10,000 files of 4 KB, and 1,000 alone (the rate per file of both runs shows whether it
#     slows down as the transfer grows);
#   - resident memory (VmRSS, VmHWM) of both sides idle and during a 10 GB transfer (the
#     file sent is sparse: all zeros, read as fast as memory; the receiver writes every byte);
#   - the receiver killed at about half of 1 GB and started again: bytes sent twice.
# --quick runs small sizes, for a smoke run. --rate RATE shapes both hosts' links (tc tbf,
# e.g. 1gbit for a gigabit LAN), for raw TCP and the program alike. --ext4 puts every file
# on a file system made for the run (mkfs.ext4 defaults, on a sparse image in /var/tmp,
# mounted through a loop device): the files of a user's desktop, where a machine's own
# disk may differ (a root file system without a journal makes ext4 look at the inodes of
# recently deleted files on every create, which costs many small files a good deal).
#
#   transfer_bench.sh path/to/kalvento-peer [--quick] [--rate RATE] [--ext4]
set -euo pipefail

PEER=$(readlink -f "${1:?usage: $0 path/to/kalvento-peer [--quick] [--rate RATE]}")
shift
QUICK=0 RATE='' EXT4=0
while (($#)); do
    case $1 in
    --quick) QUICK=1 ;;
    --ext4) EXT4=1 ;;
    --rate) RATE=$2; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../tests/netns/netns.sh
source "$HERE/../tests/netns/netns.sh"
netns_require
netns_require_tools python3 openssl

MB=$((1024 * 1024))
if ((QUICK)); then
    BIG=$((64 * MB)) HUGE=$((256 * MB)) MANY=500 FEW=100
else
    BIG=$((1024 * MB)) HUGE=$((10240 * MB)) MANY=10000 FEW=1000
fi
netns_setup host1:ALPHA host2:ALPHA
if [[ -n $RATE ]]; then
    for host in host1 host2; do
        netns_exec "$host" tc qdisc add dev veth0 root tbf rate "$RATE" burst 512kb latency 20ms
    done
fi
OUT=$(mktemp -d)
if ((EXT4)); then
    IMAGE=$(mktemp /var/tmp/transfer-bench.XXXXXX)
    netns_on_exit "umount -l '$OUT' 2>/dev/null; rm -f '$IMAGE'"
    truncate -s $(((HUGE + 4 * BIG) / MB + 1024))M "$IMAGE"
    mkfs.ext4 -q -F "$IMAGE"
    mount -o loop "$IMAGE" "$OUT"
fi
netns_on_exit "rm -rf '$OUT'"
free_kb=$(df -Pk "$OUT" | awk 'NR == 2 { print $4 }')
if ((free_kb * 1024 < HUGE + 3 * BIG)); then
    echo "only $((free_kb / 1024)) MB free in $OUT: $(((HUGE + 3 * BIG) / MB)) MB needed" >&2
    exit 1
fi
TICK=$(getconf CLK_TCK)
SEND=$OUT/send SAVE=$OUT/save
mkdir -p "$SEND" "$SAVE"

declare -A input pid
start() {
    local host=$1
    shift
    rm -f "$OUT/$host.in"
    mkfifo "$OUT/$host.in"
    netns_bg "$host" "$OUT/$host.log" env KALVENTO_PRESENCE_MS=1000 ${TRACE:+KALVENTO_TRACE=1} \
        sh -c 'f=$1; shift; exec "$0" "$@" < "$f"' "$PEER" "$OUT/$host.in" "$@"
    pid[$host]=$NETNS_LAST_PID
    exec {fd}>"$OUT/$host.in"
    input[$host]=$fd
    netns_wait_for "$OUT/$host.log" '^KEY ' 5
}
say() { echo "${*:2}" >&"${input[$1]}"; }
has_re() { grep -qE -- "$2" "$OUT/$1.log" 2>/dev/null; }
wait_re() {
    local tries=$((${3:-5} * 50))
    while ((tries-- > 0)); do
        has_re "$1" "$2" && return 0
        sleep 0.02
    done
    echo "timed out waiting for '$2' on $1" >&2
    return 1
}
# Waits for a line matching $2 in $1's log, for at most $3 seconds, without polling (a
# loop of grep and sleep would take the processor from the copies being timed).
wait_line() {
    local found=0 tailfd tailpid
    exec {tailfd}< <(exec timeout "$3" tail -n +1 -F "$OUT/$1.log" 2>/dev/null)
    tailpid=$!
    grep -qE -m1 -- "$2" <&"$tailfd" && found=1
    kill "$tailpid" 2>/dev/null || true
    exec {tailfd}<&-
    ((found)) || echo "timed out waiting for '$2' on $1" >&2
    ((found))
}
last() { { grep -E "$2" "$OUT/$1.log" || true; } | tail -1; }
cpu() { awk -v t="$TICK" '{ printf "%.2f", ($14 + $15) / t }' "/proc/${pid[$1]}/stat"; }
mem() { awk '/^VmRSS|^VmHWM/ { printf "%s %d MB  ", $1, $2 / 1024 }' "/proc/${pid[$1]}/status"; }
rss_kb() { awk '/^VmRSS/ { print $2 }' "/proc/${pid[$1]}/status"; }
random_file() {
    { openssl enc -aes-128-ctr -pass "pass:$RANDOM$RANDOM" -nosalt -pbkdf2 </dev/zero 2>/dev/null ||
        true; } | head -c "$2" >"$1"
}
rate() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.1f", b / s / 1048576 }'; }
ROWS=()
row() { ROWS+=("$(printf '%-44s %s' "$1" "$2")"); }

# send paths...: host1 offers them to host2; sets SENT_AT, OFFER_AT, DONE_AT (seconds), ID,
# and the CPU seconds of each side over it in CPU1 and CPU2.
send() {
    local before1 before2 count
    count=$(grep -c '^FILES-OFFERED' "$OUT/host1.log" || true)
    before1=$(cpu host1) before2=$(cpu host2)
    SENT_AT=$EPOCHREALTIME
    say host1 send-files host2 "$@"
    while (($(grep -c '^FILES-OFFERED' "$OUT/host1.log" || true) == count)); do sleep 0.01; done
    ID=$(last host1 '^FILES-OFFERED' | cut -d' ' -f2)
    wait_line host2 "^FILE-OFFER $ID " 600
    OFFER_AT=$EPOCHREALTIME
    wait_line host2 "^TRANSFER $ID (done|failed)" 3600
    DONE_AT=$EPOCHREALTIME
    CPU1=$(awk -v a="$before1" -v b="$(cpu host1)" 'BEGIN { printf "%.2f", b - a }')
    CPU2=$(awk -v a="$before2" -v b="$(cpu host2)" 'BEGIN { printf "%.2f", b - a }')
    has_re host2 "^TRANSFER $ID done" || echo "transfer $ID failed: $(last host2 "^TRANSFER $ID")" >&2
}
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

# Both copies, greeted and each seeing the other. With the trace on, the receiver hashes
# the first file with SHA-256 as it comes and the sender reads it again at the end: the
# rates are measured with it off, the resume (which needs the progress and the bytes sent)
# with it on (the program traces whenever KALVENTO_TRACE is set, whatever its value).
start_both() {
    start host1 --key "$OUT/host1.key" --save "$OUT/save1"
    start host2 --key "$OUT/host2.key" --save "$SAVE" --accept-files
    say host1 greet
    say host2 greet
    wait_re host1 '^PEER\+ host2' 15
    wait_re host2 '^PEER\+ host1' 15
    sleep 3 # a sign of life each way
}
stop_both() {
    local host
    for host in host1 host2; do
        say "$host" quit
        wait "${pid[$host]}" 2>/dev/null || true
        eval "exec ${input[$host]}>&-"
        mv "$OUT/$host.log" "$OUT/$host-$SECONDS.log"
    done
}
TRACE=
start_both
row "idle: sender" "$(mem host1)"
row "idle: receiver" "$(mem host2)"

# --- memory over a big transfer --------------------------------------------------------------
truncate -s "$HUGE" "$SEND/huge.bin"
max1=0 max2=0
say host1 send-files host2 "$SEND/huge.bin"
started=$SECONDS
while ! has_re host2 '^TRANSFER [0-9a-f]+ (done|failed)'; do
    r1=$(rss_kb host1) r2=$(rss_kb host2)
    ((r1 > max1)) && max1=$r1
    ((r2 > max2)) && max2=$r2
    sleep 0.5
    ((SECONDS - started < 3600)) || break
done
row "$((HUGE / MB)) MB (sparse) sent: sender" "VmRSS max $((max1 / 1024)) MB  $(mem host1)"
row "$((HUGE / MB)) MB (sparse) received: receiver" "VmRSS max $((max2 / 1024)) MB  $(mem host2)"
row "$((HUGE / MB)) MB (sparse) in" "$((SECONDS - started)) s"
rm -f "$SEND/huge.bin" "$SAVE/huge.bin"
sync # what is left of writing and freeing 10 GB must not spill into the timed runs

# --- raw TCP, the floor ----------------------------------------------------------------------
random_file "$SEND/big.bin" "$BIG"
sync
netns_bg host2 "$OUT/raw.log" python3 -c '
import os, socket, sys, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("0.0.0.0", 5999)); s.listen(1); print("LISTENING", flush=True)
c, _ = s.accept(); t = time.monotonic(); buf = bytearray(1 << 20); n = 0
with open(sys.argv[1], "wb") as f:
    while True:
        k = c.recv_into(buf)
        if not k: break
        f.write(memoryview(buf)[:k]); n += k
    f.flush(); os.fsync(f.fileno())
u = os.times(); print("RAW %d %.3f %.2f" % (n, time.monotonic() - t, u.user + u.system), flush=True)
' "$SAVE/raw.bin"
raw=$NETNS_LAST_PID
netns_wait_for "$OUT/raw.log" LISTENING 5
netns_exec host1 python3 -c '
import os, socket, sys
c = socket.create_connection((sys.argv[1], 5999))
with open(sys.argv[2], "rb") as f: c.sendfile(f)
c.close(); u = os.times(); print("SENDER-CPU %.2f" % (u.user + u.system))
' "$(netns_addr host2)" "$SEND/big.bin" >"$OUT/raw-sender.log"
wait "$raw" || true
read -r _ raw_bytes raw_secs raw_cpu2 < <(grep '^RAW' "$OUT/raw.log")
raw_cpu1=$(cut -d' ' -f2 "$OUT/raw-sender.log")
row "raw TCP $((BIG / MB)) MB" "$raw_secs s, $(rate "$raw_bytes" "$raw_secs") MB/s, CPU sender $raw_cpu1 s, receiver $raw_cpu2 s"
rm -f "$SAVE/raw.bin"

# --- the same file through the program -------------------------------------------------------
send "$SEND/big.bin"
whole=$(secs "$SENT_AT" "$DONE_AT")
wire=$(secs "$OFFER_AT" "$DONE_AT")
row "Kalvento $((BIG / MB)) MB, from the command" "$whole s, $(rate "$BIG" "$whole") MB/s (hashing included)"
row "Kalvento $((BIG / MB)) MB, from the offer" "$wire s, $(rate "$BIG" "$wire") MB/s, $(awk -v r="$raw_secs" -v k="$wire" 'BEGIN { printf "%.0f", r / k * 100 }') % of raw"
row "Kalvento $((BIG / MB)) MB, CPU" "sender $CPU1 s, receiver $CPU2 s"
cmp -s "$SEND/big.bin" "$SAVE/big.bin" || echo "the received file differs" >&2
rm -f "$SAVE/big.bin"
sync

# --- many small files ------------------------------------------------------------------------
for count in "$FEW" "$MANY"; do
    rm -rf "$SEND/small" "$SAVE/small"
    python3 - "$SEND/small" "$count" <<'EOF'
import os, sys
root, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    folder = os.path.join(root, "d%02d" % (i % 100))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%05d" % i), "wb") as f:
        f.write(os.urandom(4096))
EOF
    send "$SEND/small"
    wire=$(secs "$OFFER_AT" "$DONE_AT")
    row "$count files of 4 KB, from the offer" "$wire s, $(awk -v n="$count" -v s="$wire" 'BEGIN { printf "%.0f files/s, %.0f bytes/s", n / s, n * 4096 / s }'), CPU sender $CPU1 s, receiver $CPU2 s"
done
rm -rf "$SEND/small" "$SAVE/small"

# --- resume after a kill ---------------------------------------------------------------------
stop_both
TRACE=1
start_both
say host1 send-files host2 "$SEND/big.bin"
wait_re host1 '^FILES-OFFERED' 10
ID=$(last host1 '^FILES-OFFERED' | cut -d' ' -f2)
killed=
while ! has_re host2 "^TRANSFER $ID (done|failed)"; do
    done_bytes=$(last host2 "^TRACE transfer $ID progress" | cut -d' ' -f5)
    if [[ -n $done_bytes ]] && ((done_bytes >= BIG / 2)); then
        kill -KILL "${pid[host2]}"
        wait "${pid[host2]}" 2>/dev/null || true
        killed=$done_bytes
        break
    fi
    sleep 0.02
done
if [[ -n $killed ]]; then
    eval "exec ${input[host2]}>&-"
    mv "$OUT/host2.log" "$OUT/host2-killed.log"
    start host2 --key "$OUT/host2.key" --save "$SAVE" --accept-files
    say host2 greet
    wait_re host2 "^TRANSFER $ID (done|failed)" 600
    wait_re host1 "^TRACE transfer $ID sent " 10
    sent=$(last host1 "^TRACE transfer $ID sent " | cut -d' ' -f5)
    cmp -s "$SEND/big.bin" "$SAVE/big.bin" || echo "the resumed file differs" >&2
    row "resume, killed at $((killed / MB)) MB of $((BIG / MB))" "$sent bytes sent, $(awk -v s="$sent" -v b="$BIG" 'BEGIN { printf "%.2f", (s - b) * 100 / b }') % twice"
else
    row "resume" "the transfer ended before the kill could be timed"
fi
say host1 quit
say host2 quit

printf "\n%-44s %s\n" "transfer bench ($((BIG / MB)) MB, $MANY files${RATE:+, links at $RATE})" "result"
printf '%s\n' "${ROWS[@]}"

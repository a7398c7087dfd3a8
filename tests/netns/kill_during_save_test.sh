#!/usr/bin/env bash
# The program killed while it saves: host1 runs the program (offscreen) with a large log
# and many friends, a headless peer on host2 sends it a line so that there is something to
# save, and the program is asked to end (SIGTERM) and killed (SIGKILL) a random moment
# later, again and again. After every kill Options.ini and log.rtf are each a complete
# file, old or new; temporary files that a killed copy left (planted ones included) are gone
# once the next copy has started; and a copy killed without warning has already written the
# chat it showed to its log. Exit 77 when it cannot run here.
#
#   kill_during_save_test.sh path/to/kalvento path/to/kalvento-peer [rounds]
set -euo pipefail

KV=$(readlink -f "${1:?usage: $0 path/to/kalvento path/to/kalvento-peer [rounds]}")
PEER=$(readlink -f "${2:?usage: $0 path/to/kalvento path/to/kalvento-peer [rounds]}")
ROUNDS=${3:-50}
FRIENDS=3000
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=netns.sh
source "$HERE/netns.sh"
netns_require
command -v python3 >/dev/null || { echo "SKIP: python3 is missing" >&2; exit 77; }

netns_setup host1:ALPHA host2:ALPHA
OUT=$(mktemp -d)
netns_on_exit "rm -rf '$OUT'"
CONFIG=$OUT/config
mkdir -p "$CONFIG" "$OUT/home" "$OUT/run"
chmod 0700 "$OUT/run"

# Options.ini with many friends, and a log of about 4 MB.
python3 - "$CONFIG" "$FRIENDS" <<'EOF'
import sys
config, friends = sys.argv[1], int(sys.argv[2])
with open(config + "/Options.ini", "w") as f:
    f.write("[General]\nShow splashscreen=0\nAutomatic update=0\nSave messages log=1\n")
    f.write("[Advanced]\nLanguage index=0\n[Friends]\n")
    for i in range(friends):
        f.write("Friend%d=user%d@PC%d\n" % (i + 1, i, i % 97))
with open(config + "/log.rtf", "w") as f:
    f.write("{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Arial;}}{\\colortbl;\\red0\\green0\\blue128;}\n")
    for i in range(60000):
        f.write("\\cf1 Anna: \\cf0 line %d of an old conversation, with text\\par\n" % i)
    f.write("}\n")
EOF
LOG_START_SIZE=$(stat -c %s "$CONFIG/log.rtf")

# complete: Options.ini has every friend and its last line, log.rtf is one balanced group at
# least as long as at the start.
complete() {
    python3 - "$CONFIG" "$FRIENDS" "$LOG_START_SIZE" <<'EOF'
import re, sys
config, friends, start = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
ini = open(config + "/Options.ini", "rb").read()
found = set(re.findall(rb"^Friend\d+=(user\d+@PC\d+)\r?$", ini, re.M))
if len(found) != friends or not ini.endswith(b"\n"):
    sys.exit("Options.ini: %d of %d friends, %d bytes" % (len(found), friends, len(ini)))
log = open(config + "/log.rtf", "rb").read()
body = re.sub(rb"\\[\\{}]", b"", log.rstrip())
depth = 0
for i, c in enumerate(body):
    depth += {0x7B: 1, 0x7D: -1}.get(c, 0)
    if depth == 0 and i != len(body) - 1:
        sys.exit("log.rtf: the group closes at %d of %d" % (i, len(body)))
if depth != 0 or len(log) < start or not log.startswith(b"{\\rtf"):
    sys.exit("log.rtf: cut (%d bytes, depth %d)" % (len(log), depth))
EOF
}
temporaries() { find "$CONFIG" -maxdepth 1 -name '*.tmp*' | wc -l; }

mkfifo "$OUT/host2.in"
# shellcheck disable=SC2016 # expanded by the inner shell
netns_bg host2 "$OUT/host2.log" sh -c 'exec "$0" < "$1"' "$PEER" "$OUT/host2.in"
exec {peer_in}>"$OUT/host2.in"
netns_wait_for "$OUT/host2.log" '^READY' 10

# One copy: started, greeted by, and given a line from the peer. Its pid in KV_PID.
start_copy() {
    local log=$1 text=$2
    netns_bg host1 "$log" env QT_QPA_PLATFORM=offscreen HOME="$OUT/home" \
        XDG_CONFIG_HOME="$OUT/home/.config" XDG_RUNTIME_DIR="$OUT/run" \
        KALVENTO_CONFIG_DIR="$CONFIG" KALVENTO_TRACE=1 "$KV"
    KV_PID=$NETNS_LAST_PID
    netns_wait_for "$log" '^TRACE peer+ host2 ' 15
    echo "say $text" >&"$peer_in"
    netns_wait_for "$log" "^TRACE line public .*: $text\$" 10 || {
        echo "the peer said:" >&2
        tail -n 20 "$OUT/host2.log" >&2
        return 1
    }
}

# A clean end first: how long the save takes sets the range of the kills.
start_copy "$OUT/clean.log" "round 0"
began=$(date +%s%N)
kill -TERM "$KV_PID"
wait "$KV_PID" || true
SAVE_MS=$((($(date +%s%N) - began) / 1000000))
check "a clean end saves complete files" complete
echo "# a clean end took $SAVE_MS ms; kills fall within that time of SIGTERM"

# A pid that no longer runs, for planted leftovers.
sh -c 'exit 0' &
dead=$!
wait "$dead" || true

broken=0 killed=0 left_after_kill=0 left_after_start=0
for ((round = 1; round <= ROUNDS; round++)); do
    printf 'half a file' >"$CONFIG/Options.ini.tmp$dead.$round"
    printf '{\\rtf1 half' >"$CONFIG/log.rtf.tmp$dead.$round"
    start_copy "$OUT/round.log" "round $round"
    # The copy has read its files: nothing of an ended process is left beside them.
    n=$(temporaries)
    ((n == 0)) || { left_after_start=$((left_after_start + 1)); ls -la "$CONFIG" >&2; }
    kill -TERM "$KV_PID"
    sleep "$(awk -v r="$RANDOM" -v ms="$SAVE_MS" 'BEGIN { printf "%.3f", r / 32768 * ms / 1000 }')"
    # Still running (not yet a zombie): the kill lands during the end.
    if [[ $(awk '{ print $3 }' "/proc/$KV_PID/stat" 2>/dev/null) =~ ^[RSD]$ ]]; then
        killed=$((killed + 1))
    fi
    kill -KILL "$KV_PID" 2>/dev/null || true
    wait "$KV_PID" 2>/dev/null || true
    if ! complete; then
        broken=$((broken + 1))
    fi
    n=$(temporaries)
    ((n == 0)) || left_after_kill=$((left_after_kill + 1))
done
echo "# $killed of $ROUNDS copies were killed before they had ended"
echo "# $ROUNDS kills: $left_after_kill left a temporary file behind (removed at the next start)"
check "after $ROUNDS kills during the save every file is old or new and complete" test "$broken" -eq 0
check "no temporary file of an ended copy survives the next start" test "$left_after_start" -eq 0

# The last leftovers go at one more start.
start_copy "$OUT/last.log" "last round"
check "the last copy starts clean" test "$(temporaries)" -eq 0
# The chat reaches the log while the copy runs: a copy killed without a chance to end
# keeps the lines it showed a little while before.
in_log() { grep -qF "$1" "$CONFIG/log.rtf"; }
for _ in {1..400}; do in_log "last round" && break; sleep 0.1; done
check "a line reaches the log within 40 s while the copy runs" in_log "last round"
kill -KILL "$KV_PID"
wait "$KV_PID" 2>/dev/null || true
check "a copy killed without warning keeps it, in a complete log" \
    eval 'in_log "last round" && complete'

echo "# $SECONDS s"
exit $((NETNS_FAILURES > 0))

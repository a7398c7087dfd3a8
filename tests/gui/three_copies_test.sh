#!/usr/bin/env bash
# The whole program as people use it: three copies with real windows, each on a host of its
# own (host1 and host2 in ALPHA, host3 in BETA, host3's user called "Cy"), on a private
# bridge. Each host has its own X display with a tray, its own settings, runtime and home
# directories. The windows are typed into and clicked with xdotool; what they show is read
# from the trace each copy writes with KALVENTO_TRACE, from screenshots and, after the
# copies have closed, from their log files. Exit 77 when it cannot run here.
#
#   three_copies_test.sh path/to/kalvento [screenshot directory]
set -euo pipefail

KV=$(readlink -f "${1:?usage: $0 path/to/kalvento [screenshot directory]}")
SHOTS=${2:-$(dirname "$KV")/tests/gui/screenshots}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR/../netns source=netns.sh
source "$HERE/../netns/netns.sh"
# shellcheck source-path=SCRIPTDIR source=gui_kit.sh
source "$HERE/gui_kit.sh"
netns_require
gui_require

TITLE="Kalvento 1.2 by Fennrake"
HOSTS=(host1 host2 host3)
# Design geometry of the window (client 633 x 417), relative to its top left corner.
LIST_X=336 LIST_Y=24 ITEM_H=18
PRIVATE_AT=(350 224)   # the "Send a private message" box in its panel
MESSAGE_AT=(480 274)   # the message box
CLOSE_AT=(594 378)     # btnClose, the last of the lower row of buttons

declare -A WINDOW_OF PID_OF
netns_setup host1:ALPHA host2:ALPHA host3:BETA
# The copies first, given a moment to say goodbye; one that hangs must not hang the test.
stop_copies() {
    local host pid left
    for host in "${!PID_OF[@]}"; do kill -TERM "${PID_OF[$host]}" 2>/dev/null || true; done
    for _ in {1..50}; do
        left=0
        for pid in "${PID_OF[@]}"; do kill -0 "$pid" 2>/dev/null && left=1; done
        ((left)) || break
        sleep 0.1
    done
    for pid in "${PID_OF[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
}
trap 'stop_copies; netns_cleanup' EXIT
OUT=$(mktemp -d)
mkdir -p "$SHOTS"
rm -f "$SHOTS"/*.png "$SHOTS"/*.log "$SHOTS"/*.rtf
# The traces and chat logs stay beside the screenshots, also after a failure.
keep_output() {
    local host
    for host in "${HOSTS[@]}"; do
        cp "$OUT/$host.log" "$SHOTS/$host-trace.log" 2>/dev/null || true
        cp "$OUT/$host/config/log.rtf" "$SHOTS/$host-log.rtf" 2>/dev/null || true
    done
}
netns_on_exit keep_output
netns_on_exit "rm -rf '$OUT'"

# Settings written before the start: no first-run wizard, a log, closing ends the copy.
write_settings() {
    local host=$1 dir=$OUT/$1
    mkdir -p "$dir/config" "$dir/home/.config" "$dir/run"
    chmod 0700 "$dir/run"
    {
        printf '[General]\nSave messages log=1\nHide to tray=0\n'
        printf '[Advanced]\nLanguage index=0\n'
        if [[ $host == host3 ]]; then printf 'Identity=Cy\n'; fi
    } >"$dir/config/Options.ini"
}

start_copy() {
    local host=$1 dir=$OUT/$1
    netns_bg "$host" "$OUT/$host.log" env DISPLAY="${GUI_DISPLAY[$host]}" QT_QPA_PLATFORM=xcb \
        HOME="$dir/home" XDG_CONFIG_HOME="$dir/home/.config" XDG_RUNTIME_DIR="$dir/run" \
        KALVENTO_CONFIG_DIR="$dir/config" KALVENTO_TRACE=1 NO_AT_BRIDGE=1 "$KV"
    PID_OF[$host]=$NETNS_LAST_PID
}

find_window() {
    local id
    id=$(gui_find_window "$1" "$TITLE") && WINDOW_OF[$1]=$id
}

# What host's list shows for computer: the text of its last addition or change, or nothing
# once it has gone.
shown_as() {
    local host=$1 computer=$2
    sed -n "s/^TRACE peer\([+~-]\) $computer\( \(.*\)\)\{0,1\}\$/\1\3/p" "$OUT/$host.log" |
        tail -1 | sed -n 's/^[+~]//p'
}
# The computers in host's list, in its order, one a line: its additions and removals.
entries() {
    awk '$1 == "TRACE" && $2 == "peer+" { rows[n++] = $3 }
        $1 == "TRACE" && $2 == "peer-" {
            for (i = 0; i < n; i++) if (rows[i] == $3) break
            if (i == n) next
            for (; i < n - 1; i++) rows[i] = rows[i + 1]
            n--
        }
        END { for (i = 0; i < n; i++) print rows[i] }' "$OUT/$1.log"
}
lists_all() { [[ $(entries "$1" | sort | xargs) == "${HOSTS[*]}" ]]; }
not_listed() { ! entries "$1" | grep -qxF "$2"; }
shows() { [[ $(shown_as "$1" "$2") == "$3" ]]; }
got() { grep -qxF "TRACE $2" "$OUT/$1.log"; }
exited() { ! kill -0 "${PID_OF[$1]}" 2>/dev/null; }

# The row of computer in host's list, from 0.
row_of() { entries "$1" | grep -nxF "$2" | cut -d: -f1 | awk '{ print $1 - 1 }'; }

click() {
    local host=$1 x=$2 y=$3
    gui_x "$host" mousemove --window "${WINDOW_OF[$host]}" "$x" "$y" click 1
    sleep 0.2
}

say() {
    local host=$1 text=$2
    gui_x "$host" windowfocus --sync "${WINDOW_OF[$host]}"
    gui_x "$host" type --delay 15 "$text"
    gui_x "$host" key Return
}

shoot() { gui_shoot "$1" "$SHOTS/$1-$2.png"; }

in_log() { grep -qF -- "$2" "$OUT/$1/config/log.rtf"; }
# Whether host's trace or chat log lacks text (a missing log lacks nothing).
lacks() { ! grep -qF -- "$2" "$OUT/$1.log" && [[ -f $OUT/$1/config/log.rtf ]] && ! in_log "$@"; }

for host in "${HOSTS[@]}"; do
    gui_start_display "$host"
    write_settings "$host"
done
for host in "${HOSTS[@]}"; do
    start_copy "$host"
done
echo "# displays: host1 ${GUI_DISPLAY[host1]}, host2 ${GUI_DISPLAY[host2]}," \
    "host3 ${GUI_DISPLAY[host3]}"

# One deadline for all, so that a copy that never comes up costs the time once.
all_windows() {
    local h
    for h in "${HOSTS[@]}"; do [[ -n ${WINDOW_OF[$h]:-} ]] || find_window "$h" || return 1; done
}
gui_wait_until 30 all_windows || true
for host in "${HOSTS[@]}"; do
    check "$host shows its window \"$TITLE\"" test -n "${WINDOW_OF[$host]:-}"
done
if ((NETNS_FAILURES > 0)); then
    echo "a window did not show; what the copies said:"
    tail -n +1 "$OUT"/host?.log
    exit 1
fi
all_list_all() {
    local h
    for h in "${HOSTS[@]}"; do lists_all "$h" || return 1; done
}
gui_wait_until 20 all_list_all || true
for host in "${HOSTS[@]}"; do
    check "$host lists exactly the three copies: $(entries "$host" | xargs)" lists_all "$host"
done
for host in host1 host2; do
    check "$host shows host3 by its identity Cy" gui_wait_until 5 shows "$host" host3 Cy
done
# host1 reaches host3's list by its greeting or by its answer to host3's.
shown=$(shown_as host3 host1)
check "host3 shows host1 by its computer name: $shown" \
    test "$shown" = "host1 (@ ALPHA)" -o "$shown" = host1
for host in "${HOSTS[@]}"; do shoot "$host" 1-found; done

if ((NETNS_FAILURES > 0)); then
    echo "the copies did not find each other; traces:"
    tail -n +1 "$OUT"/host?.log
    exit 1
fi

# A public line from host1 reaches everyone, host1 included.
say host1 "Hello from host1"
for host in "${HOSTS[@]}"; do
    check "the public line reaches $host" \
        gui_wait_until 5 got "$host" "line public host1: Hello from host1"
done

# A private line: tick host2 in host1's list, then "Send a private message".
row=$(row_of host1 host2)
click host1 $((LIST_X + 10)) $((LIST_Y + 2 + row * ITEM_H + ITEM_H / 2))
click host1 "${PRIVATE_AT[@]}"
click host1 "${MESSAGE_AT[@]}"
say host1 "Secret for host2"
check "the private line reaches host2" \
    gui_wait_until 5 got host2 "line private host1: Secret for host2"
# Untick the private box; a public line after it is the sign that the rest has arrived.
click host1 "${PRIVATE_AT[@]}"
click host1 "${MESSAGE_AT[@]}"
say host1 "After the secret"
for host in "${HOSTS[@]}"; do
    check "the line after the secret reaches $host as public" \
        gui_wait_until 5 got "$host" "line public host1: After the secret"
done
for host in host1 host3; do
    check "the private line does not reach $host" bash -c "! grep -qF Secret '$OUT/$host.log'"
done
# host3 answers; its line carries its identity.
gui_x host3 windowfocus --sync "${WINDOW_OF[host3]}"
say host3 "Cy here"
for host in "${HOSTS[@]}"; do
    check "host3's line reaches $host under the name Cy" \
        gui_wait_until 5 got "$host" "line public Cy: Cy here"
done
for host in "${HOSTS[@]}"; do shoot "$host" 2-chat; done

# Every copy made its key at the first start and keeps it to its user alone; the lines
# between them went sealed, each copy's key pinned at the others.
for host in "${HOSTS[@]}"; do
    mode=$(stat -c %a "$OUT/$host/config/identity.key" 2>/dev/null || echo none)
    check "$host keeps its identity key readable by its owner only (mode $mode)" \
        test "$mode" = 600
    check "$host's key is never traced" \
        bash -c "! grep -qF \"\$(tail -c 40 '$OUT/$host/config/identity.key')\" '$OUT/$host.log'"
done
for host in host2 host3; do
    check "$host pinned host1's key" got "$host" "peer-trust host1 pinned"
    check "host1's public line reached $host encrypted" \
        got "$host" "line-trust public host1 encrypted"
done
check "the private line reached host2 encrypted" got host2 "line-trust private host1 encrypted"
check "host3's line reached host1 encrypted" got host1 "line-trust public host3 encrypted"
check "nothing was refused" bash -c "! grep -q '^TRACE refused' '$OUT'/host?.log"

# Closing host3 (Esc) takes it off the other lists.
gui_x host3 windowfocus --sync "${WINDOW_OF[host3]}"
gui_x host3 key Escape
check "Esc ends host3" gui_wait_until 10 exited host3
for host in host1 host2; do
    check "host3 leaves $host's list" gui_wait_until 5 not_listed "$host" host3
done
for host in host1 host2; do shoot "$host" 3-after-close; done

# host2 closes with its close button, host1 with Esc.
click host2 "${CLOSE_AT[@]}"
check "the close button ends host2" gui_wait_until 10 exited host2
check "host2 leaves host1's list" gui_wait_until 5 not_listed host1 host2
gui_x host1 windowfocus --sync "${WINDOW_OF[host1]}"
gui_x host1 key Escape
check "Esc ends host1" gui_wait_until 10 exited host1
for host in "${HOSTS[@]}"; do
    rc=0
    wait "${PID_OF[$host]}" 2>/dev/null || rc=$?
    check "$host ended with exit code 0 (got $rc)" test "$rc" -eq 0
done

# The logs written at close hold what each window showed.
for host in "${HOSTS[@]}"; do
    check "$host's log holds the public line" in_log "$host" "Hello from host1"
    check "$host's log holds Cy's line" in_log "$host" "Cy here"
done
check "host1's log holds the echo \"To host2 (time): ...\"" \
    grep -qE 'To host2 \([^)]*\): Secret for host2' "$OUT/host1/config/log.rtf"
check "host2's log holds the private line from host1" \
    grep -qE 'host1 \([^)]*\): Secret for host2' "$OUT/host2/config/log.rtf"
check "host3's log does not hold the private line" lacks host3 Secret
# The program reports its own failures (a send, the settings, the log) on stderr.
for host in "${HOSTS[@]}"; do
    check "$host reported no error" bash -c "! grep -q '^kalvento: ' '$OUT/$host.log'"
    { grep -v "^TRACE" "$OUT/$host.log" || true; } | head -5 | sed "s/^/# $host: /"
done

echo "# screenshots in $SHOTS; $SECONDS s"
if ((NETNS_FAILURES > 0)); then
    echo "$NETNS_FAILURES check(s) failed; traces:"
    tail -n +1 "$OUT"/host?.log
    exit 1
fi

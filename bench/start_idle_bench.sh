#!/usr/bin/env bash
# The program with a real window on an X display, in a network namespace of its own on a
# private bridge (root, Xvfb and trayer needed; exit 77 otherwise), with the default
# settings and an empty log:
#
#  - start: from the launch to the main window's first paint (the "first-paint" trace
#    line), over several starts, with and without the splash;
#  - idle: once shown, the wake-ups (context switches of all its threads) per second and
#    the share of a core it takes over a quiet minute.
#
#   start_idle_bench.sh path/to/kalvento [starts] [idle seconds]
set -euo pipefail

KV=$(readlink -f "${1:?usage: $0 path/to/kalvento [starts] [idle seconds]}")
STARTS=${2:-10}
IDLE=${3:-60}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../tests/netns/netns.sh
source "$HERE/../tests/netns/netns.sh"
# shellcheck source=../tests/gui/gui_kit.sh
source "$HERE/../tests/gui/gui_kit.sh"
netns_require
gui_require

netns_setup host1:ALPHA
OUT=$(mktemp -d)
netns_on_exit "rm -rf '$OUT'"
gui_start_display host1

now_ms() { echo $((${EPOCHREALTIME/./} / 1000)); }

# start <name> <splash 0|1>: one start on fresh settings; the milliseconds to the first
# paint in STARTED_MS, the copy left running (pid in NETNS_LAST_PID).
start() {
    local dir=$OUT/$1
    rm -rf "$dir"
    gui_prepare_home "$dir"
    printf '[General]\nShow splashscreen=%s\n[Advanced]\nLanguage index=0\n' "$2" \
        >"$dir/config/Options.ini"
    local launched
    launched=$(date +%s%N)
    gui_start_program host1 "$dir/trace.log" "$dir" "$KV"
    gui_wait_until 20 grep -q '^TRACE first-paint ' "$dir/trace.log" || return 1
    local painted
    painted=$(awk '/^TRACE first-paint /{print $3; exit}' "$dir/trace.log")
    STARTED_MS=$(awk -v p="$painted" -v l="$launched" 'BEGIN{printf "%.1f\n", p - l / 1e6}')
}

stop() {
    netns_stop "$NETNS_LAST_PID"
}

for splash in 0 1; do
    times=()
    for ((i = 0; i < STARTS; i++)); do
        start "run$i" "$splash"
        times+=("$STARTED_MS")
        stop
    done
    printf '%s\n' "${times[@]}" | sort -n | awk -v s="$splash" '
        {v[NR]=$1} END{printf "start to first paint (splash %s): median %.1f ms, min %.1f, max %.1f (%d starts)\n",
        s, (NR%2 ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2), v[1], v[NR], NR}'
done

# Idle with the default settings (the splash shown, then gone).
start idle 1
pid=$NETNS_LAST_PID
# Past the text cursor's blinking, which stops after ten seconds without input.
sleep 12
python3 "$HERE/idle_sample.py" "$pid" "$IDLE"
stop

#!/usr/bin/env bash
# The start of the program with a long chat log, with a real window on an X display, in a
# network namespace of its own on a private bridge (root, Xvfb, trayer and python3 needed;
# exit 77 otherwise). For no log, a 10 MB and a 100 MB log in the program's own form, and a
# 10 MB log as another editor saves it:
#
#  - start: from the launch to the main window's first paint (the "first-paint" trace
#    line), median over several starts, without the splash;
#  - memory: once the window has been shown for two seconds, the process's private memory
#    (Private_Dirty) and proportional share (Pss) from /proc/<pid>/smaps_rollup.
#
#   start_log_bench.sh path/to/kalvento [starts]
set -euo pipefail

KV=$(readlink -f "${1:?usage: $0 path/to/kalvento [starts]}")
STARTS=${2:-7}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../tests/netns/netns.sh
source "$HERE/../tests/netns/netns.sh"
# shellcheck source=../tests/gui/gui_kit.sh
source "$HERE/../tests/gui/gui_kit.sh"
netns_require
gui_require
command -v python3 >/dev/null || { echo "SKIP: python3 is missing" >&2; exit 77; }

netns_setup host1:ALPHA
OUT=$(mktemp -d)
netns_on_exit "rm -rf '$OUT'"
gui_start_display host1

LOGS=$OUT/logs
mkdir -p "$LOGS"
python3 "$HERE/make_log.py" "$LOGS/10.rtf" 10
python3 "$HERE/make_log.py" "$LOGS/100.rtf" 100
python3 "$HERE/make_log.py" "$LOGS/10-foreign.rtf" 10 --foreign

# kb <field>: a field of smaps_rollup in kB.
kb() { awk -v f="$2:" '$1 == f { print $2 }' "/proc/$1/smaps_rollup"; }

# start <log or "none">: one start on fresh settings with that log; the milliseconds to the
# first paint in STARTED_MS and the memory in PRIVATE_KB and PSS_KB.
start() {
    local dir=$OUT/run
    rm -rf "$dir"
    gui_prepare_home "$dir"
    printf '[General]\nShow splashscreen=0\nAutomatic update=0\nSave messages log=1\n[Advanced]\nLanguage index=0\n' \
        >"$dir/config/Options.ini"
    [[ $1 == none ]] || cp "$LOGS/$1.rtf" "$dir/config/log.rtf"
    local launched painted
    launched=$(date +%s%N)
    gui_start_program host1 "$dir/trace.log" "$dir" "$KV"
    gui_wait_until 30 grep -qs "^TRACE first-paint " "$dir/trace.log" || return 1
    painted=$(awk '/^TRACE first-paint /{print $3; exit}' "$dir/trace.log")
    STARTED_MS=$(awk -v p="$painted" -v l="$launched" 'BEGIN{printf "%.1f\n", p - l / 1e6}')
    sleep 2
    PRIVATE_KB=$(kb "$NETNS_LAST_PID" Private_Dirty)
    PSS_KB=$(kb "$NETNS_LAST_PID" Pss)
    netns_stop "$NETNS_LAST_PID"
}

for log in none 10 100 10-foreign; do
    times=() privates=() psses=()
    for ((i = 0; i < STARTS; i++)); do
        start "$log"
        times+=("$STARTED_MS")
        privates+=("$PRIVATE_KB")
        psses+=("$PSS_KB")
    done
    median() { printf '%s\n' "$@" | sort -n | awk '{v[NR]=$1} END{print (NR%2 ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2)}'; }
    range() { printf '%s\n' "$@" | sort -n | awk '{v[NR]=$1} END{printf "%s-%s", v[1], v[NR]}'; }
    printf 'log %-10s start to first paint: median %s ms (%s); Private_Dirty median %.1f MB; Pss median %.1f MB (%d starts)\n' \
        "$log" "$(median "${times[@]}")" "$(range "${times[@]}")" \
        "$(awk -v k="$(median "${privates[@]}")" 'BEGIN{print k / 1024}')" \
        "$(awk -v k="$(median "${psses[@]}")" 'BEGIN{print k / 1024}')" "$STARTS"
done

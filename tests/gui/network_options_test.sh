#!/usr/bin/env bash
# The network settings of the options with real windows and real routing: host1 reaches a
# peer on a network of its own behind a router, which no broadcast crosses, through the
# /30 subnet in its [Network] peers, and chats with it both ways; a port chosen in the
# options (typed on its Network page) is the one the next start uses (a peer on that port
# sees the greeting); and a port that another program holds is named at the start while the
# window still opens.
# Exit 77 when it cannot run here.
#
#   network_options_test.sh path/to/kalvento path/to/kalvento-peer [screenshot directory]
set -euo pipefail

KV=$(readlink -f "${1:?usage: $0 path/to/kalvento path/to/kalvento-peer [shots]}")
PEER=$(readlink -f "${2:?usage: $0 path/to/kalvento path/to/kalvento-peer [shots]}")
SHOTS=${3:-$(dirname "$KV")/tests/gui/network-options}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR/../netns source=netns.sh
source "$HERE/../netns/netns.sh"
# shellcheck source-path=SCRIPTDIR source=gui_kit.sh
source "$HERE/gui_kit.sh"
netns_require
gui_require
if ! command -v python3 >/dev/null; then
    echo "SKIP: python3 is missing" >&2
    exit 77
fi

TITLE="Kalvento 1.2 by Fennrake"
netns_setup host1:ALPHA host2:ALPHA
netns_add_remote_host far ALPHA
FAR=$(netns_addr far)
netns_workdir "$SHOTS"
gui_start_display host1

# options <run> <[Network] lines...>: host1's settings for one run.
options() {
    local run=$1
    shift
    gui_prepare_home "$OUT/$run"
    {
        printf '[General]\nShow splashscreen=0\nAutomatic update=0\nHide to tray=0\n'
        printf '[Advanced]\nLanguage index=0\n[Network]\n'
        printf '%s\n' "$@"
    } >"$OUT/$run/config/Options.ini"
}
# peer <host> <name> [env...]: a headless peer, fed through <name>.in.
peer() {
    local host=$1 name=$2
    shift 2
    mkfifo "$OUT/$name.in"
    # shellcheck disable=SC2016 # expanded by the inner shell
    netns_bg "$host" "$OUT/$name.log" env "$@" sh -c 'exec "$0" --greet --identity "$1" < "$2"' \
        "$PEER" "$name" "$OUT/$name.in"
    eval "PID_$name=\$NETNS_LAST_PID"
    # shellcheck disable=SC2034 # read back through eval
    exec {fd}>"$OUT/$name.in"
    eval "IN_$name=\$fd"
    netns_wait_for "$OUT/$name.log" '^READY' 10
}
# titled <main|box>: the main window (633 pixels wide), or a message box of the same title.
titled() {
    local id main
    for id in $(gui_x host1 search --onlyvisible --name "^$TITLE\$" 2>/dev/null); do
        eval "$(gui_x host1 getwindowgeometry --shell "$id")"
        main=$((WIDTH >= 633))
        if [[ $1 == main && $main == 1 || $1 == box && $main == 0 ]]; then
            echo "$id"
            return 0
        fi
    done
    return 1
}
main_window() { titled main; }

# --- A peer behind a router, reached through a subnet ----------------------------------------
peer host2 lan
# The far peer knows host1 by address, as its user would have typed it.
peer far ulla KALVENTO_PEERS="$(netns_addr host1)"
sleep 1
check "no broadcast crosses the router: the LAN peer does not list the far one" \
    bash -c "! grep -q '^PEER+ far' '$OUT/lan.log'"

options subnet "Peers=$FAR/30"
gui_start_program host1 "$OUT/subnet.log" "$OUT/subnet" "$KV"
HOST1=$NETNS_LAST_PID
main=$(gui_wait_until 30 main_window) || true
check "host1 opens its window" test -n "$main"
check "the far peer sees host1's greeting" gui_wait_until 15 grep -q '^PEER+ host1$' "$OUT/ulla.log"
check "host1 lists the far peer" gui_wait_until 15 grep -q '^TRACE peer~ far ulla$' "$OUT/subnet.log"
check "host1 lists the LAN peer too" gui_wait_until 10 grep -q '^TRACE peer~ host2 lan$' "$OUT/subnet.log"
# shellcheck disable=SC2154 # set by peer
echo "say Hello across the router" >&"$IN_ulla"
check "the far peer's line reaches host1" \
    gui_wait_until 10 grep -q '^TRACE line public ulla: Hello across the router$' "$OUT/subnet.log"
if [[ -n $main ]]; then
    gui_x host1 windowfocus --sync "$main" type --delay 20 "Hello back" || true
    gui_x host1 key Return || true
fi
check "host1's typed line reaches the far peer" \
    gui_wait_until 10 grep -q '^LINE public other .*Hello back$' "$OUT/ulla.log"
check "and the LAN peer" gui_wait_until 10 grep -q '^LINE public other .*Hello back$' "$OUT/lan.log"
gui_shoot host1 "$SHOTS/1-chat-across-the-router.png"
netns_stop "$HOST1"

# --- The port chosen in the options ------------------------------------------------------
# The user opens the options, goes to the Network page, types 5800 and presses OK; the
# next start uses that port, and a peer on it sees the greeting.
# shellcheck disable=SC2154 # set by peer
echo "quit" >&"$IN_lan"
# shellcheck disable=SC2154 # set by peer
netns_stop "$PID_lan"
peer host2 lan5800 KALVENTO_PORT=5800
options port
gui_start_program host1 "$OUT/port.log" "$OUT/port" "$KV"
HOST1=$NETNS_LAST_PID
main=$(gui_wait_until 30 main_window) || true
check "port: host1 opens its window" test -n "$main"
netns_wait_for "$OUT/port.log" '^TRACE first-paint' 10 || true
options_window=""
if [[ -n $main ]]; then
    gui_x host1 mousemove --window "$main" $((338 + 57 + 28)) $((301 + 54 + 27)) click 1 || true
    options_window=$(gui_wait_until 10 gui_find_window host1 Options) || true
fi
check "port: the Options button opens the options" test -n "$options_window"
if [[ -n $options_window ]]; then
    # The page tabs have the focus when the options open. Ctrl+Shift+Tab wraps round from
    # the first page to the last one, the Network page, and Tab goes on to its first field,
    # the port.
    gui_x host1 windowfocus --sync "$options_window" key ctrl+shift+Tab || true
    sleep 0.3
    gui_x host1 key Tab ctrl+a type --delay 20 "5800" || true
    sleep 0.2
    gui_shoot host1 "$SHOTS/2-network-page.png"
    gui_x host1 key Return || true
fi
check "port: OK closes the options" gui_wait_until 10 gui_no_window host1 Options
box=$(gui_wait_until 10 titled box) || true
check "port: a notice says the port is used from the next start" test -n "$box"
[[ -n $box ]] && { gui_x host1 windowfocus --sync "$box" key Return || true; }
# The file is written once the notice is closed: wait for it rather than race the program.
check "port: OK wrote the port into the file" \
    gui_wait_until 5 grep -qx 'Port=5800' "$OUT/port/config/Options.ini"
check "port: the running copy greeted nobody on the new port" \
    bash -c "! grep -q '^PEER+ host1$' '$OUT/lan5800.log'"
netns_stop "$HOST1"
gui_start_program host1 "$OUT/port-next.log" "$OUT/port" "$KV"
HOST1=$NETNS_LAST_PID
check "a peer on the chosen port sees the next start's greeting" \
    gui_wait_until 15 grep -q '^PEER+ host1$' "$OUT/lan5800.log"
check "and host1 lists it" \
    gui_wait_until 10 grep -q '^TRACE peer~ host2 lan5800$' "$OUT/port-next.log"
netns_stop "$HOST1"

# --- The port held by another program ----------------------------------------------------
netns_bg host1 "$OUT/holder.log" python3 -c '
import socket, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", 5800))
print("HOLDING", flush=True)
time.sleep(120)'
HOLDER=$NETNS_LAST_PID
netns_wait_for "$OUT/holder.log" '^HOLDING' 10
options held "Port=5800"
gui_start_program host1 "$OUT/held.log" "$OUT/held" "$KV"
HOST1=$NETNS_LAST_PID
check "the start names the port that is taken" \
    gui_wait_until 20 grep -q '^kalvento: UDP port 5800 is used by another program' "$OUT/held.log"
check "and where to change it" grep -q 'another port on the Network page of the options' "$OUT/held.log"
# The window says it is offline in its title for as long as it is.
main=$(gui_wait_until 20 gui_find_window host1 "$TITLE \\(offline\\)") || true
check "the window still opens, titled offline" test -n "$main"
check "and the message is on screen" gui_wait_until 10 bash -c \
    "[[ \$(DISPLAY=${GUI_DISPLAY[host1]} xdotool search --onlyvisible --name '^$TITLE\$' | wc -l) -ge 1 ]]"
gui_shoot host1 "$SHOTS/3-port-taken.png"
check "the peer on that port hears nothing of the copy without its port" \
    bash -c "[[ \$(grep -c '^PEER+ host1$' '$OUT/lan5800.log') -eq 1 ]]"
netns_stop "$HOST1"
netns_stop "$HOLDER"

echo "# screenshots and logs in $SHOTS; $SECONDS s"
if ((NETNS_FAILURES > 0)); then
    echo "$NETNS_FAILURES check(s) failed; host1 said:"
    tail -30 "$OUT/subnet.log"
    echo "the far peer said:"
    cat "$OUT/ulla.log"
    exit 1
fi

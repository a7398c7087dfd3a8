#!/usr/bin/env bash
# The program on a tiling Wayland desktop with a tray: sway with its headless backend as the
# compositor, swaybar as the StatusNotifierItem watcher and host on a private session bus,
# wtype as the keyboard. The program on host1 chats with a headless peer on host2:
#   - a line typed on Wayland reaches the peer;
#   - Esc hides the window to the tray, where the program's item is registered with the
#     watcher, flashes while a line waits, and brings the window back when activated, as a
#     click on swaybar's icon does;
#   - with "Bring on top" on, a line that arrives while the window is on another workspace
#     asks the compositor for activation, and sway marks the window urgent, as it does by
#     default for a window that asks to be activated.
# sway refuses to run as root, so the compositor and the bar run as nobody; the bus lets
# both users in. Exit 77 when it cannot run here.
#
#   sway_test.sh path/to/kalvento path/to/kalvento-peer [log directory]
set -euo pipefail

KV=$(readlink -f "${1:?usage: $0 path/to/kalvento path/to/kalvento-peer [logs]}")
PEER=$(readlink -f "${2:?usage: $0 path/to/kalvento path/to/kalvento-peer [logs]}")
LOGS=${3:-$(dirname "$KV")/tests/wayland-sway}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR/../netns source=netns.sh
source "$HERE/../netns/netns.sh"
# shellcheck source-path=SCRIPTDIR/../gui source=gui_kit.sh
source "$HERE/../gui/gui_kit.sh"
netns_require
netns_require_tools sway swaybar swaymsg wtype dbus-daemon gdbus setpriv python3
plugins=$(qtpaths6 --query QT_INSTALL_PLUGINS 2>/dev/null || echo /usr/lib/x86_64-linux-gnu/qt6/plugins)
if ! ls "$plugins"/platforms/libqwayland-*.so >/dev/null 2>&1; then
    echo "SKIP: Qt's Wayland platform (qt6-wayland) is missing" >&2
    exit 77
fi
if ! id nobody >/dev/null 2>&1; then
    echo "SKIP: no user 'nobody' to run sway as" >&2
    exit 77
fi

netns_setup host1:ALPHA host2:ALPHA
netns_workdir "$LOGS"

# The desktop's own folder, nobody's: sway's runtime folder, its configuration and the bus.
DESK=$(mktemp -d)
netns_on_exit "rm -rf '$DESK'"
mkdir -p "$DESK/run" "$DESK/home"
cat >"$DESK/config" <<'EOF'
output HEADLESS-1 resolution 1024x768
bar {
    position bottom
    status_command none
    tray_output *
}
EOF
cat >"$DESK/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$DESK/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
EOF
chown -R nobody "$DESK"
chmod 0700 "$DESK/run"
chmod 0755 "$DESK"

export DBUS_SESSION_BUS_ADDRESS="unix:path=$DESK/bus"
dbus-daemon --config-file="$DESK/bus.conf" --nofork --nopidfile >"$OUT/dbus.log" 2>&1 &
NETNS_PIDS+=("$!")
gui_wait_until 10 test -S "$DESK/bus" || {
    echo "the session bus did not start" >&2
    exit 1
}

setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups \
    env -u DISPLAY -u WAYLAND_DISPLAY HOME="$DESK/home" XDG_RUNTIME_DIR="$DESK/run" \
    DBUS_SESSION_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS" WLR_BACKENDS=headless \
    WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman sway -c "$DESK/config" -d \
    >"$OUT/sway.log" 2>&1 &
NETNS_PIDS+=("$!")
sockets_up() {
    compgen -G "$DESK/run/sway-ipc.*.sock" >/dev/null &&
        compgen -G "$DESK/run/wayland-[0-9]" >/dev/null
}
check "sway is running" gui_wait_until 15 sockets_up
WAYLAND=$(compgen -G "$DESK/run/wayland-[0-9]" | head -1)
SWAYSOCK=$(compgen -G "$DESK/run/sway-ipc.*.sock" | head -1)
export SWAYSOCK

bus_has() {
    [[ $(timeout 5 gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
        --method org.freedesktop.DBus.NameHasOwner "$1" 2>/dev/null) == "(true,)" ]]
}
host_registered() {
    bus_has org.kde.StatusNotifierWatcher &&
        [[ $(timeout 5 gdbus call --session --dest org.kde.StatusNotifierWatcher \
            --object-path /StatusNotifierWatcher --method org.freedesktop.DBus.Properties.Get \
            org.kde.StatusNotifierWatcher IsStatusNotifierHostRegistered 2>/dev/null) == "(<true>,)" ]]
}
check "swaybar watches for tray items and shows them" gui_wait_until 15 host_registered

# Our window in sway's tree: "focused urgent visible workspace", or "none" while it is not
# mapped (hidden to the tray).
window_state() {
    swaymsg -r -t get_tree | python3 -c '
import json, sys
def walk(node, workspace):
    if node.get("type") == "workspace":
        workspace = node["name"]
    if node.get("app_id") == "kalvento" and node.get("name", "").startswith("Kalvento"):
        return "%s %s %s %s" % (node["focused"], node["urgent"], node["visible"], workspace)
    for child in node.get("nodes", []) + node.get("floating_nodes", []):
        found = walk(child, workspace)
        if found:
            return found
    return None
print(walk(json.load(sys.stdin), None) or "none")'
}
window_is() { [[ $(window_state) == "$1" ]]; }
# The items registered with the watcher, as "service/path" words.
items() {
    timeout 5 gdbus call --session --dest org.kde.StatusNotifierWatcher \
        --object-path /StatusNotifierWatcher --method org.freedesktop.DBus.Properties.Get \
        org.kde.StatusNotifierWatcher RegisteredStatusNotifierItems 2>/dev/null | grep -o "'[^']*'" | tr -d "'" || true
}
has_item() { [[ -n $(items) ]]; }
no_item() { ! has_item; }
item_count() { items | wc -l; }
# item_call <n> <method> <arguments>...: a call to the n-th item registered (1 the first).
item_call() {
    local item service path
    item=$(items | sed -n "$1p")
    [[ -n $item ]] || return 1
    service=${item%%/*}
    path=/${item#*/}
    shift
    timeout 5 gdbus call --session --dest "$service" --object-path "$path" --method "$@"
}
item_get() { item_call "$1" org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierItem "$2"; }
two_items() { (($(item_count) == 2)); }
# wtype's keyboard is new to the seat each time: the lead gives the program time to take it.
typed() { XDG_RUNTIME_DIR="$DESK/run" WAYLAND_DISPLAY=$WAYLAND wtype -s 700 "$@" -s 200; }

mkfifo "$OUT/host2.in"
# shellcheck disable=SC2016 # expanded by the inner shell
netns_bg host2 "$OUT/host2-peer.log" sh -c 'exec "$0" --greet --identity Bob < "$1"' "$PEER" "$OUT/host2.in"
exec {peer_in}>"$OUT/host2.in"
netns_wait_for "$OUT/host2-peer.log" '^READY' 10

# start <run> <bring on top 0|1> [env...]
start() {
    mkdir -p "$OUT/$1/config" "$OUT/$1/home/.config" "$OUT/$1/run"
    chmod 0700 "$OUT/$1/run"
    printf '[General]\nShow splashscreen=0\nAutomatic update=0\nHide to tray=1\n[Messages]\nShow alert=1\nFlashing icon=1\nBring on top=%s\nPlay a sound=0\nDesktop notification=0\n[Advanced]\nLanguage index=0\n' \
        "$2" >"$OUT/$1/config/Options.ini"
    netns_bg host1 "$OUT/$1.log" env -u DISPLAY XDG_RUNTIME_DIR="$OUT/$1/run" \
        WAYLAND_DISPLAY="$WAYLAND" QT_QPA_PLATFORM=wayland HOME="$OUT/$1/home" \
        XDG_CONFIG_HOME="$OUT/$1/home/.config" KALVENTO_CONFIG_DIR="$OUT/$1/config" \
        KALVENTO_TRACE=1 NO_AT_BRIDGE=1 DBUS_SESSION_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS" \
        "${@:3}" "$KV"
    RUN_PID=$NETNS_LAST_PID
    check "$1: a Wayland client with a tray" \
        netns_wait_for "$OUT/$1.log" '^TRACE platform wayland, tray available$' 20
    check "$1: its window is drawn" netns_wait_for "$OUT/$1.log" '^TRACE first-paint' 20
    check "$1: it lists the peer" netns_wait_for "$OUT/$1.log" '^TRACE peer~ host2 Bob$' 15
    check "$1: the window has the focus" gui_wait_until 10 window_is "True False True 1"
}
stop() {
    netns_stop "$RUN_PID"
    check "$1: the peer hears the goodbye" netns_wait_for "$OUT/host2-peer.log" '^PEER- host1$' 10
    check "$1: no error was reported" bash -c "! grep -q '^kalvento: ' '$OUT/$1.log'"
}

# --- Typed on Wayland, hidden to the tray and brought back -----------------------------------
start tray 0
typed "Typed on Wayland" -k Return
check "a typed line reaches the peer" \
    netns_wait_for "$OUT/host2-peer.log" '^LINE public other host1: Typed on Wayland$' 10
check "no item while the window is up" no_item
typed -k Escape
check "Esc hides the window" gui_wait_until 10 window_is none
check "its item is registered with the watcher" gui_wait_until 10 has_item
title=$(item_get 1 Title 2>/dev/null || true)
echo "# item title: $title"
check "the item names the program" grep -q "Kalvento" <<<"$title"

# A line while hidden: the alert icon joins the tray icon and flashes, so its picture
# changes from one look to the next.
echo "say While you were away" >&"$peer_in"
check "the line reaches host1" \
    netns_wait_for "$OUT/tray.log" '^TRACE line public Bob: While you were away$' 10
check "the alert icon is registered beside it" gui_wait_until 10 two_items
pictures() {
    local i
    for ((i = 0; i < 8; i++)); do
        item_get 2 IconPixmap 2>/dev/null | md5sum
        sleep 0.25
    done | sort -u | wc -l
}
check "the alert icon flashes" test "$(pictures)" -ge 2
check "the window stays hidden" window_is none
# What swaybar does on a click.
item_call 2 org.kde.StatusNotifierItem.Activate 10 760 >/dev/null || true
check "activating the alert icon brings the window back" \
    gui_wait_until 10 window_is "True False True 1"
check "and both icons go" gui_wait_until 10 no_item
stop tray

# --- Bring on top: the window asks to be activated --------------------------------------------
# Started the way a launcher starts it, with a token of the launcher's in the environment.
# Qt spends that one on the first window; a message later asks with a token of its own.
start front 1 XDG_ACTIVATION_TOKEN=the-launchers-token
swaymsg -q workspace 2
check "on another workspace the window is out of sight" gui_wait_until 10 window_is "False False False 1"
check "and the program knows it has lost the focus" \
    netns_wait_for "$OUT/front.log" '^TRACE window inactive$' 10
echo "say Look here" >&"$peer_in"
check "the line reaches host1" \
    netns_wait_for "$OUT/front.log" '^TRACE line public Bob: Look here$' 10
check "the program asks for activation" \
    netns_wait_for "$OUT/front.log" '^TRACE wayland-activation requested$' 10
urgent_workspaces() {
    swaymsg -r -t get_workspaces |
        python3 -c 'import json, sys; print(" ".join(w["name"] for w in json.load(sys.stdin) if w["urgent"]))'
}
check "sway marks the window that asked for activation" gui_wait_until 10 window_is "False True False 1"
check "and its workspace" test "$(urgent_workspaces)" == 1
stop front

echo "bye" >&"$peer_in"
exec {peer_in}>&-
echo "# logs in $LOGS; $SECONDS s"
if ((NETNS_FAILURES > 0)); then
    echo "$NETNS_FAILURES check(s) failed"
    for run in tray front; do
        echo "--- $run said:"
        cat "$OUT/$run.log" 2>/dev/null || true
    done
    grep -E 'ERROR|activation' "$OUT/sway.log" | tail -20 || true
    exit 1
fi

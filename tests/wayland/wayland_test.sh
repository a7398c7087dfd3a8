#!/usr/bin/env bash
# The program as a native Wayland client: weston with its headless backend (drawing with
# pixman, so that a screenshot can be taken) as the compositor, the program on host1 and a
# headless peer on host2. The program shows its window on Wayland, greets and is listed by
# the peer, lists the peer, shows the peer's lines and says goodbye when it ends. Weston's
# headless backend has no input devices, so nothing is typed here; typing is tested on X11.
# Exit 77 when it cannot run here.
#
#   wayland_test.sh path/to/kalvento path/to/kalvento-peer [screenshot directory]
set -euo pipefail

KV=$(readlink -f "${1:?usage: $0 path/to/kalvento path/to/kalvento-peer [shots]}")
PEER=$(readlink -f "${2:?usage: $0 path/to/kalvento path/to/kalvento-peer [shots]}")
SHOTS=${3:-$(dirname "$KV")/tests/wayland}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR/../netns source=netns.sh
source "$HERE/../netns/netns.sh"
netns_require
netns_require_tools weston weston-screenshooter identify
plugins=$(qtpaths6 --query QT_INSTALL_PLUGINS 2>/dev/null || echo /usr/lib/x86_64-linux-gnu/qt6/plugins)
if ! ls "$plugins"/platforms/libqwayland-*.so >/dev/null 2>&1; then
    echo "SKIP: Qt's Wayland platform (qt6-wayland) is missing" >&2
    exit 77
fi

netns_setup host1:ALPHA host2:ALPHA
netns_workdir "$SHOTS"

# The compositor, in the root namespace; clients reach it through its socket file.
RUNTIME=$OUT/run
mkdir -p "$RUNTIME" "$OUT/home/.config" "$OUT/config"
chmod 0700 "$RUNTIME"
XDG_RUNTIME_DIR=$RUNTIME weston --backend=headless-backend.so --use-pixman --width=1024 \
    --height=768 --socket=wayland-kv --idle-time=0 --debug >"$OUT/weston.log" 2>&1 &
NETNS_PIDS+=("$!")
for ((i = 0; i < 100; i++)); do
    [[ -S $RUNTIME/wayland-kv ]] && break
    sleep 0.1
done
check "weston is running" test -S "$RUNTIME/wayland-kv"

mkfifo "$OUT/host2.in"
# shellcheck disable=SC2016 # expanded by the inner shell
netns_bg host2 "$OUT/host2-peer.log" sh -c 'exec "$0" --greet --identity Bob < "$1"' "$PEER" "$OUT/host2.in"
exec {peer_in}>"$OUT/host2.in"
netns_wait_for "$OUT/host2-peer.log" '^READY' 10

printf '[General]\nShow splashscreen=0\nAutomatic update=0\nHide to tray=1\n[Advanced]\nLanguage index=0\n' \
    >"$OUT/config/Options.ini"
netns_bg host1 "$OUT/host1.log" env -u DISPLAY XDG_RUNTIME_DIR="$RUNTIME" WAYLAND_DISPLAY=wayland-kv \
    QT_QPA_PLATFORM=wayland HOME="$OUT/home" XDG_CONFIG_HOME="$OUT/home/.config" \
    KALVENTO_CONFIG_DIR="$OUT/config" KALVENTO_TRACE=1 NO_AT_BRIDGE=1 "$KV"
HOST1=$NETNS_LAST_PID

check "the program runs as a Wayland client" \
    netns_wait_for "$OUT/host1.log" '^TRACE platform wayland' 20
# No StatusNotifierItem watcher here: no tray, so "Hide to tray" leaves the window up.
check "without a tray watcher there is no tray" grep -q '^TRACE platform wayland, tray none$' "$OUT/host1.log"
check "its window is drawn" netns_wait_for "$OUT/host1.log" '^TRACE first-paint' 20
check "the peer lists it" netns_wait_for "$OUT/host2-peer.log" '^PEER+ host1$' 15
check "it lists the peer" netns_wait_for "$OUT/host1.log" '^TRACE peer~ host2 Bob$' 10
echo "say Hello, Wayland" >&"$peer_in"
check "it shows the peer's line" netns_wait_for "$OUT/host1.log" '^TRACE line public Bob: Hello, Wayland$' 10
echo "private host1 Only for you" >&"$peer_in"
check "and a private one" netns_wait_for "$OUT/host1.log" '^TRACE line private Bob: Only for you$' 10

sleep 0.5
(cd "$OUT" && XDG_RUNTIME_DIR=$RUNTIME WAYLAND_DISPLAY=wayland-kv timeout 10 weston-screenshooter) ||
    echo "# no screenshot"
shot=$(ls "$OUT"/wayland-screenshot-*.png 2>/dev/null | head -1) || true
if [[ -n $shot ]]; then
    cp "$shot" "$SHOTS/main-window.png"
fi
# The desktop's background and panel alone have few colours; the window adds many.
check "the screenshot shows the window" \
    bash -c "[[ -n '$shot' && \$(identify -format '%k' '$shot') -gt 200 ]]"

netns_stop "$HOST1"
check "the peer hears the goodbye" netns_wait_for "$OUT/host2-peer.log" '^PEER- host1$' 10
check "no error was reported" bash -c "! grep -q '^kalvento: ' '$OUT/host1.log'"
echo "bye" >&"$peer_in"
exec {peer_in}>&-

echo "# screenshot and logs in $SHOTS; $SECONDS s"
if ((NETNS_FAILURES > 0)); then
    echo "$NETNS_FAILURES check(s) failed; host1 said:"
    cat "$OUT/host1.log"
    tail -20 "$OUT/weston.log"
    exit 1
fi

#!/usr/bin/env bash
# The Debian package as a user gets it: built with cpack from the build folder, checked by
# lintian (no errors), unpacked with dpkg-deb into a temporary root, its menu entry, its
# software-centre description and its manual page validated, and the unpacked program
# started from there with a real window on host1 while a headless peer runs on host2. The
# program finds its translation, its help and its icons under the unpacked share/. The
# screenshot of its window is the one the description shows. Exit 77 when it cannot run
# here (not root, or a tool missing).
#
#   package_test.sh path/to/build path/to/kalvento-peer [screenshot directory]
set -euo pipefail

BUILD=$(readlink -f "${1:?usage: $0 path/to/build path/to/kalvento-peer [shots]}")
PEER=$(readlink -f "${2:?usage: $0 path/to/build path/to/kalvento-peer [shots]}")
SHOTS=${3:-$BUILD/tests/package}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR/netns source=netns/netns.sh
source "$HERE/netns/netns.sh"
# shellcheck source-path=SCRIPTDIR/gui source=gui/gui_kit.sh
source "$HERE/gui/gui_kit.sh"
netns_require
gui_require
netns_require_tools cpack dpkg-deb lintian desktop-file-validate appstreamcli man identify

# The Finnish title: the translation under the unpacked share/ is in use.
TITLE="Kalvento 1.2 – Fennrake"
netns_setup host1:ALPHA host2:ALPHA
netns_workdir "$SHOTS"

# --- The package ---------------------------------------------------------------------------
check "cpack builds the package" \
    cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$OUT/pkg" >"$OUT/cpack.log" 2>&1
deb=$(ls "$OUT"/pkg/kalvento_*.deb 2>/dev/null | head -1) || true
if [[ -z $deb ]]; then
    cat "$OUT/cpack.log"
    exit 1
fi
echo "# package: $(basename "$deb"), $(stat -c %s "$deb") bytes"
depends=$(dpkg-deb -f "$deb" Depends)
echo "# Depends: $depends"
# The dependencies are the libraries the program links, found by dpkg-shlibdeps.
for library in libqt6widgets6 libqt6gui6 libqt6core6 libcanberra0 libssl3 libc6; do
    check "the package depends on $library" grep -q "\\b$library\\b" <<<"$depends"
done
check "no maintainer scripts" \
    bash -c "! dpkg-deb --ctrl-tarfile '$deb' | tar -t | grep -Eq 'preinst|postinst|prerm|postrm'"
lintian --info "$deb" >"$OUT/lintian.log" 2>&1 || true
grep -v '^N:' "$OUT/lintian.log" | grep -E '^[EW]:' | sed 's/^/# lintian: /' || true
check "lintian reports no errors" bash -c "! grep -q '^E:' '$OUT/lintian.log'"

ROOT=$OUT/root
check "the package unpacks" dpkg-deb -x "$deb" "$ROOT"
SHARE=$ROOT/usr/share
KV=$ROOT/usr/bin/kalvento
check "the program is in usr/bin" test -x "$KV"
check "the menu entry is valid" desktop-file-validate "$SHARE/applications/kalvento.desktop"
metainfo=$(ls "$SHARE"/metainfo/*.metainfo.xml | head -1)
check "the description is valid for software centres" appstreamcli validate --no-net "$metainfo"
check "the description names the menu entry" grep -q '>kalvento.desktop</launchable>' "$metainfo"
check "the manual page renders without a warning" \
    bash -c "man --warnings -l '$SHARE/man/man1/kalvento.1.gz' 2>&1 >/dev/null | (! grep .)"
check "the manual page describes -s" bash -c "man -l '$SHARE/man/man1/kalvento.1.gz' 2>/dev/null | grep -q -- '-s'"
for size in 16 22 24 32 48 64 128 256; do
    png=$SHARE/icons/hicolor/${size}x${size}/apps/kalvento.png
    check "the ${size}x${size} icon is that size" \
        bash -c "[[ \$(identify -format '%wx%h' '$png' 2>/dev/null) == ${size}x${size} ]]"
done
check "the scalable icon is there" test -s "$SHARE/icons/hicolor/scalable/apps/kalvento.svg"
check "the translation is there" test -s "$SHARE/kalvento/Languages/Suomi.txt"
check "the help is there" test -s "$SHARE/kalvento/Helps/KVSuomi.html"

# --- The unpacked program ------------------------------------------------------------------
# Started from the unpacked root with a peer on host2: prepare <run> <language index>
# <language>.
prepare() {
    gui_prepare_home "$OUT/$1"
    cat >"$OUT/$1/config/Options.ini" <<INI
[General]
Show splashscreen=0
Automatic update=0
Hide to tray=0
[Advanced]
Language index=$2
Language=$3
INI
}

gui_start_display host1
mkfifo "$OUT/host2.in"
# shellcheck disable=SC2016 # expanded by the inner shell
netns_bg host2 "$OUT/host2-peer.log" sh -c 'exec "$0" --greet < "$1"' "$PEER" "$OUT/host2.in"
exec {peer_in}>"$OUT/host2.in"
netns_wait_for "$OUT/host2-peer.log" '^READY' 10

prepare run1 1 Suomi
gui_start_program host1 "$OUT/run1.log" "$OUT/run1" "$KV"
RUN1_PID=$NETNS_LAST_PID
main=$(gui_wait_until 30 gui_find_window host1 "$TITLE") || true
check "the unpacked program shows its window" test -n "$main"
if [[ -z $main ]]; then
    cat "$OUT/run1.log"
    exit 1
fi
check "it reads the translation under the unpacked share/" \
    grep -qxF "TRACE language $SHARE/kalvento/Languages/Suomi.txt" "$OUT/run1.log"
# Outside the desktop's search path, the icons installed beside the program are used.
check "it takes the icons installed beside it" \
    grep -qx 'TRACE program icon: installed files' "$OUT/run1.log"
check "host1 lists the peer" gui_wait_until 15 grep -q '^TRACE peer+ host2' "$OUT/run1.log"
check "the peer lists host1" gui_wait_until 15 grep -q '^PEER+ host1' "$OUT/host2-peer.log"
echo "say Huomenta! Tulostin on taas kunnossa." >&"$peer_in"
check "host1 shows the peer's line" \
    gui_wait_until 10 grep -q '^TRACE line public .*Tulostin on taas kunnossa' "$OUT/run1.log"

# F1 opens the Finnish help from the unpacked share/.
gui_x host1 windowfocus --sync "$main" key F1 2>/dev/null || true
check "F1 opens the help" gui_wait_until 10 bash -c "[[ -n \$(DISPLAY=${GUI_DISPLAY[host1]} xdotool search --onlyvisible --name '^Kalventon ohje\$') ]]"
check "the help is the one under the unpacked share/" \
    grep -qxF "TRACE help $SHARE/kalvento/Helps/KVSuomi.html" "$OUT/run1.log"
netns_stop "$RUN1_PID"
check "the first copy ends" gui_wait_until 10 gui_no_window host1 "$TITLE"

# Where the desktop looks for icons (the prefix on XDG_DATA_DIRS), the theme's icon is used.
# In English, this run gives the screenshot of the software centres' description.
prepare run2 0 ""
gui_start_program host1 "$OUT/run2.log" "$OUT/run2" env XDG_DATA_DIRS="$SHARE:/usr/share" "$KV"
RUN2_PID=$NETNS_LAST_PID
main=$(gui_wait_until 30 gui_find_window host1 "Kalvento 1.2 by Fennrake") || true
check "the second copy shows its window in English" test -n "$main"
check "installed, it takes the icon theme's icon" \
    grep -qx 'TRACE program icon: theme' "$OUT/run2.log"
check "the second copy lists the peer" \
    gui_wait_until 15 grep -q '^TRACE peer+ host2' "$OUT/run2.log"
echo "say Good morning! The printer on the second floor works again." >&"$peer_in"
check "the second copy shows the peer's line" \
    gui_wait_until 10 grep -q '^TRACE line public .*printer on the second floor' "$OUT/run2.log"
if [[ -n $main ]]; then
    gui_x host1 windowfocus --sync "$main" type --delay 20 "Thanks, I'll print the plan now." || true
    gui_x host1 key Return || true
    check "the answer reaches the peer" \
        gui_wait_until 10 grep -q "^LINE public other .*print the plan now" "$OUT/host2-peer.log"
    sleep 0.5
    import -display "${GUI_DISPLAY[host1]}" -window "$main" "$SHOTS/main-window.png" 2>/dev/null ||
        echo "# no screenshot of the window"
fi
check "the screenshot shows the window" \
    bash -c "[[ \$(identify -format '%wx%h' '$SHOTS/main-window.png' 2>/dev/null) == 633x417 ]]"
netns_stop "$RUN2_PID"

echo "bye" >&"$peer_in"
exec {peer_in}>&-
for run in run1 run2; do
    check "$run reported no error" bash -c "! grep -q '^kalvento: ' '$OUT/$run.log'"
done

echo "# screenshot and logs in $SHOTS; $SECONDS s"
if ((NETNS_FAILURES > 0)); then
    echo "$NETNS_FAILURES check(s) failed; the first copy said:"
    tail -40 "$OUT/run1.log"
    exit 1
fi

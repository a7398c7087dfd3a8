#!/usr/bin/env bash
# "--help", "--version" and an unknown option, answered without a display, without a
# settings file and while another copy runs: the right text and exit code, and nothing
# created. "--send" hands its paths to that other copy, which answers for it, and to a copy
# still in its first start's questions. With no copy and no display, a line says why. The
# copies run offscreen on loopback only.
#
#   program_options_test.sh path/to/kalvento
set -euo pipefail

KV=$(readlink -f "${1:?usage: $0 path/to/kalvento}")
OUT=$(mktemp -d)
other=
starting=
trap '[[ -n $other ]] && kill -KILL "$other" 2>/dev/null
      [[ -n $starting ]] && kill -KILL "$starting" 2>/dev/null
      rm -rf "$OUT"' EXIT
failures=0
check() {
    local what=$1
    shift
    if "$@"; then echo "ok   - $what"; else echo "FAIL - $what"; failures=$((failures + 1)); fi
}
mkdir -p "$OUT/config" "$OUT/home" "$OUT/run" "$OUT/other/config" "$OUT/other/home"
chmod 0700 "$OUT/run"
# env_args dir: into ENV_ARGS, the environment of a copy with dir's settings and home, and
# the shared runtime folder that holds the session's lock.
env_args() {
    ENV_ARGS=(-u DISPLAY -u WAYLAND_DISPLAY HOME="$1/home" XDG_CONFIG_HOME="$1/home/.config"
        XDG_RUNTIME_DIR="$OUT/run" KALVENTO_CONFIG_DIR="$1/config" KALVENTO_INTERFACES=lo
        KALVENTO_PORT=$((20000 + $$ % 20000)))
}
env_of() {
    env_args "$1"
    env "${ENV_ARGS[@]}" "${@:2}"
}
untouched() {
    [[ -z $(find "$OUT/config" "$OUT/home" -mindepth 1) ]] || { ls -laR "$OUT/config" "$OUT/home" >&2; false; }
}

# Another copy holds the session's lock; its language chosen already, so that it runs
# without the first start's questions.
# exec: the pid is the program's own, so that the trap ends it.
printf '[General]\nAutomatic update=0\n[Advanced]\nLanguage index=0\n' >"$OUT/other/config/Options.ini"
env_args "$OUT/other"
(exec env "${ENV_ARGS[@]}" QT_QPA_PLATFORM=offscreen KALVENTO_TRACE=1 "$KV" -s) \
    >"$OUT/other.log" 2>&1 &
other=$!
for _ in {1..400}; do grep -q '^TRACE first-paint\|^TRACE title' "$OUT/other.log" && break; sleep 0.05; done
check "the other copy is up" grep -q '^TRACE' "$OUT/other.log"

set +e
env_of "$OUT" "$KV" --help >"$OUT/help.out" 2>"$OUT/help.err"
help_rc=$?
env_of "$OUT" "$KV" --version >"$OUT/version.out" 2>"$OUT/version.err"
version_rc=$?
env_of "$OUT" "$KV" --no-such-option >"$OUT/bad.out" 2>"$OUT/bad.err"
bad_rc=$?
# --send: the running copy lists nobody, and nobody is ticked there.
for _ in {1..400}; do [[ -S $OUT/run/kalvento-send.socket ]] && break; sleep 0.05; done
echo "some words" >"$OUT/report.txt"
(cd "$OUT" && env_of "$OUT" "$KV" --send report.txt --to NOPE >"$OUT/named.out" 2>"$OUT/named.err")
named_rc=$?
env_of "$OUT" "$KV" --send "$OUT/report.txt" >"$OUT/ticked.out" 2>"$OUT/ticked.err"
ticked_rc=$?
env_of "$OUT" "$KV" --send --to NOPE >"$OUT/nopath.out" 2>"$OUT/nopath.err"
nopath_rc=$?
set -e

check "--help exits 0" test "$help_rc" -eq 0
check "--help answers on standard output" grep -q '^Usage: kalvento \[-s\]' "$OUT/help.out"
check "--version exits 0" test "$version_rc" -eq 0
check "--version names the version" grep -qx 'Kalvento 1\.2\.[0-9.]*' "$OUT/version.out"
check "an unknown option exits 2" test "$bad_rc" -eq 2
check "and says so on standard error" grep -q "unknown option '--no-such-option'" "$OUT/bad.err"
check "nothing went to standard output then" test ! -s "$OUT/bad.out"
check "the running copy takes --send on a socket of the user's alone" \
    test "$(stat -c '%a %u' "$OUT/run/kalvento-send.socket")" = "700 $(id -u)"
check "--send to a computer not listed exits 1" test "$named_rc" -eq 1
check "and the running copy's reason is printed" \
    grep -q "Not sent to NOPE: it is not listed" "$OUT/named.err"
check "--send for nobody in particular, nobody ticked: the running copy asks whom" \
    bash -c "[[ $ticked_rc -eq 0 ]] && grep -q 'asks whom to send them to' '$OUT/ticked.out'"
check "--send without a path is refused before anything" \
    bash -c "[[ $nopath_rc -eq 2 ]] && grep -q \"'--send' needs a file or folder\" '$OUT/nopath.err'"
check "no settings, no folders were created" untouched
check "the other copy still runs" kill -0 "$other"

# A copy at its first start, held by the welcome questions (offscreen nobody answers them):
# its socket is up already, and paths for nobody in particular are taken at once, to be
# asked about once the window is up (nobody can be ticked yet).
mkdir -p "$OUT/first/config" "$OUT/first/home" "$OUT/first/run"
chmod 0700 "$OUT/first/run"
first_env=(-u DISPLAY -u WAYLAND_DISPLAY HOME="$OUT/first/home"
    XDG_CONFIG_HOME="$OUT/first/home/.config" XDG_RUNTIME_DIR="$OUT/first/run"
    KALVENTO_CONFIG_DIR="$OUT/first/config" KALVENTO_INTERFACES=lo
    KALVENTO_PORT=$((20001 + $$ % 20000)))
(exec env "${first_env[@]}" QT_QPA_PLATFORM=offscreen KALVENTO_TRACE=1 "$KV") \
    >"$OUT/first.log" 2>&1 &
starting=$!
for _ in {1..400}; do [[ -S $OUT/first/run/kalvento-send.socket ]] && break; sleep 0.05; done
set +e
env "${first_env[@]}" "$KV" --send "$OUT/report.txt" >"$OUT/starting.out" 2>"$OUT/starting.err"
starting_rc=$?
set -e
check "a copy in its first start's questions already takes --send" bash -c \
    "kill -0 $starting && test ! -e '$OUT/first/config/Options.ini'"
check "and takes paths for nobody in particular at once, saying what comes" bash -c \
    "[[ $starting_rc -eq 0 ]] && grep -q 'starting: it will ask whom' '$OUT/starting.out'"

# No copy runs and there is no display: said in a line, nothing created, no crash of the
# toolkit's.
mkdir -p "$OUT/none/run"
chmod 0700 "$OUT/none/run"
none_env=(-u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM HOME="$OUT/none/home"
    XDG_CONFIG_HOME="$OUT/none/home/.config" XDG_RUNTIME_DIR="$OUT/none/run"
    KALVENTO_CONFIG_DIR="$OUT/none/config" KALVENTO_INTERFACES=lo)
set +e
env "${none_env[@]}" "$KV" --send "$OUT/report.txt" --to NOPE >"$OUT/none.out" 2>"$OUT/none.err"
none_send_rc=$?
env "${none_env[@]}" "$KV" >"$OUT/none-start.out" 2>"$OUT/none-start.err"
none_start_rc=$?
set -e
check "--send with no copy and no display exits 1 and says nothing was sent" bash -c \
    "[[ $none_send_rc -eq 1 ]] && grep -q 'no display to start one on; nothing was sent' '$OUT/none.err'"
check "a start with no display exits 1 and says why" bash -c \
    "[[ $none_start_rc -eq 1 ]] && grep -q 'no display to show the window on' '$OUT/none-start.err'"
check "and neither created anything" test ! -e "$OUT/none/home" -a ! -e "$OUT/none/config"

# The manual page renders without a warning.
MAN=$(dirname "$(readlink -f "$0")")/../data/kalvento.1
if command -v man >/dev/null; then
    check "the manual page renders cleanly" bash -c \
        "[[ -z \$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l '$MAN' 2>&1 >/dev/null) ]]"
fi
if ((failures > 0)); then
    for log in other first starting.err starting.out ticked.err ticked.out; do
        echo "--- $log"
        cat "$OUT/$log"* 2>/dev/null || true
    done
fi
exit $((failures > 0))

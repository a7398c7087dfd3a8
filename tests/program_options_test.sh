#!/usr/bin/env bash
# "--help", "--version" and an unknown option, answered without a display, without a
# settings file and while another copy runs: the right text and exit code, and nothing
# created. The other copy runs offscreen on loopback only.
#
#   program_options_test.sh path/to/kalvento
set -euo pipefail

KV=$(readlink -f "${1:?usage: $0 path/to/kalvento}")
OUT=$(mktemp -d)
other=
trap '[[ -n $other ]] && kill -KILL "$other" 2>/dev/null; rm -rf "$OUT"' EXIT
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

# Another copy holds the session's lock.
# exec: the pid is the program's own, so that the trap ends it.
env_args "$OUT/other"
(exec env "${ENV_ARGS[@]}" QT_QPA_PLATFORM=offscreen KALVENTO_TRACE=1 "$KV" -s) \
    >"$OUT/other.log" 2>&1 &
other=$!
for _ in {1..100}; do grep -q '^TRACE first-paint\|^TRACE title' "$OUT/other.log" && break; sleep 0.05; done
check "the other copy is up" grep -q '^TRACE' "$OUT/other.log"

set +e
env_of "$OUT" "$KV" --help >"$OUT/help.out" 2>"$OUT/help.err"
help_rc=$?
env_of "$OUT" "$KV" --version >"$OUT/version.out" 2>"$OUT/version.err"
version_rc=$?
env_of "$OUT" "$KV" --no-such-option >"$OUT/bad.out" 2>"$OUT/bad.err"
bad_rc=$?
set -e

check "--help exits 0" test "$help_rc" -eq 0
check "--help answers on standard output" grep -q '^Usage: kalvento \[-s\]' "$OUT/help.out"
check "--version exits 0" test "$version_rc" -eq 0
check "--version names the version" grep -qx 'Kalvento 1\.2\.[0-9.]*' "$OUT/version.out"
check "an unknown option exits 2" test "$bad_rc" -eq 2
check "and says so on standard error" grep -q "unknown option '--no-such-option'" "$OUT/bad.err"
check "nothing went to standard output then" test ! -s "$OUT/bad.out"
check "no settings, no folders were created" untouched
check "the other copy still runs" kill -0 "$other"

# The manual page renders without a warning.
MAN=$(dirname "$(readlink -f "$0")")/../data/kalvento.1
if command -v man >/dev/null; then
    check "the manual page renders cleanly" bash -c \
        "[[ -z \$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l '$MAN' 2>&1 >/dev/null) ]]"
fi
exit $((failures > 0))

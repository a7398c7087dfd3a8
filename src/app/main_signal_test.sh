#!/usr/bin/env bash
# The program ends on SIGTERM (the session going away) whether or not "Hide to tray" is on,
# and writes its settings first. Usage: main_signal_test.sh <kalvento>
set -euo pipefail
program=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

export QT_QPA_PLATFORM=offscreen KALVENTO_INTERFACES=lo XDG_CONFIG_HOME=$work/xdg
# A runtime directory and a port of its own, so that no other copy on this machine counts.
export XDG_RUNTIME_DIR=$work/runtime KALVENTO_PORT=$((20000 + RANDOM % 20000))
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

for hide in 1 0; do
  export KALVENTO_CONFIG_DIR=$work/config-$hide
  mkdir -p "$KALVENTO_CONFIG_DIR"
  printf '[General]\nAutomatic update=0\nHide to tray=%s\n[Advanced]\nLanguage index=0\n' \
    "$hide" >"$KALVENTO_CONFIG_DIR/Options.ini"
  "$program" &
  pid=$!
  sleep 2
  kill -0 "$pid" || { echo "hide to tray $hide: the program did not start"; exit 1; }
  kill -TERM "$pid"
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid"
    echo "hide to tray $hide: still running 5 s after SIGTERM"
    exit 1
  fi
  rc=0
  wait "$pid" || rc=$?
  [ "$rc" -eq 0 ] || { echo "hide to tray $hide: exit code $rc"; exit 1; }
  grep -q '^Width=633$' "$KALVENTO_CONFIG_DIR/Options.ini" ||
    { echo "hide to tray $hide: settings not written"; cat "$KALVENTO_CONFIG_DIR/Options.ini"; exit 1; }
done
echo "ok"

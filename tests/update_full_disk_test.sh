#!/usr/bin/env bash
# The update window on a full disk, for real: the save folder is a tmpfs of 1 MB mounted in
# a mount namespace of this test's own, and the window's full-disk test runs there (the
# download fills the disk part of the way through a block; the check meets a disk full to
# the last byte). Needs root for the namespace; exit 77 without it.
#
#   update_full_disk_test.sh path/to/update_window_test
set -euo pipefail

TEST=$(readlink -f "${1:?usage: $0 path/to/update_window_test}")
if [[ $(id -u) -ne 0 ]]; then
    echo "SKIP: a mount namespace needs root" >&2
    exit 77
fi
if ! unshare -m --propagation private true 2>/dev/null; then
    echo "SKIP: no mount namespace can be made here" >&2
    exit 77
fi

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir "$WORK/save"
# The mount lives and dies with the namespace: nothing outside ever sees it.
# shellcheck disable=SC2016 # expanded by the inner shell
unshare -m --propagation private bash -c '
    mount -t tmpfs -o size=1m kalvento-full-disk "$1"
    KALVENTO_FULL_DISK_DIR="$1" QT_QPA_PLATFORM=offscreen \
        "$2" --gtest_filter="*AFullDisk*"
' _ "$WORK/save" "$TEST" 2>&1 | tee "$WORK/log"
if grep -q '\[  SKIPPED \]' "$WORK/log" || ! grep -q '\[  PASSED  \] 1 test' "$WORK/log"; then
    echo "FAIL: the full-disk test did not run" >&2
    exit 1
fi

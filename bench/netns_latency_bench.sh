#!/usr/bin/env bash
# Latency of a public line between two headless copies in two network namespaces on a
# private bridge (root only; exit 77 otherwise): from the command to the sender until the
# other copy shows the line, and until the sender shows it as its own.
#
#   netns_latency_bench.sh path/to/kalvento-peer [lines]
set -euo pipefail

PEER=$(readlink -f "${1:?usage: $0 path/to/kalvento-peer [lines]}")
LINES=${2:-300}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../tests/netns/netns.sh
source "$HERE/../tests/netns/netns.sh"
netns_require
netns_setup host1:ALPHA host2:ALPHA

netns_prefix host1
a=("${NETNS_PREFIX_CMD[@]}" "$PEER")
netns_prefix host2
b=("${NETNS_PREFIX_CMD[@]}" "$PEER")
python3 "$HERE/chat_latency.py" --lines "$LINES" -- "${a[@]}" -- "${b[@]}"

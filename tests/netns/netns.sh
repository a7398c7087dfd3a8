# shellcheck shell=bash
# A private LAN of network namespaces for whole-network tests. Source it, then:
#
#   netns_require                       # exits 77 (test skipped) unless root with ip netns
#   netns_setup host1:GROUPA host2:GROUPA host3:GROUPB
#   netns_add_second_interface host1    # another veth on the same bridge
#   netns_add_remote_host far GROUPC    # a host behind a router, on a network of its own
#   netns_exec host1 cmd args...        # run with the host's own host name, group, interfaces
#   netns_bg host1 out.log cmd args...  # the same in the background; pid in NETNS_LAST_PID
#   netns_addr host1                    # address of its first interface
#   netns_ifaces host1                  # "veth0" or "veth0,veth1"
#   netns_on_exit 'rm -rf "$dir"'       # more cleanup, run before the namespaces go
#   check "what" command...             # prints ok/FAIL, counts failures in NETNS_FAILURES
#   netns_require_tools dunst weston    # exits 77 (test skipped) unless each is installed
#   netns_workdir "$SHOTS"              # a scratch folder in OUT, its logs kept in SHOTS
#
# The bridge sits in a "switch" namespace of its own and each host reaches it through veth
# pairs created directly inside the namespaces: nothing is added to the root namespace, so
# no datagram can leave through a real interface. Addresses come from 198.51.100.0/24
# (host n: .(10+n), its second interface .(100+n)). Everything is removed on exit, also
# after a failure or an interrupt.
#
# A host's host name is its name, or "<name>.$NETNS_DOMAIN" when NETNS_DOMAIN is set.
# netns_exec sets KALVENTO_WORKGROUP and KALVENTO_INTERFACES for the host; anything else
# can be passed with "env NAME=value" in front of the command.

NETNS_ID="kvt-$$"
NETNS_SWITCH="$NETNS_ID-sw"
NETNS_SUBNET=198.51.100
NETNS_DOMAIN="${NETNS_DOMAIN:-}"
NETNS_HOSTS=()
NETNS_PIDS=()
NETNS_EXIT_HOOKS=()
NETNS_LAST_PID=
NETNS_PREFIX_CMD=()
NETNS_FAILURES=0
declare -A NETNS_GROUP NETNS_IFACES NETNS_NUMBER NETNS_REMOTE

netns_require() {
    if [[ $EUID -ne 0 ]]; then
        echo "SKIP: network namespace tests need root" >&2
        exit 77
    fi
    if ! command -v ip >/dev/null || ! command -v unshare >/dev/null; then
        echo "SKIP: ip or unshare is missing" >&2
        exit 77
    fi
    local probe="$NETNS_ID-probe"
    if ! ip netns add "$probe" 2>/dev/null; then
        echo "SKIP: ip netns is not available here" >&2
        exit 77
    fi
    ip netns del "$probe"
}

# A failed check is counted, not fatal: the script reports them all at its end.
check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok   - $what"
    else
        echo "FAIL - $what"
        NETNS_FAILURES=$((NETNS_FAILURES + 1))
    fi
}

netns_require_tools() {
    local tool
    for tool in "$@"; do
        if ! command -v "$tool" >/dev/null; then
            echo "SKIP: $tool is missing (scripts/setup installs it)" >&2
            exit 77
        fi
    done
}

# netns_workdir shots: OUT, a scratch folder removed at exit; the shots folder is emptied of
# earlier screenshots and logs, and gets OUT's logs at exit.
netns_workdir() {
    OUT=$(mktemp -d)
    mkdir -p "$1"
    rm -f "$1"/*.png "$1"/*.log
    netns_on_exit "cp '$OUT'/*.log '$1/' 2>/dev/null || true"
    netns_on_exit "rm -rf '$OUT'"
}

netns_ns() { echo "$NETNS_ID-$1"; }

netns_on_exit() { NETNS_EXIT_HOOKS+=("$1"); }

netns_cleanup() {
    local hook pid host
    for pid in "${NETNS_PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${NETNS_PIDS[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    NETNS_PIDS=()
    for hook in "${NETNS_EXIT_HOOKS[@]}"; do
        eval "$hook" || true
    done
    NETNS_EXIT_HOOKS=()
    for host in "${NETNS_HOSTS[@]}"; do
        ip netns del "$(netns_ns "$host")" 2>/dev/null || true
    done
    NETNS_HOSTS=()
    ip netns del "$NETNS_SWITCH" 2>/dev/null || true
}

netns_trap() {
    trap 'netns_cleanup' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
}

# netns_setup name[:GROUP]...
netns_setup() {
    netns_trap
    ip netns add "$NETNS_SWITCH"
    ip -n "$NETNS_SWITCH" link add br0 type bridge
    ip -n "$NETNS_SWITCH" link set br0 up
    local entry host group number=0
    for entry in "$@"; do
        host=${entry%%:*}
        group=WORKGROUP
        [[ $entry == *:* ]] && group=${entry#*:}
        number=$((number + 1))
        NETNS_HOSTS+=("$host")
        NETNS_GROUP[$host]=$group
        NETNS_NUMBER[$host]=$number
        NETNS_IFACES[$host]=
        local ns
        ns=$(netns_ns "$host")
        ip netns add "$ns"
        ip -n "$ns" link set lo up
        # Two interfaces on one network: take what arrives on either.
        ip netns exec "$ns" sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0
        netns_plug "$host" 0 "$NETNS_SUBNET.$((10 + number))"
    done
}

# netns_plug host index address: a veth<index> in the host, its peer on the bridge.
netns_plug() {
    local host=$1 index=$2 address=$3 ns outside
    ns=$(netns_ns "$host")
    outside="h${NETNS_NUMBER[$host]}e$index"
    ip -n "$NETNS_SWITCH" link add "$outside" type veth peer name "veth$index" netns "$ns"
    ip -n "$NETNS_SWITCH" link set "$outside" master br0 up
    ip -n "$ns" addr add "$address/24" broadcast "$NETNS_SUBNET.255" dev "veth$index"
    ip -n "$ns" link set "veth$index" up
    NETNS_IFACES[$host]="${NETNS_IFACES[$host]:+${NETNS_IFACES[$host]},}veth$index"
}

netns_add_second_interface() {
    netns_plug "$1" 1 "$NETNS_SUBNET.$((100 + NETNS_NUMBER[$1]))"
}

# netns_add_remote_host name [GROUP]: a host that broadcasts cannot reach. It sits alone on
# 198.51.100.200/30 (as .201), on a second bridge, and a "router" namespace joins the two
# networks (198.51.100.1 on the LAN, .202 on the far side) and forwards between them; the
# LAN's hosts (those set up before) get a route to the far network through it. Broadcasts
# stay on their own side. netns_addr gives its address.
netns_add_remote_host() {
    local host=$1 group=${2:-WORKGROUP} ns router h
    router=$(netns_ns router)
    ip -n "$NETNS_SWITCH" link add br1 type bridge
    ip -n "$NETNS_SWITCH" link set br1 up
    ip netns add "$router"
    NETNS_HOSTS+=(router)
    ip -n "$router" link set lo up
    ip netns exec "$router" sysctl -qw net.ipv4.ip_forward=1
    ip -n "$NETNS_SWITCH" link add rt0 type veth peer name lan netns "$router"
    ip -n "$NETNS_SWITCH" link set rt0 master br0 up
    ip -n "$router" addr add "$NETNS_SUBNET.1/24" dev lan
    ip -n "$router" link set lan up
    ip -n "$NETNS_SWITCH" link add rt1 type veth peer name far netns "$router"
    ip -n "$NETNS_SWITCH" link set rt1 master br1 up
    ip -n "$router" addr add "$NETNS_SUBNET.202/30" dev far
    ip -n "$router" link set far up
    for h in "${NETNS_HOSTS[@]}"; do
        [[ $h == router ]] && continue
        ip -n "$(netns_ns "$h")" route add "$NETNS_SUBNET.200/30" via "$NETNS_SUBNET.1"
    done

    NETNS_HOSTS+=("$host")
    NETNS_GROUP[$host]=$group
    NETNS_NUMBER[$host]=${#NETNS_HOSTS[@]}
    NETNS_IFACES[$host]=veth0
    NETNS_REMOTE[$host]=$NETNS_SUBNET.201
    ns=$(netns_ns "$host")
    ip netns add "$ns"
    ip -n "$ns" link set lo up
    ip -n "$NETNS_SWITCH" link add farh type veth peer name veth0 netns "$ns"
    ip -n "$NETNS_SWITCH" link set farh master br1 up
    ip -n "$ns" addr add "$NETNS_SUBNET.201/30" broadcast "$NETNS_SUBNET.203" dev veth0
    ip -n "$ns" link set veth0 up
    ip -n "$ns" route add default via "$NETNS_SUBNET.202"
}

netns_addr() { echo "${NETNS_REMOTE[$1]:-$NETNS_SUBNET.$((10 + NETNS_NUMBER[$1]))}"; }

netns_ifaces() { echo "${NETNS_IFACES[$1]}"; }

netns_hostname() { echo "$1${NETNS_DOMAIN:+.$NETNS_DOMAIN}"; }

# The command prefix that runs something as the host (into NETNS_PREFIX_CMD).
netns_prefix() {
    local host=$1
    NETNS_PREFIX_CMD=(ip netns exec "$(netns_ns "$host")" unshare --uts
        env KALVENTO_WORKGROUP="${NETNS_GROUP[$host]}" KALVENTO_INTERFACES="${NETNS_IFACES[$host]}"
        sh -c 'hostname "$0" && exec "$@"' "$(netns_hostname "$host")")
}

netns_exec() {
    local host=$1
    shift
    netns_prefix "$host"
    "${NETNS_PREFIX_CMD[@]}" "$@"
}

# A simple command in the background, so that its pid is the command's own (every step of
# the prefix execs the next).
netns_bg() {
    local host=$1 out=$2
    shift 2
    netns_prefix "$host"
    # Emptied here, before the command starts: the background shell would empty it only
    # when it runs, and a wait on the file meanwhile would read the last run's lines.
    : >"$out"
    "${NETNS_PREFIX_CMD[@]}" "$@" >>"$out" 2>&1 &
    NETNS_LAST_PID=$!
    NETNS_PIDS+=("$NETNS_LAST_PID")
}

# netns_wait_for file pattern [seconds]: until a line of file matches.
netns_wait_for() {
    local file=$1 pattern=$2 tries=$((${3:-5} * 50))
    while ((tries-- > 0)); do
        grep -q -- "$pattern" "$file" 2>/dev/null && return 0
        sleep 0.02
    done
    echo "timed out waiting for '$pattern' in $file:" >&2
    cat "$file" >&2 || true
    return 1
}

# netns_stop pid: ends a background command and waits for it.
netns_stop() {
    local pid=$1 kept=() p
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    for p in "${NETNS_PIDS[@]}"; do
        [[ $p == "$pid" ]] || kept+=("$p")
    done
    NETNS_PIDS=("${kept[@]}")
}

# shellcheck shell=bash
# Real windows for whole-program tests: an X display with a tray per host, xdotool to drive
# it, screenshots. Source it after tests/netns/netns.sh and netns_setup (its processes are
# ended with the namespaces). Then:
#
#   gui_require                      # exits 77 (test skipped) without Xvfb, trayer, xdotool, import
#   gui_start_display host1          # its own Xvfb and trayer; the display in GUI_DISPLAY[host1]
#   gui_x host1 search --name ...    # xdotool on host1's display
#   gui_find_window host1 'title'    # id of the visible window of that exact title, or fails
#   gui_shoot host1 dir/name.png     # a screenshot of host1's whole display
#   gui_wait_until 10 command...     # polls until command succeeds, by the clock
#   gui_prepare_home dir             # config, home and runtime folders of one copy under dir
#   gui_start_program host log dir program args...  # the program on host's display with
#                                    # those folders and the trace; pid in NETNS_LAST_PID
#   gui_no_window host 'title'       # true when no visible window has that exact title
#
# Checks are counted by netns.sh's check, in NETNS_FAILURES.
#
# Displays are started in the root namespace without TCP; a program in a host's namespace
# reaches its display through the socket file in /tmp/.X11-unix. There is no window
# manager: use "windowfocus", not "windowactivate".

declare -A GUI_DISPLAY
GUI_WORK=

gui_require() {
    local tool
    for tool in Xvfb trayer xdotool import; do
        if ! command -v "$tool" >/dev/null; then
            echo "SKIP: $tool is missing" >&2
            exit 77
        fi
    done
}

# A loaded machine makes each poll slow: the deadline is by the clock, not a count.
gui_wait_until() {
    local end=$((${EPOCHREALTIME/./} + $1 * 1000000))
    shift
    while ((${EPOCHREALTIME/./} < end)); do
        "$@" && return 0
        sleep 0.1
    done
    "$@"
}

gui_x() {
    local host=$1
    shift
    DISPLAY=${GUI_DISPLAY[$host]} xdotool "$@"
}

gui_find_window() {
    local id
    id=$(gui_x "$1" search --onlyvisible --name "^$2\$" 2>/dev/null | head -1) || true
    [[ -n $id ]] && echo "$id"
}

gui_start_display() {
    local host=$1 number
    if [[ -z $GUI_WORK ]]; then
        GUI_WORK=$(mktemp -d)
        netns_on_exit "rm -rf '$GUI_WORK'"
    fi
    # -noreset: by default the server starts over whenever its last client leaves, and a
    # client that connects meanwhile (the tray, after a probe of ours) is refused.
    Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1024x768x24 3>"$GUI_WORK/$host.display" \
        >"$GUI_WORK/$host.xvfb.log" 2>&1 &
    NETNS_PIDS+=("$!")
    gui_wait_until 10 test -s "$GUI_WORK/$host.display" || {
        echo "Xvfb did not start for $host" >&2
        cat "$GUI_WORK/$host.xvfb.log" >&2
        exit 1
    }
    number=$(head -1 "$GUI_WORK/$host.display")
    GUI_DISPLAY[$host]=":$number"
    # The tray first, so that the program finds one when it starts.
    DISPLAY=":$number" trayer --edge bottom --align right --widthtype request --height 24 \
        --SetDockType false --SetPartialStrut false >"$GUI_WORK/$host.trayer.log" 2>&1 &
    NETNS_PIDS+=("$!")
    gui_wait_until 10 gui_x "$host" search --name '^panel$' >/dev/null ||
        echo "# no tray window seen on $host's display"
}

gui_shoot() {
    import -display "${GUI_DISPLAY[$1]}" -window root "$2" 2>/dev/null ||
        echo "# no screenshot of $1"
}

gui_prepare_home() {
    mkdir -p "$1/config" "$1/home/.config" "$1/run"
    chmod 0700 "$1/run"
}

gui_start_program() {
    local host=$1 log=$2 dir=$3
    shift 3
    netns_bg "$host" "$log" env DISPLAY="${GUI_DISPLAY[$host]}" QT_QPA_PLATFORM=xcb \
        HOME="$dir/home" XDG_CONFIG_HOME="$dir/home/.config" XDG_RUNTIME_DIR="$dir/run" \
        KALVENTO_CONFIG_DIR="$dir/config" KALVENTO_TRACE=1 NO_AT_BRIDGE=1 "$@"
}

gui_no_window() { [[ -z $(gui_find_window "$1" "$2") ]]; }

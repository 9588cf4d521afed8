# Shared set-up of the terminal end-to-end tests, sourced after TOOL is set:
#   source tmux_session.sh <name>
# gives a private work folder ($WORK, removed on exit), a private tmux server
# ("${TMUX_COMMAND[@]}" ...) whose panes know the right terminal type, the
# fail/pass reporters that count failures in $FAILURES, the run.sh that starts
# the tool in a pane, screen readers, waiting, and the check that a run gave
# the terminal back.

WORK=$(mktemp -d "${TMPDIR:-/tmp}/vantorel-$1.XXXXXX")
SOCKET="vantorel-$1-$$"
TMUX_COMMAND=(tmux -L "$SOCKET" -f "$WORK/tmux.conf")
FAILURES=0

cleanup() {
    "${TMUX_COMMAND[@]}" kill-server > /dev/null 2>&1
    rm -f "${TMUX_TMPDIR:-/tmp}/tmux-$(id -u)/$SOCKET"
    rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    FAILURES=$((FAILURES + 1))
}

pass() { echo "ok: $*"; }

if infocmp tmux-256color > /dev/null 2>&1; then PANE_TERM=tmux-256color; else PANE_TERM=screen; fi
cat > "$WORK/tmux.conf" << TMUXCONF
set -g status off
set -g default-terminal $PANE_TERM
set -s escape-time 0
set -g history-limit 200
TMUXCONF

# Each run starts in a shell inside the given folder that records the terminal
# modes, runs the tool under a recorded process id, and records the modes again
# and the exit status. The records live in $WORK.
#   run.sh <name> <folder> [ignore-hangup] [extra environment assignments...]
cat > "$WORK/run.sh" << 'EOF'
#!/bin/sh
name=$1; folder=$2; shift 2
work=$(dirname "$0")
cd "$folder" || exit 1
stty -g > "$work/$name.before"
echo "shell before the tool"
if [ "${1:-}" = ignore-hangup ]; then shift; trap '' HUP; fi
sh -c 'echo $$ > "$1"; shift; exec env "$@"' _ "$work/$name.pid" LANG=C.UTF-8 "$@" "$TOOL"
status=$?
trap - HUP
stty -g > "$work/$name.after"
echo "tool ended with status $status"
echo "$status" > "$work/$name.status"
# The pane stays open for its screen to be read, and ends with the work folder
# (a pane whose hangups are ignored outlives the tmux server otherwise).
while [ -d "$work" ]; do sleep 1; done
EOF

screen_of() { "${TMUX_COMMAND[@]}" capture-pane -p -t "$1" 2> /dev/null; }
row_of() { screen_of "$1" | sed -n "${2}p"; }

# wait_until <seconds> <interval> <command...>
wait_until() {
    local deadline=$((SECONDS + $1)) interval=$2
    shift 2
    while ! "$@"; do
        ((SECONDS >= deadline)) && return 1
        sleep "$interval"
    done
}
row_is() { [[ "$(row_of "$1" "$2")" == "$3" ]]; }
screen_has() { screen_of "$1" | grep -qF -- "$2"; }
file_exists() { [[ -s $1 ]]; }
process_gone() { ! kill -0 "$1" 2> /dev/null; }

# expect_exit_and_modes <name> <status> <what> <seconds>: within the seconds
# the run's tool ended with the status, and the terminal modes are those from
# before it. Returns 1 (after killing the tool) when it did not end.
expect_exit_and_modes() {
    local name=$1 status=$2 what=$3 seconds=$4
    if ! wait_until "$seconds" 0.1 file_exists "$WORK/$name.status"; then
        fail "$what: the tool did not end"
        kill -KILL "$(cat "$WORK/$name.pid")" 2> /dev/null
        return 1
    fi
    local got
    got=$(cat "$WORK/$name.status")
    if [[ $got == "$status" ]]; then pass "$what: exit status $status"; else fail "$what: exit status $got, expected $status"; fi
    if cmp -s "$WORK/$name.before" "$WORK/$name.after"; then
        pass "$what: terminal modes restored"
    else
        fail "$what: terminal modes differ: before $(cat "$WORK/$name.before"), after $(cat "$WORK/$name.after")"
    fi
}

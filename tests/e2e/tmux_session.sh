# Shared set-up of the terminal end-to-end tests, sourced after TOOL is set:
#   source tmux_session.sh <name>
# gives a private work folder ($WORK, removed on exit), a private tmux server
# ("${TMUX_COMMAND[@]}" ...) whose panes know the right terminal type, and the
# fail/pass reporters that count failures in $FAILURES.

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

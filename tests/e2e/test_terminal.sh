#!/usr/bin/env bash
# Drives the real binary in a private tmux server with an 80x33 pane and checks
# what a user sees: the start screen, typing, keys that carry no character, the
# error box, resizing, whole jobs in panes smaller than the screen, and the
# terminal being given back on every way out (signals from outside, a closed
# terminal, the normal end).
#
# Usage: test_terminal.sh <path-to-vantorel> [<path-to-make_test_wav>]
# Exits non-zero and names every failed check on failure.

set -u

if [[ $# -lt 1 || ! -x $1 ]]; then
    echo "usage: $0 <path-to-vantorel> [<path-to-make_test_wav>]" >&2
    exit 2
fi
if ! command -v tmux > /dev/null; then
    echo "tmux is not installed" >&2
    exit 2
fi

TOOL=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
# shellcheck source=tmux_session.sh
source "$(dirname "${BASH_SOURCE[0]}")/tmux_session.sh" terminal-test

# start_sized_run <name> <columns> <rows> [run.sh options...]: a new session
# of that size running the tool.
start_sized_run() {
    local name=$1 columns=$2 rows=$3
    shift 3
    "${TMUX_COMMAND[@]}" new-session -d -s "$name" -x "$columns" -y "$rows" \
        "TOOL='$TOOL' sh '$WORK/run.sh' $name . $*"
}

# start_run <name> [run.sh options...]: a new 80x33 session running the tool.
start_run() {
    local name=$1
    shift
    start_sized_run "$name" 80 33 "$@"
}

# A row with the box's vertical lines as '|', so that columns count in bytes.
plain_row_of() { row_of "$1" "$2" | sed 's/\xe2\x94\x82/|/g'; }
cursor_of() { "${TMUX_COMMAND[@]}" display -p -t "$1" '#{cursor_x},#{cursor_y}'; }
# Each try of wait_until reads the pane afresh through these.
cursor_is() { [[ $(cursor_of "$1") == "$2" ]]; }
box_text_at() { [[ $(plain_row_of "$1" "$2" | cut -c"$3") == "$4" ]]; }
keys() {
    local session=$1
    shift
    "${TMUX_COMMAND[@]}" send-keys -t "$session" "$@"
}
text() { "${TMUX_COMMAND[@]}" send-keys -t "$1" -l "$2"; }

screen_lacks() { ! screen_has "$1" "$2"; }

# expect_row <session> <row> <text> <what>: waits up to 5 s for the row.
expect_row() {
    if wait_until 5 0.1 row_is "$1" "$2" "$3"; then
        pass "$4"
    else
        fail "$4: row $2 is '$(row_of "$1" "$2")', expected '$3'"
    fi
}

expect_screen_has() {
    if wait_until 5 0.1 screen_has "$1" "$2"; then pass "$3"; else fail "$3: '$2' not on the screen"; fi
}

expect_screen_lacks() {
    if wait_until 5 0.1 screen_lacks "$1" "$2"; then pass "$3"; else fail "$3: '$2' still on the screen"; fi
}

expect_cursor() {
    if wait_until 5 0.1 cursor_is "$1" "$2"; then
        pass "$3"
    else
        fail "$3: cursor at $(cursor_of "$1") (x,y from 0), expected $2"
    fi
}

# expect_given_back <name> <status> <what>: the tool ended with the status,
# the terminal modes are those from before it, the shell's screen is back.
expect_given_back() {
    local name=$1 what=$3
    expect_exit_and_modes "$name" "$2" "$what" 10 || return
    if wait_until 5 0.1 screen_has "$name" "tool ended with status" && screen_has "$name" "shell before the tool" &&
        screen_lacks "$name" "Wave file to analyse?"; then
        pass "$what: the shell's own screen is back"
    else
        fail "$what: the shell's screen did not come back:"
        screen_of "$name" | sed 's/^/    | /'
    fi
}

START_ROW_2="   Vantorel"
PROMPT="   Wave file to analyse?"

# --- Standard input or output not a terminal ------------------------------------

echo | "$TOOL" > "$WORK/piped.out" 2> "$WORK/piped.err"
status=$?
if [[ $status -ne 0 && ! -s "$WORK/piped.out" && $(wc -l < "$WORK/piped.err") -eq 1 ]]; then
    pass "input from a pipe: one line on stderr ($(cat "$WORK/piped.err")), status $status"
else
    fail "input from a pipe: status $status, stdout '$(cat "$WORK/piped.out")', stderr '$(cat "$WORK/piped.err")'"
fi

# --- The start screen, typing, keys without a character ------------------------

start_run main
expect_row main 2 "$START_ROW_2" "start screen: banner on row 2"
expect_row main 8 "$PROMPT" "start screen: prompt on row 8"
expect_cursor main "28,7" "start screen: cursor at row 8, column 29"
title=$("${TMUX_COMMAND[@]}" display -p -t main '#{pane_title}')
if [[ $title == Vantorel ]]; then pass "window title set"; else fail "window title is '$title'"; fi
if [[ $PANE_TERM == tmux-256color ]]; then
    # Black on bright white for the banner, dark grey for the prompt.
    colours=$("${TMUX_COMMAND[@]}" capture-pane -e -p -t main | sed -n 1,8p)
    if grep -qE '107m|48;5;15m' <<< "$colours" && grep -qE '90m|38;5;8m' <<< "$colours"; then
        pass "start screen: bright white background and dark grey prompt"
    else
        fail "start screen: colours not found in $(cat -v <<< "$colours")"
    fi
fi

keys main Left Right Up Down Home End F1 F5 NPage IC
text main "nosuch"
text main "é"
keys main C-c
expect_row main 8 "$PROMPT    nosuché" "keys without a character insert nothing; é is one character"
expect_cursor main "35,7" "cursor after 7 typed characters"
if process_gone "$(cat "$WORK/main.pid")"; then fail "Ctrl+C ended the tool"; else pass "Ctrl+C does not end the tool"; fi
keys main BSpace
text main "_name"
expect_row main 8 "$PROMPT    nosuch_name" "Backspace removes the whole two-byte character"
keys main -H e9 ff  # bytes that are no UTF-8
text main "2"
expect_row main 8 "$PROMPT    nosuch_name??2" "stray bytes are kept, shown as '?', and do not hold up later keys"

# --- The error box ------------------------------------------------------------

keys main Enter
expect_screen_has main "File not found." "error box: first line"
expect_screen_has main "Please enter a valid filename" "error box: second line"
expect_screen_has main "ERROR" "error box: caption"
expect_screen_has main "[ OK ]" "error box: button"
if screen_has main '\n'; then fail "error box shows a literal backslash-n"; else pass "error box breaks the line at backslash-n"; fi
# Centred on the 80x33 screen: a 37 x 7 box from row 14, column 22.
line16=$(plain_row_of main 16)
if [[ ${line16:32:15} == "File not found." ]]; then pass "error box: centred"; else fail "error box: row 16 is '$line16'"; fi
keys main x Down Tab
sleep 0.3
if screen_has main "File not found."; then pass "error box: other keys leave it open"; else fail "error box closed on a key other than Enter, Space or Escape"; fi
keys main Enter
expect_screen_lacks main "File not found." "error box: Enter closes it"
expect_row main 8 "$PROMPT" "after the box: a fresh start screen"
expect_row main 2 "$START_ROW_2" "after the box: banner back"

keys main Enter
expect_screen_has main "File not found." "empty name: error box"
keys main Escape
expect_screen_lacks main "File not found." "error box: Escape closes it"
keys main Enter
expect_screen_has main "File not found." "empty name: error box again"
keys main Space
expect_screen_lacks main "File not found." "error box: Space closes it"
expect_row main 8 "$PROMPT" "after Space: the start screen"

# --- Resizing -----------------------------------------------------------------

text main "abc"
expect_row main 8 "$PROMPT    abc" "typed before resizing"
"${TMUX_COMMAND[@]}" resize-window -t main -x 30 -y 10
# The cursor stands in column 32, beyond the 30 columns: they end at it.
expect_row main 8 " Wave file to analyse?    abc" "small window: the columns follow the cursor beyond the right edge"
expect_cursor main "29,7" "small window: the cursor in view"
if [[ -z $(row_of main 9) && $(screen_of main | wc -l) -le 10 ]]; then
    pass "small window: nothing wraps onto the next row"
else
    fail "small window: screen is"$'\n'"$(screen_of main)"
fi
keys main Enter
expect_screen_has main "ERROR" "small window: the box shows"
"${TMUX_COMMAND[@]}" resize-window -t main -x 80 -y 33
expect_row main 2 "$START_ROW_2" "grown back: the full screen returns"
if wait_until 5 0.1 box_text_at main 16 33-47 "File not found."; then
    pass "grown back: the box is centred again"
else
    fail "grown back: row 16 is '$(plain_row_of main 16)'"
fi
keys main Enter
expect_screen_lacks main "File not found." "grown back: Enter closes the box"
expect_row main 8 "$PROMPT" "grown back: start screen"
text main "xyz"
"${TMUX_COMMAND[@]}" resize-window -t main -x 100 -y 40
expect_row main 8 "$PROMPT    xyz" "large window: the screen stays at the top left"
"${TMUX_COMMAND[@]}" resize-window -t main -x 80 -y 33
expect_cursor main "31,7" "after resizing: cursor where the model has it"

# --- SIGTERM from outside -------------------------------------------------------

kill -TERM "$(cat "$WORK/main.pid")"
expect_given_back main 143 "SIGTERM"

# --- SIGHUP and SIGINT from outside ---------------------------------------------

start_run hangup
expect_row hangup 8 "$PROMPT" "second run: start screen"
kill -HUP "$(cat "$WORK/hangup.pid")"
expect_given_back hangup 129 "SIGHUP"

start_run interrupt
expect_row interrupt 8 "$PROMPT" "third run: start screen"
keys interrupt Enter
expect_screen_has interrupt "File not found." "third run: box open"
kill -INT "$(cat "$WORK/interrupt.pid")"
expect_given_back interrupt 130 "SIGINT while a box is open"

# --- The terminal goes away while hang-ups are ignored ---------------------------

start_run closed ignore-hangup
expect_row closed 8 "$PROMPT" "fourth run: start screen"
closed_pid=$(cat "$WORK/closed.pid")
"${TMUX_COMMAND[@]}" kill-session -t closed
if wait_until 5 0.1 process_gone "$closed_pid"; then
    pass "closed terminal: the tool ends instead of waiting for keys forever"
else
    fail "closed terminal: the tool still runs ($(ps -o pid=,stat=,time= -p "$closed_pid"))"
    kill -KILL "$closed_pid" 2> /dev/null
fi

# --- An unknown terminal type, output not a terminal ---------------------------

start_run unknown TERM=vantorel-no-such-terminal
if wait_until 10 0.1 file_exists "$WORK/unknown.status"; then
    status=$(cat "$WORK/unknown.status")
    if [[ $status -ne 0 ]] && cmp -s "$WORK/unknown.before" "$WORK/unknown.after"; then
        pass "unknown terminal type: refused with status $status, modes untouched"
    else
        fail "unknown terminal type: status $status"
    fi
    expect_screen_has unknown "vantorel-no-such-terminal" "unknown terminal type: the reason names it"
else
    fail "unknown terminal type: the tool did not end"
fi

start_run dumb TERM=dumb
if wait_until 10 0.1 file_exists "$WORK/dumb.status"; then
    status=$(cat "$WORK/dumb.status")
    if [[ $status -ne 0 ]] && cmp -s "$WORK/dumb.before" "$WORK/dumb.after" && screen_lacks dumb "Vantorel"; then
        pass "terminal without cursor addressing: refused with status $status, nothing drawn"
    else
        fail "terminal without cursor addressing: status $status, screen:"$'\n'"$(screen_of dumb)"
    fi
else
    fail "terminal without cursor addressing: the tool did not end"
fi

"${TMUX_COMMAND[@]}" new-session -d -s redirected -x 80 -y 33 \
    "'$TOOL' > '$WORK/redirected.out' 2> '$WORK/redirected.err'; echo \$? > '$WORK/redirected.status'; while [ -d '$WORK' ]; do sleep 1; done"
if wait_until 10 0.1 file_exists "$WORK/redirected.status"; then
    status=$(cat "$WORK/redirected.status")
    if [[ $status -ne 0 && ! -s "$WORK/redirected.out" && $(wc -l < "$WORK/redirected.err") -eq 1 ]]; then
        pass "output to a file: one line on stderr, status $status"
    else
        fail "output to a file: status $status, stderr '$(cat "$WORK/redirected.err")'"
    fi
else
    fail "output to a file: the tool did not end"
fi

# --- Eight colours ------------------------------------------------------------------

start_run eight TERM=screen
expect_row eight 2 "$START_ROW_2" "TERM=screen: banner"
expect_row eight 8 "$PROMPT" "TERM=screen: prompt"
keys eight Enter
expect_screen_has eight "File not found." "TERM=screen: error box"
kill -TERM "$(cat "$WORK/eight.pid")"
expect_given_back eight 143 "TERM=screen, SIGTERM"

# --- The normal end -------------------------------------------------------------
# A half-second mono 16-bit recording written byte by byte, then N at the question.

le16() { printf '\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)); }
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255)); }
samples=4000
{
    printf 'RIFF%bWAVEfmt ' "$(le32 $((36 + samples * 2)))"
    printf '%b' "$(le32 16)$(le16 1)$(le16 1)$(le32 8000)$(le32 16000)$(le16 2)$(le16 16)"
    printf 'data%b' "$(le32 $((samples * 2)))"
    for ((i = 0; i < samples / 2; i++)); do printf '\x00\x40\x00\xc0'; done
} > "$WORK/tone.wav"

start_run finish
expect_row finish 8 "$PROMPT" "fifth run: start screen"
text finish "$WORK/tone.wav"
keys finish Enter
QUESTION="   Analyse another [Y/N]?"
if wait_until 20 0.1 screen_has finish "Analyse another [Y/N]?"; then
    pass "a whole job runs to the question"
    text finish "n"
    # The screen with the answer typed, for the resized run below (job time left out).
    wait_until 5 0.1 row_is finish 31 "$QUESTION   n"
    screen_of finish | sed 's/Job finished in .*/Job finished in/' > "$WORK/finish.screen"
    keys finish Enter
    expect_given_back finish 0 "normal end"
else
    fail "the job did not reach the question; screen:"
    screen_of finish | sed 's/^/    | /'
fi

# --- Terminals with fewer rows than the screen -------------------------------------
# The question stands on screen row 31; a smaller pane shows the rows ending there.

# job_in_small_pane <name> <rows>: an 80-column pane of that many rows runs the
# tone to the question, which is then the pane's last row, with the cursor
# after it and the job's last lines above it. Returns 1 when it never asks.
job_in_small_pane() {
    local name=$1 rows=$2
    start_sized_run "$name" 80 "$rows"
    expect_row "$name" 8 "$PROMPT" "$name: start screen at the top"
    text "$name" "$WORK/tone.wav"
    keys "$name" Enter
    if ! wait_until 20 0.1 row_is "$name" "$rows" "$QUESTION"; then
        fail "$name: the question is not on the last row; screen:"
        screen_of "$name" | sed 's/^/    | /'
        return 1
    fi
    pass "$name: the question on the last row"
    expect_cursor "$name" "28,$((rows - 1))" "$name: cursor after the question"
    if [[ $(row_of "$name" $((rows - 2))) == "   Job finished in "*" sec" ]] &&
        screen_has "$name" "Duration     .5 seconds"; then
        pass "$name: the job time and the end of FILE DATA above the question"
    else
        fail "$name: screen is"$'\n'"$(screen_of "$name")"
    fi
}

if job_in_small_pane rows24 24; then
    text rows24 "n"
    expect_row rows24 24 "$QUESTION   n" "rows24: the typed answer shows"
    keys rows24 Enter
    expect_given_back rows24 0 "rows24: N"
fi

if job_in_small_pane rows20 20; then
    text rows20 "n"
    expect_row rows20 20 "$QUESTION   n" "rows20: the typed answer shows"
    # With the cursor in view, fewer columns cut the rows on the right (screen
    # row 16, "Length     4000 samples", is the pane's row 5).
    "${TMUX_COMMAND[@]}" resize-window -t rows20 -x 40 -y 20
    expect_row rows20 5 "                            Length" "rows20 at 40 columns: rows cut on the right"
    expect_row rows20 20 "$QUESTION   n" "rows20 at 40 columns: the answer stays in view"
    keys rows20 Enter
    expect_given_back rows20 0 "rows20: N"
fi

if job_in_small_pane refused 24; then
    text refused "x"
    keys refused Enter
    # Enter took the cursor to screen row 32, so rows 9 to 32 show under the
    # box, which is centred in the 24 rows: a 38 x 6 box from row 10, column 22.
    expect_screen_has refused "You must respond either Y or N" "refused: the box shows"
    line12=$(plain_row_of refused 12)
    if [[ ${line12:25:30} == "You must respond either Y or N" ]]; then
        pass "refused: the box is centred in the pane"
    else
        fail "refused: row 12 is '$line12'"
    fi
    keys refused Enter
    expect_screen_lacks refused "You must respond" "refused: Enter closes the box"
    expect_row refused 24 "$QUESTION" "refused: the question again, the answer blanked"
    expect_cursor refused "28,23" "refused: cursor after the question"
    text refused "n"
    expect_row refused 24 "$QUESTION   n" "refused: the new answer shows"
    "${TMUX_COMMAND[@]}" resize-window -t refused -x 80 -y 33
    grown_screen() { screen_of refused | sed 's/Job finished in .*/Job finished in/'; }
    grown_to_finish_screen() { [[ $(grown_screen) == "$(cat "$WORK/finish.screen")" ]]; }
    if wait_until 5 0.1 grown_to_finish_screen; then
        pass "refused, grown to 80x33: the screen is the 80x33 one"
    else
        fail "refused, grown to 80x33: differs from the 80x33 run:"$'\n'"$(diff "$WORK/finish.screen" <(grown_screen))"
    fi
    expect_cursor refused "29,30" "refused, grown to 80x33: cursor after the answer"
    keys refused Enter
    expect_given_back refused 0 "refused: N after growing"
fi

# --- Resizing while a job runs ---------------------------------------------------
# strace holds up every read, so that the twenty-second recording is still being
# read while the pane shrinks; the view follows the cursor at once, and the job
# ends at the question as in any pane. The tool's own exit status is taken from
# the trace, so that one of strace's own cannot stand in for it.
if [[ $# -ge 2 && -x $2 ]] && command -v strace > /dev/null; then
    "$2" "$WORK/long.wav" --seconds 20 > /dev/null
    # A sanitizer build's leak check cannot run under ptrace: it would end the
    # tool with status 1 after a normal end.
    printf '#!/bin/sh\nASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" exec strace -f -q -o %s -e trace=read,pread64 -e signal=SIGWINCH -e inject=pread64:delay_enter=300000 "%s"\n' \
        "$WORK/busy.trace" "$TOOL" > "$WORK/slow_tool.sh"
    chmod +x "$WORK/slow_tool.sh"
    TOOL="$WORK/slow_tool.sh" start_run busy
    expect_row busy 8 "$PROMPT" "busy: start screen"
    text busy "$WORK/long.wav"
    keys busy Enter
    if wait_until 20 0.1 screen_has busy "   Reading input file..."; then
        "${TMUX_COMMAND[@]}" resize-window -t busy -x 80 -y 20
        expect_row busy 19 "   Reading input file..." "busy at 80x20: the reading line above the cursor's row"
        if screen_lacks busy "Analysing over"; then
            pass "busy: resized while the samples were being read"
        else
            fail "busy: the reading was over before the resize"
        fi
        if wait_until 30 0.1 row_is busy 20 "$QUESTION"; then
            pass "busy at 80x20: the question on the last row"
        else
            fail "busy at 80x20: screen is"$'\n'"$(screen_of busy)"
        fi
        "${TMUX_COMMAND[@]}" resize-window -t busy -x 80 -y 33
        expect_row busy 31 "$QUESTION" "busy, grown to 80x33: the question on its own row"
        expect_row busy 8 "$PROMPT    $WORK/long.wav" "busy, grown to 80x33: the name on the prompt row"
        text busy "n"
        keys busy Enter
        if wait_until 10 0.1 grep -q "+++ exited with" "$WORK/busy.trace"; then
            if grep -q "^[0-9]* *+++ exited with 0 +++$" "$WORK/busy.trace"; then
                pass "busy: N ends the tool with status 0"
            else
                fail "busy: N did not end the tool with status 0; the end of its trace:"
                tail -n 15 "$WORK/busy.trace" | sed 's/^/    | /'
            fi
        else
            fail "busy: the tool did not end"
        fi
        if wait_until 10 0.1 file_exists "$WORK/busy.after" && cmp -s "$WORK/busy.before" "$WORK/busy.after"; then
            pass "busy: terminal modes restored"
        else
            fail "busy: terminal modes not restored"
        fi
    else
        fail "busy: the job did not start; screen:"$'\n'"$(screen_of busy)"
    fi
else
    echo "skipped resizing while a job runs: needs make_test_wav and strace"
fi

if ((FAILURES > 0)); then
    echo "$FAILURES check(s) failed"
    exit 1
fi
echo "all terminal checks passed"

#!/usr/bin/env bash
# Interrupting a job: a long recording is typed into the real binary in an
# 80x33 tmux pane, and while it is being read or analysed the tool is sent
# SIGTERM, then (in a fresh run) SIGHUP, then its terminal is closed. Each time
# the tool must end, give the terminal modes back, and leave in the recording's
# folder nothing but the recording and, at most, complete result files: no
# half-written report or chart and no temporary file. A complete result of an
# earlier run must survive an interrupted run on the same recording. Last, a
# batch on the command line is stopped by signals and by a closed pipe.
#
# Usage: test_interrupted_job.sh <path-to-vantorel> <path-to-make_test_wav>
# Exits non-zero and names every failed check on failure.

set -u

if [[ $# -lt 2 || ! -x $1 || ! -x $2 ]]; then
    echo "usage: $0 <path-to-vantorel> <path-to-make_test_wav>" >&2
    exit 2
fi
for command in tmux python3; do
    if ! command -v "$command" > /dev/null; then
        echo "$command is not installed" >&2
        exit 2
    fi
done

TOOL=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
MAKE_WAV=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
# shellcheck source=tmux_session.sh
source "$(dirname "${BASH_SOURCE[0]}")/tmux_session.sh" interrupt-test

start_run() {
    local name=$1 folder=$2
    shift 2
    "${TMUX_COMMAND[@]}" new-session -d -s "$name" -x 80 -y 33 \
        "TOOL='$TOOL' sh '$WORK/run.sh' $name '$folder' $*"
}

text() { "${TMUX_COMMAND[@]}" send-keys -t "$1" -l "$2"; }
keys() { "${TMUX_COMMAND[@]}" send-keys -t "$1" "$2"; }

PROMPT="   Wave file to analyse?"
READING="Reading input file..."
ANALYSING="Analysing over"
QUESTION="Analyse another [Y/N]?"
RECORDING=long.wav

# check_folder <folder> <what>: only the recording and complete result files.
check_folder() {
    local report
    if report=$(python3 - "$1" "$RECORDING" << 'EOF'
import os, struct, sys

folder, recording = sys.argv[1], sys.argv[2]
stem = recording[:-4]
problems = []
for name in sorted(os.listdir(folder)):
    path = os.path.join(folder, name)
    if name == recording:
        continue
    if name == stem + " VT.txt":
        with open(path, "rb") as f:
            content = f.read()
        if content != b"left, left, right, right\r\n":
            problems.append("report holds %r" % content)
        continue
    if name == stem + " VT.emf":
        with open(path, "rb") as f:
            content = f.read()
        if len(content) < 88 or struct.unpack_from("<I", content, 0)[0] != 1 or content[40:44] != b" EMF":
            problems.append("chart does not start with a metafile header (%d bytes)" % len(content))
            continue
        declared, records = struct.unpack_from("<II", content, 48)
        if declared != len(content):
            problems.append("chart header says %d bytes, file has %d" % (declared, len(content)))
            continue
        # Walk the records: each size is a positive multiple of 4 within the
        # file, and the last one, ending exactly at the end, is EOF (type 14).
        offset, count, last = 0, 0, None
        while offset + 8 <= len(content):
            kind, size = struct.unpack_from("<II", content, offset)
            if size < 8 or size % 4 or offset + size > len(content):
                break
            offset, count, last = offset + size, count + 1, kind
        if offset != len(content) or last != 14 or count != records:
            problems.append("chart records end at %d of %d, %d of %d records, last type %s"
                            % (offset, len(content), count, records, last))
        continue
    problems.append("unexpected file %r (%d bytes)" % (name, os.path.getsize(path)))
present = [n for n in (stem + " VT.txt", stem + " VT.emf") if os.path.exists(os.path.join(folder, n))]
print("; ".join(problems) if problems else "results present: %s" % (", ".join(present) or "none"))
sys.exit(1 if problems else 0)
EOF
    ); then
        pass "$2: folder clean ($report)"
    else
        fail "$2: $report"
    fi
}

# 20 minutes of stereo at 48 kHz in 24 bits (345 MB), which a second thread reads
# ahead of the scan: a job of a few tenths of a second on an idle machine, and
# longer under load. An interruption may land on either thread.
# Made of 100 copies of 12 seconds of a 440 Hz tone (a whole number of periods,
# so the copies join seamlessly) behind a header that claims all of them, which
# is much quicker than generating 20 minutes, above all in sanitizer builds.
# Every run folder links the same file. Session names hold no '.', which tmux
# reads as a pane.
TONE=(--kind int24 --channels 2 --rate 48000 --seconds 12 --frequency 440 --level-db 3 --channel-step-db 6)
DATA_BYTES=$((100 * 12 * 48000 * 6))
if ! "$MAKE_WAV" "$WORK/piece.wav" "${TONE[@]}" > "$WORK/make_wav.out" 2>&1 ||
    ! "$MAKE_WAV" "$WORK/header.wav" "${TONE[@]}" --set-u32 4=$((DATA_BYTES + 36)) --set-u32 40=$DATA_BYTES \
        --truncate 44 > "$WORK/make_wav.out" 2>&1; then
    echo "make_test_wav failed: $(cat "$WORK/make_wav.out")" >&2
    exit 2
fi
{
    cat "$WORK/header.wav"
    for ((copy = 0; copy < 100; copy++)); do tail -c +45 "$WORK/piece.wav"; done
} > "$WORK/$RECORDING"
if [[ $(stat -c %s "$WORK/$RECORDING") -ne $((DATA_BYTES + 44)) ]]; then
    echo "the recording could not be written in full" >&2
    exit 2
fi
rm -f "$WORK/piece.wav" "$WORK/header.wav"

new_folder() {
    mkdir "$WORK/$1"
    ln "$WORK/$RECORDING" "$WORK/$1/$RECORDING" 2> /dev/null || cp "$WORK/$RECORDING" "$WORK/$1/$RECORDING"
}

# type_recording <name>: waits for the prompt, types the recording's name, Enter.
type_recording() {
    if ! wait_until 10 0.1 row_is "$1" 8 "$PROMPT"; then
        fail "$1: no prompt; screen:"
        screen_of "$1" | sed 's/^/    | /'
        return 1
    fi
    text "$1" "$RECORDING"
    keys "$1" Enter
}

# interrupt_job <name> <line> <action...>: as soon as <line> is on the screen,
# stops the tool (SIGSTOP), looks at the screen, carries out the action and lets
# the tool go on (SIGCONT): a signal sent while it is stopped takes effect the
# moment it continues, so the screen seen shows where the job was when the
# interruption came. Returns 1 when the job had already ended by then (the
# action is carried out all the same, at the question), 2 when <line> never came.
interrupt_job() {
    local name=$1 line=$2
    shift 2
    if ! wait_until 20 0 screen_has "$name" "$line"; then
        fail "$name: '$line' did not appear; screen:"
        screen_of "$name" | sed 's/^/    | /'
        return 2
    fi
    local pid
    pid=$(cat "$WORK/$name.pid")
    kill -STOP "$pid"
    sleep 0.3  # for tmux to take in all the tool wrote before it stopped
    local screen
    screen=$(screen_of "$name")
    "$@"
    kill -CONT "$pid" 2> /dev/null
    if grep -qF -- "$QUESTION" <<< "$screen"; then
        echo "note: $name: the job had ended before the tool was stopped"
        return 1
    fi
    if grep -qF -- "$ANALYSING" <<< "$screen"; then
        pass "$name: interrupted while analysing or writing"
    else
        pass "$name: interrupted while reading"
    fi
}

# expect_given_back <name> <status>: the tool ended with the status and the
# terminal modes are those from before it.
expect_given_back() { expect_exit_and_modes "$1" "$2" "$1" 20; }

# --- A complete run -----------------------------------------------------------
# Its results are the earlier results of the last part.

new_folder again
start_run first "$WORK/again"
if type_recording first && wait_until 60 0.1 screen_has first "$QUESTION"; then
    pass "complete run: the job reached the question"
    text first n
    keys first Enter
    expect_given_back first 0
else
    fail "complete run: the job did not reach the question; screen:"
    screen_of first | sed 's/^/    | /'
fi
check_folder "$WORK/again" "after the complete run"
for suffix in txt emf; do
    if [[ -s "$WORK/again/long VT.$suffix" ]]; then
        cp "$WORK/again/long VT.$suffix" "$WORK/earlier.$suffix"
    else
        fail "complete run: no result 'long VT.$suffix'"
    fi
done

# --- SIGTERM, SIGHUP and a closed terminal during the job -------------------------
# Each case runs in a fresh folder; a run whose job ended before the tool could
# be stopped is checked all the same and the case tried again, up to 3 times.
#   interrupted_case <case> <status or "gone"> <run.sh option> <action> [<signal>]

signal_tool() { kill "-$2" "$(cat "$WORK/$1.pid")"; }
close_terminal() { "${TMUX_COMMAND[@]}" kill-session -t "$1"; }

interrupted_case() {
    local case=$1 status=$2 option=$3 action=$4 signal=${5:-}
    local attempt name outcome
    for attempt in 1 2 3; do
        name=$case-$attempt
        new_folder "$name"
        start_run "$name" "$WORK/$name" "$option"
        type_recording "$name" || return
        interrupt_job "$name" "$READING" "$action" "$name" ${signal:+"$signal"}
        outcome=$?
        ((outcome == 2)) && return
        if [[ $status == gone ]]; then
            local pid
            pid=$(cat "$WORK/$name.pid")
            if wait_until 60 0.1 process_gone "$pid"; then
                pass "$name: the tool ended after its terminal was closed"
            else
                fail "$name: the tool still runs ($(ps -o pid=,stat=,time= -p "$pid"))"
                kill -KILL "$pid" 2> /dev/null
            fi
        else
            expect_given_back "$name" "$status"
        fi
        check_folder "$WORK/$name" "$name"
        ((outcome == 0)) && return
    done
    fail "$case: in 3 runs the job ended before it could be interrupted (a longer recording is needed)"
}

interrupted_case sigterm 143 "" signal_tool TERM
interrupted_case sighup 129 "" signal_tool HUP
# The terminal goes away: as is, the hang-up ends the tool; with hang-ups
# ignored, the job runs on and the tool ends when it next waits for a key.
interrupted_case closed gone "" close_terminal
interrupted_case closed-ignoring gone ignore-hangup close_terminal

# --- Late in the job ------------------------------------------------------------
# The tool stopped the moment the analysis line shows: the slices are being
# analysed or the results written (a few hundredths of a second here), or the
# job has just ended. Whichever it meets, SIGTERM must leave complete results or
# none.

for round in 1 2 3; do
    name=late-$round
    new_folder "$name"
    start_run "$name" "$WORK/$name"
    if type_recording "$name"; then
        interrupt_job "$name" "$ANALYSING" signal_tool "$name" TERM
        (($? != 2)) && expect_given_back "$name" 143
    fi
    check_folder "$WORK/$name" "$name"
done

# --- A complete earlier result survives an interrupted run ------------------------

start_run second "$WORK/again"
if type_recording second; then
    interrupt_job second "$READING" signal_tool second TERM
    (($? != 2)) && expect_given_back second 143
fi
check_folder "$WORK/again" "interrupted run after a complete one"
for suffix in txt emf; do
    if cmp -s "$WORK/earlier.$suffix" "$WORK/again/long VT.$suffix"; then
        pass "the earlier 'long VT.$suffix' is still there, unchanged"
    else
        fail "the earlier 'long VT.$suffix' did not survive the interrupted run"
    fi
done

# --- A batch stopped at random moments --------------------------------------------
# 300 short recordings analysed two at a time, stopped by SIGTERM, by SIGINT and
# by a reader that closes the pipe (at a random byte of the CSV), five rounds
# each. No round may leave a temporary, and every pair of results must be
# complete (both or neither) and equal to a clean run's. The signals end the
# tool with their own status (143, 130), the closed pipe with status 1 and its
# message. The tool starts from Python, so that SIGINT is not ignored as it is
# in a background job of a script. VANTOREL_SEED repeats a run's moments.

python3 - "$TOOL" "$MAKE_WAV" "$WORK/batch" << 'EOF'
import os, random, signal, subprocess, sys, time

tool, make_wav, work = sys.argv[1:4]
seed = int(os.environ.get("VANTOREL_SEED", time.time_ns() % 1000000))
chance = random.Random(seed)
names = ["take %03d.wav" % i for i in range(300)]
source = os.path.join(work, "source")
os.makedirs(source)
for i, name in enumerate(names):
    subprocess.run([make_wav, os.path.join(source, name), "--kind", "int24", "--rate", "48000", "--seconds", "0.2",
                    "--frequency", str(200 + 7 * i), "--level-db", str(i % 40)], check=True, capture_output=True)
failures = 0


def check(condition, what):
    global failures
    print(("ok: " if condition else "FAIL: ") + what)
    failures += not condition


def folder_for(run):
    folder = os.path.join(work, run)
    os.mkdir(folder)
    for name in names:
        os.link(os.path.join(source, name), os.path.join(folder, name))
    return folder


def results(folder):
    found = {}
    for name in os.listdir(folder):
        if name.endswith((" VT.txt", " VT.emf")):
            with open(os.path.join(folder, name), "rb") as f:
                found[name] = f.read()
    return found


def start(folder, *options, output=subprocess.PIPE):
    return subprocess.Popen([tool, "--jobs", "2", *options, "--", *names], cwd=folder, stdin=subprocess.DEVNULL,
                            stdout=output, stderr=subprocess.PIPE)


began = time.monotonic()
clean_run = start(folder_for("clean"), "--csv")
csv_bytes, _ = clean_run.communicate()
clean_seconds = time.monotonic() - began
clean = results(os.path.join(work, "clean"))
check(clean_run.returncode == 0 and len(clean) == 2 * len(names),
      "clean run: %d results in %.2f s, status %d" % (len(clean), clean_seconds, clean_run.returncode))

print("seed %d" % seed)
print("%-8s %5s %9s %7s %6s %12s" % ("stop", "round", "moment", "status", "pairs", "temporaries"))
stopped = {}
for stop in ("SIGTERM", "SIGINT", "pipe"):
    for round_number in range(1, 6):
        folder = folder_for("%s-%d" % (stop, round_number))
        if stop == "pipe":
            moment = chance.randrange(100, len(csv_bytes) // 2)
            run = start(folder, "--csv")
            run.stdout.read(moment)
            run.stdout.close()
            said = run.stderr.read().decode(errors="replace")
            status = run.wait()
            status = 128 - status if status < 0 else status  # killed by a signal: as the shell shows it
            expected = status == 1 and said.endswith("vantorel: could not write to standard output\n")
            moment = "%d B" % moment
        else:
            number = getattr(signal, stop)
            moment = chance.uniform(0.02, 0.6 * clean_seconds)
            run = start(folder, output=subprocess.DEVNULL)
            time.sleep(moment)
            run.send_signal(number)
            run.communicate()
            status = 128 - run.returncode if run.returncode < 0 else run.returncode
            expected = status in (128 + number, 0)  # 0: the batch was over before the signal
            moment = "%.2f s" % moment
        made = results(folder)
        temporaries = [n for n in os.listdir(folder) if n.startswith(".vantorel-")]
        stems = {n[:-7] for n in made}
        whole = all(n in made for stem in stems for n in (stem + " VT.txt", stem + " VT.emf"))
        print("%-8s %5d %9s %7d %6d %12d" % (stop, round_number, moment, status, len(stems), len(temporaries)))
        check(expected, "%s round %d: status %d" % (stop, round_number, status))
        check(not temporaries and whole and all(clean[n] == b for n, b in made.items()),
              "%s round %d: no temporary, %d complete pairs equal to the clean run's" % (stop, round_number, len(stems)))
        stopped[stop] = stopped.get(stop, 0) + (status != 0)
for stop, count in stopped.items():
    check(count > 0, "%s stopped the batch in %d of 5 rounds" % (stop, count))
sys.exit(min(failures, 100))
EOF
FAILURES=$((FAILURES + $?))

if ((FAILURES > 0)); then
    echo "$FAILURES check(s) failed"
    exit 1
fi
echo "all interrupted-job checks passed"

#!/usr/bin/env bash
# End-to-end speed: the whole job (header, loading, analysis, both result files)
# on hour-long stereo 44.1 kHz recordings of each sample kind, run the way a
# user runs it: the real binary in a tmux pane, the name typed at the prompt,
# the time read from its "Job finished in" line. Next to it: `cat FILE > /dev/null`
# of the same file from the page cache (warmed first) and the tool's peak
# memory from /usr/bin/time -v. Then a three-hour 16-bit recording is analysed
# and its slice count and result files are checked.
#
# Usage: e2e_job.sh <path-to-vantorel> <path-to-make_test_wav> [FOLDER] [--keep] [--repeats R]
#   FOLDER  where the recordings are generated (default /tmp/vantorel-bench);
#           existing ones of the right size are reused, all are deleted at the
#           end unless --keep is given.
#   R       jobs per hour-long file; the best time is reported (default 2).
#           Peak memory is the largest of the runs.
# Targets: the 16-bit job within 4x of cat; peak memory within the interleaved
# temporary plus the channel arrays (2x the data for 16 bits and float, 7/3x
# for 24 bits) plus 32 MB for the program itself.
# The loading and scanning phases on their own: bench_load and bench_scan.

set -u

if [[ $# -lt 2 || ! -x $1 || ! -x $2 ]]; then
    echo "usage: $0 <path-to-vantorel> <path-to-make_test_wav> [FOLDER] [--keep]" >&2
    exit 2
fi
TOOL=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
MAKE_WAV=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
shift 2
FOLDER=/tmp/vantorel-bench
KEEP=0
REPEATS=2
while [[ $# -gt 0 ]]; do
    case $1 in
        --keep) KEEP=1 ;;
        --repeats) REPEATS=$2; shift ;;
        *) FOLDER=$1 ;;
    esac
    shift
done
for program in tmux /usr/bin/time bc; do
    if ! command -v "$program" > /dev/null; then
        echo "$program is missing (/usr/bin/time comes with the 'time' package)" >&2
        exit 2
    fi
done
mkdir -p "$FOLDER"
FOLDER=$(cd "$FOLDER" && pwd)
SOCKET="vantorel-e2e-bench-$$"
TMUX_COMMAND=(tmux -L "$SOCKET")
STATE=$(mktemp -d "${TMPDIR:-/tmp}/vantorel-e2e-bench.XXXXXX")
FAILURES=0

cleanup() {
    "${TMUX_COMMAND[@]}" kill-server > /dev/null 2>&1
    rm -rf "$STATE"
    if ((KEEP == 0)); then
        rm -f "$FOLDER"/bench-*.wav "$FOLDER"/bench-*" VT.emf" "$FOLDER"/bench-*" VT.txt"
        rmdir "$FOLDER" 2> /dev/null
    fi
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    FAILURES=$((FAILURES + 1))
}

now() { date +%s.%N; }
elapsed() { echo "$(now) - $1" | bc; }

# make <name> <seconds> <kind>: a stereo 44.1 kHz recording, reused when its size fits.
make() {
    local path=$FOLDER/$1 seconds=$2 kind=$3 width
    case $kind in int16) width=2 ;; int24) width=3 ;; *) width=4 ;; esac
    local size=$((44 + seconds * 44100 * 2 * width))
    if [[ -f $path && $(stat -c %s "$path") -eq $size ]]; then return; fi
    echo "generating $path ($((size / 1000000)) MB)..."
    "$MAKE_WAV" "$path" --kind "$kind" --seconds "$seconds" --frequency 997 --level-db 3 --channel-step-db 6 ||
        { echo "cannot generate $path" >&2; exit 2; }
}

# Best of three `cat FILE > /dev/null`, after two reads that bring it into the
# cache: sets CAT_SECONDS (wall clock) and CAT_CPU (user + system seconds).
cat_seconds() {
    local best="" cpu="" start t c
    cat "$1" > /dev/null
    cat "$1" > /dev/null
    for _ in 1 2 3; do
        start=$(now)
        /usr/bin/time -f '%U %S' -o "$STATE/cat-time.txt" cat "$1" > /dev/null
        t=$(elapsed "$start")
        c=$(awk '{print $1 + $2}' "$STATE/cat-time.txt")
        if [[ -z $best ]] || (($(echo "$t < $best" | bc))); then best=$t; fi
        if [[ -z $cpu ]] || (($(echo "$c < $cpu" | bc))); then cpu=$c; fi
    done
    CAT_SECONDS=$best CAT_CPU=$cpu
}

# run_job <file>: types the file into the tool and sets JOB_SECONDS, SLICES and
# PEAK_KB from the screen and from /usr/bin/time.
run_job() {
    local file=$1 name
    name=$(basename "$file")
    rm -f "$STATE/time.txt" "$STATE/status"
    "${TMUX_COMMAND[@]}" new-session -d -s job -x 80 -y 33 \
        "/usr/bin/time -v -o '$STATE/time.txt' env TERM=xterm-256color LANG=C.UTF-8 '$TOOL'; echo \$? > '$STATE/status'"
    local deadline=$((SECONDS + 10))
    until "${TMUX_COMMAND[@]}" capture-pane -p -t job | grep -q "Wave file to analyse?"; do
        ((SECONDS > deadline)) && { fail "$name: no start screen"; return 1; }
        sleep 0.1
    done
    "${TMUX_COMMAND[@]}" send-keys -t job -l "$file"
    "${TMUX_COMMAND[@]}" send-keys -t job Enter
    deadline=$((SECONDS + 300))
    until "${TMUX_COMMAND[@]}" capture-pane -p -t job | grep -q "Analyse another"; do
        ((SECONDS > deadline)) && { fail "$name: the job did not finish within 300 s"; return 1; }
        sleep 0.1
    done
    local screen
    screen=$("${TMUX_COMMAND[@]}" capture-pane -p -t job)
    JOB_SECONDS=$(sed -n 's/^   Job finished in \([0-9.]*\) sec.*/\1/p' <<< "$screen")
    SLICES=$(sed -n 's/^   Analysing over \([0-9-]*\) time slices\.\.\..*/\1/p' <<< "$screen")
    [[ $JOB_SECONDS == .* ]] && JOB_SECONDS=0$JOB_SECONDS
    "${TMUX_COMMAND[@]}" send-keys -t job -l n
    "${TMUX_COMMAND[@]}" send-keys -t job Enter
    deadline=$((SECONDS + 10))
    until [[ -s $STATE/status && -s $STATE/time.txt ]]; do
        ((SECONDS > deadline)) && { fail "$name: the tool did not end after N"; return 1; }
        sleep 0.1
    done
    [[ $(cat "$STATE/status") == 0 ]] || fail "$name: exit status $(cat "$STATE/status")"
    PEAK_KB=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$STATE/time.txt")
    # The whole run's processor time; waiting for keys costs none of it.
    JOB_CPU=$(awk -F': ' '/User time|System time/ {sum += $2} END {print sum}' "$STATE/time.txt")
    if [[ -z $JOB_SECONDS || -z $SLICES ]]; then
        fail "$name: no time or slice count on the screen:"$'\n'"$screen"
        return 1
    fi
    return 0
}

# check_results <file> <stem>: both results written, the report exact.
check_results() {
    local stem=$FOLDER/$1
    if [[ -s "$stem VT.emf" && $(head -c 44 "$stem VT.emf" | tail -c 4) == " EMF" ]]; then :; else
        fail "$1: no chart"
    fi
    if [[ $(cat "$stem VT.txt") != $'left, left, right, right\r' ]]; then fail "$1: report holds '$(cat -v "$stem VT.txt")'"; fi
    rm -f "$stem VT.emf" "$stem VT.txt"
}

echo "machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p'), $(free -g | awk '/^Mem:/ {print $2}') GB memory"
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "files in $FOLDER ($(df -h "$FOLDER" | awk 'NR == 2 {print $4}') free)"
make bench-int16.wav 3600 int16
make bench-int24.wav 3600 int24
make bench-float32.wav 3600 float32

# Wall-clock seconds decide the target; processor seconds (user + system) show
# how much of a gap comes from other load on the machine.
printf '\n%-10s %8s %8s %8s %7s %8s %8s %7s %8s %8s %6s %s\n' kind "data MB" "job s" "cat s" "job/cat" \
    "job cpu" "cat cpu" "cpu x" "peak MB" "bound MB" "peak/d" verdict
for kind in int16 int24 float32; do
    file=$FOLDER/bench-$kind.wav
    data=$(($(stat -c %s "$file") - 44))
    cat_seconds "$file"
    cat_s=$CAT_SECONDS
    best="" best_cpu="" peak_kb=0
    for ((run = 0; run < REPEATS; run++)); do
        run_job "$file" || continue 2
        check_results "bench-$kind"
        if [[ -z $best ]] || (($(echo "$JOB_SECONDS < $best" | bc))); then best=$JOB_SECONDS; fi
        if [[ -z $best_cpu ]] || (($(echo "$JOB_CPU < $best_cpu" | bc))); then best_cpu=$JOB_CPU; fi
        ((PEAK_KB > peak_kb)) && peak_kb=$PEAK_KB
    done
    JOB_SECONDS=$best PEAK_KB=$peak_kb
    [[ $SLICES == 36000 ]] || fail "$kind: $SLICES slices, expected 36000"
    case $kind in
        int24) bound=$((data + data * 4 / 3 + 32000000)) ;;
        *) bound=$((2 * data + 32000000)) ;;
    esac
    peak=$((PEAK_KB * 1024))
    ratio=$(echo "scale=2; $JOB_SECONDS / $cat_s" | bc)
    verdict=ok
    if ((peak > bound)); then verdict="memory over"; fail "$kind: peak $((peak / 1000000)) MB over $((bound / 1000000)) MB"; fi
    if [[ $kind == int16 ]] && (($(echo "$JOB_SECONDS > 4 * $cat_s" | bc))); then
        verdict="slow"
        fail "int16: job $JOB_SECONDS s is more than 4x cat ($cat_s s)"
    fi
    printf '%-10s %8d %8.2f %8.3f %7.2f %8.2f %8.2f %7.2f %8d %8d %6.2f %s\n' "$kind" $((data / 1000000)) "$JOB_SECONDS" \
        "$cat_s" "$ratio" "$best_cpu" "$CAT_CPU" "$(echo "scale=2; $best_cpu / $CAT_CPU" | bc)" $((peak / 1000000)) \
        $((bound / 1000000)) "$(echo "scale=2; $peak / $data" | bc)" "$verdict"
done

# Three hours: more slices than a 16-bit count holds.
((KEEP == 0)) && rm -f "$FOLDER"/bench-int16.wav "$FOLDER"/bench-int24.wav "$FOLDER"/bench-float32.wav
make bench-3h-int16.wav 10800 int16
file=$FOLDER/bench-3h-int16.wav
data=$(($(stat -c %s "$file") - 44))
cat_seconds "$file"
cat_s=$CAT_SECONDS
if run_job "$file"; then
    check_results bench-3h-int16
    if [[ $SLICES == 108000 ]]; then echo "3 h int16: 108000 slices on the analysis line"; else fail "3 h: $SLICES slices, expected 108000"; fi
    printf '%-10s %8d %8.2f %8.3f %7.2f %8.2f %8.2f %7.2f %8d %8d %6.2f\n' "3h int16" $((data / 1000000)) \
        "$JOB_SECONDS" "$cat_s" "$(echo "scale=2; $JOB_SECONDS / $cat_s" | bc)" "$JOB_CPU" "$CAT_CPU" \
        "$(echo "scale=2; $JOB_CPU / $CAT_CPU" | bc)" $((PEAK_KB * 1024 / 1000000)) $(((2 * data + 32000000) / 1000000)) \
        "$(echo "scale=2; $PEAK_KB * 1024 / $data" | bc)"
fi

echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "loading and scanning on their own: bench_load and bench_scan in the build folder"
if ((FAILURES > 0)); then
    echo "$FAILURES check(s) failed"
    exit 1
fi
echo "all end-to-end benchmark checks passed"

#!/usr/bin/env bash
# End-to-end speed: the whole job (header, reading and measuring, both result
# files) on hour-long 44.1 kHz recordings of each sample kind, stereo and mono,
# run the way a user runs it: the real binary in a tmux pane, the name typed at
# the prompt, the time read from its "Job finished in" line (10 ms steps). Next
# to it: `cat FILE > /dev/null` of the same file from the page cache (warmed
# first) and the tool's peak memory from /usr/bin/time -v. Then a three-hour
# 16-bit stereo recording, and, when run as root, the 16-bit stereo job and cat
# with a cold page cache.
#
# Usage: e2e_job.sh <path-to-vantorel> <path-to-make_test_wav> [FOLDER] [--keep] [--repeats R]
#   FOLDER  where the recordings are generated (default /tmp/vantorel-bench);
#           existing ones of the right size are reused, all are deleted at the
#           end unless --keep is given.
#   R       jobs per file; the best time is reported (default 5). Peak memory
#           is the largest of the runs; cat is timed as often.
# Targets: every hour-long job within 1.3x of cat; the three-hour job within
# 3.5x of the one-hour job; peak memory at most 16 MB for every file; cold,
# the job within 1.2x of cat cold.

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
REPEATS=5
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

# make <name> <seconds> <kind> <channels>: a 44.1 kHz recording, reused when its size fits.
make() {
    local path=$FOLDER/$1 seconds=$2 kind=$3 channels=$4 width
    case $kind in int16) width=2 ;; int24) width=3 ;; *) width=4 ;; esac
    local size=$((44 + seconds * 44100 * channels * width))
    if [[ -f $path && $(stat -c %s "$path") -eq $size ]]; then return; fi
    echo "generating $path ($((size / 1000000)) MB)..."
    "$MAKE_WAV" "$path" --kind "$kind" --channels "$channels" --seconds "$seconds" --frequency 997 --level-db 3 \
        --channel-step-db 6 || { echo "cannot generate $path" >&2; exit 2; }
}

# Best of three `cat FILE > /dev/null`, after two reads that bring it into the
# cache: sets CAT_SECONDS (wall clock) and CAT_CPU (user + system seconds).
cat_seconds() {
    local best="" cpu="" start t c
    cat "$1" > /dev/null
    cat "$1" > /dev/null
    for ((run = 0; run < REPEATS; run++)); do
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

# check_results <stem> <channels>: both results written, the report exact.
check_results() {
    local stem=$FOLDER/$1 report=$'left, left, right, right\r'
    [[ $2 == 1 ]] && report=$'mono,mono\r'
    if [[ -s "$stem VT.emf" && $(head -c 44 "$stem VT.emf" | tail -c 4) == " EMF" ]]; then :; else
        fail "$1: no chart"
    fi
    if [[ $(cat "$stem VT.txt") != "$report" ]]; then fail "$1: report holds '$(cat -v "$stem VT.txt")'"; fi
    rm -f "$stem VT.emf" "$stem VT.txt"
}

# best_job <file> <stem> <channels>: REPEATS jobs; sets BEST (seconds), BEST_CPU
# and PEAK_MB (largest of the runs).
best_job() {
    local peak_kb=0 start t
    BEST="" BEST_CPU="" BEST_COMMAND=""
    for ((run = 0; run < REPEATS; run++)); do
        run_job "$1" || return 1
        check_results "$2" "$3"
        # The same job from the command line, timed to the millisecond from outside
        # (process start and end included); the screen shows hundredths only.
        start=$(now)
        "$TOOL" "$1" > /dev/null || fail "$2: the command line failed"
        t=$(elapsed "$start")
        check_results "$2" "$3"
        if [[ -z $BEST_COMMAND ]] || (($(echo "$t < $BEST_COMMAND" | bc))); then BEST_COMMAND=$t; fi
        if [[ -z $BEST ]] || (($(echo "$JOB_SECONDS < $BEST" | bc))); then BEST=$JOB_SECONDS; fi
        if [[ -z $BEST_CPU ]] || (($(echo "$JOB_CPU < $BEST_CPU" | bc))); then BEST_CPU=$JOB_CPU; fi
        ((PEAK_KB > peak_kb)) && peak_kb=$PEAK_KB
    done
    PEAK_MB=$(echo "scale=1; $peak_kb / 1024" | bc)
    return 0
}

# row <label> <data bytes> <job s> <cat s> <job cpu> <cat cpu> <peak MB> <target ratio> <command s>
row() {
    local ratio verdict=ok
    ratio=$(echo "scale=2; $3 / $4" | bc)
    if (($(echo "$3 > $8 * $4" | bc))); then verdict="slow"; fail "$1: job $3 s is more than $8x cat ($4 s)"; fi
    if (($(echo "$7 > 16" | bc))); then verdict="memory over"; fail "$1: peak $7 MB over 16 MB"; fi
    printf '%-18s %7d %6.2f %7.3f %7.2f %6s %7.3f %7.2f %7.2f %7.2f %7.1f %s\n' "$1" $(($2 / 1000000)) "$3" "$4" \
        "$ratio" "${8}x" "$9" "$(echo "scale=2; $9 / $4" | bc)" "$5" "$6" "$7" "$verdict"
}

echo "machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p'), $(free -g | awk '/^Mem:/ {print $2}') GB memory"
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "files in $FOLDER ($(df -h "$FOLDER" | awk 'NR == 2 {print $4}') free)"

# Wall-clock seconds decide the targets; processor seconds (user + system) show
# how much of a gap comes from other load on the machine.
# "job s" is the typed job's own figure ("Job finished in", hundredths); "cmd s"
# the same job from the command line timed from outside, process included.
printf '\n%-18s %7s %6s %7s %7s %6s %7s %7s %7s %7s %7s %s\n' recording "data MB" "job s" "cat s" "job/cat" \
    target "cmd s" "cmd/cat" "job cpu" "cat cpu" "peak MB" verdict
one_hour=""
for channels in 2 1; do
    for kind in int16 int24 int32 float32; do
        name=bench-$kind-$channels
        make "$name.wav" 3600 "$kind" "$channels"
        file=$FOLDER/$name.wav
        cat_seconds "$file"
        best_job "$file" "$name" "$channels" || continue
        [[ $SLICES == 36000 ]] || fail "$name: $SLICES slices, expected 36000"
        [[ $kind == int16 && $channels == 2 ]] && one_hour=$BEST
        label="60 min $([[ $channels == 2 ]] && echo stereo || echo mono) $kind"
        row "$label" $(($(stat -c %s "$file") - 44)) "$BEST" "$CAT_SECONDS" "$BEST_CPU" "$CAT_CPU" "$PEAK_MB" 1.3 \
            "$BEST_COMMAND"
        ((KEEP == 0)) && [[ $name != bench-int16-2 ]] && rm -f "$file"
    done
done

# Three hours: three times the data, at most 3.5 times the hour's time.
make bench-3h-int16.wav 10800 int16 2
file=$FOLDER/bench-3h-int16.wav
cat_seconds "$file"
if best_job "$file" bench-3h-int16 2; then
    [[ $SLICES == 108000 ]] || fail "3 h: $SLICES slices, expected 108000"
    row "3 h stereo int16" $(($(stat -c %s "$file") - 44)) "$BEST" "$CAT_SECONDS" "$BEST_CPU" "$CAT_CPU" "$PEAK_MB" 1.3 \
        "$BEST_COMMAND"
    if [[ -n $one_hour ]]; then
        growth=$(echo "scale=2; $BEST / $one_hour" | bc)
        verdict=ok
        (($(echo "$growth > 3.5" | bc))) && { verdict=slow; fail "3 h job $BEST s is more than 3.5x the 1 h job ($one_hour s)"; }
        echo "3 h / 1 h: $growth (target 3.5) $verdict"
    fi
fi
((KEEP == 0)) && rm -f "$file"

# Cold page cache (root only): the job and cat each after the cache is dropped.
file=$FOLDER/bench-int16-2.wav
if [[ -f $file && -w /proc/sys/vm/drop_caches ]]; then
    cold_cat="" cold_job=""
    for ((run = 0; run < REPEATS; run++)); do
        sync && echo 3 > /proc/sys/vm/drop_caches
        start=$(now)
        cat "$file" > /dev/null
        t=$(elapsed "$start")
        if [[ -z $cold_cat ]] || (($(echo "$t < $cold_cat" | bc))); then cold_cat=$t; fi
        sync && echo 3 > /proc/sys/vm/drop_caches
        run_job "$file" || break
        check_results bench-int16-2 2
        if [[ -z $cold_job ]] || (($(echo "$JOB_SECONDS < $cold_job" | bc))); then cold_job=$JOB_SECONDS; fi
    done
    if [[ -n $cold_job ]]; then
        row "cold stereo int16" $(($(stat -c %s "$file") - 44)) "$cold_job" "$cold_cat" 0 0 \
            "$(echo "scale=1; $PEAK_KB / 1024" | bc)" 1.2 "$cold_job"
    fi
else
    echo "cold cache: skipped (needs root to drop the page cache)"
fi

echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
if ((FAILURES > 0)); then
    echo "$FAILURES check(s) failed"
    exit 1
fi
echo "all end-to-end benchmark checks passed"

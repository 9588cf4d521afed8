#!/usr/bin/env bash
# End-to-end speed: the whole job (header, reading and measuring, both result
# files) on hour-long 44.1 kHz recordings of each sample kind, stereo and mono.
# Each file is measured in R rounds; a round is
#   - the job typed the way a user runs it: the real binary in a tmux pane, the
#     name typed at the prompt, the time read from its "Job finished in" line
#     (10 ms steps), the peak memory from /usr/bin/time -v;
#   - a pair of the same job from the command line and `cat FILE > /dev/null` of
#     the same file from the page cache (warmed first), both timed from outside
#     to the microsecond the same way (process start included); the pair's
#     order alternates from round to round, so that a drift in the machine's
#     load falls on both.
# The table holds the medians of the R rounds. Then a three-hour 16-bit stereo
# recording, and, when run as root, the 16-bit stereo job and cat with a cold
# page cache.
#
# Usage: e2e_job.sh <path-to-vantorel> <path-to-make_test_wav> [FOLDER] [--keep]
#                   [--repeats R] [--kinds LIST] [--channels LIST] [--no-3h] [--no-cold]
#   FOLDER  where the recordings are generated (default /tmp/vantorel-bench);
#           existing ones of the right size are reused, all are deleted at the
#           end unless --keep is given.
#   R       rounds per file; medians are reported (default 11). Peak memory is
#           the largest of the runs.
#   LIST    comma-separated: kinds out of int16,int24,int32,float32 (default
#           all), channel counts out of 2,1 (default both); for example
#           `--kinds int16,int24 --channels 2` for the stereo 16 and 24-bit files.
#   --no-3h leaves out the three-hour recording; --no-cold the cold page cache
#           (dropping it slows everything else on a shared machine).
# Targets: every hour-long command-line job within 1.3x of cat (medians); the
# three-hour job within 3.5x of the one-hour job; peak memory at most 16 MB for
# every file; cold, the job within 1.2x of cat cold.

set -u

if [[ $# -lt 2 || ! -x $1 || ! -x $2 ]]; then
    echo "usage: $0 <path-to-vantorel> <path-to-make_test_wav> [FOLDER] [--keep] [--repeats R]" \
        "[--kinds LIST] [--channels LIST] [--no-3h] [--no-cold]" >&2
    exit 2
fi
TOOL=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
MAKE_WAV=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
shift 2
FOLDER=/tmp/vantorel-bench
KEEP=0
REPEATS=11
KINDS="int16 int24 int32 float32"
CHANNEL_COUNTS="2 1"
THREE_HOURS=1
COLD=1
while [[ $# -gt 0 ]]; do
    case $1 in
        --keep) KEEP=1 ;;
        --repeats) REPEATS=$2; shift ;;
        --kinds) KINDS=${2//,/ }; shift ;;
        --channels) CHANNEL_COUNTS=${2//,/ }; shift ;;
        --no-3h) THREE_HOURS=0 ;;
        --no-cold) COLD=0 ;;
        *) FOLDER=$1 ;;
    esac
    shift
done
if ! [[ $REPEATS =~ ^[1-9][0-9]*$ ]]; then echo "--repeats wants a positive count, not '$REPEATS'" >&2; exit 2; fi
for kind in $KINDS; do
    case $kind in int16 | int24 | int32 | float32) ;; *) echo "unknown kind '$kind'" >&2; exit 2 ;; esac
done
for channels in $CHANNEL_COUNTS; do
    case $channels in 1 | 2) ;; *) echo "channel count '$channels' is not 1 or 2" >&2; exit 2 ;; esac
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

# Microseconds from bash itself (no process started to read the clock).
now() { echo "${EPOCHREALTIME/[,.]/.}"; }
elapsed() { echo "$(now) - $1" | bc; }

# median <number>...: the middle one (the mean of the middle two for an even count).
median() {
    printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {
        if (NR % 2) printf "%.3f\n", v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# timed <file for the processor time> <command>...: runs the command with its
# output thrown away under /usr/bin/time (which also writes the processor time
# and the peak memory) and prints the wall-clock seconds.
timed() {
    local out=$1 start
    shift
    start=$(now)
    /usr/bin/time -f '%U %S %M' -o "$out" "$@" > /dev/null
    local status=$?
    elapsed "$start"
    return $status
}

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

# median_job <file> <stem> <channels>: REPEATS rounds of the typed job and of
# the command-line job paired with cat (their order alternating); sets the
# medians JOB (the typed job's own figure), COMMAND and CAT (from outside),
# JOB_CPU_MEDIAN and CAT_CPU (user + system), and PEAK_MB (the largest of the runs).
median_job() {
    local peak_kb=0 run t typed=() commands=() cats=() job_cpus=() cat_cpus=() kb
    cat "$1" > /dev/null
    cat "$1" > /dev/null
    for ((run = 0; run < REPEATS; run++)); do
        run_job "$1" || return 1
        check_results "$2" "$3"
        typed+=("$JOB_SECONDS") job_cpus+=("$JOB_CPU")
        ((PEAK_KB > peak_kb)) && peak_kb=$PEAK_KB
        if ((run % 2 == 1)); then
            t=$(timed "$STATE/cat-time.txt" cat "$1") || fail "$2: cat failed"
            cats+=("$t") cat_cpus+=("$(awk '{print $1 + $2}' "$STATE/cat-time.txt")")
        fi
        t=$(timed "$STATE/command-time.txt" "$TOOL" "$1") || fail "$2: the command line failed"
        commands+=("$t")
        kb=$(awk '{print $3}' "$STATE/command-time.txt")
        ((kb > peak_kb)) && peak_kb=$kb
        check_results "$2" "$3"
        if ((run % 2 == 0)); then
            t=$(timed "$STATE/cat-time.txt" cat "$1") || fail "$2: cat failed"
            cats+=("$t") cat_cpus+=("$(awk '{print $1 + $2}' "$STATE/cat-time.txt")")
        fi
    done
    JOB=$(median "${typed[@]}") COMMAND=$(median "${commands[@]}") CAT=$(median "${cats[@]}")
    JOB_CPU_MEDIAN=$(median "${job_cpus[@]}") CAT_CPU=$(median "${cat_cpus[@]}")
    PEAK_MB=$(echo "scale=1; $peak_kb / 1024" | bc)
    return 0
}

# row <label> <data bytes> <job s> <command s> <cat s> <job cpu> <cat cpu> <peak MB> <target ratio>:
# the target is on the command-line job against cat.
row() {
    local verdict=ok
    if (($(echo "$4 > $9 * $5" | bc))); then verdict="slow"; fail "$1: command-line job $4 s is more than $9x cat ($5 s)"; fi
    if (($(echo "$8 > 16" | bc))); then verdict="memory over"; fail "$1: peak $8 MB over 16 MB"; fi
    printf '%-18s %7d %6.2f %7.2f %7.3f %7.3f %7.2f %6s %7.2f %7.2f %7.1f %s\n' "$1" $(($2 / 1000000)) "$3" \
        "$(echo "scale=2; $3 / $5" | bc)" "$4" "$5" "$(echo "scale=2; $4 / $5" | bc)" "${9}x" "$6" "$7" "$8" "$verdict"
}

echo "processor: $(grep -m1 'model name' /proc/cpuinfo | sed 's/^model name[[:space:]]*: *//')"
echo "machine: $(nproc) cores, $(free -g | awk '/^Mem:/ {print $2}') GB memory"
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "files in $FOLDER ($(df -h "$FOLDER" | awk 'NR == 2 {print $4}') free); medians of $REPEATS rounds"

# Wall-clock seconds decide the targets; processor seconds (user + system) show
# how much of a gap comes from other load on the machine.
# "job s" is the typed job's own figure ("Job finished in", hundredths); "cmd s"
# the same job from the command line and "cat s" cat, both timed from outside,
# process start included.
printf '\n%-18s %7s %6s %7s %7s %7s %7s %6s %7s %7s %7s %s\n' recording "data MB" "job s" "job/cat" "cmd s" \
    "cat s" "cmd/cat" target "job cpu" "cat cpu" "peak MB" verdict
one_hour=""
for channels in $CHANNEL_COUNTS; do
    for kind in $KINDS; do
        name=bench-$kind-$channels
        make "$name.wav" 3600 "$kind" "$channels"
        file=$FOLDER/$name.wav
        median_job "$file" "$name" "$channels" || continue
        [[ $SLICES == 36000 ]] || fail "$name: $SLICES slices, expected 36000"
        [[ $kind == int16 && $channels == 2 ]] && one_hour=$COMMAND
        label="60 min $([[ $channels == 2 ]] && echo stereo || echo mono) $kind"
        row "$label" $(($(stat -c %s "$file") - 44)) "$JOB" "$COMMAND" "$CAT" "$JOB_CPU_MEDIAN" "$CAT_CPU" \
            "$PEAK_MB" 1.3
        ((KEEP == 0)) && [[ $name != bench-int16-2 ]] && rm -f "$file"
    done
done

# Three hours: three times the data, at most 3.5 times the hour's time.
if ((THREE_HOURS)); then
    make bench-3h-int16.wav 10800 int16 2
    file=$FOLDER/bench-3h-int16.wav
    if median_job "$file" bench-3h-int16 2; then
        [[ $SLICES == 108000 ]] || fail "3 h: $SLICES slices, expected 108000"
        row "3 h stereo int16" $(($(stat -c %s "$file") - 44)) "$JOB" "$COMMAND" "$CAT" "$JOB_CPU_MEDIAN" "$CAT_CPU" \
            "$PEAK_MB" 1.3
        if [[ -n $one_hour ]]; then
            growth=$(echo "scale=2; $COMMAND / $one_hour" | bc)
            verdict=ok
            (($(echo "$growth > 3.5" | bc))) &&
                { verdict=slow; fail "3 h job $COMMAND s is more than 3.5x the 1 h job ($one_hour s)"; }
            echo "3 h / 1 h (command line): $growth (target 3.5) $verdict"
        fi
    fi
    ((KEEP == 0)) && rm -f "$file"
fi

# Cold page cache (root only): the command-line job and cat, each after the
# cache is dropped, in alternating order.
file=$FOLDER/bench-int16-2.wav
if ((COLD == 0)); then
    echo "cold cache: left out (--no-cold)"
elif [[ -f $file && -w /proc/sys/vm/drop_caches ]]; then
    cold_cats=() cold_commands=() cold_kb=0
    for ((run = 0; run < REPEATS; run++)); do
        for step in 0 1; do
            sync && echo 3 > /proc/sys/vm/drop_caches
            if (((run + step) % 2 == 0)); then
                cold_cats+=("$(timed "$STATE/cat-time.txt" cat "$file")")
            else
                cold_commands+=("$(timed "$STATE/command-time.txt" "$TOOL" "$file")") ||
                    fail "cold: the command line failed"
                kb=$(awk '{print $3}' "$STATE/command-time.txt")
                ((kb > cold_kb)) && cold_kb=$kb
                check_results bench-int16-2 2
            fi
        done
    done
    cold_command=$(median "${cold_commands[@]}")
    row "cold stereo int16" $(($(stat -c %s "$file") - 44)) 0 "$cold_command" "$(median "${cold_cats[@]}")" 0 0 \
        "$(echo "scale=1; $cold_kb / 1024" | bc)" 1.2
else
    echo "cold cache: skipped (needs root to drop the page cache, and the stereo int16 file)"
fi

echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
if ((FAILURES > 0)); then
    echo "$FAILURES check(s) failed"
    exit 1
fi
echo "all end-to-end benchmark checks passed"

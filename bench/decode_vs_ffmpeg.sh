#!/usr/bin/env bash
# Speed of decoded formats: the whole command-line job on hour-long stereo
# files (FLAC 16-bit and 24-bit, MP3 at 320 kbit/s, AAC at 256 kbit/s, made
# from a music-like recording looped to 60 minutes) next to FFmpeg decoding the
# same file alone, on one thread, into nothing:
#   ffmpeg -v quiet -threads 1 -i FILE -map 0:a -f null -
# The job runs as a user runs it (one thread per core: a long FLAC is decoded
# in parts side by side) and with --jobs 1 (in one piece).
# Then loudness: `vantorel --loudness` on the hour as WAV and FLAC, and on a
# loud master made from it (9 dB louder through sox's limiter, so that peaks
# crowd the top everywhere), next to
#   ffmpeg -i FILE -af ebur128=peak=true -f null -
# Runs alternate (job, reference, job, ...) so that both see the same machine;
# the median of each is reported with their ratio, and the job's peak memory:
# its whole resident set (VmHWM, which counts the pages of FFmpeg's shared
# libraries it touched) and its own anonymous memory at the largest sample.
#
# Usage: decode_vs_ffmpeg.sh <path-to-vantorel> <source.wav> [FOLDER] [--keep] [--repeats R]
#   source.wav  any stereo 16-bit recording (the build's demo/demo.wav);
#   FOLDER      where the files are made (default /tmp/vantorel-decode-bench),
#               reused when there; deleted at the end unless --keep is given.
# Target: the job at most 1.0x the reference for every file.

set -u

if [[ $# -lt 2 || ! -x $1 || ! -f $2 ]]; then
    echo "usage: $0 <path-to-vantorel> <source.wav> [FOLDER] [--keep] [--repeats R]" >&2
    exit 2
fi
TOOL=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
SOURCE=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
shift 2
FOLDER=/tmp/vantorel-decode-bench
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
for program in ffmpeg sox; do
    command -v "$program" > /dev/null || { echo "$program is missing" >&2; exit 2; }
done
mkdir -p "$FOLDER" && cd "$FOLDER" || exit 2
cleanup() { ((KEEP)) || rm -f "$FOLDER"/hour* "$FOLDER"/*" VT."*; }
trap cleanup EXIT

# An hour of the source, then each format made from it once.
seconds=$(sox --i -D "$SOURCE")
repeats=$(awk -v s="$seconds" 'BEGIN { print int(3600 / s + 0.999) - 1 }')
[[ -s hour16.wav ]] || sox -V1 "$SOURCE" hour16.wav repeat "$repeats" trim 0 3600
[[ -s hour24.wav ]] || sox -V1 hour16.wav -b 24 hour24.wav
make() { [[ -s $1 ]] || ffmpeg -nostdin -v error -y -i "$2" "${@:3}" "$1"; }
make hour16.flac hour16.wav
make hour24.flac hour24.wav -c:a flac
make hour320.mp3 hour16.wav -c:a libmp3lame -b:a 320k
make hour256.m4a hour16.wav -c:a aac -b:a 256k
[[ -s hourloud.wav ]] || sox -V1 hour16.wav hourloud.wav gain -l 9
make hourloud.flac hourloud.wav

seconds_of() { # seconds a command takes, to the millisecond
    local start end
    start=$(date +%s.%N)
    "$@" > /dev/null 2>&1
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Peak memory of one job: VmHWM at the end, and the largest RssAnon seen
# while it ran (sampled every 20 ms).
memory_of() {
    "$TOOL" "$@" > /dev/null 2>&1 &
    local pid=$! anon=0 hwm=0 line
    while kill -0 "$pid" 2> /dev/null; do
        while read -r line; do
            case $line in
                VmHWM:*) hwm=${line//[^0-9]/} ;;
                RssAnon:*) value=${line//[^0-9]/}; ((value > anon)) && anon=$value ;;
            esac
        done < "/proc/$pid/status" 2> /dev/null
        sleep 0.02
    done
    wait "$pid"
    awk -v h="$hwm" -v a="$anon" 'BEGIN { printf "%.1f MB (own %.1f MB)", h / 1024, a / 1024 }'
}

echo "Machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores;" \
    "load average $(cut -d' ' -f1 /proc/loadavg) at the start; $REPEATS runs of each"
echo
echo "| File | Size | Job | Job --jobs 1 | ffmpeg -threads 1 | Job / ffmpeg | Peak memory |"
echo "|---|---|---|---|---|---|---|"
for file in hour16.flac hour24.flac hour320.mp3 hour256.m4a; do
    jobs=() singles=() references=()
    for ((run = 0; run < REPEATS; run++)); do
        jobs+=("$(seconds_of "$TOOL" "$file")")
        singles+=("$(seconds_of "$TOOL" --jobs 1 "$file")")
        references+=("$(seconds_of ffmpeg -nostdin -v quiet -threads 1 -i "$file" -map 0:a -f null -)")
    done
    job=$(printf '%s\n' "${jobs[@]}" | median)
    single=$(printf '%s\n' "${singles[@]}" | median)
    reference=$(printf '%s\n' "${references[@]}" | median)
    size=$(du -mL "$file" | cut -f1)
    ratio=$(awk -v a="$job" -v b="$reference" 'BEGIN { printf "%.2f", a / b }')
    echo "| $file | $size MB | $job s | $single s | $reference s | $ratio | $(memory_of "$file") |"
done

echo
echo "| File | vantorel --loudness | ffmpeg ebur128=peak=true | Ratio | Peak memory |"
echo "|---|---|---|---|---|"
for file in hour16.wav hour16.flac hourloud.flac; do
    jobs=() references=()
    for ((run = 0; run < REPEATS; run++)); do
        jobs+=("$(seconds_of "$TOOL" --loudness "$file")")
        references+=("$(seconds_of ffmpeg -nostdin -i "$file" -af ebur128=peak=true -f null -)")
    done
    job=$(printf '%s\n' "${jobs[@]}" | median)
    reference=$(printf '%s\n' "${references[@]}" | median)
    ratio=$(awk -v a="$job" -v b="$reference" 'BEGIN { printf "%.2f", a / b }')
    echo "| $file | $job s | $reference s | $ratio | $(memory_of --loudness "$file") |"
done

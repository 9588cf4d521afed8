#!/usr/bin/env bash
# A library rescanned with the results store: 2,000 one-minute stereo 16-bit
# 44.1 kHz FLAC tracks in 200 album folders (10 each), made with sox from 20
# different sources (copies, each a file of its own). Timed from outside, in
# this order:
#   1. the library without a store,
#   2. the first run with a new store,
#   3. the second run over the unchanged library,
#   4. a run after one track was rewritten with other samples (same name).
# Each run prints the JSON document of the whole library (--no-results, so
# that only reading and measuring count; add options after -- to change that).
# Reported: wall time of each run, the store's counter line, whether the second
# run's JSON equals the first's byte for byte, and that only the album of the
# rewritten track changed.
#
# Usage: store_rescan.sh <path-to-vantorel> [FOLDER] [--keep] [--tracks N] [-- OPTION...]
#   FOLDER   where the library is made (default /tmp/vantorel-library); an
#            existing library of the same size is reused.
#   N        tracks in all, 10 per folder (default 2000).
# Targets: run 2 at most 1.1x run 1; run 3 at most 1/20 of run 2, with the
# same JSON; run 4 measures one track.

set -euo pipefail

if [[ $# -lt 1 || ! -x $1 ]]; then
    echo "usage: $0 <path-to-vantorel> [FOLDER] [--keep] [--tracks N] [-- OPTION...]" >&2
    exit 2
fi
TOOL=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift
FOLDER=/tmp/vantorel-library
KEEP=0
TRACKS=2000
EXTRA=()
while [[ $# -gt 0 ]]; do
    case $1 in
        --keep) KEEP=1 ;;
        --tracks) TRACKS=$2; shift ;;
        --) shift; EXTRA=("$@"); break ;;
        *) FOLDER=$1 ;;
    esac
    shift
done
command -v sox > /dev/null || { echo "store_rescan.sh needs sox (apt-get install sox)" >&2; exit 2; }
LIBRARY=$FOLDER/library
WORK=$FOLDER/work
mkdir -p "$LIBRARY" "$WORK"

# The sources: chords whose level swells and falls at different rates, so that
# the tracks' DR and loudness differ.
for source in $(seq 0 19); do
    file=$WORK/source-$source.flac
    [[ -s $file ]] && continue
    sox -n -r 44100 -b 16 -c 2 "$file" synth 60 sine $((220 + 37 * source)) sine $((330 + 53 * source)) \
        tremolo $((1 + source % 5)).$((source % 7)) $((20 + 3 * source)) vol -$((3 + source % 9))dB
done
folders=$(( (TRACKS + 9) / 10 ))
made=$(find "$LIBRARY" -name '*.flac' | wc -l)
if [[ $made -ne $TRACKS ]]; then
    rm -rf "$LIBRARY"
    for folder in $(seq 1 "$folders"); do
        album=$LIBRARY/$(printf 'Artist %03d/Album %03d' $(( (folder - 1) / 10 )) "$folder")
        mkdir -p "$album"
        for track in $(seq 1 10); do
            (( (folder - 1) * 10 + track > TRACKS )) && break
            cp "$WORK/source-$(( (folder * 7 + track) % 20 )).flac" "$album/$(printf '%02d Track %d.flac' "$track" "$track")"
        done
    done
fi

seconds() { date +%s.%N; }
timed() {  # timed NAME ARGS...: runs the tool, JSON to NAME.json, errors to NAME.err; prints the wall time
    local name=$1 start end
    shift
    start=$(seconds)
    "$TOOL" --json -r --no-results --quiet "${EXTRA[@]}" "$@" "$LIBRARY" > "$WORK/$name.json" 2> "$WORK/$name.err" || true
    end=$(seconds)
    echo "$end - $start" | bc
}

rm -f "$WORK/store.db" "$WORK/store.db-wal" "$WORK/store.db-shm"
cat "$LIBRARY"/*/*/*.flac > /dev/null  # the page cache warmed for every run alike
echo "processor: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores;" \
    "load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "library: $TRACKS tracks in $folders folders, $(du -sh "$LIBRARY" | cut -f1)"
plain=$(timed plain)
first=$(timed first --db "$WORK/store.db")
second=$(timed second --db "$WORK/store.db")
changed=$(find "$LIBRARY" -name "*.flac" | sort | sed -n 1p)
cp "$WORK/source-19.flac" "$WORK/changed.flac"
[[ $(cmp -s "$changed" "$WORK/changed.flac"; echo $?) -ne 0 ]] || cp "$WORK/source-18.flac" "$WORK/changed.flac"
cp "$WORK/changed.flac" "$changed"
fourth=$(timed changed --db "$WORK/store.db")

printf '%-34s %9s  %s\n' "run" "wall (s)" "store"
printf '%-34s %9.2f  %s\n' "1. without a store" "$plain" "-"
printf '%-34s %9.2f  %s\n' "2. first run with --db" "$first" "$(tail -1 "$WORK/first.err")"
printf '%-34s %9.2f  %s\n' "3. second run, library unchanged" "$second" "$(tail -1 "$WORK/second.err")"
printf '%-34s %9.2f  %s\n' "4. one track rewritten" "$fourth" "$(tail -1 "$WORK/changed.err")"
echo "first run / without: $(echo "scale=3; $first / $plain" | bc)   second run / first: $(echo "scale=4; $second / $first" | bc)"
cmp -s "$WORK/first.json" "$WORK/second.json" && echo "second run's JSON: byte for byte the first's" \
    || echo "second run's JSON DIFFERS from the first's"
cmp -s "$WORK/plain.json" "$WORK/first.json" && echo "first run's JSON: byte for byte that without a store" \
    || echo "first run's JSON DIFFERS from that without a store"
python3 - "$WORK/second.json" "$WORK/changed.json" "$changed" << 'PY'
import json, os, sys
before, after = (json.load(open(p)) for p in sys.argv[1:3])
changed = sys.argv[3]
files = [a["path"] for a, b in zip(before["files"], after["files"]) if a != b]
albums = [a["folder"] for a, b in zip(before["albums"], after["albums"]) if a != b]
print(f"after the rewrite: files that changed {len(files)} ({'the rewritten one' if files == [changed] else files[:3]}),"
      f" albums that changed {len(albums)} ({'its own' if albums == [os.path.dirname(changed)] else albums[:3]})")
PY
[[ $KEEP -eq 1 ]] || rm -rf "$FOLDER"

#!/usr/bin/env bash
# Records every output of the command line for a fixed set of generated
# recordings into one folder, so that two builds can be compared file by file
# (diff -r): summaries, CSV, JSON with and without --loudness, the chart as
# EMF and SVG, the one-line report, album blocks and the HTML page, for wave
# files of every sample kind and layout, decoded formats, surround files and
# long files decoded in parts.
#
# Usage: record_outputs.sh <path-to-vantorel> <path-to-make_test_wav> <demo.wav> <out-folder>
# The out folder must not exist. Needs ffmpeg for the decoded formats.

set -euo pipefail

if [[ $# -ne 4 || ! -x $1 || ! -x $2 || ! -f $3 || -e $4 ]]; then
    echo "usage: $0 <path-to-vantorel> <path-to-make_test_wav> <demo.wav> <new-out-folder>" >&2
    exit 2
fi
tool=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
make_wav=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
demo=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
mkdir -p "$4"
out=$(cd "$4" && pwd)
inputs=$out/inputs
mkdir -p "$inputs/album one" "$inputs/album two"
cd "$inputs"

# Wave files of every kind and layout the reader takes.
"$make_wav" int16-stereo.wav --seconds 3.37
"$make_wav" int16-mono.wav --channels 1 --seconds 2 --level-db 12
"$make_wav" int24-stereo.wav --kind int24 --rate 48000 --seconds 2.5 --channel-step-db 7
"$make_wav" int32-mono.wav --kind int32 --channels 1 --seconds 1.05
"$make_wav" float32-stereo.wav --kind float32 --rate 96000 --seconds 1.5 --level-db 0
"$make_wav" float32-inf.wav --kind float32 --signal inf --seconds 0.5
"$make_wav" silence.wav --signal silence --seconds 1
"$make_wav" six.wav --channels 6 --seconds 2 --channel-step-db 3
"$make_wav" five.wav --channels 5 --rate 48000 --seconds 2 --channel-step-db 2
cp "$demo" demo.wav
ffmpeg -nostdin -v error -fflags +bitexact -i demo.wav -c:a pcm_s24le -rf64 always demo-rf64.wav
ffmpeg -nostdin -v error -fflags +bitexact -i demo.wav -filter_complex \
    "[0]pan=5.1|FL=c0|FR=c1|FC=0.5*c0|LFE=0.1*c1|BL=0.3*c0|BR=0.2*c1[out]" -map "[out]" demo-six.flac
# Decoded formats, lossless and lossy.
ffmpeg -nostdin -v error -fflags +bitexact -i demo.wav flac16.flac
ffmpeg -nostdin -v error -fflags +bitexact -i demo.wav -c:a pcm_s24le demo24.wav
ffmpeg -nostdin -v error -fflags +bitexact -i demo24.wav -c:a flac flac24.flac
ffmpeg -nostdin -v error -fflags +bitexact -i demo.wav -c:a alac alac.m4a
ffmpeg -nostdin -v error -fflags +bitexact -i demo.wav -c:a libmp3lame -b:a 192k mp3.mp3 2> /dev/null ||
    ffmpeg -nostdin -v error -fflags +bitexact -i demo.wav mp3.mp3
ffmpeg -nostdin -v error -fflags +bitexact -i demo.wav -c:a libopus opus.opus 2> /dev/null || true
ffmpeg -nostdin -v error -fflags +bitexact -i demo.wav -c:a aac aac.m4a
# Long enough to be decoded in parts (several 3-second blocks), ending off a block boundary.
ffmpeg -nostdin -v error -fflags +bitexact -stream_loop 3 -i demo.wav -t 97.37 long.wav
ffmpeg -nostdin -v error -fflags +bitexact -i long.wav long-flac.flac
# Two albums.
for track in 1 2 3; do
    "$make_wav" "album one/0$track track.wav" --seconds "1.$track" --level-db "$((track * 4))"
done
ffmpeg -nostdin -v error -fflags +bitexact -i demo.wav -t 7 "album two/01 first.flac"
ffmpeg -nostdin -v error -fflags +bitexact -i demo.wav -ss 7 -t 9 "album two/02 second.flac"

files=(*.wav *.flac *.m4a *.mp3)
[[ -e opus.opus ]] && files+=(opus.opus)
run() {  # name, then the tool's arguments: standard output, error and status into out/name.*
    local name=$1
    shift
    set +e
    "$tool" "$@" > "$out/$name.stdout" 2> "$out/$name.stderr"
    echo $? > "$out/$name.status"
    set -e
}
run summaries --jobs 2 --svg "${files[@]}"
run csv --jobs 1 --csv "${files[@]}"
run json --json "${files[@]}"
run json-loudness --json --loudness --jobs 2 "${files[@]}"
run summaries-loudness --loudness "${files[@]}"
run albums -r --svg --loudness --html "$out/albums.html" "album one" "album two"
run albums-json -r --json --loudness "album one" "album two"
run albums-csv -r --csv "album one" "album two"
# One long file on two threads: decoded in parts.
run parts-json --jobs 2 --json long-flac.flac
run parts-csv --jobs 2 --csv long-flac.flac
run wave-parts-json --jobs 2 --json long.wav

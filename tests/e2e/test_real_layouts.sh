#!/usr/bin/env bash
# Wave files as sox and ffmpeg write them (extra chunks, 18- and 40-byte format
# chunks, the extensible format, sizes left at 0xFFFFFFFF, RF64 to a file and to
# a pipe), each next to its canonical twin: the same data chunk behind a plain
# 44-byte header, built here byte by byte. One run of the real binary in an
# 80x33 tmux pane analyses them all (answering Y between files); every file must
# show the panel of its twin and write result files byte-identical to the twin's.
#
# Usage: test_real_layouts.sh <path-to-vantorel> <path-to-make_test_wav>
# Skips (exit 0, saying why) when sox or ffmpeg is missing.

set -u

if [[ $# -lt 1 || ! -x $1 ]]; then
    echo "usage: $0 <path-to-vantorel> [<path-to-make_test_wav>]" >&2
    exit 2
fi
for program in tmux sox ffmpeg python3; do
    if ! command -v "$program" > /dev/null; then
        echo "skipped: $program is not installed"
        exit 0
    fi
done

TOOL=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
MAKE_WAV=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
# shellcheck source=tmux_session.sh
source "$(dirname "${BASH_SOURCE[0]}")/tmux_session.sh" real-layouts

files=$WORK/files
mkdir -p "$files"
cd "$files" || exit 1

# Six seconds of the build's demo recording (music-like, so the distribution
# spreads over many bins), or of a sine where the demo is not at hand.
demo=$(dirname "$TOOL")/demo/demo.wav
if [[ -s $demo ]]; then
    sox -V1 "$demo" source.wav trim 0 6
else
    "$MAKE_WAV" source.wav --seconds 6 --rate 48000 --level-db 3 --channel-step-db 9 > /dev/null
fi

quiet_ffmpeg() { ffmpeg -nostdin -v error -y -i source.wav "$@"; }
quiet_ffmpeg -c:a pcm_s16le ffmpeg-16.wav               # LIST before data
quiet_ffmpeg -c:a pcm_s24le ffmpeg-24.wav               # extensible PCM, LIST
quiet_ffmpeg -c:a pcm_s32le ffmpeg-32.wav               # extensible PCM, LIST
quiet_ffmpeg -c:a pcm_f32le ffmpeg-float.wav            # extensible float, fact, LIST
quiet_ffmpeg -c:a pcm_s16le -f wav - > ffmpeg-pipe.wav  # sizes left at 0xFFFFFFFF
quiet_ffmpeg -c:a pcm_s24le -rf64 always ffmpeg-rf64.wav  # RF64: ds64, data size 0xFFFFFFFF
quiet_ffmpeg -c:a pcm_s24le -rf64 always -f wav - > ffmpeg-rf64-pipe.wav  # ds64 sizes left at 0 too
quiet_ffmpeg -c:a pcm_s16le -rf64 auto -write_bext 1 ffmpeg-bext.wav  # JUNK, bext, LIST
sox -V1 source.wav -e floating-point -b 32 sox-float.wav  # 18-byte format, fact
sox -V1 source.wav -b 24 sox-24.wav                       # extensible PCM, fact
sox -V1 source.wav -b 32 sox-32.wav                       # extensible PCM, fact

# The canonical twin of a file: its format fields and data chunk behind the
# 44-byte header (format tag 1 or 3 from the extensible sub-format).
python3 - ffmpeg-*.wav sox-*.wav << 'EOF'
import struct, sys
for name in sys.argv[1:]:
    data = open(name, "rb").read()
    offset, fmt, samples = 12, None, None
    while offset + 8 <= len(data):
        tag, size = data[offset:offset + 4], struct.unpack_from("<I", data, offset + 4)[0]
        if tag == b"fmt ":
            fmt = data[offset + 8:offset + 8 + size]
        if tag == b"data":
            samples = data[offset + 8:]  # to the end: every writer here puts data last
            break
        offset += 8 + size + (size & 1)
    format_tag, channels, rate, byte_rate, align, bits = struct.unpack_from("<HHIIHH", fmt)
    if format_tag == 0xFFFE:
        format_tag = struct.unpack_from("<H", fmt, 24)[0]
    header = b"RIFF" + struct.pack("<I", 36 + len(samples)) + b"WAVE" + b"fmt " + struct.pack("<I", 16)
    header += struct.pack("<HHIIHH", format_tag, channels, rate, byte_rate, align, bits)
    header += b"data" + struct.pack("<I", len(samples))
    open("twin-" + name, "wb").write(header + samples)
EOF

layouts=(ffmpeg-16 ffmpeg-24 ffmpeg-32 ffmpeg-float ffmpeg-pipe ffmpeg-rf64 ffmpeg-rf64-pipe ffmpeg-bext sox-float sox-24 sox-32)

"${TMUX_COMMAND[@]}" new-session -d -s layouts -x 80 -y 33 "TOOL='$TOOL' sh '$WORK/run.sh' layouts '$files'"
wait_until 10 0.1 screen_has layouts "   Wave file to analyse?" || fail "the tool did not start"

# analyse <name> [answer]: types the name, waits for the question, keeps rows
# 11-24 of the screen in <name>.panel, and answers Y (or the answer given).
analyse() {
    "${TMUX_COMMAND[@]}" send-keys -t layouts -l "$1.wav"
    "${TMUX_COMMAND[@]}" send-keys -t layouts Enter
    if ! wait_until 30 0.1 screen_has layouts "   Analyse another [Y/N]?"; then
        fail "$1: the job did not finish"
        screen_of layouts
        return 1
    fi
    screen_of layouts | sed -n '11,24p' > "$WORK/$1.panel"
    "${TMUX_COMMAND[@]}" send-keys -t layouts "${2:-Y}" Enter
    [[ ${2:-Y} == N ]] && return 0
    wait_until 10 0.1 row_is layouts 8 "   Wave file to analyse?" || fail "$1: no prompt after Y"
}

last=${layouts[-1]}
for layout in "${layouts[@]}"; do
    analyse "$layout" || continue
    analyse "twin-$layout" "$([[ $layout == "$last" ]] && echo N || echo Y)" || continue
    if cmp -s "$WORK/$layout.panel" "$WORK/twin-$layout.panel"; then
        pass "$layout: panel and analysis line as for its canonical twin"
    else
        fail "$layout: the screen differs from its twin's"
        diff "$WORK/$layout.panel" "$WORK/twin-$layout.panel"
    fi
    if grep -q "Length       0 samples\|Analysing over 0 time" "$WORK/$layout.panel"; then
        fail "$layout: no samples found"
    fi
    for suffix in " VT.emf" " VT.txt"; do
        if [[ -s "$layout$suffix" ]] && cmp -s "$layout$suffix" "twin-$layout$suffix"; then
            pass "$layout: '$suffix' byte-identical to the twin's"
        else
            fail "$layout: '$suffix' missing or different from the twin's"
        fi
    done
done

expect_exit_and_modes layouts 0 "N after ${#layouts[@]} layouts" 10

echo "$FAILURES failed"
exit $((FAILURES > 0))

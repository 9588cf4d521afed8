#!/usr/bin/env bash
# Wave files as sox and ffmpeg write them (extra chunks, 18- and 40-byte format
# chunks, the extensible format, sizes left at 0xFFFFFFFF, RF64 to a file and to
# a pipe), each next to its canonical twin: the same data chunk behind a plain
# 44-byte header, built here byte by byte. One run of the real binary in an
# 80x33 tmux pane analyses them all (answering Y between files); every file must
# show the panel of its twin and write result files byte-identical to the twin's.
# Then the other formats, decoded: lossless files (FLAC, ALAC, WavPack, AIFF,
# AIFF-C, W64, CAF, TTA, FLAC in Matroska) must give results byte-identical to their wave twin's,
# lossy ones (MP3, AAC, Vorbis, Opus) the CSV of their float decoding by
# ffmpeg, short ones too, six-channel files six named channels; files that are
# no audio (random bytes among them), damaged (a frame or page whose checksum
# fails) or cut (Ogg before its last page, W64 in its data chunk's header) are
# refused and leave earlier results alone; and a FLAC typed at the
# prompt shows its codec on the panel.
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

# ---- Other formats, from the command line.
# Lossless: each file next to the wave file it was made from (16-bit source,
# 24-bit ffmpeg-24), whose results the dialogue run above wrote.
encode() { ffmpeg -nostdin -v error -y -i "$1" "${@:3}" "$2"; }
encode source.wav flac16.flac
encode ffmpeg-24.wav flac24.flac -c:a flac
encode source.wav alac16.m4a -c:a alac
encode ffmpeg-24.wav alac24.m4a -c:a alac
encode source.wav wavpack16.wv -c:a wavpack
encode source.wav aiff16.aiff
encode ffmpeg-24.wav aiff24.aiff -c:a pcm_s24be
encode source.wav w64-16.w64
encode ffmpeg-24.wav w64-24.w64 -c:a pcm_s24le
encode source.wav caf16.caf
encode source.wav tta16.tta -c:a tta
encode source.wav mka16.mka -c:a flac  # FLAC in Matroska, whose clock ticks in milliseconds
sox -V1 source.wav -t aifc aifc16.aifc
if command -v flac > /dev/null; then flac -s -f -o flac-tool16.flac source.wav; fi
"$TOOL" --csv source.wav > source.csv 2> /dev/null  # the source's results, as a wave file
for file in flac16.flac alac16.m4a wavpack16.wv aiff16.aiff w64-16.w64 caf16.caf tta16.tta aifc16.aifc mka16.mka \
    flac-tool16.flac:source flac24.flac:ffmpeg-24 alac24.m4a:ffmpeg-24 aiff24.aiff:ffmpeg-24 w64-24.w64:ffmpeg-24; do
    twin=${file#*:}
    [[ $twin == "$file" ]] && twin=source
    file=${file%%:*}
    [[ -e $file ]] || continue
    if ! "$TOOL" "$file" > "$WORK/out" 2> "$WORK/err"; then
        fail "$file: refused: $(cat "$WORK/err")"
        continue
    fi
    for suffix in " VT.emf" " VT.txt"; do
        if cmp -s "${file%.*}$suffix" "$twin$suffix"; then
            pass "$file: '$suffix' byte-identical to that of $twin.wav"
        else
            fail "$file: '$suffix' missing or different from that of $twin.wav"
        fi
    done
done
grep -q "^  Format       FLAC$" <("$TOOL" flac24.flac) && grep -q "^  Resolution   24 bits$" <("$TOOL" flac24.flac) \
    && pass "flac24.flac: the summary names the codec and the source's 24 bits" \
    || fail "flac24.flac: no Format or Resolution line as expected"

# Lossy: the CSV of each equals that of its float decoding by ffmpeg (first
# column, the file name, left out).
encode source.wav lossy.mp3 -c:a libmp3lame -b:a 320k
encode source.wav lossy.m4a -c:a aac -b:a 256k
encode source.wav lossy.ogg -c:a libvorbis
encode source.wav lossy.opus -c:a libopus
# Short ones, which the content probe recognises only weakly (an MP3 of 100 or
# 1,000 frames is two or three MPEG frames) or which hold a few Opus packets.
short_sine() { ffmpeg -nostdin -v error -y -f lavfi -i "sine=frequency=997:sample_rate=$1" "${@:3}" "$2"; }
short_sine 44100 short100.mp3 -af atrim=end_sample=100
short_sine 44100 short1000.mp3 -af atrim=end_sample=1000
short_sine 48000 short.opus -t 0.2
for file in lossy.mp3 lossy.m4a lossy.ogg lossy.opus short100.mp3 short1000.mp3 short.opus; do
    [[ -e $file ]] || continue
    lines=83
    [[ $file == short* ]] && lines=42  # one channel, no slice
    ffmpeg -nostdin -v error -y -i "$file" -c:a pcm_f32le "float-${file%.*}-${file#*.}.wav"
    if "$TOOL" --csv "$file" | cut -d, -f2- > "$WORK/decoded.csv" &&
        "$TOOL" --csv "float-${file%.*}-${file#*.}.wav" | cut -d, -f2- > "$WORK/float.csv" &&
        [[ $(wc -l < "$WORK/decoded.csv") -eq $lines ]] && cmp -s "$WORK/decoded.csv" "$WORK/float.csv"; then
        pass "$file: CSV equal to that of its float decoding"
    else
        fail "$file: CSV differs from that of its float decoding"
        diff "$WORK/decoded.csv" "$WORK/float.csv" | head -n 6
    fi
done

# Six channels (5.1), in FLAC and in a wave file: six named channels, six curves.
ffmpeg -nostdin -v error -y -i source.wav -filter_complex \
    "[0]pan=5.1|FL=c0|FR=c1|FC=0.5*c0|LFE=0.1*c1|BL=0.3*c0|BR=0.2*c1[out]" -map "[out]" six.flac
encode six.flac six.wav -c:a pcm_s16le
for file in six.flac six.wav; do
    names=$("$TOOL" --csv --svg "$file" | cut -d, -f2 | sed 1d | uniq | paste -sd/)
    if [[ $names == "left/right/center/lfe/surround left/surround right" ]]; then
        pass "$file: six channels in the CSV"
    else
        fail "$file: channels in the CSV are '$names'"
    fi
    curves=$(grep -o "<polyline" "${file%.*} VT.svg" 2> /dev/null | wc -l)
    [[ $curves -eq 6 ]] && pass "$file: six curves in the SVG" || fail "$file: $curves curves in the SVG"
done

# Five channels in a plain (not extensible) wave file state no speaker layout:
# taken as L R C Ls Rs, as FFmpeg takes them. EBU Tech 3341 case 6 (1 kHz at
# -28, -28, -24, -30, -30 dBFS) measures -23.0 LUFS, as ffmpeg's ebur128 does.
python3 - plain-five.wav << 'PYTHON'
import math, struct, sys
rate, seconds, levels = 48000, 20, (-28, -28, -24, -30, -30)
amplitudes = [10 ** (level / 20) * 32767 for level in levels]
frames = bytearray()
for n in range(rate * seconds):
    value = math.sin(2 * math.pi * 1000 * n / rate)
    frames += struct.pack("<5h", *(round(a * value) for a in amplitudes))
header = struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", 36 + len(frames), b"WAVE", b"fmt ", 16, 1, 5, rate,
                     rate * 10, 10, 16, b"data", len(frames))
open(sys.argv[1], "wb").write(header + frames)
PYTHON
names=$("$TOOL" --csv plain-five.wav | cut -d, -f2 | sed 1d | uniq | paste -sd/)
[[ $names == "left/right/center/surround left/surround right" ]] && pass "plain five channels: named L R C Ls Rs" ||
    fail "plain five channels: channels in the CSV are '$names'"
loudness=$("$TOOL" --loudness --json plain-five.wav | grep -o '"loudness_lufs": [-0-9.]*' | head -n 1 | cut -d' ' -f2)
peer=$(ffmpeg -nostdin -hide_banner -i plain-five.wav -af ebur128 -f null - 2>&1 | sed -n 's/^ *I: *\(-[0-9.]*\) LUFS/\1/p' | tail -n 1)
if [[ -n $loudness && -n $peer ]] &&
    awk -v a="$loudness" -v b="$peer" 'BEGIN { exit !((a + 23) ^ 2 <= 0.01 && (a - b) ^ 2 <= 0.01) }'; then
    pass "plain five channels: $loudness LUFS, ffmpeg's ebur128 $peer"
else
    fail "plain five channels: $loudness LUFS, ffmpeg's ebur128 '$peer' (both should be -23.0)"
fi

# Long lossless files are decoded in parts side by side when threads are free
# (--jobs above 1 for one file): the same CSV as the wave twin's, and the same
# JSON (peaks, full-scale samples, DR) as when decoded in one piece; a damaged
# one is refused as in one piece. 97.37 s: parts end on 3 s boundaries, the
# last one does not. Also at 48 kHz, six channels, and at 11025 Hz (whose
# slices are not whole frames: decoded in one piece).
if [[ -s $demo ]]; then
    sox -V1 "$demo" "$demo" "$demo" "$demo" long.wav trim 0 97.37
else
    "$MAKE_WAV" long.wav --seconds 97.37 --rate 44100 --level-db 3 --channel-step-db 9 > /dev/null
fi
sox -V1 long.wav -b 24 long24.wav
encode long.wav long16.flac
encode long24.wav long24.flac -c:a flac
encode long.wav long16.m4a -c:a alac
encode long24.wav long24.wv -c:a wavpack
encode long.wav long16.tta -c:a tta
encode long24.wav long24.aiff -c:a pcm_s24be
encode long.wav long16.caf
head -c "$(($(stat -c %s long16.flac) * 3 / 4))" long16.flac > long-cut.flac
# One byte changed: the FLAC or TTA frame's checksum no longer matches.
flip_byte() { python3 -c 'import sys; b = bytearray(open(sys.argv[1], "rb").read()); b[int(sys.argv[3])] ^= 1
open(sys.argv[2], "wb").write(b)' "$@"; }
flip_byte long16.flac long-flipped.flac $(($(stat -c %s long16.flac) * 2 / 3))
flip_byte long16.tta long-flipped.tta $(($(stat -c %s long16.tta) * 2 / 3))
sox -V1 long.wav -r 48000 long48k.wav
sox -V1 long.wav -r 11025 long11k.wav
ffmpeg -nostdin -v error -y -i long.wav -filter_complex \
    "[0]pan=5.1|FL=c0|FR=c1|FC=0.5*c0|LFE=0.1*c1|BL=0.3*c0|BR=0.2*c1[out]" -map "[out]" -c:a pcm_s16le long-six.wav
for twin in long48k long11k long-six; do encode $twin.wav $twin.flac; done
"$TOOL" --csv long.wav | cut -d, -f2- > "$WORK/long16.csv"
for twin in long24 long48k long11k long-six; do "$TOOL" --csv $twin.wav | cut -d, -f2- > "$WORK/$twin.csv"; done
for file in long16.flac long24.flac long16.m4a long24.wv long16.tta long24.aiff long16.caf long48k.flac long11k.flac \
    long-six.flac long-cut.flac long-flipped.flac long-flipped.tta; do
    for jobs in 1 3; do
        "$TOOL" --jobs $jobs --json "$file" > "$WORK/jobs$jobs.json" 2> "$WORK/jobs$jobs.err"
        echo "status $?" >> "$WORK/jobs$jobs.err"
    done
    twin=$WORK/${file%%.*}.csv
    if [[ $file == long-cut.flac || $file == long-flipped.* ]]; then
        grep -q "damaged" "$WORK/jobs3.err" && cmp -s "$WORK/jobs1.err" "$WORK/jobs3.err" \
            && pass "$file: refused in parts as in one piece" || fail "$file: $(cat "$WORK/jobs3.err")"
    elif cmp -s "$WORK/jobs1.json" "$WORK/jobs3.json" && grep -q '"dr": [0-9]' "$WORK/jobs3.json" &&
        "$TOOL" --jobs 2 --csv "$file" | cut -d, -f2- | cmp -s - "$twin"; then
        pass "$file: in parts, the wave twin's CSV and the JSON of one piece"
    else
        fail "$file: in parts, a CSV or JSON differs ($(cat "$WORK/jobs3.err"))"
    fi
done

# Long wave files are read in parts side by side the same way (integer samples;
# float ones in one piece): the same JSON and CSV as in one piece.
sox -V1 long.wav -b 32 -e signed-integer long32.wav
sox -V1 long.wav -b 32 -e floating-point longf.wav
for file in long.wav long24.wav long32.wav longf.wav long48k.wav long-six.wav; do
    "$TOOL" --jobs 1 --json "$file" > "$WORK/wave1.json"
    "$TOOL" --jobs 3 --json "$file" > "$WORK/wave3.json"
    if cmp -s "$WORK/wave1.json" "$WORK/wave3.json" && grep -q '"dr": [0-9]' "$WORK/wave3.json" &&
        cmp -s <("$TOOL" --jobs 1 --csv "$file") <("$TOOL" --jobs 2 --csv "$file"); then
        pass "$file: read in parts, the JSON and CSV of one piece"
    else
        fail "$file: read in parts, a CSV or JSON differs from one piece's"
    fi
done

# Refusals: no audio, or damaged. Earlier results must stay as they were.
printf 'Just some notes about the session.\n' > notes.txt
ffmpeg -nostdin -v error -y -f lavfi -i color=c=red:s=16x16 -frames:v 1 picture.png
head -c 200000 /dev/urandom > random.mp3
head -c "$(($(stat -c %s flac16.flac) / 2))" flac16.flac > cut.flac
cp flac16.flac overwritten.flac
head -c 4000 /dev/urandom | dd of=overwritten.flac bs=1 seek=$(($(stat -c %s flac16.flac) / 2)) conv=notrunc 2> /dev/null
# One byte changed inside a frame: the frame's checksum no longer matches
# (a FLAC and a TTA frame, an Ogg Vorbis page).
flip_byte flac16.flac flipped.flac $(($(stat -c %s flac16.flac) / 3))
if command -v flac > /dev/null && ! flac -t -s flipped.flac 2>&1 | grep -q FRAME_CRC_MISMATCH; then
    fail "flipped.flac: flac -t finds no checksum mismatch"
fi
flip_byte tta16.tta flipped.tta 1000
flip_byte lossy.ogg flipped.ogg $(($(stat -c %s lossy.ogg) / 2))
# Ogg files cut where their last page starts, and a W64 file inside its data
# chunk's header (in its size field, where the demuxer saw an empty stream).
last_page() { python3 -c 'import sys; print(open(sys.argv[1], "rb").read().rfind(b"OggS"))' "$1"; }
head -c "$(last_page lossy.ogg)" lossy.ogg > cut.ogg
head -c "$(last_page lossy.opus)" lossy.opus > cut.opus
w64_data=$(python3 -c 'import sys; print(open(sys.argv[1], "rb").read().find(bytes.fromhex("64617461f3acd3118cd100c04f8edb8a")))' w64-16.w64)
head -c $((w64_data + 20)) w64-16.w64 > cut.w64
for file in notes.txt picture.png random.mp3 cut.flac overwritten.flac flipped.flac flipped.tta flipped.ogg \
    cut.ogg cut.opus cut.w64; do
    printf 'earlier' > "${file%.*} VT.emf"
    printf 'earlier' > "${file%.*} VT.txt"
    "$TOOL" "$file" > "$WORK/out" 2> "$WORK/err"
    status=$?
    if [[ $status -eq 1 && -s $WORK/err && ! -s $WORK/out ]] &&
        [[ $(cat "${file%.*} VT.emf") == earlier && $(cat "${file%.*} VT.txt") == earlier ]]; then
        pass "$file: refused ($(cat "$WORK/err")), earlier results intact"
    else
        fail "$file: status $status, '$(cat "$WORK/err")', or the earlier results changed"
    fi
done
grep -qx "vantorel: notes.txt: This is not a Wave file" <("$TOOL" notes.txt 2>&1) \
    && pass "notes.txt: the wave reader's own rejection" || fail "notes.txt: not the wave reader's rejection"
for file in cut.ogg cut.opus; do
    grep -q "damaged: the file was cut before its last page" <("$TOOL" $file 2>&1) \
        && pass "$file: refused as cut" || fail "$file: not refused as cut"
done
grep -q "damaged: an Ogg page's checksum does not match" <("$TOOL" flipped.ogg 2>&1) \
    && pass "flipped.ogg: the page's checksum" || fail "flipped.ogg: not refused for its checksum"
# A tag after the end of every stream (ID3v1's 128 bytes) is no damage.
{ cat lossy.ogg; printf 'TAG'; head -c 125 /dev/zero; } > tagged.ogg
if [[ $("$TOOL" --csv tagged.ogg | cut -d, -f2-) == $("$TOOL" --csv lossy.ogg | cut -d, -f2-) ]]; then
    pass "tagged.ogg: bytes after the last page passed over, counts as without them"
else
    fail "tagged.ogg: refused or measured differently for bytes after its last page"
fi
# Random bytes of many sizes, some of them weakly like an MP3 frame or two:
# none is taken for audio.
mkdir -p random
python3 -c 'import os, random
chance = random.Random(7)
for i in range(300):
    open("random/%03d.bin" % i, "wb").write(os.urandom(chance.choice([chance.randint(1, 64), chance.randint(64, 20000)])))'
refused=0
for file in random/*.bin; do
    "$TOOL" "$file" 2>&1 | grep -q ": This is not a Wave file" && refused=$((refused + 1))
done
[[ $refused -eq 300 ]] && pass "300 random files: each not a Wave file" || fail "random files: only $refused of 300 refused"

# ---- A FLAC typed at the prompt: the panel names the codec, the job ends.
"${TMUX_COMMAND[@]}" new-session -d -s flac -x 80 -y 33 "TOOL='$TOOL' sh '$WORK/run.sh' flac '$files'"
wait_until 10 0.1 screen_has flac "   Wave file to analyse?" || fail "the tool did not start for the FLAC"
rm -f "flac16 VT.emf" "flac16 VT.txt"
"${TMUX_COMMAND[@]}" send-keys -t flac -l "flac16.flac"
"${TMUX_COMMAND[@]}" send-keys -t flac Enter
if wait_until 30 0.1 screen_has flac "   Analyse another [Y/N]?"; then
    [[ $(row_of flac 18) == "                            Format       FLAC" ]] \
        && pass "flac16.flac: the panel shows Format FLAC under Duration" || fail "flac16.flac: row 18 is '$(row_of flac 18)'"
    screen_has flac "   Job finished in" && cmp -s "flac16 VT.emf" "source VT.emf" \
        && pass "flac16.flac: job finished, chart as the wave file's" || fail "flac16.flac: no finished job or chart"
    "${TMUX_COMMAND[@]}" send-keys -t flac N Enter
    expect_exit_and_modes flac 0 "N after the FLAC" 10
else
    fail "flac16.flac: the job did not finish"
    screen_of flac
fi

echo "$FAILURES failed"
exit $((FAILURES > 0))

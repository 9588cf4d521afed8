#!/usr/bin/env bash
# The Windows build: cross-compiles vantorel.exe and the unit tests with
# MinGW-w64 (preset "windows"), checks that the programs need no DLLs beyond
# Windows' own, runs the unit tests under Wine, then runs the Windows binary's
# whole job under Wine in a tmux terminal (Wine gives a program started from a
# terminal a console on it) and compares both result files byte for byte with
# those the Linux build writes for the same recording.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# Packages: the cross compiler and Wine, besides what the Linux build of the
# reference run uses.
tools/install-dependencies.sh --windows

wine=$(command -v wine || command -v wine-stable || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || command -v wineserver-stable || echo /usr/lib/wine/wineserver)

# A private, headless Wine: its own prefix, no debug chatter, no display.
export WINEDEBUG=-all
WINEPREFIX=$(mktemp -d /tmp/vantorel-wine.XXXXXX)
export WINEPREFIX
unset DISPLAY WAYLAND_DISPLAY
work=$(mktemp -d /tmp/vantorel-windows-job.XXXXXX)
socket="vantorel-windows-$$"
cleanup() {
  tmux -L "$socket" kill-server 2>/dev/null || true
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$WINEPREFIX" "$work"
}
trap cleanup EXIT

echo "== Wine prefix =="
"$wineserver" -p  # stays up, so each program starts quickly
"$wine" wineboot -i >/dev/null 2>&1 || true

echo "== Cross build (preset windows) =="
cmake --preset windows
cmake --build --preset windows -j2

echo "== No DLLs of ours =="
for program in build-windows/vantorel.exe build-windows/vantorel_tests.exe; do
  dlls=$(x86_64-w64-mingw32-objdump -p "$program" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
  echo "$program: $(echo $dlls)"
  if echo "$dlls" | grep -Eq 'libstdc|libgcc|libwinpthread|gtest'; then
    echo "FAIL: $program needs a DLL that is not part of Windows" >&2
    exit 1
  fi
done

echo "== Unit tests under Wine =="
"$wine" build-windows/vantorel_tests.exe --gtest_brief=1

echo "== Without a console it says why and stops =="
status=0
output=$("$wine" build-windows/vantorel.exe </dev/null 2>&1 | cat) || true
"$wine" build-windows/vantorel.exe </dev/null >/dev/null 2>&1 || status=$?
if [ "$status" != 2 ] || ! grep -q 'standard input is not a console' <<<"$output"; then
  echo "FAIL: without a console: status $status, said: $output" >&2
  exit 1
fi
echo "$output (status $status)"

echo "== Linux reference build =="
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target vantorel make_test_wav demo_wav

# Waits until the pane shows the pattern (an extended regular expression).
wait_for() {
  local session=$1 pattern=$2 seconds=$3
  local deadline=$((SECONDS + seconds))
  until tmux -L "$socket" capture-pane -p -t "$session" 2>/dev/null | grep -Eq "$pattern"; do
    if [ $SECONDS -ge $deadline ]; then
      echo "FAIL: $session did not show /$pattern/ within ${seconds}s; the screen:" >&2
      tmux -L "$socket" capture-pane -p -t "$session" >&2 || true
      return 1
    fi
    sleep 0.5
  done
}

# Runs one whole job: first keys the line editor must ignore or undo (Ctrl+C,
# an arrow, a function key, three letters taken back with Backspace), then the
# name; waits for the question, answers N and waits for the program to end
# with status 0. A key handled wrongly changes the name and the job fails.
run_job() {
  local session=$1 folder=$2 name=$3
  shift 3
  local command
  command=$(printf '%q ' "$@")
  # The folder holds the status of the previous run, which must not be read
  # for this one (nor while the shell rewrites it).
  rm -f "$folder/.exit-status"
  tmux -L "$socket" new-session -d -s "$session" -x 100 -y 40 -c "$folder" \
    "env WINEPREFIX='$WINEPREFIX' WINEDEBUG=-all $command; echo \$? > '$folder/.exit-status'; sleep 600"
  wait_for "$session" 'Wave file to analyse\?' 120
  tmux -L "$socket" send-keys -t "$session" -l xyz
  tmux -L "$socket" send-keys -t "$session" C-c Left F1 BSpace BSpace BSpace
  tmux -L "$socket" send-keys -t "$session" -l "$name"
  tmux -L "$socket" send-keys -t "$session" Enter
  wait_for "$session" 'Job finished in' 300
  wait_for "$session" 'Analyse another \[Y/N\]\?' 30
  tmux -L "$socket" send-keys -t "$session" N Enter
  local deadline=$((SECONDS + 60))
  until [ -s "$folder/.exit-status" ]; do
    if [ $SECONDS -ge $deadline ]; then
      echo "FAIL: $session did not end after N" >&2
      tmux -L "$socket" capture-pane -p -t "$session" >&2 || true
      return 1
    fi
    sleep 0.5
  done
  local status
  status=$(cat "$folder/.exit-status")
  tmux -L "$socket" kill-session -t "$session"
  if [ "$status" != 0 ]; then
    echo "FAIL: $session ended with status $status" >&2
    return 1
  fi
}

echo "== The whole job under Wine against the Linux build =="
recordings=(
  "take 1.wav|--kind int16 --channels 2 --seconds 3 --level-db 7 --channel-step-db 5"
  "float mono.wav|--kind float32 --channels 1 --seconds 2.5 --level-db 13"
  "loud 24.wav|--kind int24 --channels 2 --rate 48000 --seconds 4 --level-db 0.5"
  "demo.wav|copy build/demo/demo.wav"
  "ffmpeg 24.wav|ffmpeg -c:a pcm_s24le"
)
number=0
for recording in "${recordings[@]}"; do
  number=$((number + 1))
  name=${recording%%|*}
  read -r -a options <<<"${recording#*|}"
  mkdir -p "$work/linux" "$work/windows"
  if [ "${options[0]}" = copy ]; then
    cp "${options[1]}" "$work/linux/$name"
  elif [ "${options[0]}" = ffmpeg ]; then
    # A layout as real tools write it: extensible format chunk, LIST chunk.
    if ! command -v ffmpeg >/dev/null; then
      echo "skipped \"$name\": ffmpeg is not installed"
      continue
    fi
    ffmpeg -nostdin -v error -i build/demo/demo.wav -t 8 "${options[@]:1}" "$work/linux/$name"
  else
    build/make_test_wav "$work/linux/$name" "${options[@]}" >/dev/null
  fi
  cp "$work/linux/$name" "$work/windows/$name"
  run_job "linux$number" "$work/linux" "$name" "$root/build/vantorel"
  run_job "windows$number" "$work/windows" "$name" "$wine" "$root/build-windows/vantorel.exe"
  stem=${name%????}
  for suffix in " VT.txt" " VT.emf"; do
    if ! cmp "$work/linux/$stem$suffix" "$work/windows/$stem$suffix"; then
      echo "FAIL: \"$stem$suffix\" differs between the Linux and the Windows build" >&2
      exit 1
    fi
    echo "same bytes: \"$stem$suffix\" ($(stat -c %s "$work/windows/$stem$suffix") bytes)"
  done
done
echo "== The command line under Wine against the Linux build =="
# The same recordings as a batch: the Windows program expands the wildcard
# itself; CSV (line ends aside) and every result file, SVG included, must equal
# the Linux build's, and the charts and reports those of the dialogue above.
mkdir -p "$work/batch-linux" "$work/batch-windows"
for recording in "${recordings[@]}"; do
  cp "$work/linux/${recording%%|*}" "$work/batch-linux/"
  cp "$work/linux/${recording%%|*}" "$work/batch-windows/"
done
(cd "$work/batch-linux" && "$root/build/vantorel" --csv --svg --jobs 2 -- *.wav > ../linux.csv)
(cd "$work/batch-windows" && "$wine" "$root/build-windows/vantorel.exe" --csv --svg --jobs 2 -- '*.wav' > ../windows.csv)
# The two systems may list the folder in different orders.
if ! diff <(tr -d '\r' < "$work/windows.csv" | LC_ALL=C sort) <(LC_ALL=C sort "$work/linux.csv"); then
  echo "FAIL: the CSV differs between the Linux and the Windows build" >&2
  exit 1
fi
for result in "$work/batch-linux/"*" VT."*; do
  name=$(basename "$result")
  reference="$work/linux/$name"
  [ -e "$reference" ] || reference="$work/batch-windows/$name"
  if ! cmp "$result" "$work/batch-windows/$name" || ! cmp "$result" "$reference"; then
    echo "FAIL: \"$name\" differs between the builds or from the dialogue's" >&2
    exit 1
  fi
done
echo "same CSV ($(wc -l < "$work/linux.csv") lines) and result files"
echo "== Windows build: all checks passed =="

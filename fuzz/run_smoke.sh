#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz preset) and runs each one for a short while
# on a copy of its seed corpus (fuzz/corpus/<target>/). Fails when a target
# fails to build, finds a crash, a broken check, a leak or a timeout.
#
#   fuzz/run_smoke.sh [SECONDS]      # SECONDS per target, default 30
#
# Environment: FUZZ_WORK_DIR keeps the run's corpora, logs and crash inputs
# there (default: a fresh temporary folder, removed when every target passed).
set -euo pipefail

seconds="${1:-30}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
    echo "usage: $0 [SECONDS]" >&2
    exit 2
fi

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo"

cmake --preset fuzz
cmake --build --preset fuzz -j2

work="${FUZZ_WORK_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/vantorel-fuzz-smoke.XXXXXX")}"
mkdir -p "$work"

# The chart target writes a metafile for every input, and the file layer syncs
# what it writes: a memory-backed folder keeps that cheap.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi

failed=()
for source in fuzz/*_fuzzer.cpp; do
    target="$(basename "$source" .cpp)"
    name="${target%_fuzzer}"
    binary="build-fuzz/fuzz/$target"
    if [ ! -x "$binary" ]; then
        echo "missing fuzz target $binary" >&2
        failed+=("$target")
        continue
    fi
    corpus="$work/$name/corpus"
    mkdir -p "$corpus" "$work/$name/artifacts"
    if [ -d "fuzz/corpus/$name" ]; then
        cp -r "fuzz/corpus/$name/." "$corpus/"
    fi
    echo "== $target: ${seconds}s"
    if nice -n 10 "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$work/$name/artifacts/" "$corpus" >"$work/$name/log" 2>&1; then
        grep -E '^#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units' "$work/$name/log" || true
    else
        echo "!! $target failed; the end of its log:" >&2
        tail -n 40 "$work/$name/log" >&2
        ls -l "$work/$name/artifacts" >&2 || true
        failed+=("$target")
    fi
done

if [ "${#failed[@]}" -ne 0 ]; then
    echo "fuzz smoke run failed: ${failed[*]} (inputs and logs kept in $work)" >&2
    exit 1
fi
if [ -z "${FUZZ_WORK_DIR:-}" ]; then
    rm -rf "$work"
fi
echo "fuzz smoke run passed (${seconds}s per target)"

#!/usr/bin/env bash
# Bad input end to end: names that cannot be opened, refused and odd headers,
# unusual names and result files that cannot be written, each typed into the
# real binary in an 80x33 tmux pane. The table of cases and the checks are in
# bad_input_matrix.py beside this script (python3, standard library only).
#
# Usage: test_bad_input.sh <path-to-vantorel> <path-to-make_test_wav> [--only NAME,...]
# Exits non-zero and names every failed check on failure.

set -u

if [[ $# -lt 2 || ! -x $1 || ! -x $2 ]]; then
    echo "usage: $0 <path-to-vantorel> <path-to-make_test_wav> [--only NAME,...]" >&2
    exit 2
fi
if ! command -v python3 > /dev/null; then
    echo "python3 is not installed" >&2
    exit 2
fi

exec python3 "$(dirname "$0")/bad_input_matrix.py" "$@"

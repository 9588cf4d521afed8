#!/usr/bin/env bash
# The command line end to end, on the real binary without a terminal: help,
# version and wrong command lines; a batch over the bad-input matrix's files
# against the dialogue's results; --jobs; CSV against an independent
# measurement; SVG against the metafile; cmake --install. The checks are in
# command_line_matrix.py beside this script (python3, standard library only).
#
# Usage: test_command_line.sh <path-to-vantorel> <path-to-make_test_wav>
# Exits non-zero and names every failed check on failure.

set -u

if [[ $# -lt 2 || ! -x $1 || ! -x $2 ]]; then
    echo "usage: $0 <path-to-vantorel> <path-to-make_test_wav>" >&2
    exit 2
fi
if ! command -v python3 > /dev/null; then
    echo "python3 is not installed" >&2
    exit 2
fi

exec python3 "$(dirname "$0")/command_line_matrix.py" "$@"

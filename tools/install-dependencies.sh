#!/usr/bin/env bash
# Installs, on Debian 12 (or a system with the same package names), what the
# machine lacks to build Vantorel and to run every one of its tests, so that no
# test is skipped for want of a program. Packages already installed are left
# alone; when nothing is missing, nothing is run and no root rights are needed.
# As root apt-get runs directly (containers often have no sudo), otherwise
# through sudo.
#
# Usage: tools/install-dependencies.sh [--fuzz] [--windows] [--list]
#   --fuzz     also clang and its sanitizer runtimes (preset fuzz, fuzz/run_smoke.sh)
#   --windows  also the MinGW-w64 cross compiler and Wine (preset windows, .ci/windows.sh)
#   --list     print the packages these options choose, one a line, and install nothing
#
# .ci/run and .ci/windows.sh install through this script, so that CI and a
# new developer's machine get the same packages.
set -euo pipefail

# The build: compiler, CMake with Ninja, the libraries the program links or
# loads, GoogleTest.
build=(cmake ninja-build g++ pkg-config libgtest-dev libncurses-dev libavformat-dev libavcodec-dev
       libavutil-dev libebur128-dev libsqlite3-dev)
# The tests: python3 runs the end-to-end matrices; tmux is their terminal
# (ncurses-bin's infocmp picks its terminal type); sox, ffmpeg and flac write
# real-world files, ffmpeg also gives reference loudness and decodings; strace
# holds and fails system calls; e2fsprogs' chattr makes results immutable and
# util-linux's setpriv runs the tool as another user (both as root only);
# procps' ps reports a tool that did not end; emf2svg-conv renders the charts;
# chromium with a font takes the --html page's screenshot; man-db checks the
# installed manual page; locales holds the locale definitions. sqlite3 is the
# command-line shell of the SQLite library above, to look into SQLite files.
tests=(python3 tmux ncurses-bin sox ffmpeg flac strace e2fsprogs util-linux procps emf2svg chromium
       fonts-dejavu-core man-db sqlite3 locales)
fuzz=(clang libclang-rt-14-dev)
windows=(g++-mingw-w64-x86-64 wine64)

packages=("${build[@]}" "${tests[@]}")
list_only=false
for option in "$@"; do
    case $option in
        --fuzz) packages+=("${fuzz[@]}") ;;
        --windows) packages+=("${windows[@]}") ;;
        --list) list_only=true ;;
        -h | --help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "$0: unknown option '$option' (try --help)" >&2; exit 2 ;;
    esac
done
if $list_only; then
    printf '%s\n' "${packages[@]}"
    exit 0
fi

if ! command -v dpkg-query > /dev/null || ! command -v apt-get > /dev/null; then
    echo "$0: this machine has no dpkg/apt-get; install the equivalents of these packages by hand:" >&2
    printf '  %s\n' "${packages[@]}" >&2
    exit 1
fi

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2> /dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "All ${#packages[@]} packages the build and the tests use are installed."
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo > /dev/null; then
    as_root=(sudo)
else
    echo "$0: these packages are missing: ${missing[*]}" >&2
    echo "Installing them needs root rights, and sudo is not installed. Either run this script as root" >&2
    echo "(for example: su -c '$0 $*'), or have an administrator install sudo and give you its use." >&2
    exit 1
fi

echo "Installing: ${missing[*]}"
# Run through sudo, the variable must be passed on the command line: sudo
# resets the environment.
if ! "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq ||
   ! "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
       "${missing[@]}"; then
    echo "$0: installing failed (see apt-get's message above). Run this script as root, or as a user" >&2
    echo "who may use sudo, on a machine that reaches its Debian package mirror." >&2
    exit 1
fi
echo "Installed ${#missing[@]} package(s); the build and the tests have all they use."

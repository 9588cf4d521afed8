#!/usr/bin/env bash
# Tries the README's quick start on a freshly installed minimal Debian 12: makes
# a root file system with debootstrap (from the Debian mirror this machine's
# apt uses), clones this repository's current commit into it, and in a chroot
# runs the two commands as written: as root, or with --user as a normal user
# who may use sudo. Checks that the tool starts at its prompt in a tmux pane
# (the dialogue needs a terminal), and prints each command's time and last lines.
# Not part of CI (it installs a whole system); run it as root on a Debian host.
#
# Usage: tools/try-quick-start.sh [--user] [--keep] [FOLDER]
#   --user   run the commands as a user with sudo (else as root)
#   --keep   leave the root file system in FOLDER (else it is removed)
#   FOLDER   where the root file system is made (default: a new folder in /var/tmp)
set -euo pipefail

as_user=false keep=false root=""
for option in "$@"; do
    case $option in
        --user) as_user=true ;;
        --keep) keep=true ;;
        -*) echo "usage: $0 [--user] [--keep] [FOLDER]" >&2; exit 2 ;;
        *) root=$option ;;
    esac
done
if [ "$(id -u)" -ne 0 ]; then
    echo "$0: debootstrap and chroot need root" >&2
    exit 2
fi
repo=$(cd "$(dirname "$0")/.." && pwd)
root=${root:-$(mktemp -d /var/tmp/vantorel-fresh.XXXXXX)}
mkdir -p "$root"
root=$(cd "$root" && pwd)
if [ "$root" = / ] || [ -n "$(ls -A "$root")" ]; then
    echo "$0: $root is not an empty folder" >&2
    exit 2
fi
chmod 755 "$root"  # the system's / (mktemp made it 0700, closed to all but root)

mounts=(proc sys dev dev/pts dev/shm tmp)
# shellcheck disable=SC2317  # run by the trap
cleanup() {
    # Whatever still runs inside (a test's leftover), then the mounts.
    for process in /proc/[0-9]*; do
        [ "$(readlink "$process/root" 2> /dev/null)" = "$root" ] && kill -KILL "${process#/proc/}" 2> /dev/null
    done
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        mountpoint -q "$root/${mounts[i]}" && umount -l "$root/${mounts[i]}"
    done
    if $keep; then
        echo "The root file system stays in $root"
    elif grep -q " $root/" /proc/mounts; then
        echo "Something is still mounted under $root: it is left in place"
    else
        rm -rf --one-file-system "$root"
    fi
}
trap cleanup EXIT

command -v debootstrap > /dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap
# The mirror apt already uses (one-line or deb822 sources).
mirror=$(sed -n -e 's/^deb \(\[[^]]*\] \)\{0,1\}\(https\{0,1\}:[^ ]*\) .*/\2/p' -e 's/^URIs: *\(https\{0,1\}:[^ ]*\).*/\1/p' \
    /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2> /dev/null |
    grep -v -e security -e updates | head -n 1 || true)
if [ -z "$mirror" ]; then
    echo "$0: no Debian mirror found in /etc/apt/sources.list*" >&2
    exit 1
fi

echo "== debootstrap --variant=minbase bookworm into $root"
debootstrap --variant=minbase bookworm "$root" "$mirror" > "$root.debootstrap.log" 2>&1 ||
    { tail -n 5 "$root.debootstrap.log"; exit 1; }
rm -f "$root.debootstrap.log"
mount -t proc proc "$root/proc"
mount -t sysfs sys "$root/sys"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
echo "127.0.1.1 $(hostname)" >> "$root/etc/hosts"

in_root() { chroot "$root" /usr/bin/env -i TERM=xterm PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin "$@"; }
if $as_user; then
    # A machine with a sudo user has sudo.
    in_root bash -c 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq sudo > /dev/null'
    in_root useradd -m -s /bin/bash user
    echo 'user ALL=(ALL) NOPASSWD:ALL' > "$root/etc/sudoers.d/user"
    chmod 440 "$root/etc/sudoers.d/user"
    home=/home/user
    run() { in_root su - user -c "cd ~/vantorel && $1"; }
else
    home=/root
    run() { in_root bash -c "cd /root/vantorel && $1"; }
fi
git clone -q "$repo" "$root$home/vantorel"
git -C "$root$home/vantorel" checkout -q "$(git -C "$repo" rev-parse HEAD)"
$as_user && in_root chown -R user:user "$home/vantorel"

# The README's two commands; the first one's last step starts the tool, which
# refuses standard input that is no terminal: it is started in tmux below.
first=$(sed -n '/^# Install what the machine lacks/{n;p;}' "$repo/README.md")
second=$(sed -n '/^# Build and run all tests/{n;p;}' "$repo/README.md")
echo "== $first"
start=$SECONDS
run "$first < /dev/null" > "$root.log" 2>&1 || true
tail -n 4 "$root.log"
echo "-- $((SECONDS - start)) s"
# The tool refuses standard input that is no terminal: that line ends a good run.
grep -q 'standard input is not a terminal' "$root.log" || { echo "-- the first command failed"; exit 1; }
run "tmux -L quick-start new-session -d -x 80 -y 33 ./build/vantorel && sleep 2 &&
     tmux -L quick-start capture-pane -p | grep -F 'Wave file to analyse?'; status=\$?;
     tmux -L quick-start kill-server; exit \$status" ||
    { echo "-- the tool did not show its prompt in tmux"; exit 1; }

echo "== $second"
start=$SECONDS
status=0
run "$second < /dev/null" > "$root.log" 2>&1 || status=$?
tail -n 6 "$root.log"
echo "-- status $status after $((SECONDS - start)) s"
grep -h '^skip' "$root$home/vantorel/build/Testing/Temporary/LastTest.log" | sort -u || true
rm -f "$root.log"
exit "$status"

#!/usr/bin/env python3
"""Bad-input matrix: the real binary in an 80x33 tmux pane, one run per case.

Every case makes its input in a folder of its own, starts the tool there, types
the name at the prompt and checks what the user sees: the error box with its
text (then the box closes, the start screen comes back and the tool still
runs), or the FILE DATA panel and the whole job down to "Analyse another
[Y/N]?" (then N ends the tool with status 0). Around each run the folder is
listed with types, sizes, modification times and checksums: the input must be
byte for byte what it was, and nothing but the expected result files may appear
or change. Temporary files left by a failed write show up here too.

Usage: bad_input_matrix.py <vantorel> <make_test_wav> [--only NAME[,NAME...]] [--list]
Exits 1 and names every failed check on failure; skipped cases say why.
"""

from __future__ import annotations

import argparse
import dataclasses
import hashlib
import os
import re
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import time
from typing import Callable, Optional

ROWS, COLUMNS = 33, 80
PROMPT = "   Wave file to analyse?"
BANNER = "   Vantorel"
QUESTION = "   Analyse another [Y/N]?"
LABEL = " " * 28
HEADING = LABEL + "FILE DATA"
CHANNELS = LABEL + "Channels    "
RATE = LABEL + "Sample rate "
RESOLUTION = LABEL + "Resolution  "
LENGTH = LABEL + "Length      "
DURATION = LABEL + "Duration    "
FINISHED = re.compile(r"^   Job finished in [ -]?[0-9.]+ sec$")

NOT_FOUND = ("File not found.", "Please enter a valid filename")
NOT_WAVE = ("This is not a Wave file",)
EIGHT_BIT = ("This is an 8-bit Wave file.", "The resolution must be 16-bit or higher")
NOT_PCM = ("This is not a PCM or float format Wave file",)
DAMAGED = ("The chunks of this Wave file are damaged",)
CANNOT_READ = "This Wave file has a layout the tool cannot read:"
UNREADABLE_BITS = (CANNOT_READ, "The resolution must be 16, 24 or 32-bit")
UNREADABLE_CHANNELS = (CANNOT_READ, "It must have 1 to 8 channels that agree with its frames")
UNREADABLE = ("This file cannot be read:", "permission denied")
CUT = ("This Wave file is shorter than its header says:", "It was cut short, or is still being written")
NOTHING_CHANGED = "No result file was changed."

STEREO_REPORT = b"left, left, right, right\r\n"
MONO_REPORT = b"mono,mono\r\n"


@dataclasses.dataclass
class Box:
    """The error box with these lines; nothing of the panel is printed, or with
    after_job the box ends the job in place of "Done" and "Job finished"."""

    lines: tuple[str, ...]
    after_job: bool = False


@dataclasses.dataclass
class Job:
    """The whole job. Panel values carry their sign position (" 2", "-5")."""

    channels: str
    rate: str
    resolution: str
    length: str
    duration: str
    slices: str
    report: Optional[bytes]  # expected report bytes, None: no report file
    chart: bool  # a chart file is written
    seconds: float = 20.0  # how long the job may take


@dataclasses.dataclass
class Case:
    name: str
    # Makes the inputs in the folder; returns the name to type.
    prepare: Callable[["Context", str], str]
    expect: Box | Job
    # Result names (relative to the folder) the job writes; with a Job and an
    # empty tuple nothing may change at all.
    results: tuple[str, ...] = ()
    # Entries of the folder the case itself removes.
    removed: tuple[str, ...] = ()
    # Paths outside the folder that must not exist afterwards.
    absent: tuple[str, ...] = ()
    # Returns a reason when the case cannot run on this machine.
    unsupported: Optional[Callable[["Context"], Optional[str]]] = None
    # Runs the tool under strace, delaying the given open of the input (see below).
    delay_open: Optional[int] = None
    delay_call: str = "openat"  # the system call whose delay_open-th call is held
    # What the case does to the input while the call is held: "delete" or "truncate".
    while_held: str = "delete"
    # Runs the tool under strace with these fault injections, with trace_input
    # only on calls that reach the input.
    inject: tuple[str, ...] = ()
    trace_input: bool = False
    # Runs the tool as this unprivileged user when the matrix runs as root.
    user: Optional[str] = None
    # The tool's locale (LANG and LC_ALL).
    locale: str = "C.UTF-8"
    note: str = ""


class Context:
    def __init__(self, tool: str, make_wav: str, work: str):
        self.tool = tool
        self.make_wav = make_wav
        self.work = work
        self.socket = f"vantorel-bad-input-{os.getpid()}"
        self.failures = 0
        self.skipped: list[str] = []
        self.immutable: list[str] = []
        # The program user nobody runs (a copy when nobody cannot reach ctx.tool).
        self.tool_for_nobody: Optional[str] = None
        self.cleanups: list[Callable[[], None]] = []
        # Run after the folder is listed (unmounting a file system in it).
        self.late_cleanups: list[Callable[[], None]] = []
        conf = os.path.join(work, "tmux.conf")
        with open(conf, "w") as f:
            f.write("set -g status off\nset -s escape-time 0\nset -g history-limit 100\n")
        self.tmux_base = ["tmux", "-L", self.socket, "-f", conf]

    # --- tmux -------------------------------------------------------------------

    def tmux(self, *args: str, check: bool = True) -> str:
        done = subprocess.run(self.tmux_base + list(args), capture_output=True, text=True,
                              env=dict(os.environ, LANG="C.UTF-8"))
        if check and done.returncode != 0:
            raise RuntimeError(f"tmux {' '.join(args)}: {done.stderr.strip()}")
        return done.stdout

    def screen(self, session: str) -> list[str]:
        rows = self.tmux("capture-pane", "-p", "-t", session, check=False).split("\n")
        rows = [r.rstrip() for r in rows[:ROWS]]
        return rows + [""] * (ROWS - len(rows))

    def row(self, session: str, number: int) -> str:
        return self.screen(session)[number - 1]

    def type_text(self, session: str, text: str) -> None:
        if not text:
            return
        typed = text.encode("utf-8", "surrogateescape")
        if typed.decode("utf-8", "replace") == text:
            self.tmux("send-keys", "-t", session, "-l", text)
            return
        # Bytes that are no UTF-8 go to the terminal as they are, in hex.
        self.tmux("send-keys", "-t", session, "-H", *(f"{byte:02x}" for byte in typed))

    def key(self, session: str, name: str) -> None:
        self.tmux("send-keys", "-t", session, name)

    # --- checks -------------------------------------------------------------------

    def ok(self, case: str, what: str) -> None:
        print(f"ok: {case}: {what}")

    def fail(self, case: str, what: str, session: Optional[str] = None) -> None:
        print(f"FAIL: {case}: {what}")
        if session is not None:
            for number, text in enumerate(self.screen(session), start=1):
                print(f"    {number:2d} | {text}")
        self.failures += 1


def wait_until(seconds: float, test: Callable[[], bool]) -> bool:
    deadline = time.monotonic() + seconds
    while True:
        if test():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.05)


def alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A zombie has ended as far as the user is concerned.
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return True


# --- Folder listings -----------------------------------------------------------


def read_own_file(path: str, status: os.stat_result) -> bytes:
    """The file's bytes, also when a case took its read permission away (root
    reads it anyway; its owner gets the bit for the read, then the mode it had).
    Changing the mode touches only the file's change time, which is not listed."""
    try:
        with open(path, "rb") as f:
            return f.read()
    except PermissionError:
        if status.st_uid != os.geteuid():
            raise
    os.chmod(path, stat.S_IMODE(status.st_mode) | stat.S_IRUSR)
    try:
        with open(path, "rb") as f:
            return f.read()
    finally:
        os.chmod(path, stat.S_IMODE(status.st_mode))


def listing(folder: str) -> dict[str, tuple]:
    """Every entry under the folder: type, size, mtime, checksum or link target.
    Pipes and devices are listed, never opened."""
    entries: dict[str, tuple] = {}
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = os.path.join(root, name)
            status = os.lstat(path)
            kind = stat.S_IFMT(status.st_mode)
            if stat.S_ISREG(status.st_mode):
                content = hashlib.sha256(read_own_file(path, status)).hexdigest()
            elif stat.S_ISLNK(status.st_mode):
                content = os.readlink(path)
            else:
                content = ""
            if stat.S_ISDIR(status.st_mode):
                # A folder's own time changes when results are written in it;
                # what it holds is listed entry by entry.
                entries[os.path.relpath(path, folder)] = (kind, 0, 0, "")
            else:
                entries[os.path.relpath(path, folder)] = (kind, status.st_size, status.st_mtime_ns, content)
    return entries


def compare_listings(ctx: Context, case: Case, before: dict, after: dict) -> None:
    allowed = set(case.results)
    changed = sorted(n for n in set(before) | set(after)
                     if before.get(n) != after.get(n) and n not in allowed and n not in case.removed)
    if changed:
        for name in changed:
            ctx.fail(case.name, f"'{name}' changed: before {before.get(name)}, after {after.get(name)}")
    else:
        ctx.ok(case.name, f"folder unchanged apart from the results ({len(before)} entries before)")
    for name in case.removed:
        if name in after:
            ctx.fail(case.name, f"'{name}' should have been removed by the case itself")


# --- Making inputs ---------------------------------------------------------------


def make_wav(ctx: Context, path: str, *options: str) -> None:
    subprocess.run([ctx.make_wav, path, *options], check=True)


def wav(file: str, *options: str) -> Callable[[Context, str], str]:
    """A case input made by make_test_wav, typed as a name relative to the folder."""

    def prepare(ctx: Context, folder: str) -> str:
        make_wav(ctx, os.path.join(folder, file), *options)
        return file

    return prepare


def raw(file: str, content: bytes) -> Callable[[Context, str], str]:
    def prepare(ctx: Context, folder: str) -> str:
        with open(os.path.join(folder, file), "wb") as f:
            f.write(content)
        return file

    return prepare


def typed(name: str) -> Callable[[Context, str], str]:
    return lambda ctx, folder: name


def folder_input(ctx: Context, folder: str) -> str:
    os.mkdir(os.path.join(folder, "folder.wav"))
    make_wav(ctx, os.path.join(folder, "folder.wav", "inside.wav"), "--seconds", "0.1")
    return "folder.wav"


def pipe_input(ctx: Context, folder: str) -> str:
    os.mkfifo(os.path.join(folder, "pipe.wav"))
    return "pipe.wav"


def zero_device_input(ctx: Context, folder: str) -> str:
    os.symlink("/dev/zero", os.path.join(folder, "zero.wav"))
    return "zero.wav"


def dangling_input(ctx: Context, folder: str) -> str:
    os.symlink("gone.wav", os.path.join(folder, "dangling.wav"))
    return "dangling.wav"


def absolute_input(ctx: Context, folder: str) -> str:
    make_wav(ctx, os.path.join(folder, "vanishing.wav"), "--seconds", "0.5")
    return os.path.join(folder, "vanishing.wav")


def long_path_input(ctx: Context, folder: str) -> str:
    # About 300 characters over several components, each well under the
    # 255-byte limit of a component.
    path = folder
    for letter in "abc":
        path = os.path.join(path, letter * 70)
    os.makedirs(path)
    base = os.path.join(path, "take ")
    name = base + "x" * (300 - len(base) - 4) + ".wav"
    assert len(name) == 300
    make_wav(ctx, name, "--kind", "int32", "--channels", "1", "--rate", "8000", "--seconds", "1")
    return name


def long_path_results(folder: str) -> tuple[str, ...]:
    path = os.path.join(*(letter * 70 for letter in "abc"))
    base = os.path.join(folder, path, "take ")
    stem = os.path.relpath(base + "x" * (300 - len(base) - 4), folder)
    return (stem + " VT.emf", stem + " VT.txt")


TOO_LONG = "x" * 251 + ".wav"  # 255 bytes; its result names would have 258


def results_are_folders(ctx: Context, folder: str) -> str:
    make_wav(ctx, os.path.join(folder, "take.wav"), "--seconds", "0.5")
    for suffix in (" VT.emf", " VT.txt"):
        os.mkdir(os.path.join(folder, "take" + suffix))
        with open(os.path.join(folder, "take" + suffix, "earlier result"), "wb") as f:
            f.write(b"keep me\n")
    return "take.wav"


def old_results_then_readonly(ctx: Context, folder: str) -> str:
    make_wav(ctx, os.path.join(folder, "take.wav"), "--seconds", "0.5")
    for suffix in (" VT.emf", " VT.txt"):
        with open(os.path.join(folder, "take" + suffix), "wb") as f:
            f.write(b"earlier result\r\n")
    if os.geteuid() == 0:
        # Root writes through permission bits; an immutable folder refuses it too.
        subprocess.run(["chattr", "+i", folder], check=True, capture_output=True)
        ctx.immutable.append(folder)
    else:
        os.chmod(folder, 0o555)
        ctx.cleanups.append(lambda: os.chmod(folder, 0o755))
    return "take.wav"


def readonly_unsupported(ctx: Context) -> Optional[str]:
    if os.geteuid() != 0:
        return None
    probe = tempfile.mkdtemp(prefix="chattr-probe.", dir=ctx.work)
    try:
        done = subprocess.run(["chattr", "+i", probe], capture_output=True, text=True)
    except FileNotFoundError:
        return "chattr is not installed and root ignores permission bits"
    if done.returncode != 0:
        return f"the file system does not take chattr +i ({done.stderr.strip()}) and root ignores permission bits"
    subprocess.run(["chattr", "-i", probe], check=True)
    return None


def old_results_replaced(ctx: Context, folder: str) -> str:
    make_wav(ctx, os.path.join(folder, "my take 1.wav"), "--channels", "1", "--seconds", "0.5")
    for suffix in (" VT.emf", " VT.txt"):
        with open(os.path.join(folder, "my take 1" + suffix), "wb") as f:
            f.write(b"an older and longer result that must not survive in any part\r\n" * 4)
    return "my take 1.wav"


def input_is_result(ctx: Context, folder: str) -> str:
    # The recording sits under the report's name, and the typed name links to it.
    make_wav(ctx, os.path.join(folder, "take VT.txt"), "--seconds", "0.5")
    os.symlink("take VT.txt", os.path.join(folder, "take.wav"))
    return "take.wav"


def earlier_results(folder: str, stem: str) -> None:
    for suffix in (" VT.emf", " VT.txt"):
        with open(os.path.join(folder, stem + suffix), "wb") as f:
            f.write(b"earlier result " + suffix.encode() + b"\r\n")


def invalid_utf8_name(ctx: Context, folder: str) -> str:
    # "a.wav" and its results must stay out of it: the stray byte is part of the name.
    make_wav(ctx, os.path.join(folder, "a.wav"), "--seconds", "0.5")
    earlier_results(folder, "a")
    make_wav(ctx, os.path.join(folder, "a\udcff.wav"), "--channels", "1", "--seconds", "0.5")
    return "a\udcff.wav"


LATIN1_NAME = b"s\xf3ng.w\xe4v".decode("utf-8", "surrogateescape")  # sóng.wäv in Latin-1


def short_name_in_folder(ctx: Context, folder: str) -> str:
    os.mkdir(os.path.join(folder, "sub"))
    make_wav(ctx, os.path.join(folder, "sub", "ab"), "--channels", "1", "--seconds", "0.5")
    return "sub/ab"


def unreadable_input(ctx: Context, folder: str) -> str:
    make_wav(ctx, os.path.join(folder, "locked.wav"), "--seconds", "0.5")
    os.chmod(os.path.join(folder, "locked.wav"), 0)
    return "locked.wav"


def unprivileged_unsupported(ctx: Context) -> Optional[str]:
    if os.geteuid() != 0:
        return None
    if shutil.which("setpriv") is None:
        return "setpriv is not installed, and root reads any file"
    ctx.tool_for_nobody = ctx.tool
    if not runs_as_nobody(ctx.tool):
        # The build lies where nobody may not go (a clone in /root): a copy of
        # the program in a folder open to all runs instead, removed after the case.
        folder = tempfile.mkdtemp(prefix="vantorel-nobody.")
        os.chmod(folder, 0o755)
        ctx.late_cleanups.append(lambda: shutil.rmtree(folder, ignore_errors=True))
        ctx.tool_for_nobody = os.path.join(folder, os.path.basename(ctx.tool))
        shutil.copy(ctx.tool, ctx.tool_for_nobody)
        os.chmod(ctx.tool_for_nobody, 0o755)
    if not runs_as_nobody(ctx.tool_for_nobody):
        return f"user nobody cannot run {ctx.tool_for_nobody}, and root reads any file"
    return None


def runs_as_nobody(tool: str) -> bool:
    return subprocess.run(SETPRIV_NOBODY + ["test", "-x", tool], capture_output=True).returncode == 0


SETPRIV_NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
DISK = "disk"  # a small file system mounted in the case folder


def full_disk(ctx: Context, folder: str) -> str:
    disk = os.path.join(folder, DISK)
    os.mkdir(disk)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", disk], check=True)
    ctx.late_cleanups.append(lambda: subprocess.run(["umount", disk], check=False))
    make_wav(ctx, os.path.join(disk, "take.wav"), "--seconds", "0.5")
    earlier_results(disk, "take")
    # Fill the disk, then free one page: the report's temporary fits, the chart's does not.
    filler = os.path.join(disk, "filler")
    descriptor = os.open(filler, os.O_WRONLY | os.O_CREAT, 0o644)
    try:
        while os.write(descriptor, b"\0" * 4096) > 0:
            pass
    except OSError:
        pass
    finally:
        os.close(descriptor)
    pages = (os.path.getsize(filler) + 4095) // 4096
    os.truncate(filler, (pages - 1) * 4096)
    return os.path.join(DISK, "take.wav")


def tmpfs_unsupported(ctx: Context) -> Optional[str]:
    if os.geteuid() != 0:
        return "mounting a small file system needs root"
    probe = tempfile.mkdtemp(prefix="mount-probe.", dir=ctx.work)
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", probe], capture_output=True, text=True)
    if done.returncode != 0:
        return f"tmpfs cannot be mounted here ({done.stderr.strip()})"
    subprocess.run(["umount", probe], check=True)
    return None


def immutable_unsupported(ctx: Context) -> Optional[str]:
    if os.geteuid() != 0:
        return "making a file immutable (chattr +i) needs root"
    return readonly_unsupported(ctx)


def immutable_earlier_chart(ctx: Context, folder: str) -> str:
    make_wav(ctx, os.path.join(folder, "take.wav"), "--seconds", "0.5")
    earlier_results(folder, "take")
    # Not even root may replace it: the chart's rename fails after the report's succeeded.
    chart = os.path.join(folder, "take VT.emf")
    subprocess.run(["chattr", "+i", chart], check=True, capture_output=True)
    ctx.immutable.append(chart)
    return "take.wav"


def earlier_stereo_results(ctx: Context, folder: str) -> str:
    make_wav(ctx, os.path.join(folder, "take.wav"), "--seconds", "0.5")
    earlier_results(folder, "take")
    return "take.wav"


def with_earlier_results(stem: str, prepare: Callable[[Context, str], str]) -> Callable[[Context, str], str]:
    """The input, and results of an earlier job beside it that must stay as they are."""

    def prepare_both(ctx: Context, folder: str) -> str:
        earlier_results(folder, stem)
        return prepare(ctx, folder)

    return prepare_both


def absolute_input_with_earlier_results(ctx: Context, folder: str) -> str:
    earlier_results(folder, "vanishing")
    return absolute_input(ctx, folder)


def strace_unsupported(ctx: Context) -> Optional[str]:
    if shutil.which("strace") is None:
        return "strace is not installed, and nothing else can stop the tool between two opens"
    done = subprocess.run(["strace", "-o", "/dev/null", "-e", "trace=none", "true"], capture_output=True, text=True)
    if done.returncode != 0:
        return f"strace cannot trace here ({done.stderr.strip()})"
    return None


# --- The matrix -------------------------------------------------------------------

S16 = ("--seconds", "1")  # stereo 16-bit 44.1 kHz, 1 s: 176,400 data bytes
STEREO_RESULTS = lambda stem: (stem + " VT.emf", stem + " VT.txt")  # noqa: E731


# Chunked layouts built byte by byte: a chunk is its tag, its size (or a claimed
# one), the payload and a pad byte after an odd payload.
def chunk(tag: bytes, payload: bytes, size: Optional[int] = None) -> bytes:
    return tag + struct.pack("<I", len(payload) if size is None else size) + payload + b"\0" * (len(payload) % 2)


def riff(tag: bytes, *chunks: bytes) -> bytes:
    body = b"WAVE" + b"".join(chunks)
    return tag + struct.pack("<I", 0xFFFFFFFF if tag == b"RF64" else len(body)) + body


def fmt(channels: int = 2, rate: int = 44100, bits: int = 16) -> bytes:
    align = channels * bits // 8
    return chunk(b"fmt ", struct.pack("<HHIIHH", 1, channels, rate, rate * align, align, bits))


HALF_SECOND = b"\x00\x10" * 44100  # stereo 16-bit at 44.1 kHz: 22,050 frames at 18 dB down
BEXT = b"Field recording data set 3".ljust(602, b"\0")  # "data" lands at offset 36

CASES: list[Case] = [
    # Names that cannot be opened as a regular file.
    Case("empty name", typed(""), Box(NOT_FOUND)),
    Case("missing file", typed("nosuch.wav"), Box(NOT_FOUND)),
    Case("dangling link", dangling_input, Box(NOT_FOUND)),
    Case("folder", folder_input, Box(NOT_FOUND)),
    Case("named pipe without a writer", pipe_input, Box(NOT_FOUND), note="must not block in open"),
    Case("device /dev/null", typed("/dev/null"), Box(NOT_FOUND), absent=("/dev/ VT.emf", "/dev/ VT.txt")),
    Case("link to /dev/zero", zero_device_input, Box(NOT_FOUND)),
    # Headers that are refused.
    Case("0-byte file", raw("empty.wav", b""), Box(NOT_WAVE)),
    Case("11-byte file", wav("short.wav", *S16, "--truncate", "11"), Box(NOT_WAVE)),
    Case("form type not WAVE", wav("riff.wav", *S16, "--set-bytes", "8=wave"), Box(NOT_WAVE)),
    Case("8 bits", wav("eight.wav", *S16, "--set-u16", "34=8"), Box(EIGHT_BIT)),
    Case("8 bits and tag 2: bits first", wav("eight2.wav", *S16, "--set-u16", "34=8", "--set-u16", "20=2"),
         Box(EIGHT_BIT)),
    Case("format tag 2", wav("adpcm.wav", *S16, "--set-u16", "20=2"), Box(NOT_PCM)),
    Case("extensible tag 0xFFFE", wav("ext.wav", *S16, "--set-u16", "20=0xFFFE"), Box(NOT_PCM)),
    # Files shorter than their headers say (a copy that stopped, a recording
    # still being written): refused, earlier results left as they were.
    Case("cut at 1000 bytes", with_earlier_results("cut", wav("cut.wav", *S16, "--truncate", "1000")), Box(CUT)),
    Case("cut inside a LIST before the data",
         with_earlier_results("list", raw("list.wav", riff(b"RIFF", fmt(), chunk(b"LIST", b"INFOISFT\x0e\0\0\0Vantorel test"),
                                                           chunk(b"data", HALF_SECOND))[:60])), Box(CUT)),
    Case("cut at 40 bytes", wav("cut40.wav", *S16, "--truncate", "40"), Box(CUT)),
    Case("43-byte file", wav("cut43.wav", *S16, "--set-u32", "40=0x12345678", "--truncate", "43"), Box(CUT)),
    # A last frame cut short loses no frame: the size states 22,050 frames and 3
    # bytes, the file holds 2 of those 3; the Length rounds 22,050.75 to 22,051.
    Case("last frame cut short", raw("partial.wav", riff(b"RIFF", fmt(), chunk(b"data", HALF_SECOND + b"\0\x10", 88203))),
         Job(" 2", " 44100", " 16 bits", " 22051", " .5", " 5", STEREO_REPORT, True), results=STEREO_RESULTS("partial")),
    # Headers that pass with values the tool does not analyse.
    Case("sample rate 0", wav("norate.wav", *S16, "--set-u32", "24=0"),
         Job(" 2", " 0", " 16 bits", " 44100", " 9.99999999999999E+998", " 0", STEREO_REPORT, True),
         results=STEREO_RESULTS("norate")),
    # Layouts the tool cannot read: the bits are checked before the channels.
    Case("9 channels", wav("nine.wav", "--channels", "9", "--seconds", "0.5"), Box(UNREADABLE_CHANNELS)),
    Case("20 bits", wav("twenty.wav", *S16, "--set-u16", "34=20"), Box(UNREADABLE_BITS)),
    Case("0 channels, 0 bits", wav("zero.wav", *S16, "--set-u16", "22=0", "--set-u16", "34=0"), Box(UNREADABLE_BITS)),
    # Chunk layouts: a walk that finds the format and then the data wins,
    # however many chunks come first and whatever their bytes at offset 36.
    Case("100000 empty JUNK chunks", raw("junk.wav", riff(b"RIFF", chunk(b"JUNK", b"") * 100000, fmt(),
                                                         chunk(b"data", HALF_SECOND))),
         Job(" 2", " 44100", " 16 bits", " 22050", " .5", " 5", STEREO_REPORT, True), results=STEREO_RESULTS("junk")),
    Case("bext with 'data' at offset 36", raw("bext.wav", riff(b"RIFF", chunk(b"bext", BEXT), fmt(),
                                                              chunk(b"data", HALF_SECOND))),
         Job(" 2", " 44100", " 16 bits", " 22050", " .5", " 5", STEREO_REPORT, True), results=STEREO_RESULTS("bext")),
    # An RF64 written to a pipe: ds64 and data sizes never filled in, the data run to the end.
    Case("RF64 from a pipe", raw("piped.wav", riff(b"RF64", chunk(b"ds64", bytes(28)), fmt(rate=48000, bits=24),
                                                   chunk(b"data", b"\x00\x00\x10" * 48000, 0xFFFFFFFF))),
         Job(" 2", " 48000", " 24 bits", " 24000", " .5", " 5", STEREO_REPORT, True), results=STEREO_RESULTS("piped")),
    # A 7-byte LIST without its pad byte, then 529,200 bytes of data (low byte
    # '0'): one byte on, "ata0" and a size look like a chunk header too.
    Case("LIST without its pad byte", raw("unpadded.wav", riff(b"RIFF", fmt(), chunk(b"LIST", b"INFOabc")[:-1],
                                                               chunk(b"data", HALF_SECOND * 6))),
         Job(" 2", " 44100", " 16 bits", " 132300", " 3", " 30", STEREO_REPORT, True),
         results=STEREO_RESULTS("unpadded")),
    # An empty data chunk followed by a LIST: the LIST is no audio.
    Case("empty data chunk before a LIST", raw("nodata.wav", riff(b"RIFF", fmt(), chunk(b"data", b""),
                                                                chunk(b"LIST", b"INFO" + HALF_SECOND[:996]))),
         Job(" 2", " 44100", " 16 bits", " 0", " 0", " 0", STEREO_REPORT, True), results=STEREO_RESULTS("nodata")),
    # Damaged chunks: refused rather than read at the canonical offsets.
    Case("chunk size past the end", raw("past.wav", riff(b"RIFF", chunk(b"JUNK", bytes(400), 0xFFFFFF00), fmt(),
                                                         chunk(b"data", HALF_SECOND))), Box(DAMAGED)),
    Case("format after the data", raw("late.wav", riff(b"RIFF", chunk(b"data", HALF_SECOND), fmt())), Box(DAMAGED)),
    # 1 KB files whose headers claim far more (the data size read unsigned):
    # cut, refused at once, whatever they claim.
    Case("data size 0xFFFFFFFE in 1 KB", wav("claim4g.wav", "--frames", "245", "--set-u32", "40=0xFFFFFFFE"), Box(CUT)),
    # 0xFFFFFFFF is a size nobody filled in: the data run to the end of the file.
    Case("data size 0xFFFFFFFF in 1 KB", wav("unknown.wav", "--frames", "245", "--set-u32", "40=0xFFFFFFFF"),
         Job(" 2", " 44100", " 16 bits", " 245", " .01", " 0", STEREO_REPORT, True),
         results=STEREO_RESULTS("unknown")),
    Case("data size 0x80000000 in 1 KB", wav("claim2g.wav", "--frames", "245", "--set-u32", "40=0x80000000"), Box(CUT)),
    # Float data that is not a number, or infinite.
    Case("float NaN", wav("nan.wav", "--kind", "float32", "--seconds", "0.5", "--signal", "nan"),
         Job(" 2", " 44100", " 32 bits (float)", " 22050", " .5", " 5", STEREO_REPORT, True),
         results=STEREO_RESULTS("nan")),
    Case("float infinity", wav("inf.wav", "--kind", "float32", "--seconds", "0.5", "--signal", "inf"),
         Job(" 2", " 44100", " 32 bits (float)", " 22050", " .5", " 5", STEREO_REPORT, True),
         results=STEREO_RESULTS("inf")),
    # Names.
    Case("name with blanks, earlier results replaced", old_results_replaced,
         Job(" 1", " 44100", " 16 bits", " 22050", " .5", " 5", MONO_REPORT, True),
         results=("my take 1 VT.emf", "my take 1 VT.txt")),
    # Blanks around the name belong to it; four characters are dropped, the last a blank.
    Case("leading and trailing blanks", wav(" take 2.wav ", "--seconds", "0.5"),
         Job(" 2", " 44100", " 16 bits", " 22050", " .5", " 5", STEREO_REPORT, True),
         results=(" take 2. VT.emf", " take 2. VT.txt")),
    Case("UTF-8 name", wav("música.wav", "--kind", "int24", "--rate", "48000", "--seconds", "0.5"),
         Job(" 2", " 48000", " 24 bits", " 24000", " .5", " 5", STEREO_REPORT, True),
         results=("música VT.emf", "música VT.txt")),
    Case("300-character path", long_path_input,
         Job(" 1", " 8000", " 32 bits (integer)", " 8000", " 1", " 10", MONO_REPORT, True)),
    Case("short name inside a folder", short_name_in_folder,
         Job(" 1", " 44100", " 16 bits", " 22050", " .5", " 5", MONO_REPORT, True),
         results=("sub/ab VT.emf", "sub/ab VT.txt")),
    # Typed bytes are kept as typed, shown as '?' where the locale has no character for them.
    Case("invalid UTF-8 name", invalid_utf8_name,
         Job(" 1", " 44100", " 16 bits", " 22050", " .5", " 5", MONO_REPORT, True),
         results=("a\udcff VT.emf", "a\udcff VT.txt")),
    Case("Latin-1 name in the C locale", wav(LATIN1_NAME, "--seconds", "0.5"),
         Job(" 2", " 44100", " 16 bits", " 22050", " .5", " 5", STEREO_REPORT, True),
         results=(LATIN1_NAME[:4] + " VT.emf", LATIN1_NAME[:4] + " VT.txt"), locale="C"),
    Case("input that may not be read", unreadable_input, Box(UNREADABLE), user="nobody",
         unsupported=unprivileged_unsupported),
    # The result names lead to the input itself: it is refused before anything is written.
    Case("input is the report through a link", input_is_result,
         Box(('The result "take VT.txt"', "is the file being analysed.", "Nothing was written."))),
    # Results that cannot be written: the job ends in a box instead of "Job
    # finished", leaves nothing behind, and earlier results stay as they were.
    Case("result names too long", wav(TOO_LONG, "--channels", "1", "--seconds", "0.5"),
         Box(("Could not write", "name too long", NOTHING_CHANGED), after_job=True)),
    Case("results are non-empty folders", results_are_folders,
         Box(('Could not write "take VT.txt":', "is a folder", NOTHING_CHANGED), after_job=True)),
    Case("read-only folder with earlier results", old_results_then_readonly,
         Box(('Could not write "take VT.txt":', "permission denied", NOTHING_CHANGED), after_job=True),
         unsupported=readonly_unsupported),
    Case("full disk with earlier results", full_disk,
         Box(('Could not write "take VT.emf":', "disk full", NOTHING_CHANGED), after_job=True),
         unsupported=tmpfs_unsupported),
    # The report is in place when the chart's rename fails: the earlier report comes back.
    Case("second rename fails", immutable_earlier_chart,
         Box(('Could not write "take VT.emf":', "permission denied", NOTHING_CHANGED), after_job=True),
         unsupported=immutable_unsupported),
    # The same, and putting the earlier report back fails too: the box says which file is new.
    Case("second rename and its undoing fail", earlier_stereo_results,
         Box(('Could not write "take VT.emf":', "disk error", 'Only "take VT.txt" was written.'), after_job=True),
         results=("take VT.txt",), unsupported=strace_unsupported,
         inject=("-e", "trace=rename", "-e", "inject=rename:error=EIO:when=2+")),
    # The file disappears while the tool works on it: strace holds the one open
    # of the name, or the first read of the open file, for a while, and the case
    # deletes the file meanwhile. Deleted before the open, it is not found;
    # deleted after it, the job reads the whole file it opened.
    Case("deleted before it is opened", absolute_input, Box(NOT_FOUND), removed=("vanishing.wav",),
         unsupported=strace_unsupported, delay_open=1),
    Case("deleted after it is opened", absolute_input,
         Job(" 2", " 44100", " 16 bits", " 22050", " .5", " 5", STEREO_REPORT, True),
         results=STEREO_RESULTS("vanishing"), removed=("vanishing.wav",), unsupported=strace_unsupported,
         delay_open=1, delay_call="pread64"),
    # Reading fails, or the file shrinks after its header was read: a box, no
    # results. The first read of the input is its header's, the second its samples'.
    Case("read error in the samples", absolute_input_with_earlier_results,
         Box(("Could not read the whole file",), after_job=True), unsupported=strace_unsupported,
         inject=("-e", "trace=pread64", "-e", "inject=pread64:error=EIO:when=2"), trace_input=True),
    Case("file shrinks while it is read", absolute_input_with_earlier_results,
         Box(("Could not read the whole file",), after_job=True), unsupported=strace_unsupported,
         results=("vanishing.wav",),  # the input itself, which the case cuts short
         delay_open=2, delay_call="pread64", while_held="truncate"),
]

LONG_PATH_CASE = "300-character path"
DELAY_SECONDS = 2.5


# --- Running one case -----------------------------------------------------------------


def start_tool(ctx: Context, session: str, folder: str, state: str, case: Case, typed_name: str) -> None:
    command = [ctx.tool]
    if case.user is not None and os.geteuid() == 0:
        command = SETPRIV_NOBODY + [ctx.tool_for_nobody or ctx.tool]
    if case.inject:
        asan_options = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS", ""), "detect_leaks=0"]))
        command = ["strace", "-o", os.path.join(state, "strace.log"), *(["-P", typed_name] if case.trace_input else []),
                   *case.inject,
                   "env", f"ASAN_OPTIONS={asan_options}"] + command
    if case.delay_open is not None:
        # A sanitizer build's leak check cannot run under ptrace and would fail
        # the run at exit, so it is switched off for the traced cases only.
        asan_options = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS", ""), "detect_leaks=0"]))
        command = ["strace", "-o", os.path.join(state, "strace.log"), "-P", typed_name, "-e", "trace=openat,pread64",
                   "-e", f"inject={case.delay_call}:delay_enter={int(DELAY_SECONDS * 1e6)}:when={case.delay_open}",
                   "env", f"ASAN_OPTIONS={asan_options}"] + command
    # The shell records its process id, becomes the tool, and the status is
    # written once it ends.
    script = os.path.join(state, "run.sh")
    with open(script, "w") as f:
        f.write('cd "$1" || exit 99\nshift\n'
                'sh -c \'echo $$ > "$0/pid"; exec "$@"\' "$STATE" env TERM=xterm-256color '
                f'LANG={case.locale} LC_ALL={case.locale} "$@"\n'
                'echo $? > "$STATE/status"\n')
    quoted = " ".join("'" + part.replace("'", "'\\''") + "'" for part in [folder] + command)
    ctx.tmux("new-session", "-d", "-s", session, "-x", str(COLUMNS), "-y", str(ROWS),
             f"STATE='{state}' sh '{script}' {quoted}")


def read_int(path: str) -> Optional[int]:
    try:
        with open(path) as f:
            return int(f.read().strip())
    except (OSError, ValueError):
        return None


def tool_pid(ctx: Context, state: str, traced: bool) -> Optional[int]:
    pid = read_int(os.path.join(state, "pid"))
    if pid is None or not traced:
        return pid
    # Under strace the tool is strace's only child.
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            children = f.read().split()
        return int(children[0]) if children else None
    except OSError:
        return None


def find_heading(rows: list[str]) -> Optional[int]:
    for number, text in enumerate(rows, start=1):
        if text == HEADING:
            return number
    return None


def check_box(ctx: Context, case: Case, session: str, pid: int, round_number: int) -> None:
    box: Box = case.expect  # type: ignore[assignment]
    expected = box.lines + ("ERROR",)
    shown = lambda: all(any(line in row for row in ctx.screen(session)) for line in expected)  # noqa: E731
    if wait_until(5, shown):
        ctx.ok(case.name, f"box with {' / '.join(box.lines)}")
    else:
        ctx.fail(case.name, f"no box with {' / '.join(box.lines)} within 5 s", session)
        return
    rows = ctx.screen(session)
    if box.after_job:
        # One "Done" for the loading at most; the job's own "Done" comes after the results.
        if any(FINISHED.match(row) or row == QUESTION for row in rows) or rows.count("   Done") > 1:
            ctx.fail(case.name, "the job is reported as finished", session)
        else:
            ctx.ok(case.name, "no 'Done' after the analysis and no 'Job finished'")
        if any("\\n" in row for row in rows):
            ctx.fail(case.name, "a literal backslash-n shows with the box", session)
    elif any("FILE DATA" in row for row in rows) or any("\\n" in row for row in rows):
        ctx.fail(case.name, "the panel or a literal backslash-n shows with the box", session)
    # Enter, Space and Escape all close the box; the cases take turns.
    closing = ("Enter", "Space", "Escape")[round_number % 3]
    ctx.key(session, closing)
    back = lambda: (not any("ERROR" in row for row in ctx.screen(session))  # noqa: E731
                    and ctx.row(session, 8) == PROMPT and ctx.row(session, 2) == BANNER)
    if wait_until(5, back):
        ctx.ok(case.name, f"{closing} closes the box; the empty start screen is back")
    else:
        ctx.fail(case.name, f"after {closing} the start screen did not come back", session)
    if alive(pid):
        ctx.ok(case.name, "the tool still runs")
    else:
        ctx.fail(case.name, "the tool ended")


def check_job(ctx: Context, case: Case, session: str, folder: str, started: float) -> None:
    job: Job = case.expect  # type: ignore[assignment]
    asked = lambda: any(row == QUESTION for row in ctx.screen(session))  # noqa: E731
    if not wait_until(job.seconds, asked):
        ctx.fail(case.name, f"the job did not reach the question within {job.seconds:g} s", session)
        return
    took = time.monotonic() - started
    rows = ctx.screen(session)
    heading = find_heading(rows)
    if heading is None:
        ctx.fail(case.name, "no FILE DATA heading", session)
        return
    expected = {
        heading + 2: CHANNELS + job.channels,
        heading + 3: RATE + job.rate + " Hz",
        heading + 4: RESOLUTION + job.resolution,
        heading + 5: LENGTH + job.length + " samples",
        heading + 6: DURATION + job.duration + " seconds",
        heading + 10: "   Reading input file...",
        heading + 11: "   Done",
        heading + 13: "   Analysing over" + job.slices + " time slices...",
        heading + 14: "   Done",
        heading + 20: QUESTION,
    }
    wrong = [(number, text) for number, text in expected.items()
             if number > ROWS or rows[number - 1] != text]
    finished = heading + 18 <= ROWS and FINISHED.match(rows[heading + 17])
    if wrong or not finished:
        for number, text in wrong:
            shown = rows[number - 1] if number <= ROWS else "(off the screen)"
            ctx.fail(case.name, f"row {number} is '{shown}', expected '{text}'")
        if not finished:
            ctx.fail(case.name, "no 'Job finished in' line two rows above the question")
        ctx.fail(case.name, "screen after the job", session)
    else:
        ctx.ok(case.name, f"panel ({job.channels.strip()} ch, {job.resolution.strip()}, length{job.length}, "
                          f"duration{job.duration}), {job.slices.strip()} slices, job finished ({took:.2f} s)")
    if any("ERROR" in row for row in rows):
        ctx.fail(case.name, "an error box showed", session)

    # The result files.
    report = next((r for r in case.results if r.endswith(" VT.txt")), None)
    chart = next((r for r in case.results if r.endswith(" VT.emf")), None)
    if job.report is not None:
        path = os.path.join(folder, report or "")
        try:
            with open(path, "rb") as f:
                content = f.read()
            if content == job.report:
                ctx.ok(case.name, f"report '{report}' holds {content!r}")
            else:
                ctx.fail(case.name, f"report '{report}' holds {content!r}, expected {job.report!r}")
        except OSError as error:
            ctx.fail(case.name, f"no report: {error}")
    if job.chart:
        try:
            with open(os.path.join(folder, chart or ""), "rb") as f:
                content = f.read()
            # An enhanced metafile begins with its header record (type 1) whose
            # signature " EMF" stands at byte 40; the last record is EOF (type 14).
            header_ok = len(content) >= 88 and content[0:4] == b"\x01\x00\x00\x00" and content[40:44] == b" EMF"
            total = int.from_bytes(content[48:52], "little") if len(content) >= 52 else -1
            if header_ok and total == len(content):
                ctx.ok(case.name, f"chart '{chart}' is a whole metafile of {len(content)} bytes")
            else:
                ctx.fail(case.name, f"chart '{chart}' is not a whole metafile ({len(content)} bytes, "
                                    f"header says {total})")
        except OSError as error:
            ctx.fail(case.name, f"no chart: {error}")


def run_case(ctx: Context, case: Case, number: int) -> None:
    if case.unsupported is not None:
        reason = case.unsupported(ctx)
        if reason:
            print(f"skip: {case.name}: {reason}")
            ctx.skipped.append(f"{case.name}: {reason}")
            return
    folder = os.path.join(ctx.work, f"case{number:02d}")
    state = os.path.join(ctx.work, f"state{number:02d}")
    os.mkdir(folder)
    os.mkdir(state)
    name = case.prepare(ctx, folder)
    if case.name == LONG_PATH_CASE:
        case.results = long_path_results(folder)
    before = listing(folder)
    session = f"case{number:02d}"
    traced = case.delay_open is not None or bool(case.inject)
    start_tool(ctx, session, folder, state, case, name)
    if not wait_until(10, lambda: ctx.row(session, 8) == PROMPT):
        ctx.fail(case.name, "no start screen", session)
        ctx.tmux("kill-session", "-t", session, check=False)
        return
    pid = tool_pid(ctx, state, traced)
    if pid is None:
        ctx.fail(case.name, "the tool's process id is unknown")
        return
    ctx.type_text(session, name)
    # Bytes the locale has no character for show as '?'.
    shown = "".join(c if c.isascii() or (case.locale != "C" and not 0xDC80 <= ord(c) <= 0xDCFF) else "?"
                    for c in name)
    if name and not wait_until(5, lambda: ctx.row(session, 8).startswith(PROMPT + "    " + shown.rstrip()[:40])):
        ctx.fail(case.name, "the typed name does not show", session)
    started = time.monotonic()
    ctx.key(session, "Enter")
    if case.delay_open is not None:
        # The call is held for DELAY_SECONDS; the file goes or shrinks well inside that time.
        time.sleep(DELAY_SECONDS / 3)
        if case.while_held == "truncate":
            os.truncate(name, 1000)
        else:
            os.unlink(name)
    if isinstance(case.expect, Box):
        check_box(ctx, case, session, pid, number)
        os.kill(pid, signal.SIGTERM)
        if wait_until(5, lambda: not alive(pid)):
            ctx.ok(case.name, "SIGTERM on the start screen ends it")
        else:
            ctx.fail(case.name, "the tool did not end on SIGTERM")
            os.kill(pid, signal.SIGKILL)
    else:
        check_job(ctx, case, session, folder, started)
        ctx.type_text(session, "N")
        ctx.key(session, "Enter")
        status_path = os.path.join(state, "status")
        if wait_until(10, lambda: read_int(status_path) is not None) and read_int(status_path) == 0:
            ctx.ok(case.name, "N ends the tool with status 0")
        else:
            ctx.fail(case.name, f"after N: status {read_int(status_path)}", session)
            if alive(pid):
                os.kill(pid, signal.SIGKILL)
    if case.delay_open is not None:
        with open(os.path.join(state, "strace.log")) as f:
            opens = [line for line in f if line.startswith("openat(")]
        if case.delay_call == "openat":
            held = opens[case.delay_open - 1] if len(opens) >= case.delay_open else ""
            if "(DELAYED)" in held and "ENOENT" in held and all("ENOENT" not in line for line in opens[:case.delay_open - 1]):
                ctx.ok(case.name, f"open {case.delay_open} of the name was held and found the file gone")
            else:
                ctx.fail(case.name, f"the file did not vanish before the open: {''.join(opens)!r}")
        elif case.while_held == "truncate":
            ctx.ok(case.name, "the file shrank while a read was held")
        elif len(opens) == 1 and "ENOENT" not in opens[0]:
            ctx.ok(case.name, "one open of the name; the job read the file it held")
        else:
            ctx.fail(case.name, f"the name was opened more than once: {''.join(opens)!r}")
    ctx.tmux("kill-session", "-t", session, check=False)
    for folder_to_free in list(ctx.immutable):
        subprocess.run(["chattr", "-i", folder_to_free], check=False)
        ctx.immutable.remove(folder_to_free)
    for cleanup in ctx.cleanups:
        cleanup()
    ctx.cleanups.clear()
    compare_listings(ctx, case, before, listing(folder))
    for path in case.absent:
        if os.path.lexists(path):
            ctx.fail(case.name, f"'{path}' exists afterwards")
    for cleanup in ctx.late_cleanups:
        cleanup()
    ctx.late_cleanups.clear()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("tool")
    parser.add_argument("make_wav")
    parser.add_argument("--only", help="comma-separated case names")
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()
    if args.list:
        for case in CASES:
            print(case.name)
        return 0
    if shutil.which("tmux") is None:
        print("tmux is not installed", file=sys.stderr)
        return 2
    chosen = CASES
    if args.only:
        names = set(args.only.split(","))
        chosen = [c for c in CASES if c.name in names]
        if len(chosen) != len(names):
            print(f"unknown case in {args.only}", file=sys.stderr)
            return 2
    tool = os.path.abspath(args.tool)
    make_wav_tool = os.path.abspath(args.make_wav)
    work = tempfile.mkdtemp(prefix="vantorel-bad-input.")
    ctx = Context(tool, make_wav_tool, work)

    def interrupted(signum, frame):  # noqa: ARG001
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, interrupted)
    try:
        for number, case in enumerate(chosen, start=1):
            run_case(ctx, case, number)
    finally:
        ctx.tmux("kill-server", check=False)
        for folder in ctx.immutable:
            subprocess.run(["chattr", "-i", folder], check=False)
        for cleanup in ctx.cleanups + ctx.late_cleanups:
            cleanup()
        shutil.rmtree(work, ignore_errors=True)
    if ctx.skipped:
        print(f"{len(ctx.skipped)} case(s) skipped:")
        for reason in ctx.skipped:
            print(f"  {reason}")
    if ctx.failures:
        print(f"{ctx.failures} check(s) failed")
        return 1
    print(f"all {len(chosen) - len(ctx.skipped)} bad-input cases passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())

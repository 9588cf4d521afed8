#!/usr/bin/env python3
"""The command line end to end, without a terminal (no controlling terminal,
standard input /dev/null).

1. --help, -h, --version and wrong command lines: texts and exit codes.
2. One batch over the inputs of the bad-input matrix (bad_input_matrix.py), each
   also made in a folder of its own for the dialogue: refused files are named
   on standard error with their box text, analysed ones get a summary with the
   panel's values, and every result file equals the dialogue's byte for byte.
   The same batch with --jobs 1 and --jobs 4 prints the same.
3. Inputs whose results are other inputs or those of an earlier input are
   refused, whatever the jobs' timing; names are shown with their control
   characters escaped; a name too long cannot be read.
4. --csv --svg on three recordings: the counts equal a measurement made here
   from the samples, the percents are the chart's points, and the SVG draws
   exactly what the metafile records (read back here, record by record).
5. cmake --install puts the program and a manual page that renders in place.
6. Folders: a tree of two albums (a sub-folder, names with blanks, digits, "<b>"
   and "&", a text file and a picture among the tracks): track order, album
   values, -r, JSON albums equal to the text; a link loop and an empty folder;
   the --html page in headless Chromium; the progress line under tmux.
7. A library: read-only (as another user) with --output and --no-results,
   results that cannot be written keep their numbers, an album without an
   analysed track; the results store (--db): a second run taken from it,
   changed and removed files, two runs at once, foreign files refused.

Usage: command_line_matrix.py <vantorel> <make_test_wav>
"""

from __future__ import annotations

import array
import base64
import csv
import io
import json
import math
import os
import re
import shutil
import struct
import subprocess
import sys
import shlex
import tempfile
import time
import urllib.parse
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bad_input_matrix as matrix  # noqa: E402

FAILURES = 0


def check(condition: bool, what: str, detail: str = "") -> bool:
    global FAILURES
    if condition:
        print(f"ok: {what}")
    else:
        FAILURES += 1
        print(f"FAIL: {what}" + (f"\n    {detail}" if detail else ""))
    return condition


def run(tool: str, *arguments: str, cwd: str | None = None) -> subprocess.CompletedProcess:
    environment = {k: v for k, v in os.environ.items() if k != "TERM"}
    return subprocess.run([tool, *arguments], cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, errors="surrogateescape", start_new_session=True, env=environment,
                          timeout=120)


def project_version() -> str:
    with open(os.path.join(os.path.dirname(__file__), "..", "..", "CMakeLists.txt")) as f:
        return re.search(r"project\(vantorel VERSION ([0-9.]+)", f.read()).group(1)


def check_texts(tool: str) -> None:
    for option in ("--help", "-h"):
        done = run(tool, option)
        named = all(o in done.stdout for o in ("--csv", "--svg", "--jobs N", "--version", "--help", "--  "))
        check(done.returncode == 0 and done.stdout.startswith("Usage: vantorel") and named and not done.stderr,
              f"{option}: usage with every option on standard output, status 0", repr(done))
    done = run(tool, "--version")
    check((done.returncode, done.stdout, done.stderr) == (0, f"vantorel {project_version()}\n", ""),
          "--version: name and the CMake project version, status 0", repr(done))
    wrong = [(["--bogus", "a.wav"], "unknown option '--bogus'"), (["--jobs", "0", "a.wav"], "--jobs needs"),
             (["a.wav", "--jobs"], "--jobs needs a number"), (["--csv"], "no wave file named")]
    for arguments, said in wrong:
        done = run(tool, *arguments)
        line = f"vantorel: {said}"
        check(done.returncode == 2 and not done.stdout and done.stderr.count("\n") == 1
              and done.stderr.startswith(line) and done.stderr.rstrip().endswith("try 'vantorel --help'"),
              f"{' '.join(arguments)}: one line on standard error, status 2", repr(done))


# --- The batch against the dialogue -------------------------------------------------


def dialogue_job(ctx: matrix.Context, case: matrix.Case, folder: str, name: str, number: int) -> None:
    state = os.path.join(ctx.work, f"state{number:02d}")
    os.mkdir(state)
    session = f"dialogue{number:02d}"
    matrix.start_tool(ctx, session, folder, state, case, name)
    ok = matrix.wait_until(10, lambda: ctx.row(session, 8) == matrix.PROMPT)
    if ok:
        ctx.type_text(session, name)
        ctx.key(session, "Enter")
        ok = matrix.wait_until(case.expect.seconds, lambda: matrix.QUESTION in ctx.screen(session))
    if ok:
        ctx.type_text(session, "N")
        ctx.key(session, "Enter")
        ok = matrix.wait_until(10, lambda: matrix.read_int(os.path.join(state, "status")) == 0)
    check(ok, f"{case.name}: the dialogue's job for the reference results")
    ctx.tmux("kill-session", "-t", session, check=False)


def result_files(folder: str) -> dict[str, bytes]:
    found = {}
    for root, _, files in os.walk(folder):
        for name in files:
            if name.endswith((" VT.emf", " VT.txt", " VT.svg")):
                with open(os.path.join(root, name), "rb") as f:
                    found[os.path.relpath(os.path.join(root, name), folder)] = f.read()
    return found


def summaries(stdout: str) -> dict[str, list[str]]:
    blocks = [block.split("\n") for block in stdout.rstrip("\n").split("\n\n") if block]
    return {block[0]: block[1:] for block in blocks}


def check_batch(ctx: matrix.Context) -> None:
    # Cases that need strace, another user or a held system call run only in the dialogue's matrix; on the
    # command line a folder is an album (see check_albums).
    cases = []
    for c in matrix.CASES:
        if c.delay_open is not None or c.inject or c.user is not None or c.name == "folder":
            continue
        reason = c.unsupported(ctx) if c.unsupported else None
        if reason:
            print(f"skip: {c.name}: {reason}")
        else:
            cases.append(c)
    arguments, folders = [], []
    for number, case in enumerate(cases, start=1):
        dialogue, batch = (os.path.join(ctx.work, f"{side}{number:02d}") for side in ("d", "b"))
        os.mkdir(dialogue)
        os.mkdir(batch)
        name, batch_name = case.prepare(ctx, dialogue), case.prepare(ctx, batch)
        if isinstance(case.expect, matrix.Job):
            dialogue_job(ctx, case, dialogue, name, number)
        # The batch runs in the work folder: names are given with their folder.
        arguments.append(batch_name if os.path.isabs(batch_name) or not name else f"b{number:02d}/{name}")
        folders.append((dialogue, batch))
    runs = {jobs: run(ctx.tool, "--jobs", jobs, "--", *arguments, cwd=ctx.work) for jobs in ("4", "1")}
    four, one = runs["4"], runs["1"]
    check(four.returncode == 1, f"batch of {len(cases)} good and bad files: status 1", four.stderr)
    check((one.returncode, one.stdout, one.stderr) == (four.returncode, four.stdout, four.stderr),
          "--jobs 1 and --jobs 4 print the same", f"--jobs 1: {one!r}\n    --jobs 4: {four!r}")
    errors, blocks = four.stderr.split("\n"), summaries(four.stdout)
    for case, argument, (dialogue, batch) in zip(cases, arguments, folders):
        if isinstance(case.expect, matrix.Box):
            prefix = f"vantorel: {argument}: "
            said = [e[len(prefix):] for e in errors if e.startswith(prefix)]
            shown = said[0] if len(said) == 1 else ""
            in_order = all(part in shown for part in case.expect.lines) and \
                shown.find(case.expect.lines[-1]) >= shown.find(case.expect.lines[0])
            # A file measured whose results could not be written keeps its summary.
            measured = case.expect.lines[0].startswith("Could not write")
            check(in_order and (argument in blocks) == measured,
                  f"{case.name}: '{prefix}{' ... '.join(case.expect.lines)}' on standard error"
                  + (", the summary printed all the same" if measured else ""), repr(said))
        elif case.expect.chart:
            job = case.expect
            expected = [f"  Channels    {job.channels}", f"  Sample rate {job.rate} Hz",
                        f"  Resolution  {job.resolution}", f"  Length      {job.length} samples",
                        f"  Duration    {job.duration} seconds", f"  Time slices {job.slices}"]
            block = blocks.get(argument, [])
            written = sorted(os.path.relpath(os.path.join(ctx.work, line.split("Written", 1)[1].strip()), ctx.work)
                             for line in block if "Written" in line)
            results = sorted(os.path.relpath(os.path.join(batch, r), ctx.work) for r in result_files(dialogue))
            # The folder may hold results of other files the case made (never touched).
            wanted = 2 if job.report else 1
            check(block[:6] == expected and len(written) == wanted and set(written) <= set(results),
                  f"{case.name}: summary with the panel's values and the files written", f"{block} {results}")
        else:
            check(any(e.startswith(f"vantorel: {argument}: could not write") for e in errors),
                  f"{case.name}: unwritable results named on standard error")
        made, reference = result_files(batch), result_files(dialogue)
        check(made == reference, f"{case.name}: result files byte for byte the dialogue's ({len(made)})",
              f"batch {sorted(made)}, dialogue {sorted(reference)}")
    for folder in ctx.immutable:
        subprocess.run(["chattr", "-i", folder], check=False)
    for cleanup in ctx.cleanups:
        cleanup()
    # Then what must wait for the results to be read (the full disk's mounts).
    for cleanup in ctx.late_cleanups:
        cleanup()
    ctx.cleanups.clear()
    ctx.late_cleanups.clear()


def check_cut_wave(tool: str, make_wav: str, work: str) -> None:
    """A wave file cut short on its own, as text and as --json: status 1, the refusal on standard error (and
    among the JSON failures), earlier results untouched and nothing new written."""
    folder = os.path.join(work, "cut")
    os.mkdir(folder)
    subprocess.run([make_wav, os.path.join(folder, "take.wav"), "--seconds", "1", "--truncate", "1000"],
                   check=True, capture_output=True)
    matrix.earlier_results(folder, "take")
    before = {name: open(os.path.join(folder, name), "rb").read() for name in os.listdir(folder)}
    said = "vantorel: take.wav: " + " ".join(matrix.CUT) + "\n"
    done = run(tool, "take.wav", cwd=folder)
    check((done.returncode, done.stdout, done.stderr) == (1, "", said),
          "a cut wave file: status 1, the refusal on standard error, no summary", repr(done))
    done = run(tool, "--json", "take.wav", cwd=folder)
    try:
        document = json.loads(done.stdout)
    except json.JSONDecodeError:
        document = {}
    check(done.returncode == 1 and document.get("files") == []
          and document.get("failed") == [{"path": "take.wav", "error": " ".join(matrix.CUT), "stage": "header",
                                          "kind": "cut"}],
          "--json: the cut wave file among the failures with the refusal, its stage and kind", repr(done))
    # In a folder it is named as well, not passed over as a file of no audio.
    done = run(tool, folder)
    check(done.returncode == 1 and done.stderr == f"vantorel: {os.path.join(folder, 'take.wav')}: " + said[len(
        "vantorel: take.wav: "):], "a cut wave file in a folder: named with its refusal, status 1", repr(done))
    after = {name: open(os.path.join(folder, name), "rb").read() for name in os.listdir(folder)}
    check(after == before, "a cut wave file: earlier results untouched, nothing written", repr(sorted(after)))


# --- A library: results elsewhere or none, and the results store --------------------


def tree_listing(folder: str) -> dict[str, tuple[int, int]]:
    """Every file below the folder with its size and modification time."""
    found = {}
    for root, _, names in os.walk(folder):
        for name in names:
            status = os.stat(os.path.join(root, name))
            found[os.path.relpath(os.path.join(root, name), folder)] = (status.st_size, status.st_mtime_ns)
    return found


def store_counts(stderr: str) -> tuple[int, int, int] | None:
    """The store's last line: analysed, taken from the store, removed."""
    found = re.search(r"results store: analysed (\d+), taken from the store (\d+), removed (\d+)\n\Z", stderr)
    return tuple(int(n) for n in found.groups()) if found else None


def check_library(tool: str, make_wav: str, work: str) -> None:
    """A library left as it is (read-only, results in another folder or none), a write failure that keeps the
    numbers, an album without an analysed track, and the results store: a second run identical without reading
    audio, a changed file measured again, a removed one forgotten, two runs at once, foreign files refused."""
    library = os.path.join(work, "library")
    albums = {"Artist/First": ["01 one.wav", "02 two.wav"], "Artist/Second": ["1 three.wav", "2 four.wav"]}
    for album, names in albums.items():
        os.makedirs(os.path.join(library, album))
        for number, name in enumerate(names):
            write_bursts(os.path.join(library, album, name), 1.0 / (number + 1))
    if shutil.which("flac"):
        source = os.path.join(work, "five.wav")
        write_bursts(source, 0.5, level=0.1)
        subprocess.run(["flac", "-s", "-f", "-o", os.path.join(library, "Artist/Second/3 five.flac"), source],
                       check=True)
        albums["Artist/Second"].append("3 five.flac")
    tracks = sorted(os.path.join(library, album, name) for album, names in albums.items() for name in names)
    single = os.path.join(work, "single.wav")
    write_bursts(single, 0.5)

    # Read-only for the user the tool runs as: as root, nobody (with a copy of the tool nobody reaches).
    runner = os.path.join(work, "library-tool", "vantorel")
    os.makedirs(os.path.dirname(runner))
    shutil.copy(tool, runner)
    if os.path.isfile(os.path.join(os.path.dirname(tool), "libvantorel_decode.so")):
        shutil.copy(os.path.join(os.path.dirname(tool), "libvantorel_decode.so"), os.path.dirname(runner))
    writable = os.path.join(work, "writable")
    os.makedirs(writable)
    for path in (work, os.path.dirname(runner), runner, writable):
        os.chmod(path, 0o777)
    as_user = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if os.geteuid() == 0 else []
    folders = [root for root, _, _ in os.walk(library)]
    for folder in folders:
        os.chmod(folder, 0o755 if as_user else 0o555)
    os.chmod(single, 0o644)

    def as_reader(*arguments: str) -> subprocess.CompletedProcess:
        return subprocess.run([*as_user, runner, *arguments], stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, errors="surrogateescape", cwd=writable, timeout=120)

    probe = as_reader("--version") if shutil.which("setpriv") or not as_user else None
    if probe is None or probe.returncode != 0:
        print("skip: a read-only library: the tool cannot be run as another user here")
    else:
        before = tree_listing(library)
        out = os.path.join(writable, "out")
        done = as_reader("--json", "-r", "-o", out, library, single)
        files = json.loads(done.stdout)["files"] if done.returncode == 0 else []
        expected = sorted([os.path.join(album, os.path.splitext(name)[0] + " VT." + kind)
                           for album, names in albums.items() for name in names for kind in ("emf", "txt")]
                          + ["single VT.emf", "single VT.txt"])
        check(done.returncode == 0 and sorted(f["path"] for f in files) == tracks + [single]
              and sorted(tree_listing(out)) == expected and tree_listing(library) == before,
              "--output on a read-only library: every track analysed, exit 0, the results in the tree below the "
              "folder (a file argument's straight in it), nothing written under the library",
              done.stderr + str(sorted(tree_listing(out))))
        done = as_reader("--json", "-r", "--no-results", library)
        check(done.returncode == 0 and len(json.loads(done.stdout)["files"]) == len(tracks)
              and tree_listing(library) == before and sorted(tree_listing(out)) == expected,
              "--no-results on a read-only library: every track analysed, exit 0, no file written anywhere",
              done.stderr)
        done = as_reader("--json", "-r", "--loudness", library)
        document = json.loads(done.stdout) if done.stdout.startswith("{") else {}
        failed = document.get("failed", [])
        check(done.returncode == 1 and sorted(f["path"] for f in document.get("files", [])) == tracks
              and len(failed) == len(tracks) and all(f["stage"] == "write" for f in failed)
              and [a["tracks"] for a in document.get("albums", [])] == [len(n) for n in albums.values()]
              and all(a["loudness_lufs"] is not None for a in document.get("albums", []))
              and done.stderr.count("permission denied") == len(tracks),
              "results that cannot be written: the numbers kept in the JSON files and albums, each write failure "
              "named on standard error and among the failures, status 1", done.stderr[:400])
        text = as_reader("-r", library)
        check(text.returncode == 1 and "-inf" not in text.stdout and text.stdout.count("Album ") == 2
              and text.stdout.count("  Peak") == len(tracks) + 2, "the text summaries kept too", text.stdout[:300])
    for folder in folders:
        os.chmod(folder, 0o755)
    os.chmod(work, 0o700)

    # An album none of whose tracks could be measured says so instead of giving -inf.
    cut = os.path.join(work, "cut album")
    os.makedirs(cut)
    subprocess.run([make_wav, os.path.join(cut, "take.wav"), "--seconds", "1", "--truncate", "1000"],
                   check=True, capture_output=True)
    done = run(tool, "--loudness", cut)
    check(done.returncode == 1 and "No track of this album was analysed." in done.stdout
          and "-inf" not in done.stdout and "none LU" not in done.stdout,
          "an album without an analysed track says so, without -inf or none values", done.stdout)

    # The results store.
    store = os.path.join(work, "lib.db")
    fresh = run(tool, "--json", "--loudness", "-r", "--no-results", library)
    first = run(tool, "--json", "--loudness", "-r", "--no-results", "--db", store, library)
    second = run(tool, "--json", "--loudness", "-r", "--no-results", "--db", store, library)
    check(first.returncode == 0 and store_counts(first.stderr) == (len(tracks), 0, 0)
          and first.stdout == fresh.stdout, "--db, first run: every track analysed and kept, JSON as without",
          first.stderr)
    check(second.returncode == 0 and store_counts(second.stderr) == (0, len(tracks), 0)
          and second.stdout == fresh.stdout,
          "--db, second run: every result taken from the store without reading audio, JSON byte for byte the same",
          second.stderr)
    changed = os.path.join(library, "Artist/First/02 two.wav")
    old_status = os.stat(changed)
    write_bursts(changed, 1.0, level=0.05)
    os.utime(changed, ns=(old_status.st_atime_ns, old_status.st_mtime_ns + 1_000_000))
    third = run(tool, "--json", "--loudness", "-r", "--no-results", "--db", store, library)
    fresh = run(tool, "--json", "--loudness", "-r", "--no-results", library)
    check(third.returncode == 0 and store_counts(third.stderr) == (1, len(tracks) - 1, 0)
          and third.stdout == fresh.stdout and third.stdout != second.stdout,
          "--db: a changed file measured again alone, its album's values as a fresh analysis gives", third.stderr)
    os.remove(os.path.join(library, "Artist/First/01 one.wav"))
    fourth = run(tool, "--json", "--loudness", "-r", "--no-results", "--db", store, library)
    check(fourth.returncode == 0 and store_counts(fourth.stderr) == (0, len(tracks) - 1, 1),
          "--db: a file gone from its folder is removed from the store", fourth.stderr)
    if shutil.which("sqlite3"):
        rows = subprocess.run(["sqlite3", store, "SELECT count(*) FROM tracks; SELECT count(*) FROM albums;"
                               " SELECT dr FROM albums ORDER BY folder;"], capture_output=True, text=True)
        albums_json = json.loads(fourth.stdout)["albums"]
        check(rows.stdout.split() == [str(len(tracks) - 1), "2"] + [str(a["dr"]) for a in albums_json],
              "the store's tables as the sqlite3 shell reads them: tracks, albums and their DR", rows.stdout)

    together = os.path.join(work, "together.db")
    command = [tool, "--json", "--loudness", "-r", "--no-results", "--jobs", "1", "--db", together, library]
    runs = [subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True) for _ in range(2)]
    outputs = [process.communicate(timeout=120) + (process.returncode,) for process in runs]
    after = run(tool, "--json", "--loudness", "-r", "--no-results", "--db", together, library)
    check(all(code == 0 and out == fourth.stdout for out, _, code in outputs)
          and store_counts(after.stderr) == (0, len(tracks) - 1, 0),
          "--db: two runs at once on a new store both succeed, and nothing is lost",
          " | ".join(err for _, err, _ in outputs) + after.stderr)

    foreign = os.path.join(work, "notes.db")
    with open(foreign, "w") as note:
        note.write("my notes, not a database\n" * 40)
    other = os.path.join(work, "other.db")
    import sqlite3
    connection = sqlite3.connect(other)
    connection.execute("CREATE TABLE tracks (path TEXT)")
    connection.commit()
    connection.close()
    for path, what in ((foreign, "a text file"), (other, "another program's SQLite database")):
        before = open(path, "rb").read()
        done = run(tool, "--no-results", "--db", path, library)
        check(done.returncode == 1 and done.stdout == "" and "not a results store" in done.stderr
              and open(path, "rb").read() == before and not os.path.exists(path + "-wal"),
              f"--db refuses {what}, with a message, and leaves it as it is", done.stderr)


# --- Inputs that meet each other's results, and names on the screen -----------------


def check_collisions_and_names(tool: str, make_wav: str, work: str) -> None:
    folder = os.path.join(work, "collide")
    os.makedirs(os.path.join(folder, "sub"))
    make = lambda name, *options: subprocess.run([make_wav, os.path.join(folder, name), *options],  # noqa: E731
                                                 check=True, capture_output=True)
    for name in ("b.wav", "b VT.emf", "e.wav", "d.wav", "take.wav", "sub/song.wav", "new\nline.wav"):
        make(name, "--seconds", "0.5")
    make("take.WAV", "--seconds", "0.5", "--level-db", "20")
    os.link(os.path.join(folder, "e.wav"), os.path.join(folder, "d VT.emf"))  # d's chart is e, by another name
    too_long = "y" * 300 + ".wav"
    arguments = ["b.wav", "b VT.emf", "e.wav", "d.wav", "take.wav", "take.WAV", "sub/song.wav", "sub/./song.wav",
                 "new\nline.wav", "tab\tmissing.wav", "esc\x1b[7m.wav", too_long]
    refused = [("b.wav", 'The result "b VT.emf" is "b VT.emf", another file being analysed. Nothing was written.'),
               ("d.wav", 'The result "d VT.emf" is "e.wav", another file being analysed. Nothing was written.'),
               ("take.WAV", 'Its results would replace those of "take.wav" in this batch. Nothing was written.'),
               ("sub/./song.wav", 'Its results would replace those of "song.wav" in this batch. Nothing was written.'),
               ("tab\\tmissing.wav", "File not found. Please enter a valid filename"),
               ("esc\\x1b[7m.wav", "File not found. Please enter a valid filename"),
               (too_long, "This file cannot be read: name too long")]
    expected_errors = "".join(f"vantorel: {name}: {said}\n" for name, said in refused)
    protected = {name: open(os.path.join(folder, name), "rb").read() for name in ("b VT.emf", "e.wav")}
    reference = os.path.join(work, "collide-reference")
    os.mkdir(reference)
    shutil.copy(os.path.join(folder, "take.wav"), reference)
    run(tool, "take.wav", cwd=reference)
    # The first run writes every result afresh (collisions by name); the second
    # finds them in place (collisions by identity) and must decide the same.
    for jobs in ("4", "1"):
        done = run(tool, "--jobs", jobs, "--", *arguments, cwd=folder)
        check(done.returncode == 1 and done.stderr == expected_errors,
              f"--jobs {jobs}: a result that is another input, two inputs with the same results, names with "
              "control characters and a name too long: the refusals on standard error, escaped, in order",
              f"{done.stderr!r}\n    expected {expected_errors!r}")
        blocks = summaries(done.stdout)
        check(set(blocks) == {"b VT.emf", "e.wav", "take.wav", "sub/song.wav", "new\\nline.wav"}
              and blocks.get("new\\nline.wav", [])[-2:] == ["  Written      new\\nline VT.txt",
                                                             "  Written      new\\nline VT.emf"],
              f"--jobs {jobs}: the summaries of the others, the newline in a name escaped", repr(done.stdout))
        kept = all(open(os.path.join(folder, name), "rb").read() == data for name, data in protected.items())
        check(kept, f"--jobs {jobs}: the inputs that were results of others are unchanged")
        with open(os.path.join(folder, "take VT.emf"), "rb") as mine, \
                open(os.path.join(reference, "take VT.emf"), "rb") as theirs:
            check(mine.read() == theirs.read(), f"--jobs {jobs}: 'take VT.emf' is the chart of take.wav, the earlier")
    done = run(tool, "--csv", "new\nline.wav", cwd=folder)
    rows = list(csv.reader(io.StringIO(done.stdout)))[1:]
    check(done.returncode == 0 and len(rows) == 82 and all(r[0] == "new\nline.wav" for r in rows),
          "--csv: a name with a newline is one quoted field", repr(done.stdout[:200]))
    # Names that are not UTF-8 show U+FFFD in "path"; "path_bytes" keeps them apart and finds them again.
    latin = [os.fsdecode(b"caf\xe9.wav"), os.fsdecode(b"caf\xe8.wav")]
    for name in latin:
        make(name, "--seconds", "0.5")
    done = run(tool, "--json", *latin, "take.wav", os.fsdecode(b"gone\xff.wav"), cwd=folder)
    document = json.loads(done.stdout)
    found = {f["path"]: f.get("path_bytes") for f in document["files"]}
    failed = [(f["path"], f.get("path_bytes")) for f in document["failed"]]
    decoded = [base64.b64decode(f["path_bytes"]) for f in document["files"] if "path_bytes" in f]
    check([f["path"] for f in document["files"]] == ["caf\ufffd.wav", "caf\ufffd.wav", "take.wav"]
          and decoded == [b"caf\xe9.wav", b"caf\xe8.wav"] and found["take.wav"] is None
          and failed == [("gone\ufffd.wav", base64.b64encode(b"gone\xff.wav").decode())],
          "--json: names that are not UTF-8 get path_bytes (files and failures), valid ones none",
          done.stdout[:400])


# --- CSV and SVG against the samples and the metafile --------------------------------


def measured_counts(path: str) -> tuple[list[list[int]], int]:
    """Per channel the slices at each level 0..40, and the slice count, from the samples."""
    with open(path, "rb") as f:
        data = f.read()
    tag, channels, rate = struct.unpack_from("<hHi", data, 20)
    bits = struct.unpack_from("<h", data, 34)[0]
    body = data[44:44 + struct.unpack_from("<I", data, 40)[0]]
    if bits == 24:
        samples = [int.from_bytes(body[i:i + 3], "little", signed=True) for i in range(0, len(body) - 2, 3)]
    else:
        samples = array.array("f" if tag == 3 else "h" if bits == 16 else "i", body).tolist()
    full_scale = {16: 32768.0, 24: 8388608.0, 32: 1.0 if tag == 3 else 2147483648.0}[bits]
    length = round(rate / 10)
    slices = len(samples) // channels // length
    counts = [[0] * 41 for _ in range(channels)]
    for s in range(slices):
        for c in range(channels):
            peak = max(abs(x) for x in samples[(s * length) * channels + c:((s + 1) * length) * channels:channels])
            if peak > 0:
                level = round(20 * math.log10(full_scale / peak) - 0.5)
                if level <= 40:
                    counts[c][max(level, 0)] += 1
    return counts, slices


def emf_drawing(data: bytes) -> list[tuple]:
    """What the metafile draws, in order, in logical units, read from its records."""
    objects, pen, brush, text_color, position, drawing, modes = {}, 0, 0xFFFFFF, 0, (0, 0), [], []
    stock = {0x80000000: ("brush", 0xFFFFFF), 0x80000007: ("pen", 0)}
    offset = 0
    while offset < len(data):
        kind, size = struct.unpack_from("<II", data, offset)
        field = lambda at, form="<i": struct.unpack_from(form, data, offset + at)[0]  # noqa: E731
        if kind == 17:
            modes.append(field(8))
        elif kind == 38:
            objects[field(8)] = ("pen", field(24, "<I"))
        elif kind == 39:
            objects[field(8)] = ("brush", field(16, "<I"))
        elif kind == 37:
            what, color = stock.get(field(8, "<I"), objects.get(field(8, "<I"), ("font", 0)))
            pen, brush = (color, brush) if what == "pen" else (pen, color) if what == "brush" else (pen, brush)
        elif kind == 24:
            text_color = field(8, "<I")
        elif kind == 27:
            position = (field(8), field(12))
        elif kind == 54:
            drawing.append(("line", position, (field(8), field(12)), pen))
            position = (field(8), field(12))
        elif kind == 76:
            drawing.append(("rect", (field(24), field(28)), (field(32), field(36)), brush))
        elif kind == 84:
            text = data[offset + field(48): offset + field(48) + 2 * field(44)].decode("utf-16-le")
            drawing.append(("text", text, text_color))
        elif kind in (4, 87):
            form, width = ("<i", 4) if kind == 4 else ("<h", 2)
            points = [(field(28 + 2 * width * i, form), field(28 + 2 * width * i + width, form))
                      for i in range(field(24))]
            drawing.append(("polyline", points, pen))
        offset += size
    check(modes[:1] == [2], "the metafile draws in MM_LOMETRIC (0.1 mm, y upwards), as the SVG is read back")
    return drawing


def svg_drawing(path: str) -> list[tuple]:
    """What the SVG draws, in order, brought back to the metafile's logical units."""
    color = lambda text: int(text[5:7] + text[3:5] + text[1:3], 16)  # noqa: E731  "#RRGGBB" as COLORREF
    point = lambda x, y: (round(float(x) / 10), round(-float(y) / 10))  # noqa: E731
    drawing = []
    for element in ET.parse(path).getroot():
        tag, a = element.tag.split("}")[1], element.attrib
        if tag == "line":
            drawing.append(("line", point(a["x1"], a["y1"]), point(a["x2"], a["y2"]), color(a["stroke"])))
        elif tag == "rect":
            drawing.append(("rect", point(a["x"], float(a["y"]) + float(a["height"])),
                            (round(float(a["width"]) / 10), round(float(a["height"]) / 10)), color(a["fill"])))
        elif tag == "text":
            drawing.append(("text", element.text, color(a["fill"])))
        elif tag == "polyline":
            drawing.append(("polyline", [point(*p.split(",")) for p in a["points"].split()], color(a["stroke"])))
    return drawing


def check_csv_and_svg(tool: str, make_wav: str, work: str) -> None:
    folder = os.path.join(work, "csv")
    os.mkdir(folder)
    recordings = {"song, \"take\" 1.wav": ["--channels", "2", "--level-db", "3", "--channel-step-db", "9"],
                  "float mono.wav": ["--kind", "float32", "--channels", "1", "--seconds", "2.5", "--level-db", "13"],
                  # The right channel lies 45.5 dB down: its slices count nowhere.
                  "deep 24.wav": ["--kind", "int24", "--rate", "48000", "--level-db", "0.5", "--channel-step-db", "45"]}
    demo = os.path.join(os.path.dirname(tool), "demo", "demo.wav")
    if os.path.exists(demo):
        shutil.copy(demo, os.path.join(folder, "demo.wav"))
        recordings["demo.wav"] = None
    for name, options in recordings.items():
        if options is not None:
            subprocess.run([make_wav, os.path.join(folder, name), *options], check=True, capture_output=True)
    done = run(tool, "--csv", "--svg", *recordings, cwd=folder)
    check(done.returncode == 0 and done.stdout.startswith("file,channel,level_db,slices,percent\n"),
          "--csv --svg: CSV header, status 0", repr(done.stderr))
    rows = list(csv.reader(io.StringIO(done.stdout)))[1:]
    for name in recordings:
        counts, slices = measured_counts(os.path.join(folder, name))
        names = ["mono"] if len(counts) == 1 else ["left", "right"]
        mine = [[r for r in rows if r[0] == name and r[1] == channel] for channel in names]
        got = [[int(r[3]) for r in channel_rows] for channel_rows in mine]
        check([[int(r[2]) for r in channel_rows] for channel_rows in mine] == [list(range(41))] * len(names)
              and got == counts, f"{name}: CSV counts per channel and level equal the samples' "
              f"(sums {[sum(c) for c in got]} of {slices} slices)", f"CSV {got}\n    samples {counts}")
        percents = [[float(r[4]) for r in channel_rows] for channel_rows in mine]
        check(percents == [[c * 100.0 / slices for c in channel] for channel in counts],
              f"{name}: percents are count x 100 / slices")
        stem = os.path.join(folder, name[:-4])
        with open(stem + " VT.emf", "rb") as f:
            emf = emf_drawing(f.read())
        curves = [d[1] for d in emf if d[0] == "polyline"]
        highest = max(max(p) for p in percents)
        top = min(t for t in (10, 20, 30, 40, 50, 60, 80, 100) if t >= highest)
        on_chart = all(x == 900 - 20 * i and abs(p * 800 / top + 100 - y) <= 0.5 + 1e-9
                       for curve, shares in zip(curves, percents) for i, ((x, y), p) in enumerate(zip(curve, shares)))
        check(len(curves) == len(names) and on_chart, f"{name}: the percents are the chart's points (top {top} %)")
        try:
            svg = svg_drawing(stem + " VT.svg")
        except (ET.ParseError, OSError, KeyError, ValueError) as error:
            check(False, f"{name}: the SVG is well-formed and readable", str(error))
            continue
        check(svg == emf, f"{name}: the SVG draws what the metafile records ({len(emf)} steps, "
              f"{len(curves)} curve(s) point for point)", f"SVG {svg}\n    EMF {emf}")


def ffmpeg_loudness(path: str) -> tuple[float, float] | None:
    """Integrated loudness and loudness range as ffmpeg's ebur128 filter reports them."""
    if not shutil.which("ffmpeg"):
        return None
    done = subprocess.run(["ffmpeg", "-nostdin", "-i", path, "-af", "ebur128", "-f", "null", "-"],
                          capture_output=True, text=True)
    summary = done.stderr[done.stderr.rfind("Summary:"):]
    found = [re.search(pattern + r":\s+(-?[0-9.]+)", summary) for pattern in ("I", "LRA")]
    return (float(found[0].group(1)), float(found[1].group(1))) if all(found) else None


def check_json_and_loudness(tool: str, make_wav: str, work: str) -> None:
    """--json parsed by a real parser: keys and types as documented, counts and shares equal the CSV's; the
    failures listed; with --loudness the loudness and range within 0.1 and 0.5 LU of ffmpeg's ebur128."""
    folder = os.path.join(work, "csv")  # the recordings check_csv_and_svg made
    subprocess.run([make_wav, os.path.join(folder, "six.wav"), "--channels", "6", "--seconds", "4",
                    "--level-db", "6", "--channel-step-db", "3"], check=True, capture_output=True)
    names = sorted(n for n in os.listdir(folder) if n.endswith(".wav"))
    done = run(tool, "--json", "--loudness", *names, "missing.wav", cwd=folder)
    try:
        document = json.loads(done.stdout)
    except json.JSONDecodeError as error:
        check(False, "--json: a valid JSON document", f"{error}: {done.stdout[:200]!r}")
        return
    check(done.returncode == 1 and [f["path"] for f in document["files"]] == names
          and [f["path"] for f in document["failed"]] == ["missing.wav"] and document["failed"][0]["error"]
          and (document["failed"][0]["stage"], document["failed"][0]["kind"]) == ("open", "not_found"),
          "--json: every file in order, the missing one among the failures (stage open, kind not_found)",
          done.stderr)
    numbers, maybe = (int, float), (int, float, type(None))
    keys = {"path": str, "format": str, "channels": int, "sample_rate": int, "bits": (int, type(None)),
            "frames": int, "duration_s": numbers, "slices": int, "written": list, "peak_dbfs": maybe,
            "dr": (int, type(None)), "loudness_lufs": maybe, "loudness_range_lu": maybe, "true_peak_dbtp": maybe,
            "plr_db": maybe, "channels_detail": list}
    channel_keys = {"name": str, "peak_dbfs": maybe, "full_scale_samples": int, "dr": maybe, "histogram": list,
                    "percent": list}
    csv_done = run(tool, "--csv", *names, cwd=folder)
    rows = list(csv.reader(io.StringIO(csv_done.stdout)))[1:]
    for file in document["files"]:
        name = file["path"]
        check(set(file) == set(keys) and all(isinstance(file[k], t) for k, t in keys.items())
              and all(set(c) == set(channel_keys) and all(isinstance(c[k], t) for k, t in channel_keys.items())
                      for c in file["channels_detail"]), f"{name}: JSON keys and types as documented")
        from_csv = [(r[1], int(r[3]), float(r[4])) for r in rows if r[0] == name]
        from_json = [(c["name"], count, share) for c in file["channels_detail"]
                     for count, share in zip(c["histogram"], c["percent"])]
        check(from_json == from_csv and len(file["channels_detail"]) == file["channels"],
              f"{name}: JSON histograms and percents equal the CSV ({file['channels']} channels)")
        reference = ffmpeg_loudness(os.path.join(folder, name))
        if reference is None:
            print(f"skip: {name}: no loudness from ffmpeg to compare with")
            continue
        integrated, loudness_range = file["loudness_lufs"], file["loudness_range_lu"]
        check(integrated is not None and abs(integrated - reference[0]) <= 0.1
              and loudness_range is not None and abs(loudness_range - reference[1]) <= 0.5,
              f"{name}: loudness {integrated} LUFS, range {loudness_range} LU as ffmpeg's {reference}")


def write_bursts(path: str, spike: float, rate: int = 8000, level: float = 0.25) -> None:
    """Nine seconds of stereo 16-bit: three 3-second blocks of a 1 kHz sine at `level` of full scale, the second and
    third with a one-sample spike to `spike`: DR = 20 log10(spike / level), the loudest block's RMS being `level`."""
    samples = array.array("h")
    for block in range(3):
        for i in range(3 * rate):
            value = level * math.sin(2 * math.pi * 1000 * i / rate)
            if block > 0 and i == rate:
                value = spike
            code = max(-32768, min(32767, round(value * 32767)))
            samples.extend((code, code))
    with open(path, "wb") as out:
        data = samples.tobytes()
        out.write(b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " +
                  struct.pack("<IHHIIHH", 16, 1, 2, rate, rate * 4, 4, 16) + b"data" + struct.pack("<I", len(data)))
        out.write(data)


def album_blocks(stdout: str) -> list[dict[str, str]]:
    """The text output's album blocks: the folder and each labelled value."""
    blocks = []
    for block in stdout.split("\n\n"):
        lines = block.strip("\n").split("\n")
        if lines and lines[0].startswith("Album "):
            values = {"folder": lines[0][len("Album "):]}
            values.update((line[2:14].strip(), line[14:].strip()) for line in lines[1:])
            blocks.append(values)
    return blocks


def check_albums(tool: str, work: str) -> str:
    """Folders as albums; gives the tree's folder for the page check."""
    tree = os.path.join(work, "albums")
    first = os.path.join(tree, "Live <b> & Friends")
    second = os.path.join(tree, "second")
    os.makedirs(os.path.join(first, "disc 2"))
    os.makedirs(second)
    spikes = {os.path.join(first, "10 outro.wav"): 0.5, os.path.join(first, "2 intro.wav"): 1.0,
              os.path.join(first, "disc 2", "1 <script>.wav"): 0.71, os.path.join(second, "01 b.wav"): 1.0,
              os.path.join(second, "3 c.wav"): 0.71}
    levels = {os.path.join(second, "3 c.wav"): 0.125}  # quieter, for the album loudness
    for path, spike in spikes.items():
        write_bursts(path, spike, level=levels.get(path, 0.25))
    expected_dr = {path: round(20 * math.log10(spike / levels.get(path, 0.25))) for path, spike in spikes.items()}
    with open(os.path.join(first, "notes.txt"), "w") as notes:
        notes.write("not audio\n")
    with open(os.path.join(first, "cover.png"), "wb") as cover:  # a 1x1 PNG
        cover.write(bytes.fromhex("89504e470d0a1a0a0000000d4948445200000001000000010806000000"
                                  "1f15c4890000000d49444154789c6360000002000154a24f5d0000000049454e44ae426082"))
    empty = os.path.join(tree, "empty")
    os.makedirs(empty)

    plain = run(tool, "--json", first, second)
    recursive = run(tool, "--json", "-r", tree)
    text = run(tool, "-r", "--loudness", first, second)
    try:
        flat, deep = json.loads(plain.stdout), json.loads(recursive.stdout)
    except json.JSONDecodeError as error:
        check(False, "folders: valid JSON documents", str(error))
        return tree
    order = [os.path.join(first, "2 intro.wav"), os.path.join(first, "10 outro.wav"),
             os.path.join(second, "01 b.wav"), os.path.join(second, "3 c.wav")]
    check(plain.returncode == 0 and plain.stderr == "" and [f["path"] for f in flat["files"]] == order
          and flat["failed"] == [] and [a["folder"] for a in flat["albums"]] == [first, second],
          "folders: the audio files in name order (2 before 10), the text file and the picture passed over silently",
          plain.stdout[:300] + plain.stderr)
    deep_order = order[:2] + [os.path.join(first, "disc 2", "1 <script>.wav")] + order[2:]
    check(recursive.returncode == 0 and recursive.stderr == "" and [f["path"] for f in deep["files"]] == deep_order
          and [a["folder"] for a in deep["albums"]] == [first, os.path.join(first, "disc 2"), second],
          "-r: the sub-folder is an album of its own, after its parent's tracks", recursive.stderr)
    tracks = {f["path"]: f for f in deep["files"]}
    check(all(tracks[path]["dr"] == dr for path, dr in expected_dr.items()),
          "the tracks' DR as built: 12, 6, 9 and 15", str({p: tracks[p]["dr"] for p in tracks}))
    for album in deep["albums"]:
        own = [f for path, f in tracks.items() if os.path.dirname(path) == album["folder"]]
        mean = sum(f["dr"] for f in own) / len(own)
        summed = [sum(c["histogram"][level] for f in own for c in f["channels_detail"] if c["name"] == "left")
                  for level in range(41)]
        check(album["tracks"] == len(own) and album["dr"] == round(mean)
              and album["peak_dbfs"] == max(f["peak_dbfs"] for f in own)
              and abs(album["duration_s"] - 9 * len(own)) < 1e-9
              and [c["name"] for c in album["channels"]] == ["left", "right"]
              and album["channels"][0]["histogram"] == summed,
              f"{album['folder']}: album DR {album['dr']} = mean {mean:.2f} rounded (halves to even), peak, duration, "
              "summed counts")
    blocks = album_blocks(text.stdout)
    loud = json.loads(run(tool, "-r", "--loudness", "--json", first, second).stdout)["albums"]
    check(len(blocks) == 3 and all(
        b["folder"] == a["folder"] and b["Tracks"] == str(a["tracks"]) and b["DR"] == f"DR{a['dr']}"
        and b["Peak"] == f"{a['peak_dbfs']:.1f} dBFS" and b["Loudness"] == f"{a['loudness_lufs']:.1f} LUFS"
        and b["Range"] == f"{a['loudness_range_lu']:.1f} LU" and b["True peak"] == f"{a['true_peak_dbtp']:.1f} dBTP"
        for b, a in zip(blocks, loud)), "text album blocks equal the JSON albums", text.stdout[-600:])
    if shutil.which("ffmpeg"):
        album = [os.path.join(second, "01 b.wav"), os.path.join(second, "3 c.wav")]
        inputs = [part for path in album for part in ("-i", path)]
        done = subprocess.run(["ffmpeg", "-nostdin", *inputs, "-filter_complex",
                               "concat=n=2:v=0:a=1,ebur128", "-f", "null", "-"], capture_output=True, text=True)
        found = re.search(r"I:\s+(-?[0-9.]+)", done.stderr[done.stderr.rfind("Summary:"):])
        check(found is not None and abs(float(found.group(1)) - loud[2]["loudness_lufs"]) <= 0.2,
              f"album loudness {loud[2]['loudness_lufs']} LUFS as ffmpeg's over the tracks joined "
              f"({found.group(1) if found else None})")

    os.symlink(".", os.path.join(second, "again"))
    scans = os.path.join(second, "scans")  # a sub-folder without audio: passed over silently
    os.mkdir(scans)
    with open(os.path.join(scans, "cover.txt"), "w") as note:
        note.write("not audio\n")
    looped = run(tool, "-r", "--json", second, empty)
    check(looped.returncode == 1 and f"vantorel: {os.path.join(second, 'again')}: symbolic-link loop" in looped.stderr
          and f"vantorel: {empty}: no audio file in this folder" in looped.stderr and "scans" not in looped.stderr
          and [f["path"] for f in json.loads(looped.stdout)["files"]][:2] == order[2:],
          "a link loop and a folder argument without audio are named, a sub-folder without audio is not, "
          "the run goes on, status 1", looped.stderr)
    os.remove(os.path.join(second, "again"))
    shutil.rmtree(scans)

    # A folder that cannot be read is named and passed; as root (who reads
    # anything) a copy of the tool runs as nobody, with the folders opened to it.
    locked, readable = os.path.join(work, "locked"), os.path.join(work, "readable")
    os.makedirs(locked)
    os.makedirs(readable)
    shutil.copy(os.path.join(second, "01 b.wav"), readable)
    runner = os.path.join(work, "vantorel")
    shutil.copy(tool, runner)
    for path in (work, readable, runner):
        os.chmod(path, 0o777)
    os.chmod(locked, 0)
    as_user = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if os.geteuid() == 0 else []
    probe = subprocess.run([*as_user, runner, "--version"], capture_output=True) if shutil.which("setpriv") or not as_user \
        else None
    if probe is None or probe.returncode != 0:
        print("skip: an unreadable folder: the tool cannot be run as another user here")
    else:
        done = subprocess.run([*as_user, runner, "-r", locked, readable], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=60)
        check(done.returncode == 1 and f"vantorel: {locked}: cannot be read" in done.stderr
              and "01 b VT.emf" in done.stdout,
              "an unreadable folder is named, the run goes on, status 1", done.stderr)
    os.chmod(locked, 0o700)
    os.chmod(work, 0o700)
    return tree


def check_html_page(tool: str, tree: str, build: str) -> None:
    """The --html page in headless Chromium: no console error, one row per track, the album values as in the
    JSON, names with markup shown as text; its screenshot kept in the build folder."""
    page = os.path.join(tree, "report.html")
    done = run(tool, "-r", "--loudness", "--html", page, tree)
    check(os.path.isfile(page) and "<script" not in open(page, encoding="utf-8").read().replace(
        "&lt;script&gt;", ""), "--html: the page is written, with no script in it", done.stderr)
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if not browser:
        print("skip: --html in a browser: chromium is not installed (apt-get install chromium)")
        return
    base = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync"]
    url = "file://" + urllib.parse.quote(page)
    with tempfile.TemporaryDirectory() as profile:
        dom = subprocess.run(base + [f"--user-data-dir={profile}", "--enable-logging=stderr", "--v=0",
                                     "--dump-dom", url], capture_output=True, text=True, timeout=120)
    with tempfile.TemporaryDirectory() as profile:
        shot = os.path.join(build, "html-report.png")
        subprocess.run(base + [f"--user-data-dir={profile}", f"--screenshot={shot}", "--window-size=1200,3000", url],
                       capture_output=True, text=True, timeout=120)
    console = [line for line in dom.stderr.splitlines() if "CONSOLE" in line or "Uncaught" in line]
    check(dom.returncode == 0 and not console, "--html: the page loads in Chromium with no console error",
          "\n".join(console[:5]))
    rows = re.findall(r"<tbody>(.*?)</tbody>", dom.stdout, re.S)
    albums = json.loads(run(tool, "-r", "--loudness", "--json", tree).stdout)["albums"]
    check([row.count("<tr>") for row in rows] == [a["tracks"] for a in albums],
          "--html: one table row per track in each album", str([row.count("<tr>") for row in rows]))
    values = re.findall(r"<dt>Album DR</dt><dd>DR(\d+)</dd>.*?<dt>Peak</dt><dd>(.*?)&nbsp;dBFS</dd>.*?"
                        r"<dt>Loudness</dt><dd>(.*?)&nbsp;LUFS", dom.stdout, re.S)
    shown = [(int(dr), float(peak.replace("\u2212", "-")), float(lufs.replace("\u2212", "-")))
             for dr, peak, lufs in values]
    check(shown == [(a["dr"], a["peak_dbfs"], a["loudness_lufs"]) for a in albums],
          "--html: the album values as in the JSON", f"{shown} vs JSON")
    check("Live &lt;b&gt; &amp; Friends" in dom.stdout and "1 &lt;script&gt;.wav" in dom.stdout
          and "<b>" not in dom.stdout.replace("<body>", ""),
          "--html: names with markup are shown as text, not run or drawn")
    check(os.path.isfile(shot) and os.path.getsize(shot) > 10000, f"--html: screenshot kept as {shot}")


def check_progress(ctx: matrix.Context, tree: str) -> None:
    """The progress line: shown and erased on a terminal's standard error, never written to a file."""
    folder = os.path.join(tree, "many")
    os.makedirs(folder)
    for i in range(24):
        write_bursts(os.path.join(folder, f"{i} take.wav"), 1.0, rate=96000)
    quiet = run(ctx.tool, "--jobs", "1", "--loudness", folder)
    check(quiet.returncode == 0 and quiet.stderr == "", "progress: not a byte of it when standard error is a file",
          repr(quiet.stderr[:100]))
    ctx.tmux("new-session", "-d", "-s", "progress", "-x", "100", "-y", "10",
             f"{shlex.quote(ctx.tool)} --jobs 1 --loudness {shlex.quote(folder)} > /dev/null; echo finished; sleep 30")
    seen = ""
    for _ in range(400):
        rows = "\n".join(ctx.screen("progress"))
        if re.search(r"\d+/24 files  0:\d\d  .*take\.wav", rows):
            seen = rows
        if "finished" in rows:
            break
        time.sleep(0.05)
    final = ctx.screen("progress")
    ctx.tmux("kill-session", "-t", "progress", check=False)
    check(bool(seen), "progress: the line appears on the terminal (files done of total, elapsed, the file)", seen)
    check(final[0] == "finished" and "files" not in "".join(final), "progress: the line is erased at the end",
          str(final[:3]))


def check_install(tool: str, work: str) -> None:
    build = os.path.dirname(tool)
    if not os.path.exists(os.path.join(build, "cmake_install.cmake")):
        print("skip: install: the program does not lie in its build folder")
        return
    prefix = os.path.join(work, "prefix")
    done = subprocess.run(["cmake", "--install", build, "--prefix", prefix], capture_output=True, text=True)
    program = os.path.join(prefix, "bin", os.path.basename(tool))
    page = os.path.join(prefix, "share", "man", "man1", "vantorel.1")
    check(done.returncode == 0 and os.access(program, os.X_OK) and os.path.isfile(page),
          "cmake --install puts the program and vantorel.1 in place", done.stderr)
    if shutil.which("man") and os.path.isfile(page):
        shown = subprocess.run(["man", "-l", page], capture_output=True, text=True, env=dict(os.environ, MANWIDTH="80"))
        sections = ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "FILES", "EXIT STATUS", "EXAMPLES"]
        check(shown.returncode == 0 and all(f"\n{s}\n" in shown.stdout for s in sections),
              "man -l renders the page with its sections", shown.stderr)


def main() -> int:
    tool, make_wav = (os.path.abspath(a) for a in sys.argv[1:3])
    work = tempfile.mkdtemp(prefix="vantorel-command-line.")
    ctx = matrix.Context(tool, make_wav, work)
    try:
        check_texts(tool)
        check_batch(ctx)
        check_cut_wave(tool, make_wav, work)
        check_collisions_and_names(tool, make_wav, work)
        check_csv_and_svg(tool, make_wav, work)
        check_json_and_loudness(tool, make_wav, work)
        check_install(tool, work)
        check_library(tool, make_wav, work)
        tree = check_albums(tool, work)
        check_html_page(tool, tree, os.path.dirname(tool))
        check_progress(ctx, tree)
    finally:
        ctx.tmux("kill-server", check=False)
        shutil.rmtree(work, ignore_errors=True)
    print(f"{FAILURES} check(s) failed" if FAILURES else "all command-line checks passed")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())

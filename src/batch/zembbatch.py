"""zemb-batch: runs zemb over a whole dataset or a list of sequences, one
process per video, on this machine, through GNU parallel or as a Slurm job
array, and scores every video with zemb-eval. This module reads the command
line, finds the videos, holds the results folder's lock and writes the table.

Every backend (zemblocal, zembparallel, zembslurm) runs the same task for a
video (zembtask.run_task): zemb into the video's results folder, then
zemb-eval, then a status file written last. The tables are built from those
files alone, so they do not depend on the backend, and a video whose status
says done with the same settings is complete and not run again."""

from __future__ import annotations

import argparse
import fcntl
import json
import os
import re
import shlex
import socket
import sys
import time
from typing import Callable, NoReturn

import zemblocal
import zembparallel
import zembslurm
import zembtable
import zembtools
import zembtask
from zembtask import (HERE, LOG, MASK_PATTERN, ME, SCRIPT, STATUS, Fault, Progress, Task, err,
                      read_task_score, results_folder, task_main, task_state, usable_folder, write_file)

# The run's own files in the results root.
STATE_DIR = ".zemb-batch"  # task list, Slurm script and Slurm's task output
LOCK = "lock"              # in STATE_DIR: one run at a time per results folder
TABLE = "table.txt"
CHART = "f-measure.svg"
CONTROL = re.compile(r"[\x00-\x1f\x7f]")  # would end a line of the Slurm job script


# ---- Command line ------------------------------------------------------------------

DESCRIPTION = """\
Runs zemb over every video of a dataset in the change-detection benchmark's
layout (<category>/<video>/input/in000001.jpg .., groundtruth/gt000001.png ..,
ROI.bmp, temporalROI.txt; a root that is one video, <video>/input/.., runs
that video), or over the sequences of a list file, one process per video, and
scores each with zemb-eval. Masks go to
<results>/<category>/<video>/bin000001.png .., the benchmark's results layout.
Prints the seven figures per video, per category (the mean of its videos) and
overall (the mean of the categories), and writes that table and a bar chart of
F-measure into <results>.

A list file has one sequence a line: a name or frame pattern as zemb takes it
(relative to the list file's folder), the first and last frame, and optionally
a name for its results folder; # starts a comment. Such runs are not scored.

Everything after -- goes to zemb unchanged, e.g. -- -e2 0.01 -n 5 -s.
A video whose status file says it finished with the same settings is not run
again (use --force). One zemb-batch at a time uses a results folder.
Progress goes to standard error, the table to standard output. Exit status: 0 every video complete (and scored), 1 a video failed or
the run could not start, 2 a faulty command line."""


def read_command_line(argv: list[str]) -> argparse.Namespace:
    if "--" in argv:
        at = argv.index("--")
        argv, settings = argv[:at], argv[at + 1:]
    else:
        settings = []
    # --local without a number: the default width (argparse would take the next word for N).
    argv = ["--local=" if arg == "--local" and not re.match(r"[0-9]", next_arg) else arg
            for arg, next_arg in zip(argv, argv[1:] + [""])]
    parser = argparse.ArgumentParser(
        prog=ME, usage="%(prog)s [options] <dataset | list file> <results> [-- zemb switches]",
        description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter, allow_abbrev=False)
    parser.add_argument("source", help="dataset root, or a list file of sequences")
    parser.add_argument("results", help="folder for the results")
    pick = parser.add_argument_group("choosing videos")
    pick.add_argument("--category", action="append", default=[], metavar="NAMES",
                      help="only these categories (comma-separated, repeatable)")
    pick.add_argument("--video", action="append", default=[], metavar="NAMES",
                      help="only these videos, as video or category/video (comma-separated, repeatable)")
    pick.add_argument("--force", action="store_true", help="run complete videos again")
    pick.add_argument("--roi", action="store_true",
                      help="segment only each video's ROI.bmp (zemb --roi); scoring is the same either way")
    pick.add_argument("--resume", type=positive, nargs="?", const=zembtask.CHECKPOINT_FRAMES, metavar="N",
                      help="zemb saves its model every N frames (default %(const)s) and a stopped, "
                           "failed or resubmitted video goes on from there")
    where = parser.add_argument_group("where the videos run (one of)")
    backend = where.add_mutually_exclusive_group()
    backend.add_argument("--local", type=width, metavar="N",
                         help="N processes at a time on this machine (the default backend; "
                              "without N: the cores divided by zemb's -j)")
    backend.add_argument("--parallel", action="store_true", help="through GNU parallel")
    backend.add_argument("--slurm", action="store_true", help="as a Slurm job array, one task a video")
    where.add_argument("--sshloginfile", metavar="FILE",
                       help="--parallel: the machines to use (passed to parallel; ':' is this one)")
    where.add_argument("--jobs", metavar="N",
                       help="--parallel: processes per machine (default: its cores divided by zemb's -j)")
    where.add_argument("--partition", help="--slurm: partition (default: the cluster's default)")
    where.add_argument("--time", default=zembslurm.DEFAULT_TIME_LIMIT,
                       help="--slurm: time limit of one task (default %(default)s)")
    where.add_argument("--mem", metavar="SIZE",
                       help="--slurm: memory of one task, as sbatch takes it (default: from zemb's "
                            "own estimate for the largest video)")
    where.add_argument("--sbatch-arg", action="append", default=[], metavar="ARG",
                       help="--slurm: one more argument for sbatch, e.g. --sbatch-arg=--account=lab "
                            "(repeatable)")
    where.add_argument("--retries", type=int, metavar="N",
                       help="run failed videos again up to N times (default: 1 with --parallel and "
                            "--slurm, 0 on this machine)")
    out = parser.add_argument_group("output")
    fmt = out.add_mutually_exclusive_group()
    fmt.add_argument("--csv", dest="format", action="store_const", const="csv", help="the table as CSV")
    fmt.add_argument("--json", dest="format", action="store_const", const="json", help="the table as JSON")
    tools = parser.add_argument_group("programs")
    tools.add_argument("--zemb", metavar="PATH", help="zemb (default: next to this script, else on PATH)")
    tools.add_argument("--eval", metavar="PATH", help="zemb-eval (likewise)")
    options = parser.parse_args(argv)
    options.format = options.format or "text"
    options.settings = settings

    def refuse(message: str) -> NoReturn:
        parser.error(message)

    for switch in ("-o", "-O", "--report"):
        if switch in settings:
            refuse(f"{switch} is zemb-batch's to set: results go to <results>/<video>/{MASK_PATTERN}")
    options.threads = threads_of(settings, refuse)
    if options.slurm and options.threads == 0:
        refuse("-j 0 leaves the cores of a Slurm task unknown: give -j N")
    if options.sshloginfile and not options.parallel:
        refuse("--sshloginfile needs --parallel")
    if options.slurm:
        for what, value in [("the results folder", os.path.abspath(options.results)),
                            ("--time", options.time), ("--partition", options.partition),
                            ("--mem", options.mem), (ME, SCRIPT)]:
            if value and CONTROL.search(value):
                refuse(f"{what} holds a control character ({value!r}), which a Slurm job script cannot carry")
        if "\\" in os.path.abspath(options.results):
            refuse("the results folder holds a backslash, which stops Slurm from naming each task's output")
    if options.roi and options.resume:
        refuse("--roi cannot be combined with --resume: a checkpoint does not keep the region")
    if options.roi and "--roi" in settings:
        refuse("--roi is given twice: to zemb-batch and after --")
    if options.retries is None:
        options.retries = 1 if options.parallel or options.slurm else 0
    if options.retries < 0:
        refuse("--retries must be 0 or more")
    return options


def positive(text: str) -> int:
    if not re.fullmatch(r"[1-9][0-9]*", text):
        raise argparse.ArgumentTypeError(f"'{text}' is not a positive number")
    return int(text)


def width(text: str) -> int:
    """--local's N; empty (--local alone): 0, the default."""
    return positive(text) if text else 0


def threads_of(settings: list[str], refuse: Callable[[str], NoReturn]) -> int:
    """zemb's -j among the settings (1 when absent): the cores one run takes."""
    if "-j" not in settings:
        return 1
    at = settings.index("-j")
    value = settings[at + 1] if at + 1 < len(settings) else ""
    if not re.fullmatch(r"[0-9]+", value):
        refuse(f"-j needs a number of threads, not '{value}'")
    return int(value)


def split_names(values: list[str]) -> set[str]:
    return {name for value in values for name in value.split(",") if name}


# ---- What to run -------------------------------------------------------------------

FRAME_FILE = re.compile(r"in([0-9]+)\.(jpg|jpeg|png|ppm)")
TRUTH_FILE = re.compile(r"gt([0-9]+)\.png")


def numbered_files(folder: str, pattern: re.Pattern[str]) -> list[tuple[int, int, str]]:
    """(number, digits, extension) of the files in folder that match."""
    try:
        names = os.listdir(folder)
    except OSError:
        return []
    found = []
    for name in names:
        match = pattern.fullmatch(name)
        if match:
            extension = match.group(2) if match.lastindex > 1 else ""
            found.append((int(match.group(1)), len(match.group(1)), extension))
    return found


def dataset_videos(root: str, options: argparse.Namespace) -> list[Task]:
    """The videos of a benchmark-layout dataset, as tasks, sorted by name."""
    categories, videos = split_names(options.category), split_names(options.video)
    tasks = []
    seen_categories, seen_videos = set(), set()
    for category, video, folder in dataset_folders(root):
        name = video if category == ONE_VIDEO else f"{category}/{video}"
        seen_categories.add(category)
        seen_videos |= {video, name}
        if (categories and category not in categories) or (videos and not {video, name} & videos):
            continue
        frames = numbered_files(os.path.join(folder, "input"), FRAME_FILE)
        if not frames:
            raise Fault(f"{folder}/input: no frames in000001.jpg .. (or .png, .ppm)")
        if len({(digits, ext) for _, digits, ext in frames}) > 1:
            raise Fault(f"{folder}/input: frames with different number widths or extensions")
        _, digits, ext = frames[0]
        numbers = [n for n, _, _ in frames]
        truth = [n for n, _, _ in numbered_files(os.path.join(folder, "groundtruth"), TRUTH_FILE)]
        if not truth:
            raise Fault(f"{folder}/groundtruth: no ground truth gt000001.png ..")
        if options.roi and not os.path.isfile(os.path.join(folder, "ROI.bmp")):
            raise Fault(f"{folder}/ROI.bmp: missing, and --roi segments only the region it draws")
        pattern = os.path.join(zembtools.pattern_literal(os.path.abspath(folder)), "input",
                               f"in%0{digits}d.{ext}")
        tasks.append(new_task(name, category, pattern, min(numbers), max(numbers), folder, max(truth)))
    unknown = sorted((categories - seen_categories) | (videos - seen_videos))
    if unknown:
        raise Fault(f"{root}: no category or video named {', '.join(unknown)}", 2)
    if not tasks:
        raise Fault(f"{root}: no video (<category>/<video>/input/in000001.jpg .., or <video>/input/..)")
    return tasks


ONE_VIDEO = "-"  # the category of a dataset root that is one video


def dataset_folders(root: str) -> list[tuple[str, str, str]]:
    """(category, video, folder) of each video under root, sorted; a root
    with an input/ folder is one video."""
    if os.path.isdir(os.path.join(root, "input")):
        return [(ONE_VIDEO, os.path.basename(os.path.abspath(root)), root)]
    found = []
    for category in sorted(os.listdir(root)):
        category_dir = os.path.join(root, category)
        if category.startswith(".") or not os.path.isdir(category_dir):
            continue
        for video in sorted(os.listdir(category_dir)):
            folder = os.path.join(category_dir, video)
            if os.path.isdir(os.path.join(folder, "input")):
                found.append((category, video, folder))
    return found


def listed_sequences(path: str, options: argparse.Namespace) -> list[Task]:
    """The sequences of a list file, as tasks without scoring."""
    if options.category or options.video:
        raise Fault("--category and --video choose from a dataset, not from a list file", 2)
    if options.roi:
        raise Fault("--roi takes each video's ROI.bmp from a dataset, not from a list file", 2)
    base = os.path.dirname(os.path.abspath(path))
    tasks, names = [], {}
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except (OSError, UnicodeDecodeError) as e:
        raise Fault(f"{path}: cannot be read ({getattr(e, 'strerror', None) or e})")
    for number, line in enumerate(lines, start=1):
        where = f"{path}:{number}"
        try:
            fields = shlex.split(line, comments=True)
        except ValueError as e:
            raise Fault(f"{where}: {e}")
        if not fields:
            continue
        if len(fields) not in (3, 4) or not all(re.fullmatch(r"-?[0-9]+", x) for x in fields[1:3]):
            raise Fault(f"{where}: expected: <sequence> <first> <last> [name]")
        # The list's folder is plain text inside a frame pattern.
        is_pattern = "%" in os.path.basename(fields[0])
        sequence = os.path.join(zembtools.pattern_literal(base) if is_pattern else base, fields[0])
        name = fields[3] if len(fields) == 4 else default_name(fields[0])
        if name.startswith("/") or ".." in name.split("/") or not name.strip("/."):
            raise Fault(f"{where}: '{name}' cannot name a results folder")
        name = os.path.normpath(name)  # a, a/ and ./a are one folder
        if name in names:
            raise Fault(f"{where}: the results folder '{name}' is line {names[name]}'s too; "
                        "give one of them a name as a fourth field")
        names[name] = number
        tasks.append(new_task(name, "", sequence, int(fields[1]), int(fields[2])))
    if not tasks:
        raise Fault(f"{path}: no sequence listed")
    return tasks


def default_name(sequence: str) -> str:
    """A results folder for a listed sequence: a frame pattern's folder (its
    parent when that is the benchmark's input/), else the file name without
    its extension."""
    folder, base = os.path.split(sequence.rstrip("/"))
    if "%" in base:
        if os.path.basename(folder) == "input":
            folder = os.path.dirname(folder)
        return os.path.basename(folder) or "sequence"
    return os.path.splitext(base)[0] or "sequence"


def new_task(name: str, category: str, sequence: str, first: int, last: int, truth: str | None = None,
             truth_last: int | None = None) -> Task:
    return {"name": name, "category": category, "sequence": os.path.abspath(sequence),
            "first": first, "last": last, "frames": last - first + 1,
            "truth": os.path.abspath(truth) if truth else None, "truth_last": truth_last}


def complete_tasks(tasks: list[Task], options: argparse.Namespace, zemb: str, zemb_eval: str | None) -> None:
    """Adds to each task its results folder and the exact commands it runs."""
    results = os.path.abspath(options.results)
    for index, task in enumerate(tasks):
        folder = os.path.join(results, task["name"])
        task["index"] = index
        task["root"] = results
        task["results"] = folder
        task["zemb"] = [zemb, task["sequence"], str(task["first"]), str(task["last"]),
                        "-o", folder, "-O", MASK_PATTERN] + options.settings
        if options.roi:
            task["zemb"] += ["--roi", os.path.join(task["truth"], "ROI.bmp")]
        if options.resume:
            task["zemb"] += ["--save-model", os.path.join(folder, zembtask.CHECKPOINT),
                             "--checkpoint", str(options.resume)]
        task["eval"] = None
        if task["truth"]:
            masks = os.path.join(zembtools.pattern_literal(folder), MASK_PATTERN)
            task["eval"] = [zemb_eval, "--kv", masks, task["truth"]]
            # Some datasets hold back the ground truth of their last frames.
            if task["truth_last"] < task["last"]:
                task["eval"][2:2] = ["--last", str(task["truth_last"])]
        # What makes earlier results count as this run's: the commands but the programs' paths.
        task["key"] = task["zemb"][1:] + (task["eval"][1:] if task["eval"] else [])


# ---- The whole run -------------------------------------------------------------------


def run_batch(options: argparse.Namespace) -> int:
    source = options.source
    if os.path.isdir(source):
        tasks = dataset_videos(source, options)
    elif os.path.isfile(source):
        tasks = listed_sequences(source, options)
    else:
        raise Fault(f"{source}: neither a dataset folder nor a list file")
    if "-l" in options.settings and any(t["truth"] for t in tasks):
        raise Fault("-l keeps only the last mask; the scores need every mask", 2)
    try:
        zemb = zembtools.find_tool("zemb", options.zemb, HERE, ME)
        zemb_eval = zembtools.find_tool("zemb-eval", options.eval, HERE, ME) if tasks[0]["truth"] else None
    except zembtools.ToolMissing as e:
        raise Fault(str(e))
    complete_tasks(tasks, options, zemb, zemb_eval)
    results = os.path.abspath(options.results)
    os.makedirs(results, exist_ok=True)
    state_dir = results_folder(results, STATE_DIR, create=True)
    lock = lock_results(state_dir, options.results)
    try:
        return run_tasks(tasks, options, state_dir)
    finally:
        os.close(lock)


def lock_results(state_dir: str, results: str) -> int:
    """Takes the results folder's lock, which the system lets go when this
    process ends however it ends: a lock file left by a dead run is free."""
    path = os.path.join(state_dir, LOCK)
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o666)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        holder = os.pread(fd, 256, 0).decode("utf-8", "replace").split()
        os.close(fd)
        who = f"pid {holder[0]} on {holder[1]}" if len(holder) == 2 else "a process that is starting"
        raise Fault(f"{results}: another {ME} is using this results folder ({who}); "
                    "wait for it to end or give another results folder")
    os.ftruncate(fd, 0)
    os.pwrite(fd, f"{os.getpid()} {socket.gethostname()}\n".encode(), 0)
    return fd


def run_tasks(tasks: list[Task], options: argparse.Namespace, state_dir: str) -> int:
    pending = [t for t in tasks if options.force or task_state(t)[0] != "done"]
    err(f"{ME}: {zembtools.plural(len(tasks), 'video')}, "
        f"{len(tasks) - len(pending)} complete from an earlier run, "
        f"{len(pending)} to run ({zembtools.plural(sum(t['frames'] for t in pending), 'frame')})")
    start = time.monotonic()
    if pending:
        manifest = os.path.join(state_dir, "tasks.json")
        write_file(manifest, json.dumps(tasks, indent=1))
        memory = zembslurm.memory_per_task(pending, options) if options.slurm else None
        for attempt in range(options.retries + 1):
            for task in pending:  # a status from before must not count as this run's
                if usable_folder(task):  # else the task reports it
                    try:
                        os.remove(os.path.join(task["results"], STATUS))
                    except OSError:  # none there
                        pass
            progress = Progress(pending)
            if options.slurm:
                zembslurm.run_slurm(pending, options, progress, manifest, memory)
            elif options.parallel:
                zembparallel.run_parallel(pending, options, progress, manifest)
            else:
                zemblocal.run_local(pending, options, progress)
            pending = [t for t in pending if task_state(t)[0] != "done"]
            if not pending or attempt == options.retries:
                break
            err(f"{ME}: running the failed {zembtools.plural(len(pending), 'video')} again "
                f"({attempt + 1} of {options.retries})")
        err(f"{ME}: the runs took {time.monotonic() - start:.1f} s")
    return report(tasks, options)


def report(tasks: list[Task], options: argparse.Namespace) -> int:
    """Prints the table and writes it, and the chart, into the results
    folder. Returns 0 when every video is complete, else 1."""
    results = os.path.abspath(options.results)
    os.makedirs(results, exist_ok=True)
    rows, failed = [], 0
    for task in tasks:
        state, status = task_state(task)
        failed += state != "done"
        log = os.path.join(task["results"], LOG)
        if task["eval"]:
            rows.append({"name": task["name"], "category": task["category"], "log": log,
                         "score": read_task_score(task) if state == "done" else None})
        else:
            rows.append({"name": task["name"], "frames": task["frames"], "ok": state == "done", "log": log,
                         "ms_per_frame": (status or {}).get("ms_per_frame")})
    if tasks[0]["eval"]:
        summary = zembtable.Summary(rows)
        text = summary.text()
        output = {"text": summary.text, "csv": summary.csv, "json": summary.json}[options.format]()
        write_file(os.path.join(results, CHART), summary.svg())
    else:
        text = zembtable.runs_table(rows, "text")
        output = zembtable.runs_table(rows, options.format)
    write_file(os.path.join(results, TABLE), text)
    sys.stdout.write(output)
    sys.stdout.flush()
    written = os.path.join(options.results, TABLE)
    if tasks[0]["eval"]:
        written += " and " + os.path.join(options.results, CHART)
    err(f"{ME}: wrote {written}")
    if failed:
        err(f"{ME}: {failed} of {zembtools.plural(len(tasks), 'video')} failed")
    return 1 if failed else 0


def main(argv: list[str]) -> int:
    if argv[:1] == ["--task"]:
        if len(argv) != 3:
            err(f"{ME}: --task takes a task list and an index")
            return 2
        return task_main(argv[1], argv[2])
    options = read_command_line(argv)
    zembtools.raise_on_signals()
    try:
        return run_batch(options)
    except Fault as e:
        err(f"{ME}: {e}")
        return e.status
    except zembtools.Interrupted as e:
        err(f"{ME}: interrupted; videos that finished are kept, the others run again next time")
        return e.status
    except OSError as e:
        err(f"{ME}: {e.filename or ''}: {e.strerror}")
        return 1

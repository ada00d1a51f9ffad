"""zemb-batch: runs zemb over a whole dataset or a list of sequences, one
process per video, on this machine, through GNU parallel or as a Slurm job
array, and scores every video with zemb-eval.

Every backend runs the same task for a video (run_task): zemb into the
video's results folder, then zemb-eval, then a status file written last.
The tables are built from those files alone, so they do not depend on the
backend, and a video whose status says done with the same settings is
complete and not run again."""

import argparse
import errno
import fcntl
import json
import os
import re
import shlex
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time

import zembtable
import zembtools

ME = "zemb-batch"
HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "zemb-batch")

# Files in each video's results folder, beside the masks.
MASK_PATTERN = "bin%06d.png"
MASK_FILE = re.compile(r"bin[0-9]{6}\.png")
LOG = "zemb.log"          # zemb's output, then zemb-eval's messages
SCORE = "score.kv"        # zemb-eval --kv
STATUS = "status.json"    # written at the start (running) and last (done, failed or stopped)
# The run's own files in the results root.
STATE_DIR = ".zemb-batch"  # task list, Slurm script and Slurm's task output
LOCK = "lock"              # in STATE_DIR: one run at a time per results folder
TABLE = "table.txt"
CHART = "f-measure.svg"

FALLBACK_MEMORY_MIB = 4096  # per Slurm task when zemb gives no estimate
MEMORY_MARGIN = 1.25        # on zemb's estimate: decoder, allocator, page rounding
MEMORY_BASE_MIB = 256       # the task's Python, zemb-eval and shared libraries
ESTIMATE_TIMEOUT = 120      # seconds for one zemb --estimate-memory
DEFAULT_TIME_LIMIT = "2:00:00"
POLL_SECONDS = (1, 10)      # between looks at status files and squeue: at first, at most
CONTROL = re.compile(r"[\x00-\x1f\x7f]")  # would end a line of the Slurm job script

# Files are made with mkstemp (mode 0600) and given what open() would give them.
UMASK = os.umask(0o022)
os.umask(UMASK)


def err(text):
    sys.stderr.write(text + "\n")
    sys.stderr.flush()


class Fault(Exception):
    """A fault that ends the run: message and exit status."""

    def __init__(self, message, status=1):
        super().__init__(message)
        self.status = status


# ---- Command line ------------------------------------------------------------------

DESCRIPTION = """\
Runs zemb over every video of a dataset in the change-detection benchmark's
layout (<category>/<video>/input/in000001.jpg .., groundtruth/gt000001.png ..,
ROI.bmp, temporalROI.txt), or over the sequences of a list file, one process
per video, and scores each with zemb-eval. Masks go to
<results>/<category>/<video>/bin000001.png .., the benchmark's results layout.
Prints the seven figures per video, per category (the mean of its videos) and
overall (the mean of the categories), and writes that table and a bar chart of
F-measure into <results>.

A list file has one sequence a line: a name or frame pattern as zemb takes it
(relative to the list file's folder), the first and last frame, and optionally
a name for its results folder; # starts a comment. Such runs are not scored.

Everything after -- goes to zemb unchanged, e.g. -- -e2 0.01 -n 5 -s.
A video whose status file says it finished with the same settings is not run
again (use --force). Progress goes to standard error, the table to standard
output. Exit status: 0 every video complete (and scored), 1 a video failed or
the run could not start, 2 a faulty command line."""


def read_command_line(argv):
    if "--" in argv:
        at = argv.index("--")
        argv, settings = argv[:at], argv[at + 1:]
    else:
        settings = []
    # --local without a number: the default width (argparse would take the next word for N).
    argv = ["--local=" if arg == "--local" and not re.fullmatch(r"[0-9]+", next_arg) else arg
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
    where.add_argument("--time", default=DEFAULT_TIME_LIMIT,
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

    def refuse(message):
        parser.error(message)

    for switch in ("-o", "-O"):
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
    if options.retries is None:
        options.retries = 1 if options.parallel or options.slurm else 0
    if options.retries < 0:
        refuse("--retries must be 0 or more")
    return options


def positive(text):
    if not re.fullmatch(r"[1-9][0-9]*", text):
        raise argparse.ArgumentTypeError(f"'{text}' is not a positive number")
    return int(text)


def width(text):
    """--local's N; empty (--local alone): 0, the default."""
    return positive(text) if text else 0


def threads_of(settings, refuse):
    """zemb's -j among the settings (1 when absent): the cores one run takes."""
    if "-j" not in settings:
        return 1
    at = settings.index("-j")
    value = settings[at + 1] if at + 1 < len(settings) else ""
    if not re.fullmatch(r"[0-9]+", value):
        refuse(f"-j needs a number of threads, not '{value}'")
    return int(value)


def split_names(values):
    return {name for value in values for name in value.split(",") if name}


# ---- What to run -------------------------------------------------------------------

FRAME_FILE = re.compile(r"in([0-9]+)\.(jpg|jpeg|png|ppm)")
TRUTH_FILE = re.compile(r"gt([0-9]+)\.png")


def numbered_files(folder, pattern):
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


def dataset_videos(root, options):
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


def dataset_folders(root):
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


def listed_sequences(path, options):
    """The sequences of a list file, as tasks without scoring."""
    if options.category or options.video:
        raise Fault("--category and --video choose from a dataset, not from a list file", 2)
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


def default_name(sequence):
    """A results folder for a listed sequence: a frame pattern's folder (its
    parent when that is the benchmark's input/), else the file name without
    its extension."""
    folder, base = os.path.split(sequence.rstrip("/"))
    if "%" in base:
        if os.path.basename(folder) == "input":
            folder = os.path.dirname(folder)
        return os.path.basename(folder) or "sequence"
    return os.path.splitext(base)[0] or "sequence"


def new_task(name, category, sequence, first, last, truth=None, truth_last=None):
    return {"name": name, "category": category, "sequence": os.path.abspath(sequence),
            "first": first, "last": last, "frames": last - first + 1,
            "truth": os.path.abspath(truth) if truth else None, "truth_last": truth_last}


def complete_tasks(tasks, options, zemb, zemb_eval):
    """Adds to each task its results folder and the exact commands it runs."""
    results = os.path.abspath(options.results)
    for index, task in enumerate(tasks):
        folder = os.path.join(results, task["name"])
        task["index"] = index
        task["root"] = results
        task["results"] = folder
        task["zemb"] = [zemb, task["sequence"], str(task["first"]), str(task["last"]),
                        "-o", folder, "-O", MASK_PATTERN] + options.settings
        task["eval"] = None
        if task["truth"]:
            masks = os.path.join(zembtools.pattern_literal(folder), MASK_PATTERN)
            task["eval"] = [zemb_eval, "--kv", masks, task["truth"]]
            # Some datasets hold back the ground truth of their last frames.
            if task["truth_last"] < task["last"]:
                task["eval"][2:2] = ["--last", str(task["truth_last"])]
        # What makes earlier results count as this run's: the commands but the programs' paths.
        task["key"] = task["zemb"][1:] + (task["eval"][1:] if task["eval"] else [])


# ---- One video: the task every backend runs ---------------------------------------------


def read_json(path):
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def new_file(folder, name):
    """A new file in folder under a temporary name, for write_file and
    finish_file: (binary file object, its path). Never a symbolic link."""
    fd, temporary = tempfile.mkstemp(prefix=f".{name}.", dir=folder)
    os.fchmod(fd, 0o666 & ~UMASK)
    return os.fdopen(fd, "wb"), temporary


def finish_file(temporary, path, keep=True):
    """Puts a new file in place of path (a link there is replaced, not
    followed), or removes it."""
    if keep:
        os.replace(temporary, path)
    else:
        try:
            os.remove(temporary)
        except OSError:
            pass


def write_file(path, text):
    """Replaces path whole, so that a reader never sees half of it."""
    out, temporary = new_file(*os.path.split(path))
    try:
        with out:
            out.write(text.encode("utf-8"))
    except BaseException:
        finish_file(temporary, path, keep=False)
        raise
    finish_file(temporary, path)


def write_status(folder, status):
    write_file(os.path.join(folder, STATUS), json.dumps(status))


def results_folder(root, name, create=False):
    """root/name, each folder below root checked to be a folder and no
    symbolic link (old masks are deleted in it: a link would have them deleted
    elsewhere); made when create, else None when missing."""
    path = root
    for part in name.split("/"):
        path = os.path.join(path, part)
        if create:
            try:
                os.mkdir(path)
            except FileExistsError:
                pass
        try:
            mode = os.lstat(path).st_mode
        except FileNotFoundError:
            return None
        if stat.S_ISLNK(mode):
            raise OSError(errno.ELOOP, "a symbolic link, not a folder: refused", path)
        if not stat.S_ISDIR(mode):
            raise OSError(errno.ENOTDIR, "not a folder", path)
    return path


def usable_folder(task):
    try:
        return results_folder(task["root"], task["name"]) is not None
    except OSError:
        return False


# Status fields and the types they must have; any other status is no status.
STATUS_TYPES = {"state": str, "key": list, "host": str, "reason": str, "status": int,
                "seconds": (int, float), "ms_per_frame": (int, float, type(None))}


def valid_status(status):
    if not isinstance(status, dict) or status.get("state") not in ("running", "done", "failed", "stopped"):
        return False
    return all(not isinstance(status[field], bool) and isinstance(status[field], kinds)
               for field, kinds in STATUS_TYPES.items() if field in status)


def task_state(task):
    """The task's state (running, done, failed, stopped; None when it has not
    started with these settings) and its status file's contents."""
    if not usable_folder(task):
        return None, None
    status = read_json(os.path.join(task["results"], STATUS))
    if not valid_status(status) or status.get("key") != task["key"]:
        return None, None
    state = status.get("state")
    if state == "done" and task["eval"] and read_task_score(task) is None:
        state = "failed"
    return state, status


def read_task_score(task):
    try:
        with open(os.path.join(task["results"], SCORE), encoding="utf-8") as f:
            return zembtools.read_score(f.read())
    except OSError:
        return None


def run_task(task, run=zembtools.run_child):
    """Runs zemb on one video and scores its masks; the status file is
    written last, and says what failed. Returns the task's exit status."""
    os.makedirs(task["root"], exist_ok=True)
    folder = results_folder(task["root"], task["name"], create=True)
    for name in os.listdir(folder):  # masks of an earlier run must not be scored as this run's
        if MASK_FILE.fullmatch(name) or name == SCORE:
            os.remove(os.path.join(folder, name))
    status = {"state": "running", "key": task["key"], "host": socket.gethostname()}
    write_status(folder, status)
    log = os.path.join(folder, LOG)
    start = time.monotonic()
    out, log_part = new_file(folder, LOG)
    stopped = False
    try:
        with out:  # zemb's output, then zemb-eval's messages
            code = zembtools.exit_status(run(task["zemb"], cwd=folder, stdin=subprocess.DEVNULL,
                                             stdout=out, stderr=out, error_file=out))
            status["seconds"] = round(time.monotonic() - start, 3)
            with open(log_part, encoding="utf-8", errors="replace") as f:
                status["ms_per_frame"] = zembtools.online_ms_per_frame(f.read())
            if code != 0:
                status.update(state="failed", reason=f"zemb ended with status {code}", status=code)
            elif task["eval"]:
                score, score_part = new_file(folder, SCORE)
                try:
                    with score:
                        code = zembtools.exit_status(run(task["eval"], stdin=subprocess.DEVNULL, stdout=score,
                                                         stderr=out, error_file=out))
                finally:
                    finish_file(score_part, os.path.join(folder, SCORE), keep=code == 0)
                if code == 0:
                    status["state"] = "done"
                else:
                    status.update(state="failed", reason=f"zemb-eval ended with status {code}", status=code)
            else:
                status["state"] = "done"
    except (zembtools.Stopped, zembtools.Interrupted):
        stopped = True
        raise
    finally:
        finish_file(log_part, log)
        if stopped:  # not "running" for ever: the next run takes it up
            write_status(folder, dict(status, state="stopped"))
    write_status(folder, status)
    return 0 if status["state"] == "done" else status["status"]


def task_main(manifest, index):
    """--task: one video of a task list, as parallel and Slurm start it."""
    zembtools.raise_on_signals()
    tasks = read_json(manifest)
    if (not isinstance(tasks, list) or not re.fullmatch(r"[0-9]+", index) or int(index) >= len(tasks)
            or not isinstance(tasks[int(index)], dict)):
        err(f"{ME}: {manifest}: no task {index}")
        return 1
    try:
        return run_task(tasks[int(index)])
    except zembtools.Interrupted as e:
        return e.status
    except OSError as e:
        err(f"{ME}: {e.filename}: {e.strerror}")
        return 1


# ---- Progress ----------------------------------------------------------------------


class Progress:
    """Counts and reports on standard error: videos done, running and
    failed, frames per second over the whole run, and the time left."""

    def __init__(self, tasks):
        self.tasks = {t["index"]: t for t in tasks}
        self.state = {i: None for i in self.tasks}
        self.start = time.monotonic()
        self.frames_total = sum(t["frames"] for t in tasks)
        self.last_line = ""

    def update(self, task, state, status=None):
        """Records a task's state and reports it when it finishes; a failure
        is final, a task seen done may still turn out failed (Slurm)."""
        i = task["index"]
        if self.state[i] in (state, "failed") or (self.state[i] == "done" and state == "running"):
            return
        self.state[i] = state
        if state == "done":
            err(f"{ME}: {task['name']} done in {status.get('seconds', 0):.1f} s")
        elif state == "failed":
            err(f"{ME}: {task['name']} failed: {failure_text(task, status)}")
        if state != "running":
            self.report()

    def refresh(self):
        """Reads the status files of the tasks not finished yet."""
        for i, task in self.tasks.items():
            if self.state[i] not in ("done", "failed"):
                state, status = task_state(task)
                if state:
                    self.update(task, state, status)

    def finished(self, task):
        return self.state[task["index"]] in ("done", "failed")

    def report(self):
        counts = {s: sum(1 for v in self.state.values() if v == s) for s in ("done", "running", "failed")}
        frames = {s: sum(t["frames"] for i, t in self.tasks.items() if self.state[i] == s)
                  for s in ("done", "failed")}
        elapsed = time.monotonic() - self.start
        line = (f"{ME}: {counts['done']} of {len(self.tasks)} done, {counts['running']} running, "
                f"{counts['failed']} failed")
        if frames["done"] and elapsed > 0:
            rate = frames["done"] / elapsed
            line += f"; {rate:.0f} frames/s"
            left = self.frames_total - frames["done"] - frames["failed"]
            if left:
                line += f"; about {clock(left / rate)} left"
        if line != self.last_line:
            self.last_line = line
            err(line)


def clock(seconds):
    minutes, seconds = divmod(int(seconds + 0.5), 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}:{minutes:02d}:{seconds:02d}" if hours else f"{minutes}:{seconds:02d}"


def failure_text(task, status):
    log = os.path.join(task["results"], LOG)
    if not status:
        return "no status file"
    text = status.get("reason", "failed")
    if status.get("reason", "").startswith("zemb") and os.path.exists(log):
        with open(log, encoding="utf-8", errors="replace") as f:
            said = [line for line in f.read().splitlines() if line.startswith(("zemb:", "zemb-eval:"))]
        if said:
            text += " (" + "; ".join(said[-2:]) + ")"
    return f"{text}; log: {log}"


# ---- Backends ------------------------------------------------------------------------


def run_local(tasks, options, progress):
    width = options.local or max(1, zembtools.core_count() // max(1, options.threads))
    err(f"{ME}: on this machine, {min(width, len(tasks))} at a time")
    pool = zembtools.Pool(width)

    def job(task):
        try:
            run_task(task, pool.run)
        except zembtools.Stopped:
            pass
        except OSError as e:  # this video's folder is unusable; the others go on
            return {"reason": f"{e.filename}: {e.strerror}"}
        return None

    def started(task):
        progress.update(task, "running")

    jobs = pool.each(job, tasks, on_start=started)
    try:
        for task, fault in jobs:
            state, status = task_state(task)
            progress.update(task, state or "failed", fault or status)
    finally:
        jobs.close()


def watch(progress, child=None, still_running=None):
    """Waits for a backend's process to end, or for still_running() to say
    no, reading the status files meanwhile; the longer the run, the fewer
    the questions to the scheduler."""
    start = time.monotonic()
    while True:
        progress.refresh()
        pause = min(POLL_SECONDS[1], POLL_SECONDS[0] + (time.monotonic() - start) / 60)
        if child:
            try:
                child.wait(timeout=pause)
            except subprocess.TimeoutExpired:
                continue
        elif still_running():
            time.sleep(pause)
            continue
        progress.refresh()
        return


def run_parallel(tasks, options, progress, manifest):
    state_dir = os.path.dirname(manifest)
    jobs = options.jobs or ("100%" if options.threads <= 1 else f"{max(1, 100 // options.threads)}%")
    argv = ["parallel", "--will-cite", "--halt", "never", "--jobs", jobs,
            "--joblog", "+" + os.path.join(state_dir, "parallel.joblog")]  # + appends
    if options.sshloginfile:
        argv += ["--sshloginfile", options.sshloginfile]
    argv += ["-q", "python3", SCRIPT, "--task", manifest, "{}", ":::"] + [str(t["index"]) for t in tasks]
    err(f"{ME}: through GNU parallel, {jobs} of each machine's cores")
    joblog = os.path.join(state_dir, "parallel.joblog")
    if os.path.islink(joblog):  # parallel appends to it by name
        os.remove(joblog)
    log_fd = os.open(os.path.join(state_dir, "parallel.log"),
                     os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o666)
    with os.fdopen(log_fd, "ab") as log:
        try:
            child = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                     start_new_session=True)
        except OSError as e:
            raise Fault(f"parallel: {e.strerror} (Debian package: parallel)")
        try:
            watch(progress, child=child)
        finally:
            if child.poll() is None:  # interrupted: parallel and the runs it started go too
                os.killpg(child.pid, signal.SIGTERM)
                child.wait()


def memory_per_task(tasks, options):
    """Slurm's --mem for every task: zemb's own estimate for the largest
    video with these settings, with a margin; a fixed default when zemb
    cannot estimate."""
    if options.mem:
        return options.mem
    largest = 0
    for task in tasks:
        argv = task["zemb"][:4] + options.settings + ["--estimate-memory"]
        try:
            answer = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                    timeout=ESTIMATE_TIMEOUT)
            estimate = int(answer.stdout.strip()) if answer.returncode == 0 else None
        except (OSError, ValueError, subprocess.TimeoutExpired):
            estimate = None
        if estimate is None:
            err(f"{ME}: zemb gave no memory estimate for {task['name']}; "
                f"asking for {FALLBACK_MEMORY_MIB} MiB a task (set --mem to change it)")
            return f"{FALLBACK_MEMORY_MIB}M"
        largest = max(largest, estimate)
    return f"{int(largest * MEMORY_MARGIN / 2**20) + 1 + MEMORY_BASE_MIB}M"


def index_ranges(indices):
    """0,1,2,5 -> 0-2,5 (sbatch --array)."""
    parts, run = [], []
    for i in sorted(indices):
        if run and i == run[-1] + 1:
            run.append(i)
            continue
        if run:
            parts.append(f"{run[0]}-{run[-1]}" if len(run) > 1 else str(run[0]))
        run = [i]
    parts.append(f"{run[0]}-{run[-1]}" if len(run) > 1 else str(run[0]))
    return ",".join(parts)


def slurm_command(argv, what):
    try:
        return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as e:
        if isinstance(e, OSError):
            raise Fault(f"{argv[0]}: {e.strerror} ({what}; Debian package: slurm-client)")
        return None


def run_slurm(tasks, options, progress, manifest, memory):
    state_dir = os.path.dirname(manifest)
    # The script holds only numbers of its own and shell-quoted paths; the
    # values from the command line go to sbatch as arguments, where no
    # directive parsing can split them.
    lines = ["#!/bin/sh", "#SBATCH --job-name=zemb-batch",
             f"#SBATCH --array={index_ranges(t['index'] for t in tasks)}",
             "#SBATCH --ntasks=1", f"#SBATCH --cpus-per-task={options.threads}",
             # The task writes its own status file: the robust record where accounting is off.
             f"exec python3 {shlex.quote(SCRIPT)} --task {shlex.quote(manifest)} "
             '"$SLURM_ARRAY_TASK_ID"']
    script = os.path.join(state_dir, "job.sh")
    write_file(script, "\n".join(lines) + "\n")
    # In sbatch's output file pattern, %% is a percent sign.
    output = os.path.join(state_dir.replace("%", "%%"), "slurm-%A_%a.out")
    argv = ["sbatch", "--parsable", f"--mem={memory}", f"--time={options.time}", f"--output={output}"]
    if options.partition:
        argv.append(f"--partition={options.partition}")
    answer = slurm_command(argv + options.sbatch_arg + [script], "submitting")
    if answer is None or answer.returncode != 0 or not answer.stdout.strip():
        raise Fault("sbatch refused the job array: " + (answer.stderr.strip() if answer else "no answer"))
    job = answer.stdout.strip().split(";")[0]
    err(f"{ME}: Slurm job array {job}: {zembtools.plural(options.threads, 'core')} and {memory} a task, "
        f"time limit {options.time}")

    def array_in_queue():
        answer = slurm_command(["squeue", "-h", "-j", job, "-o", "%i"], "waiting")
        if answer is None:
            return True  # no answer yet: ask again
        if answer.returncode != 0:
            return "Invalid job id" not in answer.stderr
        return bool(answer.stdout.strip())

    try:
        watch(progress, still_running=array_in_queue)
    except BaseException:
        subprocess.run(["scancel", job], stdin=subprocess.DEVNULL, capture_output=True)
        raise
    # Each task's exit status: Slurm's accounting where the cluster keeps it,
    # else the status file the task wrote. A task without one was ended from
    # outside (time or memory limit, a node lost); the submitter records that.
    accounting = slurm_accounting(job) or {}
    for task in tasks:
        said = accounting.get(task["index"])
        state, status = task_state(task)
        if state == "done" and (said is None or said == "COMPLETED exit 0"):
            continue
        if state != "failed":
            reason = f"Slurm says {said}" if said else "the task ended without a status"
            status = {"state": "failed", "key": task["key"],
                      "reason": f"{reason}; Slurm's output: {state_dir}/slurm-{job}_{task['index']}.out"}
            try:
                write_status(results_folder(task["root"], task["name"], create=True), status)
            except OSError as e:
                status["reason"] += f" ({e.filename}: {e.strerror})"
        progress.update(task, "failed", status)


def slurm_accounting(job):
    """Array index -> "STATE exit N" from sacct, or None without accounting."""
    answer = slurm_command(["sacct", "-n", "-P", "-X", "-j", job, "-o", "JobID,State,ExitCode"],
                           "accounting")
    if answer is None or answer.returncode != 0:
        return None
    states = {}
    for line in answer.stdout.splitlines():
        fields = line.split("|")
        match = re.fullmatch(r"[0-9]+_([0-9]+)", fields[0]) if len(fields) == 3 else None
        if match:
            states[int(match.group(1))] = f"{fields[1]} exit {fields[2].split(':')[0]}"
    return states


# ---- The whole run -------------------------------------------------------------------


def run_batch(options):
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


def lock_results(state_dir, results):
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


def run_tasks(tasks, options, state_dir):
    pending = [t for t in tasks if options.force or task_state(t)[0] != "done"]
    err(f"{ME}: {zembtools.plural(len(tasks), 'video')}, "
        f"{len(tasks) - len(pending)} complete from an earlier run, "
        f"{len(pending)} to run ({sum(t['frames'] for t in pending)} frames)")
    start = time.monotonic()
    if pending:
        manifest = os.path.join(state_dir, "tasks.json")
        write_file(manifest, json.dumps(tasks, indent=1))
        memory = memory_per_task(pending, options) if options.slurm else None
        for attempt in range(options.retries + 1):
            for task in pending:  # a status from before must not count as this run's
                if usable_folder(task):  # else the task reports it
                    try:
                        os.remove(os.path.join(task["results"], STATUS))
                    except OSError:  # none there
                        pass
            progress = Progress(pending)
            if options.slurm:
                run_slurm(pending, options, progress, manifest, memory)
            elif options.parallel:
                run_parallel(pending, options, progress, manifest)
            else:
                run_local(pending, options, progress)
            pending = [t for t in pending if task_state(t)[0] != "done"]
            if not pending or attempt == options.retries:
                break
            err(f"{ME}: running the failed {zembtools.plural(len(pending), 'video')} again "
                f"({attempt + 1} of {options.retries})")
        err(f"{ME}: the runs took {time.monotonic() - start:.1f} s")
    return report(tasks, options)


def report(tasks, options):
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


def main(argv):
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

"""zemb-batch: runs zemb over a whole dataset or a list of sequences, one
process per video, on this machine, through GNU parallel or as a Slurm job
array, and scores every video with zemb-eval.

Every backend runs the same task for a video (run_task): zemb into the
video's results folder, then zemb-eval, then a status file written last.
The tables are built from those files alone, so they do not depend on the
backend, and a video whose status says done with the same settings is
complete and not run again."""

import argparse
import json
import os
import re
import shlex
import signal
import socket
import subprocess
import sys
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
STATUS = "status.json"    # written at the start (running) and last (done or failed)
# The run's own files in the results root.
STATE_DIR = ".zemb-batch"  # task list, Slurm script and Slurm's task output
TABLE = "table.txt"
CHART = "f-measure.svg"

FALLBACK_MEMORY_MIB = 4096  # per Slurm task when zemb gives no estimate
MEMORY_MARGIN = 1.25        # on zemb's estimate: decoder, allocator, page rounding
MEMORY_BASE_MIB = 256       # the task's Python, zemb-eval and shared libraries
ESTIMATE_TIMEOUT = 120      # seconds for one zemb --estimate-memory
DEFAULT_TIME_LIMIT = "2:00:00"
POLL_SECONDS = (1, 10)      # between looks at status files and squeue: at first, at most


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
    backend.add_argument("--local", type=positive, metavar="N",
                         help="N processes at a time on this machine (the default backend; "
                              "default N: the cores divided by zemb's -j)")
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
    if options.retries is None:
        options.retries = 1 if options.parallel or options.slurm else 0
    if options.retries < 0:
        refuse("--retries must be 0 or more")
    return options


def positive(text):
    if not re.fullmatch(r"[1-9][0-9]*", text):
        raise argparse.ArgumentTypeError(f"'{text}' is not a positive number")
    return int(text)


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
    for category in sorted(os.listdir(root)):
        category_dir = os.path.join(root, category)
        if category.startswith(".") or not os.path.isdir(category_dir):
            continue
        for video in sorted(os.listdir(category_dir)):
            folder = os.path.join(category_dir, video)
            if not os.path.isdir(os.path.join(folder, "input")):
                continue
            name = f"{category}/{video}"
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
            tasks.append(new_task(name, category, os.path.join(folder, "input", f"in%0{digits}d.{ext}"),
                                  min(numbers), max(numbers), folder, max(truth)))
    unknown = sorted((categories - seen_categories) | (videos - seen_videos))
    if unknown:
        raise Fault(f"{root}: no category or video named {', '.join(unknown)}", 2)
    if not tasks:
        raise Fault(f"{root}: no video (<category>/<video>/input/in000001.jpg ..)")
    return tasks


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
        sequence = os.path.join(base, fields[0])
        name = fields[3] if len(fields) == 4 else default_name(fields[0])
        if name.startswith("/") or ".." in name.split("/") or not name.strip("/."):
            raise Fault(f"{where}: '{name}' cannot name a results folder")
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
        task["results"] = folder
        task["zemb"] = [zemb, task["sequence"], str(task["first"]), str(task["last"]),
                        "-o", folder, "-O", MASK_PATTERN] + options.settings
        task["eval"] = None
        if task["truth"]:
            task["eval"] = [zemb_eval, "--kv", os.path.join(folder, MASK_PATTERN), task["truth"]]
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


def write_status(folder, status):
    """Replaces the status file whole, so that a reader never sees half of it."""
    temporary = os.path.join(folder, f".{STATUS}.{os.getpid()}")
    with open(temporary, "w", encoding="utf-8") as f:
        json.dump(status, f)
    os.replace(temporary, os.path.join(folder, STATUS))


def task_state(task):
    """The task's state (running, done, failed; None when it has not started
    with these settings) and its status file's contents."""
    status = read_json(os.path.join(task["results"], STATUS))
    if not isinstance(status, dict) or status.get("key") != task["key"]:
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
    folder = task["results"]
    os.makedirs(folder, exist_ok=True)
    for name in os.listdir(folder):  # masks of an earlier run must not be scored as this run's
        if MASK_FILE.fullmatch(name) or name == SCORE:
            os.remove(os.path.join(folder, name))
    status = {"state": "running", "key": task["key"], "host": socket.gethostname()}
    write_status(folder, status)
    log = os.path.join(folder, LOG)
    start = time.monotonic()
    with open(log, "wb") as out:
        code = zembtools.exit_status(run(task["zemb"], cwd=folder, stdin=subprocess.DEVNULL,
                                         stdout=out, stderr=out, error_file=out))
    status["seconds"] = round(time.monotonic() - start, 3)
    with open(log, encoding="utf-8", errors="replace") as f:
        status["ms_per_frame"] = zembtools.online_ms_per_frame(f.read())
    if code != 0:
        status.update(state="failed", reason=f"zemb ended with status {code}", status=code)
    elif task["eval"]:
        score = os.path.join(folder, SCORE)
        with open(score + ".part", "wb") as out, open(log, "ab") as messages:
            code = zembtools.exit_status(run(task["eval"], stdin=subprocess.DEVNULL, stdout=out,
                                             stderr=messages, error_file=messages))
        if code == 0:
            os.replace(score + ".part", score)
            status["state"] = "done"
        else:
            status.update(state="failed", reason=f"zemb-eval ended with status {code}", status=code)
    else:
        status["state"] = "done"
    write_status(folder, status)
    return 0 if status["state"] == "done" else status["status"]


def task_main(manifest, index):
    """--task: one video of a task list, as parallel and Slurm start it."""
    zembtools.raise_on_signals()
    tasks = read_json(manifest)
    if not isinstance(tasks, list) or not re.fullmatch(r"[0-9]+", index) or int(index) >= len(tasks):
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
    with open(os.path.join(state_dir, "parallel.log"), "ab") as log:
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
    lines = ["#!/bin/sh", "#SBATCH --job-name=zemb-batch",
             f"#SBATCH --array={index_ranges(t['index'] for t in tasks)}",
             "#SBATCH --ntasks=1", f"#SBATCH --cpus-per-task={options.threads}",
             f"#SBATCH --mem={memory}", f"#SBATCH --time={options.time}",
             f"#SBATCH --output={state_dir}/slurm-%A_%a.out"]
    if options.partition:
        lines.append(f"#SBATCH --partition={options.partition}")
    # The task writes its own status file: the robust record where accounting is off.
    lines.append(f"exec python3 {shlex.quote(SCRIPT)} --task {shlex.quote(manifest)} "
                 '"$SLURM_ARRAY_TASK_ID"')
    script = os.path.join(state_dir, "job.sh")
    with open(script, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    answer = slurm_command(["sbatch", "--parsable"] + options.sbatch_arg + [script], "submitting")
    if answer is None or answer.returncode != 0 or not answer.stdout.strip():
        raise Fault("sbatch refused the job array: " + (answer.stderr.strip() if answer else "no answer"))
    job = answer.stdout.strip().split(";")[0]
    err(f"{ME}: Slurm job array {job}: {options.threads} core(s) and {memory} a task, "
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
            os.makedirs(task["results"], exist_ok=True)
            write_status(task["results"], status)
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

    pending = [t for t in tasks if options.force or task_state(t)[0] != "done"]
    err(f"{ME}: {len(tasks)} videos, {len(tasks) - len(pending)} complete from an earlier run, "
        f"{len(pending)} to run ({sum(t['frames'] for t in pending)} frames)")
    start = time.monotonic()
    if pending:
        state_dir = os.path.join(os.path.abspath(options.results), STATE_DIR)
        os.makedirs(state_dir, exist_ok=True)
        manifest = os.path.join(state_dir, "tasks.json")
        with open(manifest, "w", encoding="utf-8") as f:
            json.dump(tasks, f, indent=1)
        memory = memory_per_task(pending, options) if options.slurm else None
        for attempt in range(options.retries + 1):
            for task in pending:  # a status from before must not count as this run's
                try:
                    os.remove(os.path.join(task["results"], STATUS))
                except OSError:  # none there, or a folder the task will report unusable
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
            err(f"{ME}: running the {len(pending)} failed video(s) again "
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
        err(f"{ME}: {failed} of {len(tasks)} videos failed")
    return 1 if failed else 0


def write_file(path, text):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


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

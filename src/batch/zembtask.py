"""What every backend of zemb-batch shares: the task for one video (zemb
into the video's results folder, then zemb-eval, then a status file written
last), the status files the tables are built from, writing files whole and
never through a symbolic link, and the progress report (on a terminal, a
line kept up to date from the running videos' zemb reports)."""

from __future__ import annotations

import errno
import json
import os
import re
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import time
from typing import Any, BinaryIO, Callable

import zembtools

ME = "zemb-batch"
# A video's task as the task list holds it, and its status file.
Task = dict[str, Any]
Status = dict[str, Any]
HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "zemb-batch")

# Files in each video's results folder, beside the masks.
MASK_PATTERN = "bin%06d.png"
MASK_FILE = re.compile(r"bin[0-9]{6}\.png")
LOG = "zemb.log"          # zemb's output, then zemb-eval's messages
REPORT = "zemb.json"      # zemb --report: its progress while it runs, its timings when done
SCORE = "score.kv"        # zemb-eval --kv
STATUS = "status.json"    # written at the start (running) and last (done, failed or stopped)
CHECKPOINT = "zemb.model"  # --resume: zemb's state, saved every CHECKPOINT_FRAMES frames
CHECKPOINT_FRAMES = 100
POLL_SECONDS = (1, 10)    # between looks at status files and squeue: at first, at most

# Files are made with mkstemp (mode 0600) and given what open() would give them.
UMASK = os.umask(0o022)
os.umask(UMASK)


# Whether the progress line stands on the terminal: a message takes its place.
_line_shown = False


def err(text: str) -> None:
    global _line_shown
    if _line_shown:
        sys.stderr.write("\r\033[K")
        _line_shown = False
    sys.stderr.write(text + "\n")
    sys.stderr.flush()


class Fault(Exception):
    """A fault that ends the run: message and exit status."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


# ---- One video: the task every backend runs ---------------------------------------------


def read_json(path: str) -> Any:
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def new_file(folder: str, name: str) -> tuple[BinaryIO, str]:
    """A new file in folder under a temporary name, for write_file and
    finish_file: (binary file object, its path). Never a symbolic link."""
    fd, temporary = tempfile.mkstemp(prefix=f".{name}.", dir=folder)
    os.fchmod(fd, 0o666 & ~UMASK)
    return os.fdopen(fd, "wb"), temporary


def finish_file(temporary: str, path: str, keep: bool = True) -> None:
    """Puts a new file in place of path (a link there is replaced, not
    followed), or removes it."""
    if keep:
        os.replace(temporary, path)
    else:
        try:
            os.remove(temporary)
        except OSError:
            pass


def write_file(path: str, text: str) -> None:
    """Replaces path whole, so that a reader never sees half of it."""
    out, temporary = new_file(*os.path.split(path))
    try:
        with out:
            out.write(text.encode("utf-8"))
    except BaseException:
        finish_file(temporary, path, keep=False)
        raise
    finish_file(temporary, path)


def write_status(folder: str, status: Status) -> None:
    write_file(os.path.join(folder, STATUS), json.dumps(status))


def results_folder(root: str, name: str, create: bool = False) -> str | None:
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


def usable_folder(task: Task) -> bool:
    try:
        return results_folder(task["root"], task["name"]) is not None
    except OSError:
        return False


# Status fields and the types they must have; any other status is no status.
STATUS_TYPES = {"state": str, "key": list, "host": str, "reason": str, "status": int,
                "seconds": (int, float), "ms_per_frame": (int, float, type(None))}


def valid_status(status: Any) -> bool:
    if not isinstance(status, dict) or status.get("state") not in ("running", "done", "failed", "stopped"):
        return False
    return all(not isinstance(status[field], bool) and isinstance(status[field], kinds)
               for field, kinds in STATUS_TYPES.items() if field in status)


def task_state(task: Task) -> tuple[str | None, Status | None]:
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


def read_task_score(task: Task) -> dict[str, Any] | None:
    try:
        with open(os.path.join(task["results"], SCORE), encoding="utf-8") as f:
            return zembtools.read_score(f.read())
    except OSError:
        return None


def checkpoint_frame(path: str) -> int | None:
    """The number of the last frame a zemb model file holds (docs/model-file.md),
    or None when there is no such file of a version this reads; zemb checks the rest."""
    try:
        with open(path, "rb") as f:
            header = f.read(56)
    except OSError:
        return None
    if len(header) < 56 or header[:8] != b"ZEMBMODL" or int.from_bytes(header[8:12], "little") != 1:
        return None
    return int.from_bytes(header[48:56], "little", signed=True)


def resumed_command(task: Task, folder: str) -> tuple[list[str], int]:
    """The zemb command that goes on from the video's checkpoint, when it has one
    within its frames, and the last frame whose mask it keeps."""
    command = task["zemb"]
    if "--save-model" not in command:
        return command, task["first"] - 1
    saved = checkpoint_frame(command[command.index("--save-model") + 1])
    if saved is None or not task["first"] <= saved < task["last"]:
        return command, task["first"] - 1
    return (command[:2] + [str(saved + 1)] + command[3:] +
            ["--load-model", command[command.index("--save-model") + 1]]), saved


def run_task(task: Task, run: Callable[..., int] = zembtools.run_child) -> int:
    """Runs zemb on one video and scores its masks; the status file is
    written last, and says what failed. Returns the task's exit status."""
    os.makedirs(task["root"], exist_ok=True)
    folder = results_folder(task["root"], task["name"], create=True)
    command, kept = resumed_command(task, folder)
    for name in os.listdir(folder):  # masks of an earlier run must not be scored as this run's
        if (MASK_FILE.fullmatch(name) and int(name[3:9]) > kept) or name in (SCORE, REPORT):
            os.remove(os.path.join(folder, name))
    status = {"state": "running", "key": task["key"], "host": socket.gethostname()}
    write_status(folder, status)
    log = os.path.join(folder, LOG)
    report = os.path.join(folder, REPORT)
    start = time.monotonic()
    out, log_part = new_file(folder, LOG)
    stopped = False
    try:
        with out:  # zemb's output, then zemb-eval's messages
            code = zembtools.exit_status(run(command + ["--report", report], cwd=folder,
                                             stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                             error_file=out))
            status["seconds"] = round(time.monotonic() - start, 3)
            status["ms_per_frame"] = zembtools.online_ms_per_frame(zembtools.read_report(report))
            if code != 0:
                status.update(state="failed", reason=f"zemb ended with status {code}", status=code)
            elif task["eval"]:
                score, score_part = new_file(folder, SCORE)
                scored = None
                try:
                    with score:
                        scored = zembtools.exit_status(run(task["eval"], stdin=subprocess.DEVNULL,
                                                           stdout=score, stderr=out, error_file=out))
                finally:
                    finish_file(score_part, os.path.join(folder, SCORE), keep=scored == 0)
                if scored == 0:
                    status["state"] = "done"
                else:
                    status.update(state="failed", reason=f"zemb-eval ended with status {scored}",
                                  status=scored)
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


def task_main(manifest: str, index: str) -> int:
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

    def __init__(self, tasks: list[Task], live: bool | None = None) -> None:
        self.tasks = {t["index"]: t for t in tasks}
        self.state = {i: None for i in self.tasks}
        self.start = time.monotonic()
        self.frames_total = sum(t["frames"] for t in tasks)
        self.last_line = ""
        # Only a person at a terminal sees a line redrawn: scripts and
        # clusters get the lines above, one per finished video.
        self.live = sys.stderr.isatty() if live is None else live

    def update(self, task: Task, state: str, status: Status | None = None) -> None:
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

    def refresh(self) -> None:
        """Reads the status files of the tasks not finished yet."""
        for i, task in self.tasks.items():
            if self.state[i] not in ("done", "failed"):
                state, status = task_state(task)
                if state:
                    self.update(task, state, status)

    def finished(self, task: Task) -> bool:
        return self.state[task["index"]] in ("done", "failed")

    def report(self) -> None:
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


    def running_frames(self) -> float:
        """Frames the running videos have done, from their zemb reports (a
        report that says complete: zemb-eval is scoring the masks)."""
        frames = 0.0
        for i, task in self.tasks.items():
            if self.state[i] != "running":
                continue
            progress = zembtools.frames_done(zembtools.read_report(os.path.join(task["results"], REPORT)))
            if progress:
                frames += task["frames"] * min(1.0, progress[0] / progress[1])
        return frames

    def show_running(self) -> None:
        """On a terminal, one line redrawn in place while videos run: the
        frames done across all videos, finished and running, frames per
        second and the time left."""
        global _line_shown
        if not self.live:
            return
        counts = {s: sum(1 for v in self.state.values() if v == s) for s in ("done", "running")}
        frames = {s: sum(t["frames"] for i, t in self.tasks.items() if self.state[i] == s)
                  for s in ("done", "failed")}
        done = frames["done"] + self.running_frames()
        elapsed = time.monotonic() - self.start
        line = (f"{ME}: {counts['done']} of {len(self.tasks)} done, {counts['running']} running; "
                f"{done:.0f} of {zembtools.plural(self.frames_total, 'frame')}")
        if done and elapsed > 0:
            rate = done / elapsed
            left = max(0.0, self.frames_total - done - frames["failed"])
            line += f", {rate:.0f} frames/s, about {clock(left / rate)} left"
        width = shutil.get_terminal_size().columns
        sys.stderr.write("\r" + line[:max(1, width - 1)] + "\033[K")
        sys.stderr.flush()
        _line_shown = True


def clock(seconds: float) -> str:
    minutes, seconds = divmod(int(seconds + 0.5), 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}:{minutes:02d}:{seconds:02d}" if hours else f"{minutes}:{seconds:02d}"


def failure_text(task: Task, status: Status | None) -> str:
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


def watch(progress: Progress, child: subprocess.Popen[bytes] | None = None,
          still_running: Callable[[], bool] | None = None) -> None:
    """Waits for a backend's process to end, or for still_running() to say
    no, reading the status files meanwhile; the longer the run, the fewer
    the questions to the scheduler."""
    start = time.monotonic()
    while True:
        progress.refresh()
        progress.show_running()
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

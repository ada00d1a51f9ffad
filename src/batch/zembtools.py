"""What zemb-batch and zemb-sweep share: finding the programs they drive,
running child processes a few at a time so that an interrupt ends them all,
and reading what zemb and zemb-eval print."""

from __future__ import annotations

import os
import re
import shutil
import signal
import subprocess
import threading
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait
from contextlib import AbstractContextManager
from typing import Any, Callable, Iterable, Iterator, NoReturn, TypeVar

T = TypeVar("T")
R = TypeVar("R")

# zemb-eval --kv: the pixel counts and the seven figures of the benchmark.
COUNT_NAMES = ("TP", "FP", "FN", "TN")
FIGURE_NAMES = ("recall", "specificity", "FPR", "FNR", "PWC", "precision", "F-measure")


class Interrupted(Exception):
    """SIGINT or SIGTERM arrived; `status` is the shell's exit status for it."""

    def __init__(self, status: int) -> None:
        super().__init__(status)
        self.status = status


def raise_on_signals() -> None:
    """Turns SIGINT and SIGTERM into Interrupted in the main thread, so that
    the caller's clean-up runs and the children are ended."""

    def handler(signum: int, _frame: object) -> NoReturn:
        raise Interrupted(128 + signum)

    signal.signal(signal.SIGINT, handler)
    signal.signal(signal.SIGTERM, handler)


def plural(count: int, word: str, words: str | None = None) -> str:
    """"1 video", "2 videos"."""
    return f"{count} {word if count == 1 else words or word + 's'}"


def pattern_literal(text: str) -> str:
    """text with every '%' doubled, so that a frame pattern reads it as it is."""
    return text.replace("%", "%%")


class ToolMissing(Exception):
    pass


def find_tool(name: str, given: str | None, beside: str, me: str) -> str:
    """The program `name`: the path given on the command line, else the one
    in the folder `beside`, else the one on PATH; always an absolute path,
    since runs happen in other folders."""
    if given:
        if not os.access(given, os.X_OK):
            raise ToolMissing(f"{given}: not an executable")
        return os.path.abspath(given)
    candidate = os.path.join(beside, name)
    if os.access(candidate, os.X_OK):
        return candidate
    found = shutil.which(name)
    if found:
        return os.path.abspath(found)
    raise ToolMissing(f"{name}: not found next to {me} nor on PATH")


class Stopped(Exception):
    """The pool was stopped: no further child is started."""


def run_child(argv: list[str], children: _Children | None = None,
              lock: AbstractContextManager[Any] | None = None, **popen_args: Any) -> int:
    """Runs argv to its end and returns its exit status (127 when it cannot
    be started, with the reason in `error_file` when one is given). A child
    that is still running when this thread is interrupted is ended; one that
    a pool's stop() ended raises Stopped."""
    error_file = popen_args.pop("error_file", None)
    lock = lock or threading.Lock()
    with lock:
        if children is not None and children.stopped:
            raise Stopped()
        try:
            child = subprocess.Popen(argv, **popen_args)
        except OSError as e:
            if error_file is not None:
                error_file.write(f"{argv[0]}: {e.strerror}\n".encode())
                error_file.flush()
            return 127
        if children is not None:
            children.add(child)
    try:
        code = child.wait()
        if children is not None and children.stopped:
            raise Stopped()  # ended by stop(): its status is no result
        return code
    finally:
        if child.poll() is None:
            child.terminate()
            child.wait()
        if children is not None:
            with lock:
                children.discard(child)


class _Children(set):
    stopped = False


class Pool:
    """Runs jobs `width` at a time, each a function in a thread of its own.
    Jobs start their processes through run(), so that stop() can end every
    child at once (on an interrupt) and no new one starts afterwards."""

    def __init__(self, width: int) -> None:
        self.width = max(1, width)
        self._children = _Children()
        self._lock = threading.Lock()

    def run(self, argv: list[str], **popen_args: Any) -> int:
        return run_child(argv, self._children, self._lock, **popen_args)

    def stop(self) -> None:
        with self._lock:
            self._children.stopped = True
            for child in self._children:
                if child.poll() is None:
                    child.terminate()

    def each(self, job: Callable[[T], R], items: Iterable[T],
             on_start: Callable[[T], None] | None = None) -> Iterator[tuple[T, R]]:
        """Yields (item, result) in the order the jobs finish; result is what
        job(item) returned. An exception in the caller (an interrupt) stops
        the children and waits for the threads before it goes on."""
        executor = ThreadPoolExecutor(self.width)
        try:
            futures = {}
            queue = list(items)
            while queue or futures:
                while queue and len(futures) < self.width:
                    item = queue.pop(0)
                    if on_start:
                        on_start(item)
                    futures[executor.submit(job, item)] = item
                finished, _ = wait(list(futures), return_when=FIRST_COMPLETED)
                for future in finished:
                    yield futures.pop(future), future.result()
        finally:
            self.stop()
            executor.shutdown(wait=True, cancel_futures=True)


def exit_status(code: int) -> int:
    """A child's exit status as the shell shows it: 128 + N when signal N ended it."""
    return 128 - code if code < 0 else code


def core_count() -> int:
    """Cores this process may use (what nproc prints)."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


# ---- What the programs print ---------------------------------------------------


def read_kv(text: str) -> dict[str, str]:
    """key=value lines as zemb-eval --kv prints them, values as text."""
    values = {}
    for line in text.splitlines():
        key, sep, value = line.partition("=")
        if sep:
            values[key.strip()] = value.strip()
    return values


def read_score(text: str) -> dict[str, Any] | None:
    """A complete score from zemb-eval --kv: the frame range and counts as
    integers, the figures as floats (nan where zemb-eval prints nan); None
    when any of them is missing."""
    kv = read_kv(text)
    try:
        score = {name: int(kv[name]) for name in ("first", "last", "frames") + COUNT_NAMES}
        score.update({name: float(kv[name]) for name in FIGURE_NAMES})
    except (KeyError, ValueError):
        return None
    return score


# "  ZEMB (no I/O): 123.4567\tmsecs\t(1.2345 msecs/frame\t810.04 fps)"
_TIMES = re.compile(r"ZEMB \(no I/O\):\s*([0-9.]+)\s+msecs\s+\(([0-9.]+) msecs/frame")


def online_ms_per_frame(stdout_text: str) -> float | None:
    """zemb's own figure for segmenting one frame of the online phase, from
    the report that follows "Times for online phase"; None when absent."""
    _, found, online = stdout_text.partition("Times for online phase")
    match = _TIMES.search(online) if found else None
    return float(match.group(2)) if match else None

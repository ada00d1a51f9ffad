"""zemb-batch's backend on this machine: a few videos at a time, each in a
thread that runs the task and its processes."""

from __future__ import annotations

import argparse

import zembtools
from zembtask import ME, Progress, Status, Task, err, run_task, task_state


def run_local(tasks: list[Task], options: argparse.Namespace, progress: Progress) -> None:
    width = options.local or max(1, zembtools.core_count() // max(1, options.threads))
    err(f"{ME}: on this machine, {min(width, len(tasks))} at a time")
    pool = zembtools.Pool(width)

    def job(task: Task) -> Status | None:
        try:
            run_task(task, pool.run)
        except zembtools.Stopped:
            pass
        except OSError as e:  # this video's folder is unusable; the others go on
            return {"reason": f"{e.filename}: {e.strerror}"}
        return None

    def started(task: Task) -> None:
        progress.update(task, "running")

    jobs = pool.each(job, tasks, on_start=started)
    try:
        for task, fault in jobs:
            state, status = task_state(task)
            progress.update(task, state or "failed", fault or status)
    finally:
        jobs.close()

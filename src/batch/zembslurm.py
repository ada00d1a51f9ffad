"""zemb-batch's backend on Slurm: one job array, a task a video, each a
`zemb-batch --task`; the memory a task asks for comes from zemb's own
estimate."""

from __future__ import annotations

import argparse
import os
import re
import shlex
import subprocess
from typing import Iterable

import zembtools
from zembtask import (ME, SCRIPT, Fault, Progress, Task, err, results_folder, task_state, watch,
                      write_file, write_status)

FALLBACK_MEMORY_MIB = 4096  # per Slurm task when zemb gives no estimate
MEMORY_MARGIN = 1.25        # on zemb's estimate: decoder, allocator, page rounding
MEMORY_BASE_MIB = 256       # the task's Python, zemb-eval and shared libraries
ESTIMATE_TIMEOUT = 120      # seconds for one zemb --estimate-memory
DEFAULT_TIME_LIMIT = "2:00:00"


def memory_per_task(tasks: list[Task], options: argparse.Namespace) -> str:
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


def index_ranges(indices: Iterable[int]) -> str:
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


def slurm_command(argv: list[str], what: str) -> subprocess.CompletedProcess[str] | None:
    try:
        return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as e:
        if isinstance(e, OSError):
            raise Fault(f"{argv[0]}: {e.strerror} ({what}; Debian package: slurm-client)")
        return None


def run_slurm(tasks: list[Task], options: argparse.Namespace, progress: Progress, manifest: str,
              memory: str) -> None:
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

    def array_in_queue() -> bool:
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


def slurm_accounting(job: str) -> dict[int, str] | None:
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

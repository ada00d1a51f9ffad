"""zemb-batch's backend through GNU parallel: each video is one
`zemb-batch --task` that parallel starts here or on the machines of an
--sshloginfile."""

from __future__ import annotations

import argparse
import os
import signal
import subprocess

from zembtask import ME, SCRIPT, Fault, Progress, Task, err, watch


def run_parallel(tasks: list[Task], options: argparse.Namespace, progress: Progress, manifest: str) -> None:
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

#!/usr/bin/env bash
# zemb-batch --slurm on a one-node Slurm cluster started here for the test:
# the table must be --local's, the damaged video must fail and be submitted
# once more on its own, and a results folder whose name is shell code, with
# spaces and Slurm's own % patterns, must work and run nothing. Installs slurm-wlm and munge when missing (root).
# The daemons this script starts are stopped by their PIDs, also on failure.
# Usage: slurm_test.sh [build folder]   (default: build)
set -euo pipefail
source "$(dirname "$0")/common.sh"

pids=()  # daemons started here, stopped in reverse order
stop_daemons() {
    if [[ -n ${SLURM_CONF:-} ]]; then
        scancel --user="$(id -un)" >/dev/null 2>&1 || true
    fi
    local i pid
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        pid=${pids[i]}
        kill "$pid" 2>/dev/null || continue
        local until=$((SECONDS + 5))
        while kill -0 "$pid" 2>/dev/null && ((SECONDS < until)); do
            sleep 0.1
        done
    done
    rm -rf "$work"
}
trap stop_daemons EXIT

missing=()
command -v slurmctld >/dev/null || missing+=(slurm-wlm)
command -v munged >/dev/null || missing+=(munge)
if ((${#missing[@]} > 0)); then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >/dev/null
fi

make_dataset
require_batch_cli

# munge: the one already running serves, else one of ours.
if ! { [[ -f /run/munge/munged.pid ]] && kill -0 "$(cat /run/munge/munged.pid)" 2>/dev/null; }; then
    [[ -f /etc/munge/munge.key ]] || mungekey -c
    mkdir -p /run/munge && chown munge:munge /run/munge
    setpriv --reuid=munge --regid=munge --init-groups /usr/sbin/munged -F >"$work/munged.log" 2>&1 &
    pids+=($!)
fi

# One node, this machine: its cores, most of its memory, ports that are free.
read -r controller_port node_port < <(python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*(x.getsockname()[1] for x in s))')
memory=$(($(free -m | awk '/^Mem:/ { print $2 }') * 9 / 10))
mkdir -p "$work/slurm/state" "$work/slurm/spool" "$work/slurm/log"
cat >"$work/slurm/slurm.conf" <<CONF
ClusterName=zembtest
SlurmctldHost=localhost
SlurmctldPort=$controller_port
SlurmdPort=$node_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
StateSaveLocation=$work/slurm/state
SlurmdSpoolDir=$work/slurm/spool
SlurmctldPidFile=$work/slurm/slurmctld.pid
SlurmdPidFile=$work/slurm/slurmd.pid
SlurmctldLogFile=$work/slurm/log/slurmctld.log
SlurmdLogFile=$work/slurm/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
MpiDefault=none
ReturnToService=2
NodeName=localhost CPUs=$(nproc) RealMemory=$memory State=UNKNOWN
PartitionName=debug Nodes=localhost Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF=$work/slurm/slurm.conf
slurmctld -D -f "$SLURM_CONF" >"$work/slurm/log/slurmctld.out" 2>&1 &
pids+=($!)
slurmd -D -f "$SLURM_CONF" >"$work/slurm/log/slurmd.out" 2>&1 &
pids+=($!)
until=$((SECONDS + 30))
while [[ $(sinfo -h -o %t 2>/dev/null) != idle ]] && ((SECONDS < until)); do
    sleep 0.5
done
check "the one-node cluster is up" test "$(sinfo -h -o %t)" == idle

cd "$work"  # where the jobs start, and where the hostile name would touch its file
hostile='slurm run $(touch pwned) `touch pwned`;touch pwned; %j '"'q\""
run_batch local --local 2
folder=$hostile run_batch slurm --slurm
results=$work/$hostile
echo "wall time: --local 2 $(cat "$work/local.seconds") s, --slurm $(cat "$work/slurm.seconds") s"

check "--local ends with status 1 for the damaged video" status_is local 1
check "--slurm ends with status 1 for the damaged video" status_is slurm 1
check "--slurm prints the table of --local" same_table local slurm
check "the damaged video is reported with its log" \
    grep -qF "thermal/damaged failed: zemb ended with status 1" "$work/slurm.err"
check "... and its log in the results folder" grep -qF "log: $results/thermal/damaged/zemb.log" "$work/slurm.err"
check "only the failed task is submitted again" grep -qx '#SBATCH --array=4' "$results/.zemb-batch/job.sh"
check "one core a task, as zemb's -j" grep -qx '#SBATCH --cpus-per-task=1' "$results/.zemb-batch/job.sh"
check "the results folder's name ran nothing" test -z "$(find "$work" -name pwned)"
check "Slurm wrote each task's output into the results folder" \
    test "$(ls "$results/.zemb-batch" | grep -c '^slurm-[0-9]*_[0-4]\.out$')" -eq 6
finish

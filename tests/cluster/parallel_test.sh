#!/usr/bin/env bash
# zemb-batch --parallel on this machine (GNU parallel, with an --sshloginfile
# that names this machine) must give the same table as --local.
# Usage: parallel_test.sh [build folder]   (default: build)
set -euo pipefail
source "$(dirname "$0")/common.sh"
trap 'rm -rf "$work"' EXIT

if ! command -v parallel >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q parallel >/dev/null
fi

make_dataset
require_batch_cli
echo ":" >"$work/machines"
run_batch local --local 2
run_batch parallel --parallel --sshloginfile "$work/machines"
echo "wall time: --local 2 $(cat "$work/local.seconds") s, --parallel $(cat "$work/parallel.seconds") s"

check "--local ends with status 1 for the damaged video" status_is local 1
check "--parallel ends with status 1 for the damaged video" status_is parallel 1
check "--parallel prints the table of --local" same_table local parallel
check "the damaged video is reported with its log" \
    grep -q "thermal/damaged failed: .*log: $work/parallel/thermal/damaged/zemb.log" "$work/parallel.err"
check "GNU parallel ran every video, then the failed one again" \
    test "$(grep -c -- '--task' "$work/parallel/.zemb-batch/parallel.joblog")" -eq 6
finish

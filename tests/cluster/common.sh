# Shared by the cluster tests: where things are, the small dataset with one
# damaged video, zemb-batch's reference table from this machine, and the
# check that the zemb under test reads frame patterns and writes -o/-O masks.
# Sourced; the caller sets `set -euo pipefail` and a trap that removes $work.

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
zemb=${ZEMB_EXE:-$build/zemb}
batch=$build/zemb-batch
work=$(mktemp -d "${TMPDIR:-/tmp}/zemb-cluster-test.XXXXXX")
passed=0
failed=0

check() {  # description, then the command that must succeed
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ok: $what"
    else
        failed=$((failed + 1))
        echo "FAILED: $what"
    fi
}

# The tests drive zemb through frame patterns and -o/-O. A zemb without them
# skips the test, except where ZEMB_REQUIRE_BATCH_CLI=1 (CI) makes it a fault.
require_batch_cli() {
    local probe=$work/probe
    mkdir -p "$probe"
    if "$zemb" "$work/ds/baseline/squares/input/in%06d.jpg" 1 2 -K 1 -o "$probe" -O 'bin%06d.png' \
        </dev/null >"$probe/log" 2>&1 && [[ -s $probe/bin000002.png ]]; then
        return 0
    fi
    echo "$zemb does not read frame patterns or write masks with -o/-O (see $probe/log)"
    if [[ ${ZEMB_REQUIRE_BATCH_CLI:-0} == 1 ]]; then
        echo "0 passed, 1 failed"
        exit 1
    fi
    echo "SKIPPED"
    exit 0
}

# The dataset, and a copy of one video with a damaged frame: it fails on
# every backend, with the same table.
make_dataset() {
    python3 "$repo/tests/batch/make_dataset.py" "$work/ds"
    cp -r "$work/ds/thermal/corridor" "$work/ds/thermal/damaged"
    head -c 300 "$work/ds/thermal/corridor/input/in000120.jpg" >"$work/ds/thermal/damaged/input/in000120.jpg"
}

# zemb-batch on the dataset: $1 names the run and its results folder
# $work/$1 (or $work/$folder when `folder` is set), the rest are its options.
# Table in $work/$1.table (results folder written as RESULTS), messages in
# $work/$1.err, exit status in $work/$1.status, wall seconds in $work/$1.seconds.
run_batch() {
    local name=$1 start status=0 out
    local results=$work/${folder:-$1}
    shift
    start=$(date +%s.%N)
    "$batch" --zemb "$zemb" "$@" "$work/ds" "$results" >"$work/$name.out" 2>"$work/$name.err" || status=$?
    echo "$status" >"$work/$name.status"
    awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f\n", b - a }' >"$work/$name.seconds"
    out=$(<"$work/$name.out")
    printf '%s\n' "${out//"$results"/RESULTS}" >"$work/$name.table"
}

same_table() { diff "$work/$1.table" "$work/$2.table"; }
status_is() { [[ $(cat "$work/$1.status") == "$2" ]] || { cat "$work/$1.err"; false; }; }

finish() {
    echo "$passed passed, $failed failed"
    ((failed == 0))
}

#!/usr/bin/env bash
# The benchmark in one command: builds what it needs into bench/build,
# unpacks the sequences into bench/work, runs the reference engine
# (zemb-reference) and the fast one (zemb) side by side, then the
# per-function figures and the input routes (bench/routes.sh).
#
#   bench/run.sh                 # everything
#   ZEMB_DATA=/path/to/data      # where walk-320x240.tar.xz and cdnet-highway.tar are
#                                # (default: ../shared/data beside the repository)
#   ZEMB_BENCH_REPEATS=5         # runs per figure; the median is shown (default 3)
#   ZEMB_HIGHWAY_LAST=500        # last highway frame used (default 500)
#   ZEMB_BENCH_MICRO=0           # skip the per-function figures
#   ZEMB_BENCH_ROUTES=0          # skip the input routes (bench/routes.sh)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
data=${ZEMB_DATA:-$root/../shared/data}
repeats=${ZEMB_BENCH_REPEATS:-3}
highway_last=${ZEMB_HIGHWAY_LAST:-500}
build=$root/bench/build
work=$root/bench/work

# The data first (unless already unpacked), so that a wrong path shows at
# once rather than after the build.
need_data() {  # archive, a file it unpacks to
  if [ -f "$2" ] || [ -f "$data/$1" ]; then return; fi
  echo "bench/run.sh: $data/$1 not found." >&2
  echo "Point ZEMB_DATA at the folder that holds walk-320x240.tar.xz and cdnet-highway.tar:" >&2
  echo "  ZEMB_DATA=/path/to/data bench/run.sh" >&2
  exit 1
}
need_data walk-320x240.tar.xz "$work/walk/walk.300.ppm"
need_data cdnet-highway.tar "$work/highway/in.$highway_last.ppm"

source "$root/bench/prepare.sh"
build_bench
echo "== Preparing the sequences (bench/work)"
prepare_walk
prepare_highway
mkdir -p "$work/out"

model=$(lscpu | sed -n 's/^Model name:[[:space:]]*//p' | head -1)
units=$(grep -o -w -E 'avx2|avx512f' /proc/cpuinfo | sort -u | tr '\n' ' ')
echo
echo "Machine: $model, $(nproc) cores; vector units: ${units:-none (plain SSE2)}"
echo "Figures: median of $repeats runs. ms/frame: segmentation and update (the program's"
echo "\"(no I/O)\" figure); wall: whole process (reading frames to writing masks) per frame."
echo

printf '%-8s %-10s %-10s %12s %12s %12s %9s\n' sequence settings engine "calib ms/f" "online ms/f" "wall ms/f" "peak MB"
measure() {  # name prefix first last label settings...
  local seq=$1 prefix=$2 first=$3 last=$4 label=$5; shift 5
  local frames=$((last - first + 1)) ref fast
  ref=$("$build/bench/zemb_measure" "$repeats" "$work/out" "$build/zemb-reference" "$prefix" "$first" "$last" "$@")
  fast=$("$build/bench/zemb_measure" "$repeats" "$work/out" "$build/zemb" "$prefix" "$first" "$last" "$@")
  for pair in "reference:$ref" "fast:$fast"; do
    local name=${pair%%:*} fig=${pair#*:}
    echo "$fig" | awk -v s="$seq" -v l="$label" -v e="$name" -v f="$frames" \
      '{ printf "%-8s %-10s %-10s %12s %12s %12.3f %9.1f\n", s, l, e, $1, $2, 1000 * $3 / f, $4 / 1024 }'
  done
  echo "$ref $fast" | awk -v f="$frames" \
    '{ printf "%-8s %-10s %-10s %11.1fx %11.1fx %11.1fx\n", "", "", "ratio", $1 / $5, $2 / $6, $3 / $7 }'
}
measure walk "$work/walk/walk" 1 300 defaults
measure walk "$work/walk/walk" 1 300 "-n 5 -s" -n 5 -s
measure highway "$work/highway/in" 1 "$highway_last" defaults
measure highway "$work/highway/in" 1 "$highway_last" "-n 5 -s" -n 5 -s

echo
if [ -x "$build/bench/zemb_opencv" ]; then
  echo "OpenCV background subtractors (apply() only, one thread, ms/frame):"
  printf '%-8s %10s %10s\n' sequence MOG2 KNN
  printf '%-8s %10s %10s\n' walk $("$build/bench/zemb_opencv" "$work/walk/walk" 1 300)
  printf '%-8s %10s %10s\n' highway $("$build/bench/zemb_opencv" "$work/highway/in" 1 "$highway_last")
else
  echo "OpenCV's video module is not installed (libopencv-dev): MOG2 and KNN skipped."
fi

if [ "${ZEMB_BENCH_MICRO:-1}" != 0 ]; then
  echo
  echo "== Per-function figures (walk 320 x 240, n = 3, frame 201 against the model of frames 1..200)"
  "$build/bench/zemb_micro" "$work/walk/walk" --benchmark_repetitions="$repeats" \
    --benchmark_report_aggregates_only=true 2>/dev/null | grep -E '^(Benchmark|BM_.*_median|-)' || true
fi

if [ "${ZEMB_BENCH_ROUTES:-1}" != 0 ]; then
  echo
  ZEMB_BENCH_BUILT=1 bash "$root/bench/routes.sh"
fi

#!/usr/bin/env bash
# The benchmark in one command: builds what it needs into bench/build,
# prepares the sequences in bench/work, then for each sequence and size runs,
# interleaved and repeated: zemb on one thread, zemb on every core, the
# reference engine (zemb-reference), and OpenCV's MOG2 and KNN on one thread.
# Then whole runs as a user makes them (video in, PNG masks out): zemb against
# a Python script with OpenCV's MOG2 (bench/mog2_video.py). Then the
# per-function figures and the input routes (bench/routes.sh).
#
#   bench/run.sh
#   ZEMB_DATA=/path/to/data   # walk-320x240.tar.xz, cdnet-highway.tar, vtest.avi
#                             # (default: ../shared/data beside the repository)
#   ZEMB_BENCH_REPEATS=3      # runs per figure; the median is shown
#   ZEMB_HIGHWAY_LAST=400     # last highway frame used (default 400)
#   ZEMB_BENCH_UNIT=avx2      # force zemb's vector unit: scalar, avx2 or avx512
#   ZEMB_BENCH_ALSO_UNITS="avx2 scalar"  # zemb -j 1 rows with these units forced too
#   ZEMB_BENCH_SIZES="320 1080 e720 e1080"  # which rows: the 320 x 240 sequences,
#                             # the 1080p clip, the end-to-end runs on the 720p
#                             # and the 1080p H.264 clip (any of them)
#   ZEMB_BENCH_MICRO=0        # skip the per-function figures
#   ZEMB_BENCH_ROUTES=0       # skip the input routes (bench/routes.sh)
#   ZEMB_BENCH_REGION=0       # skip the rows of highway in a 25 % region (--roi)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
data=${ZEMB_DATA:-$root/../shared/data}
repeats=${ZEMB_BENCH_REPEATS:-3}
sizes=${ZEMB_BENCH_SIZES:-320 1080 e720 e1080}
also_units=${ZEMB_BENCH_ALSO_UNITS:-}
build=$root/bench/build
work=$root/bench/work
threads=$(nproc)

# The sequences: walk frames 1..300 and highway frames 1..400 at 320 x 240
# with the default settings (K = 200), and a 1920 x 1080 clip of 80 frames of
# vtest.avi, scaled with ffmpeg's scale filter, run with K = 40.
walk_last=300
highway_last=${ZEMB_HIGHWAY_LAST:-400}
hd_frames=80
hd_K=40
# End to end: vtest.avi taken as 30 frames a second (no frame repeated),
# scaled and encoded as H.264 by the ffmpeg tool's defaults; frames 1..600 of
# the 720p clip, 1..300 of the 1080p one, with zemb's default settings.
e720_last=600
e1080_last=300

if [ -n "${ZEMB_BENCH_UNIT:-}" ]; then
  export ZEMB_VECTOR_UNIT=$ZEMB_BENCH_UNIT
fi

# The data first (unless already unpacked), so that a wrong path shows at
# once rather than after the build.
need_data() {  # archive, a file it unpacks to
  if [ -f "$2" ] || [ -f "$data/$1" ]; then return; fi
  echo "bench/run.sh: $data/$1 not found." >&2
  echo "Point ZEMB_DATA at the folder that holds walk-320x240.tar.xz, cdnet-highway.tar and vtest.avi:" >&2
  echo "  ZEMB_DATA=/path/to/data bench/run.sh" >&2
  exit 1
}
if [[ " $sizes " == *" 320 "* ]]; then
  need_data walk-320x240.tar.xz "$work/walk/walk.$walk_last.ppm"
  need_data cdnet-highway.tar "$work/highway/in.$highway_last.ppm"
fi
if [[ " $sizes " == *" 1080 "* ]]; then
  need_data vtest.avi "$work/hd/hd.$hd_frames.ppm"
fi
for e in e720 e1080; do
  if [[ " $sizes " == *" $e "* ]]; then need_data vtest.avi "$work/e2e/$e.mp4"; fi
done

source "$root/bench/prepare.sh"
build_bench
echo "== Preparing the sequences (bench/work)"
if [[ " $sizes " == *" 320 "* ]]; then
  prepare_walk
  prepare_highway
fi
if [[ " $sizes " == *" 1080 "* ]] && [ ! -f "$work/hd/hd.$hd_frames.ppm" ]; then
  command -v ffmpeg >/dev/null || { echo "ffmpeg not found: install ffmpeg" >&2; exit 1; }
  mkdir -p "$work/hd"
  ffmpeg -loglevel error -y -i "$data/vtest.avi" -frames:v "$hd_frames" -vf scale=1920:1080 \
    -start_number 1 "$work/hd/hd.%d.ppm"
fi
# clip_of size width height last: the H.264 clip of the end-to-end rows.
clip_of() {
  [ -f "$work/e2e/$1.mp4" ] && return
  command -v ffmpeg >/dev/null || { echo "ffmpeg not found: install ffmpeg" >&2; exit 1; }
  mkdir -p "$work/e2e"
  ffmpeg -loglevel error -y -r 30 -i "$data/vtest.avi" -frames:v "$4" -vf "scale=$2:$3" \
    -c:v libx264 -pix_fmt yuv420p "$work/e2e/$1.tmp.mp4"
  mv "$work/e2e/$1.tmp.mp4" "$work/e2e/$1.mp4"
}
if [[ " $sizes " == *" e720 "* ]]; then clip_of e720 1280 720 "$e720_last"; fi
if [[ " $sizes " == *" e1080 "* ]]; then clip_of e1080 1920 1080 "$e1080_last"; fi
mkdir -p "$work/out"

unit=$("$build/bench/zemb_unit")
model=$(lscpu | sed -n 's/^Model name:[[:space:]]*//p' | head -1)
family=$(lscpu | sed -n 's/^CPU family:[[:space:]]*//p' | head -1)
echo
echo "Machine: $model (family $family), $threads cores; zemb's vector unit: $unit${ZEMB_VECTOR_UNIT:+ (forced)}"
echo "Date: $(date -u '+%Y-%m-%d %H:%M UTC'); load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Figures: median of $repeats interleaved runs. ms/frame: segmentation and update (zemb's"
echo "\"(no I/O)\" figures), apply() for OpenCV; wall: the whole zemb process per frame."
echo "End to end: wall and CPU (user + system) time of each whole process."
have_opencv=0
[ -x "$build/bench/zemb_opencv" ] && have_opencv=1
if [ $have_opencv = 0 ] && [[ " $sizes " == *" 320 "* || " $sizes " == *" 1080 "* ]]; then
  echo "OpenCV's video module is not installed (libopencv-dev): MOG2 and KNN skipped."
fi
echo

# Column k of the median run: the lines are "calib online wall_s rss_kb".
median() {  # k lines...
  local k=$1; shift
  printf '%s\n' "$@" | awk -v k="$k" '{ print $k }' | sort -g |
    awk '{ v[NR] = $1 } END { print (NR ? v[int((NR + 1) / 2)] : "-") }'
}

# Arithmetic on the figures.
calc() { awk "BEGIN { printf \"%.4f\", $1 }"; }

if [[ " $sizes " == *" 320 "* || " $sizes " == *" 1080 "* ]]; then
  printf '%-22s %-16s %11s %11s %11s %9s\n' sequence engine "calib ms/f" "online ms/f" "wall ms/f" "peak MB"
fi
engine_row() {  # label name frames runs...
  local label=$1 name=$2 frames=$3; shift 3
  printf '%-22s %-16s %11s %11s %11.3f %9.1f\n' "$label" "$name" "$(median 1 "$@")" \
    "$(median 2 "$@")" "$(calc "$(median 3 "$@") * 1000 / $frames")" "$(calc "$(median 4 "$@") / 1024")"
}
bench_sequence() {  # label prefix first last switches...
  local label=$1 prefix=$2 first=$3 last=$4; shift 4
  local frames=$((last - first + 1)) i
  local -a one=() all=() ref=() cv=()
  local -A forced=()
  for ((i = 0; i < repeats; i++)); do
    one+=("$("$build/bench/zemb_measure" 1 "$work/out" "$build/zemb" "$prefix" "$first" "$last" "$@" -j 1)")
    for u in $also_units; do
      forced[$u]+="$(ZEMB_VECTOR_UNIT=$u "$build/bench/zemb_measure" 1 "$work/out" "$build/zemb" "$prefix" "$first" "$last" "$@" -j 1)"$'\n'
    done
    all+=("$("$build/bench/zemb_measure" 1 "$work/out" "$build/zemb" "$prefix" "$first" "$last" "$@" -j "$threads")")
    ref+=("$("$build/bench/zemb_measure" 1 "$work/out" "$build/zemb-reference" "$prefix" "$first" "$last" "$@")")
    if [ $have_opencv = 1 ]; then
      cv+=("$("$build/bench/zemb_opencv" "$prefix" "$first" "$last")")
    fi
  done
  engine_row "$label" "zemb -j 1" "$frames" "${one[@]}"
  for u in $also_units; do
    local -a runs=()
    mapfile -t runs < <(printf '%s' "${forced[$u]}")
    engine_row "" "zemb -j 1 $u" "$frames" "${runs[@]}"
  done
  engine_row "" "zemb -j $threads" "$frames" "${all[@]}"
  engine_row "" "zemb-reference" "$frames" "${ref[@]}"
  if [ $have_opencv = 1 ]; then
    local mog2 knn online_one online_all
    mog2=$(median 1 "${cv[@]}")
    knn=$(median 2 "${cv[@]}")
    printf '%-22s %-16s %11s %11.4f\n' "" "MOG2, 1 thread" "" "$mog2"
    printf '%-22s %-16s %11s %11.4f\n' "" "KNN, 1 thread" "" "$knn"
    online_one=$(median 2 "${one[@]}")
    online_all=$(median 2 "${all[@]}")
    printf '%-22s ZEMB/MOG2 online: %.2f (-j 1), %.2f (-j %s); -j %s speed-up %.2fx\n' "" \
      "$(calc "$online_one / $mog2")" "$(calc "$online_all / $mog2")" "$threads" "$threads" \
      "$(calc "$online_one / $online_all")"
  fi
}
# A region of the middle half of the rows and of the columns (a quarter of
# the pixels) for the frames whose first is $1, written to $2 as a PPM.
quarter_region() {  # first frame, region file
  python3 - "$1" "$2" <<'PY'
import sys
magic, w, h = open(sys.argv[1], "rb").read(64).split()[:3]
w, h = int(w), int(h)
rows = [bytes(3 * w) if not h // 4 <= r < h // 4 + h // 2 else
        bytes(3 * (w // 4)) + b"\xff" * (3 * (w // 2)) + bytes(3 * (w - w // 4 - w // 2)) for r in range(h)]
open(sys.argv[2], "wb").write(b"P6\n%d %d\n255\n" % (w, h) + b"".join(rows))
PY
}
# zemb -j 1 on the whole frame and in the quarter region, interleaved; the
# ratio of their online figures is what a region saves.
bench_region() {  # label prefix first last switches...
  local label=$1 prefix=$2 first=$3 last=$4; shift 4
  local frames=$((last - first + 1)) i roi=$work/out/quarter-region.ppm
  local -a whole=() part=()
  quarter_region "$prefix.$first.ppm" "$roi"
  for ((i = 0; i < repeats; i++)); do
    whole+=("$("$build/bench/zemb_measure" 1 "$work/out" "$build/zemb" "$prefix" "$first" "$last" "$@" -j 1)")
    part+=("$("$build/bench/zemb_measure" 1 "$work/out" "$build/zemb" "$prefix" "$first" "$last" "$@" -j 1 --roi "$roi")")
  done
  engine_row "$label" "zemb -j 1" "$frames" "${whole[@]}"
  engine_row "" "zemb -j 1, ROI 25%" "$frames" "${part[@]}"
  printf '%-22s ROI 25%%/whole frame online: %.2f\n' "" \
    "$(calc "$(median 2 "${part[@]}") / $(median 2 "${whole[@]}")")"
}
if [[ " $sizes " == *" 320 "* ]]; then
  bench_sequence "walk 320x240, 1-$walk_last" "$work/walk/walk" 1 "$walk_last"
  bench_sequence "highway 320x240, 1-$highway_last" "$work/highway/in" 1 "$highway_last"
  if [ "${ZEMB_BENCH_REGION:-1}" != 0 ]; then
    bench_region "highway, 25% region" "$work/highway/in" 1 "$highway_last"
  fi
fi
if [[ " $sizes " == *" 1080 "* ]]; then
  bench_sequence "vtest 1920x1080, 1-$hd_frames" "$work/hd/hd" 1 "$hd_frames" -K "$hd_K"
fi

# End to end: whole processes, video in and a PNG mask per online frame out,
# zemb against bench/mog2_video.py on one thread and on every core.
python=/usr/bin/python3
have_cv2=0
if [[ " $sizes " == *" e720 "* || " $sizes " == *" e1080 "* ]]; then
  if "$python" -c 'import cv2' 2>/dev/null; then
    have_cv2=1
  else
    echo "The Python MOG2 rows need OpenCV for Debian's Python: apt-get install python3-opencv"
  fi
  echo
  printf '%-22s %-18s %9s %9s %9s %11s\n' "end to end" program "wall s" "wall ms/f" "CPU s" "zemb/Python"
fi
e2e_row() {  # label name frames runs...
  local label=$1 name=$2 frames=$3; shift 3
  printf '%-22s %-18s %9.2f %9.2f %9.2f' "$label" "$name" "$(median 3 "$@")" \
    "$(calc "$(median 3 "$@") * 1000 / $frames")" "$(median 5 "$@")"
}
bench_e2e() {  # label clip last
  local label=$1 clip=$2 last=$3 i j
  local -A runs=()
  local -a counts=(1 "$threads")
  [ "$threads" = 1 ] && counts=(1)
  for ((i = 0; i < repeats; i++)); do
    for j in "${counts[@]}"; do
      runs[zemb$j]+="$("$build/bench/zemb_measure" 1 "$work/out" "$build/zemb" "$clip" 1 "$last" \
        -j "$j" -o e2e-zemb -O 'bin%06d.png')"$'\n'
      if [ $have_cv2 = 1 ]; then
        runs[py$j]+="$("$build/bench/zemb_measure" 1 "$work/out" "$python" "$root/bench/mog2_video.py" \
          "$clip" 1 "$last" e2e-python "$j")"$'\n'
      fi
    done
  done
  local -a z p zemb_one
  for j in "${counts[@]}"; do
    mapfile -t z < <(printf '%s' "${runs[zemb$j]}")
    [ "$j" = 1 ] && zemb_one=("${z[@]}")
    e2e_row "$label" "zemb -j $j" "$last" "${z[@]}"
    if [ $have_cv2 = 1 ]; then
      mapfile -t p < <(printf '%s' "${runs[py$j]}")
      printf ' %11.2f\n' "$(calc "$(median 3 "${z[@]}") / $(median 3 "${p[@]}")")"
      e2e_row "" "Python MOG2, $j th." "$last" "${p[@]}"
    fi
    echo
    label=""
  done
  if [ "${#counts[@]}" = 2 ]; then
    printf '%-22s zemb -j %s against -j 1, wall: %.2f\n' "" "$threads" \
      "$(calc "$(median 3 "${z[@]}") / $(median 3 "${zemb_one[@]}")")"
  fi
  echo
}
if [[ " $sizes " == *" e720 "* ]]; then
  bench_e2e "H.264 1280x720, 1-$e720_last" "$work/e2e/e720.mp4" "$e720_last"
fi
if [[ " $sizes " == *" e1080 "* ]]; then
  bench_e2e "H.264 1920x1080, 1-$e1080_last" "$work/e2e/e1080.mp4" "$e1080_last"
fi
echo "Load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

if [ "${ZEMB_BENCH_MICRO:-1}" != 0 ] && [[ " $sizes " == *" 320 "* ]]; then
  echo
  echo "== Per-function figures (walk 320 x 240, n = 3, frame 201 against the model of frames 1..200)"
  "$build/bench/zemb_micro" "$work/walk/walk" --benchmark_repetitions="$repeats" \
    --benchmark_report_aggregates_only=true 2>/dev/null | grep -E '^(Benchmark|BM_.*_median|-)' || true
fi

if [ "${ZEMB_BENCH_ROUTES:-1}" != 0 ]; then
  echo
  ZEMB_BENCH_BUILT=1 ZEMB_HIGHWAY_LAST=$highway_last bash "$root/bench/routes.sh"
fi

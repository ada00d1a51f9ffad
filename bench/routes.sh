#!/usr/bin/env bash
# The input routes side by side: the same frames read as numbered PPM files
# and as the files they came from (the highway JPEGs through a frame
# pattern, vtest.avi as a video file). Wall time includes reading and
# decoding every frame; the masks of both routes must be the same bytes.
# bench/run.sh ends with it; it also runs on its own.
#
#   bench/routes.sh
#   ZEMB_DATA, ZEMB_BENCH_REPEATS, ZEMB_HIGHWAY_LAST   # as for bench/run.sh
#   ZEMB_VIDEO_LAST=300          # last vtest.avi frame used (default 300)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
data=${ZEMB_DATA:-$root/../shared/data}
repeats=${ZEMB_BENCH_REPEATS:-3}
highway_last=${ZEMB_HIGHWAY_LAST:-500}
video_last=${ZEMB_VIDEO_LAST:-300}
build=$root/bench/build
work=$root/bench/work

source "$root/bench/prepare.sh"
[ "${ZEMB_BENCH_BUILT:-0}" = 1 ] || build_bench
echo "== Input routes (fast engine, default settings; bench/work)"
prepare_highway
prepare_video

echo "Median of $repeats runs. ms/frame: the program's \"(no I/O)\" figures; wall: the whole"
echo "process per frame, reading and decoding included."
printf '%-8s %-14s %12s %12s %12s %9s\n' sequence route "calib ms/f" "online ms/f" "wall ms/f" "peak MB"
route() {  # sequence label folder frames arguments...
  local seq=$1 label=$2 folder=$3 frames=$4; shift 4
  rm -rf "$folder" && mkdir -p "$folder"
  "$build/bench/zemb_measure" "$repeats" "$folder" "$build/zemb" "$@" |
    awk -v s="$seq" -v l="$label" -v f="$frames" \
      '{ printf "%-8s %-14s %12s %12s %12.3f %9.1f\n", s, l, $1, $2, 1000 * $3 / f, $4 / 1024 }'
}
# Masks of frames first..last: <a>/<base a>Mask.<k>.pgm against <b>/<base b>Mask.<k>.pgm.
same_masks() {  # a base_a b base_b first last
  local k
  for ((k = $5; k <= $6; k++)); do
    cmp -s "$1/$2Mask.$k.pgm" "$3/$4Mask.$k.pgm" || { echo "masks differ: frame $k" >&2; return 1; }
  done
  echo "         masks of frames $5..$6: the same bytes on both routes"
}

route highway "PPM files" "$work/out-ppm" "$highway_last" "$work/highway/in" 1 "$highway_last"
route highway "JPEG pattern" "$work/out-jpeg" "$highway_last" \
  "$work/highway-jpg/highway/input/in%06d.jpg" 1 "$highway_last"
same_masks "$work/out-ppm" in "$work/out-jpeg" in 201 "$highway_last"
route vtest "PPM files" "$work/out-ppm" "$video_last" "$work/vtest/f" 1 "$video_last"
route vtest "video file" "$work/out-video" "$video_last" "$data/vtest.avi" 1 "$video_last"
same_masks "$work/out-ppm" f "$work/out-video" vtest 201 "$video_last"

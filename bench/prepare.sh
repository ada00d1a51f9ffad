# Sourced by the benchmark scripts: builds what they need into bench/build
# and unpacks the sequences into bench/work, once. Expects root, data,
# build, work, highway_last (and video_last for prepare_video) to be set.

build_bench() {
  echo "== Building (Release, bench/build)"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZEMB_BENCH=ON -DZEMB_TESTS=OFF >/dev/null
  cmake --build "$build" -j2 >/dev/null
}

# walk/walk.<k>.ppm, frames 1..300 at 320 x 240.
prepare_walk() {
  if [ ! -f "$work/walk/walk.300.ppm" ]; then
    mkdir -p "$work/walk"
    (cd "$work/walk" && cmake -E tar xf "$data/walk-320x240.tar.xz")
  fi
}

# highway-jpg/highway/input/in<6 digits>.jpg and highway/in.<k>.ppm, the
# same frames decoded by djpeg, for frames 1..highway_last.
prepare_highway() {
  local k f
  if [ ! -f "$(printf '%s/highway-jpg/highway/input/in%06d.jpg' "$work" "$highway_last")" ]; then
    local members=()
    for ((k = 1; k <= highway_last; k++)); do members+=("$(printf 'highway/input/in%06d.jpg' "$k")"); done
    mkdir -p "$work/highway-jpg"
    (cd "$work/highway-jpg" && cmake -E tar xf "$data/cdnet-highway.tar" "${members[@]}")
  fi
  if [ ! -f "$work/highway/in.$highway_last.ppm" ]; then
    command -v djpeg >/dev/null || { echo "djpeg not found: install libjpeg-turbo-progs" >&2; exit 1; }
    mkdir -p "$work/highway"
    for ((k = 1; k <= highway_last; k++)); do
      f=$(printf '%s/highway-jpg/highway/input/in%06d.jpg' "$work" "$k")
      djpeg -pnm "$f" > "$work/highway/in.$k.ppm"
    done
  fi
}

# vtest/f.<k>.ppm: frames 1..video_last of vtest.avi as the ffmpeg tool
# writes them (768 x 576).
prepare_video() {
  if [ ! -f "$work/vtest/f.$video_last.ppm" ]; then
    command -v ffmpeg >/dev/null || { echo "ffmpeg not found: install ffmpeg" >&2; exit 1; }
    mkdir -p "$work/vtest"
    ffmpeg -v error -i "$data/vtest.avi" -frames:v "$video_last" -start_number 1 "$work/vtest/f.%d.ppm"
  fi
}

#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a bounded time.
#
#   fuzz/run.sh [SECONDS] [TARGET...]
#
# SECONDS (default 5) is the time per target. Each target starts from its
# committed seeds in fuzz/corpus/<target>/ plus whatever earlier runs found
# in fuzz/corpus-run/<target>/ (not committed). Runs one target at a time,
# in one process. Exits non-zero when a target fails to build, or crashes,
# leaks, times out or breaks an invariant; the input that did it is left in
# fuzz/corpus-run/artifacts/<target>/. Without clang++ or libFuzzer it says so and
# exits 0, so that a machine without them can still run the other checks;
# under CI (CI=true) that is a failure, so that CI never goes green unfuzzed.
# ZEMB_WERROR=ON in the environment makes compiler warnings errors (CI).
set -u

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
seconds="${1:-5}"
shift || true
all_targets=(ppm_fuzzer switches_fuzzer run_fuzzer engine_fuzzer image_fuzzer pattern_fuzzer video_fuzzer eval_fuzzer)
[ $# -gt 0 ] && targets=("$@") || targets=("${all_targets[@]}")

case "$seconds" in
  ''|*[!0-9]*) echo "fuzz/run.sh: SECONDS must be a whole number, not '$seconds'" >&2; exit 2 ;;
esac

# Skipping is fine on a developer's machine, a failure in CI.
skip_status() {
  if [ "${CI:-}" = true ]; then
    echo "fuzz/run.sh: FAILED: CI must fuzz"
    exit 1
  fi
  exit 0
}

cxx="${FUZZ_CXX:-}"
if [ -z "$cxx" ]; then
  for candidate in clang++ clang++-14 clang++-15 clang++-16; do
    if command -v "$candidate" >/dev/null 2>&1; then cxx="$candidate"; break; fi
  done
fi
if [ -z "$cxx" ]; then
  echo "fuzz/run.sh: SKIPPED: no clang++ found (libFuzzer needs clang)"
  skip_status
fi
probe_dir="$(mktemp -d)"
trap 'rm -rf "$probe_dir"' EXIT
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
  > "$probe_dir/probe.cpp"
if ! "$cxx" -fsanitize=fuzzer,address,undefined "$probe_dir/probe.cpp" -o "$probe_dir/probe" \
     >"$probe_dir/log" 2>&1; then
  echo "fuzz/run.sh: SKIPPED: $cxx cannot link libFuzzer with ASan/UBSan (install libclang-rt-dev):"
  sed 's/^/  /' "$probe_dir/log" | head -5
  skip_status
fi

build="$here/build"
echo "fuzz/run.sh: building ${targets[*]} with $cxx in $build"
mkdir -p "$build"
if ! cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DZEMB_WERROR="${ZEMB_WERROR:-OFF}" \
       >"$build/build.log" 2>&1 ||
   ! cmake --build "$build" -j2 --target "${targets[@]}" >>"$build/build.log" 2>&1; then
  tail -40 "$build/build.log"
  echo "fuzz/run.sh: FAILED: build of the fuzz targets (full log: $build/build.log)"
  exit 1
fi

failed=()
for target in "${targets[@]}"; do
  seeds="$here/corpus/$target"
  work="$here/corpus-run/$target"
  artifacts="$here/corpus-run/artifacts/$target"
  mkdir -p "$work" "$artifacts"
  # A JPEG of more scans than allowed, or a video of a few frames, needs
  # more room than a PPM header.
  case "$target" in
    image_fuzzer) max_len=16384 ;;
    video_fuzzer) max_len=65536 ;;
    *) max_len=4096 ;;
  esac
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048
           -max_len="$max_len" -print_final_stats=1 -artifact_prefix="$artifacts/")
  [ -f "$here/$target.dict" ] && options+=(-dict="$here/$target.dict")
  # The targets' own messages (refused frames, faulty switches) would bury
  # libFuzzer's; sanitizer reports still get through.
  options+=(-close_fd_mask=3)
  log="$here/build/$target.log"
  echo "fuzz/run.sh: running $target for ${seconds}s"
  "$build/$target" "${options[@]}" "$work" "$seeds" >"$log" 2>&1
  status=$?
  grep -E '^(#[0-9]+[[:space:]]+(INITED|DONE)|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" | sed 's/^/  /'
  if [ $status -ne 0 ]; then
    tail -60 "$log"
    echo "fuzz/run.sh: $target FAILED with status $status; input saved in $artifacts/"
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz/run.sh: FAILED: ${failed[*]}"
  exit 1
fi
echo "fuzz/run.sh: all ${#targets[@]} targets ran ${seconds}s each without a finding"

#!/bin/sh
# Installs the build into a temporary prefix, builds a small program against
# the installed library (find_package, then pkg-config), and runs it and
# every installed program from the prefix.
# Usage: install_test.sh CMAKE BUILD_DIR SAMPLES_DIR [CONSUMER_FLAGS]
set -eu
cmake=$1 build=$2 samples=$3 flags=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" >/dev/null

mkdir "$work/consumer"
cat >"$work/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(consumer CXX)
find_package(zemb 1 REQUIRED)
add_executable(consumer main.cpp)
target_link_libraries(consumer PRIVATE zemb::zemb)
CMAKE
cat >"$work/consumer/main.cpp" <<'CPP'
#include <zemb/zemb.h>
#include <cstdio>
#include <vector>
int main()
{
    zemb::Settings settings;
    settings.K = 2;
    zemb::Subtractor subtractor(4, 2, settings);
    std::vector<unsigned char> frame(4 * 2 * 3, 90), mask(4 * 2);
    for (int k = 0; k < 3; ++k)
        subtractor.apply(frame.data(), 4, 2, 4 * 3, zemb::PixelOrder::rgb, mask.data());
    std::printf("%lld frames, online %d, mask %d\n", subtractor.frames(),
                subtractor.phase() == zemb::Phase::online, mask[5]);
    try {
        subtractor.apply(frame.data(), 3, 2, 4 * 3, zemb::PixelOrder::rgb, mask.data());
    } catch (const zemb::Error& error) {
        std::printf("refused: %s\n", error.what());
    }
}
CPP
expected="3 frames, online 1, mask 0
refused: frame is 3 x 2, not 4 x 2 like the first frame"
"$cmake" -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
"$cmake" --build "$work/consumer/build"
got=$("$work/consumer/build/consumer")
[ "$got" = "$expected" ] || { echo "consumer printed: $got"; exit 1; }

# The same program built by hand from the pkg-config file.
if command -v pkg-config >/dev/null; then
    zemb_flags=$(PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name zemb.pc)") pkg-config --cflags --libs zemb)
    libdir=$(dirname "$(find "$prefix" -name 'libzemb.so' | head -n 1)")
    # shellcheck disable=SC2086
    c++ -std=c++17 $flags "$work/consumer/main.cpp" $zemb_flags -Wl,-rpath,"$libdir" -o "$work/by-pkg-config"
    got=$("$work/by-pkg-config")
    [ "$got" = "$expected" ] || { echo "pkg-config consumer printed: $got"; exit 1; }
fi

# Every installed program starts from the prefix: zemb on PPM frames and on
# a video (read through the installed FFmpeg module), the tools' help.
bin=$prefix/bin
cd "$work"
"$cmake" -E tar xf "$samples/walk-160x120.tar.xz"
"$bin/zemb" walk 1 12 -K 10 -o ppm </dev/null >/dev/null
[ -f ppm/walkMask.12.pgm ] || { echo "zemb wrote no mask from PPM frames"; exit 1; }
if command -v ffmpeg >/dev/null && [ -n "$(find "$prefix" -name zemb-ffmpeg.so)" ]; then
    ffmpeg -loglevel error -framerate 10 -start_number 1 -i walk.%d.ppm -frames:v 12 -c:v ffv1 walk.mkv
    "$bin/zemb" walk.mkv 1 12 -K 10 -o video </dev/null >/dev/null
    [ -f video/walkMask.12.pgm ] || { echo "zemb wrote no mask from a video"; exit 1; }
fi
for tool in zemb-eval zemb-sweep zemb-batch; do
    "$bin/$tool" --help >/dev/null || { echo "$tool --help failed from the prefix"; exit 1; }
done
echo "installed, consumed and run from $prefix"

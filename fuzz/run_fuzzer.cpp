// Fuzz target: a whole short run, in memory. The input chooses the frame size
// (up to 6 x 6), the number of frames (2 to 5), the map side n (1, 3, 5, 7 or
// 9), the calibration length, shadow removal on or off, and every real
// setting from a table of ordinary and extreme values (zero, negative, huge,
// infinite, not-a-number, subnormal); the rest of the input is the frames'
// RGB bytes. The frames go the road of a run: cone coordinates, model from
// the first frame, calibration with a falling rate, online frames with the
// mask filter, and model images rendered after every frame.
//
// Checked beyond "no crash": every mask byte is 0 or 255.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "color/color.h"
#include "fuzz_input.h"
#include "imagedata/imagedata.h"
#include "model/model.h"
#include "postproc/postproc.h"

namespace {

using namespace zemb;
using fuzz::Input;

// Sizes of the run, kept tiny so that the fuzzer tries many of them.
constexpr int largest_side = 6;
constexpr int fewest_frames = 2;
constexpr int most_frames = 5;
constexpr int block_sides[] = {1, 3, 5, 7, 9};
// Bytes at the start of the input that choose the run's shape and settings.
constexpr std::size_t shape_bytes = 5;
constexpr std::size_t setting_bytes = 8;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "run_fuzzer: invariant broken: %s\n", what);
    std::abort();
}

void check_mask(const std::uint8_t* mask, std::size_t pixels)
{
    for (std::size_t i = 0; i < pixels; ++i)
        if (mask[i] != 0 && mask[i] != 255)
            fail("mask byte other than 0 and 255");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < shape_bytes + setting_bytes)
        return 0;
    Input in(data, size);
    const int W = 1 + in.next() % largest_side;
    const int H = 1 + in.next() % largest_side;
    const int frames = fewest_frames + in.next() % (most_frames - fewest_frames + 1);
    const int n = block_sides[in.next() % 5];
    const std::uint8_t flags = in.next();
    const int K = 1 + (flags >> 1) % frames;  // calibration frames, the first included

    const fuzz::Settings settings = fuzz::read_settings(in, (flags & 1) != 0);
    const float e1 = settings.e1, e2 = settings.e2, c1 = settings.c1, c2 = settings.c2;
    const ShadowSettings& shadow = settings.shadow;

    const std::size_t N = std::size_t(W) * std::size_t(H);
    const std::size_t model_length = std::size_t(n) * std::size_t(n) * N;
    BytePlanes frame = alloc_byte_planes(plane_count, N);
    BytePlanes model_image = alloc_byte_planes(plane_count, model_length);
    FloatPlanes pixels = alloc_float_planes(plane_count, N);
    FloatPlanes current = alloc_float_planes(plane_count, model_length);
    FloatPlanes update = alloc_float_planes(plane_count, model_length);
    std::uint8_t mask[largest_side * largest_side] = {};
    WeightMatrix weights{};

    // Frame bytes as a file would interleave them; past the input's end the
    // frame keeps the previous one's samples, as a short raster does.
    auto load_frame = [&] {
        for (std::size_t i = 0; i < N; ++i)
            for (int k = 0; k < plane_count; ++k)
                frame[k][i] = in.next();
        rgb_to_cone_planes(frame, static_cast<std::ptrdiff_t>(N), pixels);
    };

    load_frame();
    init_model(current, pixels, {H, W, n});
    copy_planes(current, model_length, update);
    cone_to_rgb_planes(update, static_cast<std::ptrdiff_t>(model_length), model_image);

    const WeightMatrix kernel = weight_kernel(n, spread_for_block_side(n));
    const float c1_scaled = scaled_learning_rate(c1, n);
    const float c2_scaled = scaled_learning_rate(c2, n);
    if (K > 1) {
        for (int k = 1; k <= K - 1; ++k) {
            load_frame();
            weights = scaled_weights(kernel, n, calibration_rate(c1_scaled, c2_scaled, k, K));
            segment_frame(pixels, {H, W, n}, current, mask, {weights, e1, shadow}, update);
            check_mask(mask, N);
            copy_planes(update, model_length, current);
            cone_to_rgb_planes(update, static_cast<std::ptrdiff_t>(model_length), model_image);
        }
    }
    weights = scaled_weights(kernel, n, c2_scaled);
    for (int k = K; k < frames; ++k) {
        load_frame();
        segment_frame(pixels, {H, W, n}, current, mask, {weights, e2, shadow}, update);
        check_mask(mask, N);
        copy_planes(update, model_length, current);
        filter_mask(mask, W, N, mask);
        check_mask(mask, N);
        cone_to_rgb_planes(current, static_cast<std::ptrdiff_t>(model_length), model_image);
    }
    return 0;
}

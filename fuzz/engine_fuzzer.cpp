// Fuzz target: the fast engine against the straightforward functions, bit for
// bit. The input chooses the frame size (up to 16 x 8, so that vectors of 4
// and 8 lanes meet full rows and tails), the number of frames (2 to 5), the
// map side n, the calibration length, shadow removal, the vector unit (one of those this processor has), the
// number of threads (1 to 5), and every real setting from the table of
// ordinary and extreme values. The rest of the input is the frames: raw RGB
// bytes, or indices into a palette of four colours that the input also
// gives, so that exact matches and ties between block elements are common.
//
// Both sides go the road of a run: cone coordinates (the fast side through
// the colour table), model from the first frame, calibration with a falling
// rate, online frames with the mask filter. The fast engine updates its one
// model in place. After every frame the masks and the model images must agree
// in every bit, and so must the models, except for a NaN's sign and payload:
// infinite settings make NaN from NaN and infinities, the two engines may
// meet such operands in either order, and no output can tell one NaN from
// another (every comparison is false, every conversion the same).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "color/color.h"
#include "fuzz_input.h"
#include "imagedata/imagedata.h"
#include "model/model.h"
#include "postproc/postproc.h"

namespace {

using namespace zemb;
using fuzz::Input;

constexpr int widest = 16;
constexpr int tallest = 8;
constexpr int fewest_frames = 2;
constexpr int most_frames = 5;
constexpr int most_threads = 5;
constexpr int block_sides[] = {1, 3, 5, 7, 9};
constexpr int palette_size = 4;
// Bytes at the start of the input that choose the run's shape and settings.
constexpr std::size_t shape_bytes = 7;
constexpr std::size_t setting_bytes = 8;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "engine_fuzzer: %s\n", what);
    std::abort();
}

bool same_bits(const FloatPlanes& a, const FloatPlanes& b, std::size_t length)
{
    for (int k = 0; k < plane_count; ++k)
        if (std::memcmp(a[k], b[k], length * sizeof(float)) != 0)
            return false;
    return true;
}

// Bit for bit, or NaN on both sides.
bool same_values(const FloatPlanes& a, const FloatPlanes& b, std::size_t length)
{
    for (int k = 0; k < plane_count; ++k)
        for (std::size_t i = 0; i < length; ++i)
            if (std::memcmp(&a[k][i], &b[k][i], sizeof(float)) != 0 &&
                !(std::isnan(a[k][i]) && std::isnan(b[k][i])))
                return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < shape_bytes + setting_bytes)
        return 0;
    static const std::vector<VectorUnit> units = available_vector_units();
    // The colour table lives as long as a run does; its hits must return
    // exactly what a miss computes, whatever an earlier input left in it.
    static ConeConverter converter;

    Input in(data, size);
    const int W = 1 + in.next() % widest;
    const int H = 1 + in.next() % tallest;
    const int frames = fewest_frames + in.next() % (most_frames - fewest_frames + 1);
    const int n = block_sides[in.next() % 5];
    const std::uint8_t flags = in.next();
    const VectorUnit unit = units[in.next() % units.size()];
    const int threads = 1 + in.next() % most_threads;
    const int K = 1 + (flags >> 3) % frames;  // calibration frames, the first included
    const bool palette = (flags & 2) != 0;  // flags & 4 is not used

    const fuzz::Settings settings = fuzz::read_settings(in, (flags & 1) != 0);
    const float e1 = settings.e1, e2 = settings.e2, c1 = settings.c1, c2 = settings.c2;
    const ShadowSettings& shadow = settings.shadow;
    std::uint8_t colours[palette_size][plane_count];
    if (palette)
        for (auto& colour : colours)
            for (auto& sample : colour)
                sample = in.next();

    const std::size_t N = std::size_t(W) * std::size_t(H);
    const std::size_t length = std::size_t(n) * std::size_t(n) * N;
    BytePlanes frame = alloc_byte_planes(plane_count, N);
    FloatPlanes ref_pixels = alloc_float_planes(plane_count, N);
    FloatPlanes fast_pixels = alloc_float_planes(plane_count, N);
    FloatPlanes ref_current = alloc_float_planes(plane_count, length);
    FloatPlanes ref_update = alloc_float_planes(plane_count, length);
    FloatPlanes fast_model = alloc_float_planes(plane_count, length);
    BytePlanes ref_image = alloc_byte_planes(plane_count, length);
    BytePlanes fast_image = alloc_byte_planes(plane_count, length);
    std::uint8_t ref_mask[widest * tallest] = {};
    std::uint8_t fast_mask[widest * tallest] = {};
    ThreadedEngine engine({H, W, n}, threads, unit);

    // Past the input's end a frame keeps the previous one's samples.
    auto load_frame = [&] {
        for (std::size_t i = 0; i < N; ++i) {
            const std::uint8_t* colour = palette ? colours[in.next() % palette_size] : nullptr;
            for (int k = 0; k < plane_count; ++k)
                frame[k][i] = palette ? colour[k] : in.next();
        }
        rgb_to_cone_planes(frame, std::ptrdiff_t(N), ref_pixels);
        converter.convert(frame, std::ptrdiff_t(N), fast_pixels);
        if (!same_bits(ref_pixels, fast_pixels, N))
            fail("the colour table's cone coordinates differ from the plain conversion");
    };
    // One frame through both sides, then the comparison.
    auto step = [&](const WeightMatrix& weights, float e) {
        segment_frame(ref_pixels, {H, W, n}, ref_current, ref_mask, {weights, e, shadow},
                      ref_update);
        copy_planes(ref_update, length, ref_current);
        engine.segment_frame(fast_pixels, fast_model, fast_mask, {weights, e, shadow});
        if (std::memcmp(ref_mask, fast_mask, N) != 0)
            fail("masks differ");
        if (!same_values(ref_current, fast_model, length))
            fail("models differ");
        cone_to_rgb_planes(ref_current, std::ptrdiff_t(length), ref_image);
        cone_to_rgb_planes(fast_model, std::ptrdiff_t(length), fast_image);
        for (int k = 0; k < plane_count; ++k)
            if (std::memcmp(ref_image[k], fast_image[k], length) != 0)
                fail("model images differ");
    };

    load_frame();
    init_model(ref_current, ref_pixels, {H, W, n});
    copy_planes(ref_current, length, ref_update);
    init_model(fast_model, fast_pixels, {H, W, n});

    const WeightMatrix kernel = weight_kernel(n, spread_for_block_side(n));
    const float c1_scaled = scaled_learning_rate(c1, n);
    const float c2_scaled = scaled_learning_rate(c2, n);
    for (int k = 1; k <= K - 1; ++k) {
        load_frame();
        step(scaled_weights(kernel, n, calibration_rate(c1_scaled, c2_scaled, k, K)), e1);
    }
    const WeightMatrix online = scaled_weights(kernel, n, c2_scaled);
    for (int k = K; k < frames; ++k) {
        load_frame();
        step(online, e2);
        filter_mask(ref_mask, W, N, ref_mask);
        filter_mask(fast_mask, W, N, fast_mask);
    }
    return 0;
}

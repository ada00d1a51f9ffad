// Per-function figures on real frames: the reference functions against the
// fast engine's, one trained model, one frame.
//
//   zemb_micro <sequence prefix, e.g. bench/work/walk/walk> [Google Benchmark flags]
//
// The model is trained with the default settings over frames 1..200 (the
// calibration phase of a default run); every benchmark then works on frame
// 201 against that model, with the mask as frame 200 left it.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "run/config.h"
#include "color/color.h"
#include "imagedata/imagedata.h"
#include "model/model.h"
#include "postproc/postproc.h"

namespace zemb {
namespace {

// Frames of the calibration phase with the default settings.
constexpr int calibration_frames = 200;
constexpr int timed_frame = calibration_frames + 1;

struct Setup {
    int H = 0, W = 0, n = 3;
    std::size_t N = 0, model_length = 0;
    BytePlanes frame;                // frame 201 as read
    FloatPlanes pixels;              // frame 201 in cone coordinates
    FloatPlanes current, update;     // the trained model, and a copy to work on
    std::vector<std::uint8_t> mask;  // as frame 200 left it
    WeightMatrix weights{};
    float e = 0.0f;
    ShadowSettings shadow;  // off, as in a default run
};

Setup* setup = nullptr;

bool prepare(const std::string& prefix, int n, Setup& s)
{
    auto name = [&](int k) { return prefix + "." + std::to_string(k) + ".ppm"; };
    const PpmRead size = read_ppm_size(name(1).c_str());
    if (!size.ok())
        return false;
    s.H = size.rows;
    s.W = size.cols;
    const RunParameters params;  // the defaults
    s.n = n;
    s.N = std::size_t(s.H) * std::size_t(s.W);
    s.model_length = std::size_t(n) * std::size_t(n) * s.N;
    s.frame = alloc_byte_planes(plane_count, s.N);
    s.pixels = alloc_float_planes(plane_count, s.N);
    s.current = alloc_float_planes(plane_count, s.model_length);
    s.update = alloc_float_planes(plane_count, s.model_length);
    s.mask.assign(s.N, 0);

    // The calibration phase of a default run, done with the fast engine.
    FastEngine engine({s.H, s.W, n});
    ConeConverter converter;
    auto load = [&](int k) {
        // A frame that cannot be read leaves the previous one, as in a run.
        const std::string path = name(k);
        if (!read_ppm_frame(path.c_str(), s.H, s.W, s.frame).ok())
            std::fprintf(stderr, "zemb_micro: %s: not read; the previous frame stands in\n",
                         path.c_str());
        converter.convert(s.frame, static_cast<std::ptrdiff_t>(s.N), s.pixels);
    };
    load(1);
    init_model(s.current, s.pixels, {s.H, s.W, n});
    const WeightMatrix kernel = weight_kernel(n, spread_for_block_side(n));
    const float c1 = static_cast<float>(params.c1 * (1.0 / (n + 1)));
    const float c2 = static_cast<float>(params.c2 * (1.0 / (n + 1)));
    const float step = static_cast<float>(static_cast<double>(c1) - c2);
    for (int k = 1; k < calibration_frames; ++k) {
        load(k + 1);
        s.weights = scaled_weights(
            kernel, n,
            static_cast<float>(c1 - (double(k) * step) / double(calibration_frames - 1)));
        engine.segment_frame(s.pixels, s.current, s.mask.data(), {s.weights, params.e1, s.shadow});
    }
    s.weights = scaled_weights(kernel, n, c2);
    s.e = params.e2;
    load(timed_frame);
    copy_planes(s.current, s.model_length, s.update);
    return true;
}

// ---- Segmentation -------------------------------------------------------------

void BM_SegmentFrameReference(benchmark::State& state)
{
    Setup& s = *setup;
    std::vector<std::uint8_t> mask = s.mask;
    for (auto _ : state) {
        std::memcpy(mask.data(), s.mask.data(), s.N);
        segment_frame(s.pixels, {s.H, s.W, s.n}, s.current, mask.data(), {s.weights, s.e, s.shadow},
                      s.update);
        benchmark::ClobberMemory();
    }
}

// The benchmark's unit, named in its label; a unit this processor lacks is
// skipped with a note.
bool unit_here(benchmark::State& state, VectorUnit unit)
{
    if (!vector_unit_available(unit)) {
        state.SkipWithError("vector unit not available on this processor");
        return false;
    }
    state.SetLabel(vector_unit_name(unit));
    return true;
}

// The fast engine as the driver runs it: the model updated in place, so each
// iteration starts from a fresh copy of the trained model (not timed).
void BM_SegmentFrameFast(benchmark::State& state)
{
    Setup& s = *setup;
    const auto unit = static_cast<VectorUnit>(state.range(0));
    if (!unit_here(state, unit))
        return;
    FastEngine engine({s.H, s.W, s.n}, unit);
    std::vector<std::uint8_t> mask = s.mask;
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(mask.data(), s.mask.data(), s.N);
        copy_planes(s.current, s.model_length, s.update);
        state.ResumeTiming();
        engine.segment_frame(s.pixels, s.update, mask.data(), {s.weights, s.e, s.shadow});
        benchmark::ClobberMemory();
    }
}

// The best-match sweep alone: every row's matches, as the engine finds them
// before blending (no copy into the ring). The rest of BM_SegmentFrameFast is
// the windows' set-up and blends.
void BM_MatchRowsFast(benchmark::State& state)
{
    Setup& s = *setup;
    const auto unit = static_cast<VectorUnit>(state.range(0));
    if (!unit_here(state, unit))
        return;
    FastEngine engine({s.H, s.W, s.n}, unit);
    std::vector<int> found(static_cast<std::size_t>(s.W));
    for (auto _ : state) {
        for (int r = 0; r < s.H; ++r)
            engine.match_row(s.pixels, s.current, s.e, r, found.data());
        benchmark::DoNotOptimize(found.data());
    }
}

void BM_FindBestMatchReference(benchmark::State& state)
{
    Setup& s = *setup;
    for (auto _ : state) {
        Index matches = 0;
        for (int r = 0; r < s.H; ++r)
            for (int c = 0; c < s.W; ++c) {
                const Index p = Index(r) * s.W + c;
                Index bi = 0, bj = 0;
                matches += find_best_match(s.pixels[0][p], s.pixels[1][p], s.pixels[2][p],
                                           s.current, s.W, r, c, s.n, s.e, bi, bj) >= 0;
            }
        benchmark::DoNotOptimize(matches);
    }
}

// ---- Per-frame work outside the timed span ----------------------------------

void BM_RgbToConePlanesReference(benchmark::State& state)
{
    Setup& s = *setup;
    FloatPlanes out = alloc_float_planes(plane_count, s.N);
    for (auto _ : state) {
        rgb_to_cone_planes(s.frame, static_cast<std::ptrdiff_t>(s.N), out);
        benchmark::ClobberMemory();
    }
}

// With the table as a run leaves it: warmed by the frame before.
void BM_RgbToConePlanesCached(benchmark::State& state)
{
    Setup& s = *setup;
    FloatPlanes out = alloc_float_planes(plane_count, s.N);
    ConeConverter converter;
    converter.convert(s.frame, static_cast<std::ptrdiff_t>(s.N), out);
    for (auto _ : state) {
        converter.convert(s.frame, static_cast<std::ptrdiff_t>(s.N), out);
        benchmark::ClobberMemory();
    }
}

void BM_FilterMask(benchmark::State& state)
{
    Setup& s = *setup;
    std::vector<std::uint8_t> raw = s.mask;
    FastEngine engine({s.H, s.W, s.n});
    copy_planes(s.current, s.model_length, s.update);
    engine.segment_frame(s.pixels, s.update, raw.data(), {s.weights, s.e, s.shadow});
    std::vector<std::uint8_t> mask = raw;
    for (auto _ : state) {
        std::memcpy(mask.data(), raw.data(), s.N);
        filter_mask(mask.data(), s.W, s.N, mask.data());
        benchmark::ClobberMemory();
    }
}

void BM_CopyPlanes(benchmark::State& state)
{
    Setup& s = *setup;
    for (auto _ : state) {
        copy_planes(s.current, s.model_length, s.update);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 3 *
                            static_cast<std::int64_t>(s.model_length * sizeof(float)));
}

BENCHMARK(BM_SegmentFrameReference)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SegmentFrameFast)
    ->Arg(static_cast<int>(VectorUnit::scalar))
    ->Arg(static_cast<int>(VectorUnit::avx2))
    ->Arg(static_cast<int>(VectorUnit::avx512))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MatchRowsFast)
    ->Arg(static_cast<int>(VectorUnit::scalar))
    ->Arg(static_cast<int>(VectorUnit::avx2))
    ->Arg(static_cast<int>(VectorUnit::avx512))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindBestMatchReference)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RgbToConePlanesReference)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RgbToConePlanesCached)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FilterMask)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyPlanes)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zemb

int main(int argc, char** argv)
{
    if (argc < 2 || argv[1][0] == '-') {
        std::fprintf(stderr, "usage: %s <sequence prefix> [benchmark flags]\n", argv[0]);
        return 2;
    }
    static zemb::Setup s;
    if (!zemb::prepare(argv[1], 3, s)) {
        std::fprintf(stderr, "zemb_micro: cannot read %s.1.ppm\n", argv[1]);
        return 1;
    }
    zemb::setup = &s;
    argv[1] = argv[0];
    int rest = argc - 1;
    benchmark::Initialize(&rest, argv + 1);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

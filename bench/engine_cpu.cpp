// The fast engine alone, timed by the processor time of its thread rather
// than by the clock, so that a machine shared with other work still gives
// steady figures: the calibration frames are run untimed, then each online
// frame's segment_frame is timed. Frames are read and converted up front.
//
//   zemb_engine_cpu <sequence prefix> <K> <last frame> [unit] [repeats]
//
// Prints per repeat the median and mean thread milliseconds per online frame
// (frames K+1 .. last) and, for the first, a hash of the last mask and model,
// which must not change with the unit or with any speed work.
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "color/color.h"
#include "imagedata/imagedata.h"
#include "model/model.h"
#include "run/config.h"

namespace {

double thread_ms()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}

// FNV-1a over bytes.
std::uint64_t hash_bytes(std::uint64_t h, const void* data, std::size_t size)
{
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i)
        h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

}  // namespace

int main(int argc, char** argv)
{
    using namespace zemb;
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <sequence prefix> <K> <last> [unit] [repeats]\n", argv[0]);
        return 2;
    }
    const std::string prefix = argv[1];
    const int K = std::atoi(argv[2]);
    const int last = std::atoi(argv[3]);
    VectorUnit unit = best_vector_unit();
    if (argc > 4 && (!vector_unit_named(argv[4], unit) || !vector_unit_available(unit))) {
        std::fprintf(stderr, "%s: %s: no such vector unit here\n", argv[0], argv[4]);
        return 2;
    }
    const int repeats = argc > 5 ? std::max(1, std::atoi(argv[5])) : 1;
    if (K < 2 || last <= K)
        return 2;
    const auto name = [&](int k) { return prefix + "." + std::to_string(k) + ".ppm"; };
    const PpmRead size = read_ppm_size(name(1).c_str());
    if (!size.ok())
        return 1;
    const int H = size.rows, W = size.cols, n = 3;
    const std::size_t N = std::size_t(H) * std::size_t(W), length = std::size_t(n) * n * N;

    BytePlanes bytes = alloc_byte_planes(plane_count, N);
    std::vector<FloatPlanes> frames;
    ConeConverter converter;
    for (int k = 1; k <= last; ++k) {
        if (!read_ppm_frame(name(k).c_str(), H, W, bytes).ok())
            return 1;
        frames.push_back(alloc_float_planes(plane_count, N));
        converter.convert(bytes, static_cast<std::ptrdiff_t>(N), frames.back());
    }

    // The default run's settings with K calibration frames.
    const RunParameters params;
    const WeightMatrix kernel = weight_kernel(n, spread_for_block_side(n));
    const float c1 = scaled_learning_rate(params.c1, n);
    const float c2 = scaled_learning_rate(params.c2, n);
    const ShadowSettings shadow;
    FloatPlanes model = alloc_float_planes(plane_count, length);
    std::vector<std::uint8_t> mask(N);
    FastEngine engine({H, W, n}, unit);
    for (int rep = 0; rep < repeats; ++rep) {
        init_model(model, frames[0], {H, W, n});
        std::fill(mask.begin(), mask.end(), std::uint8_t(0));
        std::vector<double> online;
        for (int k = 1; k < last; ++k) {
            const bool calibrating = k < K;
            const WeightMatrix weights =
                scaled_weights(kernel, n, calibrating ? calibration_rate(c1, c2, k, K) : c2);
            const double start = thread_ms();
            engine.segment_frame(frames[std::size_t(k)], model, mask.data(),
                                 {weights, calibrating ? params.e1 : params.e2, shadow});
            if (!calibrating)
                online.push_back(thread_ms() - start);
        }
        double total = 0.0;
        for (double t : online)
            total += t;
        std::sort(online.begin(), online.end());
        std::printf("%s %dx%d thread ms/frame: median %.3f mean %.3f", vector_unit_name(unit), W, H,
                    online[online.size() / 2], total / double(online.size()));
        if (rep == 0) {
            std::uint64_t h = hash_bytes(1469598103934665603ull, mask.data(), N);
            for (int q = 0; q < plane_count; ++q)
                h = hash_bytes(h, model[q], length * sizeof(float));
            std::printf(" hash %016llx", static_cast<unsigned long long>(h));
        }
        std::printf("\n");
    }
    return 0;
}

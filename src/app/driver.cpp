#include <unistd.h>

#include <cstdio>
#include <memory>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

#include "app/app.h"
#include "color/color.h"
#include "imagedata/imagedata.h"
#include "model/model.h"
#include "postproc/postproc.h"

namespace zemb {

namespace {

// Performance counter state of a run: ticks spent in segmentation per phase.
struct PhaseTimer {
    bool available = false;
    float frequency = 0.0f;  // ticks per second, held as a 32-bit float
    std::int64_t calibration_ticks = 0;
    std::int64_t online_ticks = 0;
};

// One self-overwriting line on standard error while frames go by, only when
// a person is watching it; standard output is never touched.
class Progress {
public:
    Progress() : shown_(isatty(STDERR_FILENO) == 1) {}
    void show(const char* phase, long long k, long long count)
    {
        if (shown_)
            std::fprintf(stderr, "\r\033[Kzemb: %s frame %lld of %lld", phase, k, count);
    }
    // Called before anything else may print, so that messages start a clean line.
    void clear()
    {
        if (shown_)
            std::fprintf(stderr, "\r\033[K");
    }

private:
    bool shown_;
};

void print_report(const PhaseTimer& timer, std::int64_t ticks, long long divisor, long long segmented)
{
    if (!timer.available) {
        std::printf("  unable to compute times\n");
        return;
    }
    if (segmented <= 0) {
        std::printf("  ZEMB (no I/O): no frames segmented\n");
        return;
    }
    double total_ms = static_cast<double>(ticks) / static_cast<double>(timer.frequency) * 1000.0;
    double per_frame = total_ms / static_cast<double>(divisor);
    std::printf("  ZEMB (no I/O): %.4f\tmsecs\t(%.4f msecs/frame\t%.2f fps)\n", total_ms, per_frame,
                1000.0 / per_frame);
}

}  // namespace

int run_sequence(const RunConfig& config, Engine engine)
{
    const RunParameters& p = config.params;
    const int H = config.height;
    const int W = config.width;
    const int n = p.n;
    const std::size_t N = config.pixels;
    const std::size_t model_length = std::size_t(n) * std::size_t(n) * N;
    const long long first = p.first_frame;
    const long long last = p.last_frame;
    const long long K = p.K;

    // Every buffer of the run, allocated once and zero-filled.
    BytePlanes frame, model_image;
    FloatPlanes pixels, current, update;
    std::vector<std::uint8_t> mask;
    WeightMatrix weights{};
    // The fast engine's scratch, its threads and its colour table belong to
    // the run: set up once, before the first frame.
    std::unique_ptr<ThreadedEngine> fast;
    std::unique_ptr<ConeConverter> converter;
    try {
        frame = alloc_byte_planes(plane_count, N);
        pixels = alloc_float_planes(plane_count, N);
        current = alloc_float_planes(plane_count, model_length);
        update = alloc_float_planes(plane_count, model_length);
        if (p.save_models)
            model_image = alloc_byte_planes(plane_count, model_length);
        mask.assign(N, 0);
        if (engine == Engine::fast) {
            fast = std::make_unique<ThreadedEngine>(H, W, n, config.threads);
            converter = std::make_unique<ConeConverter>();
        }
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "zemb: cannot allocate the buffers for %d x %d frames with n = %d\n",
                     W, H, n);
        return exit_failed;
    } catch (const std::system_error& error) {
        std::fprintf(stderr, "zemb: cannot start %d worker threads: %s\n",
                     band_count(H, config.threads), error.what());
        return exit_failed;
    }
    FileNames names(config.directory, config.base);
    Progress progress;
    long long lost_outputs = 0;

    auto save_model_image = [&](const FloatPlanes& model, long long number) {
        cone_to_rgb_planes(model, static_cast<std::ptrdiff_t>(model_length), model_image);
        const char* path = names.model(static_cast<int>(number));
        const FileWrite written = write_ppm(n * H, n * W, model_image, path);
        report_write(path, written);
        if (!written.ok())
            ++lost_outputs;
    };
    // A frame that cannot be read leaves the buffer as it was: the previous
    // frame's pixels are processed once more under the new number.
    auto load_frame = [&](long long number) {
        progress.clear();
        const char* path = names.frame(static_cast<int>(number));
        report_read(path, read_ppm_frame(path, H, W, frame));
        if (converter)
            converter->convert(frame, static_cast<std::ptrdiff_t>(N), pixels);
        else
            rgb_to_cone_planes(frame, static_cast<std::ptrdiff_t>(N), pixels);
    };

    PhaseTimer timer;
    std::int64_t frequency = 0;
    if (query_counter_frequency(frequency)) {
        timer.available = true;
        timer.frequency = static_cast<float>(frequency);
    } else {
        std::printf("\tQueryPerformance not supported: Impossible to compute times\n");
    }
    // Segmentation and update, the timed span (all bands, from the start
    // signal until the last has finished), after which the update model
    // becomes the current one. The fast engine writes every element of the
    // update model, so the two trade places; the reference writes only the
    // blended elements, and the update model is copied back.
    auto segment_and_commit = [&](float threshold, std::int64_t& total) {
        std::int64_t start = timer.available ? read_counter() : 0;
        if (fast)
            fast->segment_frame(pixels, current, mask.data(), weights, threshold, p.shadow,
                                update);
        else
            segment_frame(pixels, H, W, current, mask.data(), weights, n, threshold, p.shadow,
                          update);
        if (timer.available)
            total += read_counter() - start;
        if (fast)
            std::swap(current, update);
        else
            copy_planes(update, model_length, current);
    };

    std::printf("\nTimes for calibration phase on %lld frames (from %lld to %lld) ...\n", K, first,
                first + K - 1);
    std::fflush(stdout);

    // The model starts as the first frame, repeated over every pixel's block.
    load_frame(first);
    init_model(current, pixels, H, W, n);
    copy_planes(current, model_length, update);
    if (p.save_models)
        save_model_image(update, first);

    const WeightMatrix kernel = weight_kernel(n, spread_for_block_side(n));
    const float c1_scaled = scaled_learning_rate(p.c1, n);
    const float c2_scaled = scaled_learning_rate(p.c2, n);

    // Calibration: the learning rate falls linearly from c1' towards c2'.
    if (K > 1) {
        for (long long k = 1; k <= K - 1; ++k) {
            load_frame(first + k);
            weights = scaled_weights(kernel, n, calibration_rate(c1_scaled, c2_scaled, k, K));
            segment_and_commit(p.e1, timer.calibration_ticks);
            if (p.save_models)
                save_model_image(current, first + k);
            progress.show("calibration", k, K - 1);
        }
    }
    progress.clear();
    print_report(timer, timer.calibration_ticks, K, K - 1);

    const long long online_count = last - K - first + 1;
    std::printf("\nTimes for online phase on %lld frames (from %lld to %lld) ...\n", online_count,
                first + K, last);
    std::fflush(stdout);

    // Online: fixed rate, narrow threshold, filtered masks written.
    weights = scaled_weights(kernel, n, c2_scaled);
    for (long long k = K; k <= last - first; ++k) {
        const long long number = first + k;
        load_frame(number);
        segment_and_commit(p.e2, timer.online_ticks);
        filter_mask(mask.data(), W, N, mask.data());
        if (p.save_models)
            save_model_image(current, number);
        if (!p.last_mask_only || number == last) {
                const char* path = names.mask(static_cast<int>(number));
                const FileWrite written = write_pgm(H, W, mask.data(), path);
                report_write(path, written);
                if (!written.ok())
                    ++lost_outputs;
            }
        progress.show("online", k - K + 1, online_count);
    }
    progress.clear();
    print_report(timer, timer.online_ticks, online_count, online_count);

    if (lost_outputs > 0)
        std::fprintf(stderr, "zemb: %lld output file%s could not be written\n", lost_outputs,
                     lost_outputs == 1 ? "" : "s");
    std::printf("\nHit any key to continue...\n");
    wait_for_key();
    return lost_outputs > 0 ? exit_failed : exit_complete;
}

}  // namespace zemb

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

// One run of the sequence: its engine and buffers, and the account of its
// outputs. Every buffer is allocated once, before the first frame.
class Run {
public:
    explicit Run(const RunConfig& config)
        : config_(config), p_(config.params), names_(config.directory, config.base),
          kernel_(weight_kernel(p_.n, spread_for_block_side(p_.n))),
          c1_scaled_(scaled_learning_rate(p_.c1, p_.n)),
          c2_scaled_(scaled_learning_rate(p_.c2, p_.n))
    {
    }

    // Allocates everything the run needs; says why not and returns false
    // when it cannot.
    bool allocate(Engine kind)
    {
        const int H = config_.height, W = config_.width, n = p_.n;
        const std::size_t model_length = std::size_t(n) * std::size_t(n) * config_.pixels;
        try {
            frame_ = alloc_byte_planes(plane_count, config_.pixels);
            if (p_.save_models)
                model_image_ = alloc_byte_planes(plane_count, model_length);
            mask_.assign(config_.pixels, 0);
            engine_ = make_run_engine(kind, config_);
            if (!engine_)
                return false;
        } catch (const std::bad_alloc&) {
            std::fprintf(stderr,
                         "zemb: cannot allocate the buffers for %d x %d frames with n = %d\n", W,
                         H, n);
            return false;
        } catch (const std::system_error& error) {
            std::fprintf(stderr, "zemb: cannot start %d worker threads: %s\n",
                         band_count(H, config_.threads), error.what());
            return false;
        }
        return true;
    }

    // The model starts as the first frame, repeated over every pixel's block.
    void initialise()
    {
        std::int64_t frequency = 0;
        if (query_counter_frequency(frequency)) {
            timer_.available = true;
            timer_.frequency = static_cast<float>(frequency);
        } else {
            std::printf("\tQueryPerformance not supported: Impossible to compute times\n");
        }
        const long long first = p_.first_frame;
        std::printf("\nTimes for calibration phase on %d frames (from %lld to %lld) ...\n", p_.K,
                    first, first + p_.K - 1);
        std::fflush(stdout);
        load_frame(first);
        engine_->init();
        save_model_image(first);
    }

    // Calibration: the learning rate falls linearly from c1' towards c2'.
    void calibrate()
    {
        const long long K = p_.K;
        for (long long k = 1; k <= K - 1; ++k) {
            load_frame(p_.first_frame + k);
            weights_ = scaled_weights(kernel_, p_.n, calibration_rate(c1_scaled_, c2_scaled_, k, K));
            segment(p_.e1, timer_.calibration_ticks);
            save_model_image(p_.first_frame + k);
            progress_.show("calibration", k, K - 1);
        }
        progress_.clear();
        print_report(timer_, timer_.calibration_ticks, K, K - 1);
    }

    // Online: fixed rate, narrow threshold, filtered masks written.
    void run_online()
    {
        const long long first = p_.first_frame, last = p_.last_frame, K = p_.K;
        const long long count = last - K - first + 1;
        std::printf("\nTimes for online phase on %lld frames (from %lld to %lld) ...\n", count,
                    first + K, last);
        std::fflush(stdout);
        weights_ = scaled_weights(kernel_, p_.n, c2_scaled_);
        for (long long number = first + K; number <= last; ++number) {
            load_frame(number);
            segment(p_.e2, timer_.online_ticks);
            filter_mask(mask_.data(), config_.width, config_.pixels, mask_.data());
            save_model_image(number);
            if (!p_.last_mask_only || number == last)
                save_mask(number);
            progress_.show("online", number - first - K + 1, count);
        }
        progress_.clear();
        print_report(timer_, timer_.online_ticks, count, count);
    }

    // The run's last words; returns its exit status.
    int finish()
    {
        if (lost_outputs_ > 0)
            std::fprintf(stderr, "zemb: %lld output file%s could not be written\n", lost_outputs_,
                         lost_outputs_ == 1 ? "" : "s");
        std::printf("\nHit any key to continue...\n");
        wait_for_key();
        return lost_outputs_ > 0 ? exit_failed : exit_complete;
    }

private:
    // A frame that cannot be read leaves the buffer as it was: the previous
    // frame's pixels are processed once more under the new number.
    void load_frame(long long number)
    {
        progress_.clear();
        const char* path = names_.frame(static_cast<int>(number));
        report_read(path, read_ppm_frame(path, config_.height, config_.width, frame_));
        engine_->convert(frame_);
    }

    // The timed span (all bands, from the start signal until the last has
    // finished), then the update becomes the current model.
    void segment(float threshold, std::int64_t& total_ticks)
    {
        const std::int64_t start = timer_.available ? read_counter() : 0;
        engine_->segment(mask_.data(), weights_, threshold);
        if (timer_.available)
            total_ticks += read_counter() - start;
        engine_->commit();
    }

    void save_model_image(long long number)
    {
        if (!p_.save_models)
            return;
        const int n = p_.n;
        cone_to_rgb_planes(engine_->model(), static_cast<std::ptrdiff_t>(model_image_.length),
                           model_image_);
        const char* path = names_.model(static_cast<int>(number));
        count_lost(path, write_ppm(n * config_.height, n * config_.width, model_image_, path));
    }

    void save_mask(long long number)
    {
        const char* path = names_.mask(static_cast<int>(number));
        count_lost(path, write_pgm(config_.height, config_.width, mask_.data(), path));
    }

    void count_lost(const char* path, const FileWrite& written)
    {
        report_write(path, written);
        if (!written.ok())
            ++lost_outputs_;
    }

    const RunConfig& config_;
    const RunParameters& p_;
    FileNames names_;
    const WeightMatrix kernel_;
    const float c1_scaled_, c2_scaled_;
    std::unique_ptr<RunEngine> engine_;
    BytePlanes frame_, model_image_;
    std::vector<std::uint8_t> mask_;
    WeightMatrix weights_{};
    PhaseTimer timer_;
    Progress progress_;
    long long lost_outputs_ = 0;
};

}  // namespace

int run_sequence(const RunConfig& config, Engine engine)
{
    Run run(config);
    if (!run.allocate(engine))
        return exit_failed;
    run.initialise();
    run.calibrate();
    run.run_online();
    return run.finish();
}

}  // namespace zemb

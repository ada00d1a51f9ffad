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

using Clock = ProgressLine::Clock;

// Performance counter state of a run: ticks spent in segmentation per phase.
struct PhaseTimer {
    bool available = false;
    float frequency = 0.0f;  // ticks per second, held as a 32-bit float
    std::int64_t calibration_ticks = 0;
    std::int64_t online_ticks = 0;
};

void print_report(const PhaseTimer& timer, std::int64_t ticks, long long divisor,
                  long long segmented)
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
        : config_(config), p_(config.params), names_(config), frames_(*config.frames),
          reports_(config.frames->kind()),
          kernel_(weight_kernel(p_.n, spread_for_block_side(p_.n))),
          c1_scaled_(scaled_learning_rate(p_.c1, p_.n)),
          c2_scaled_(scaled_learning_rate(p_.c2, p_.n)),
          progress_(stderr, isatty(STDERR_FILENO) == 1, progress_frames(p_), Clock::now()),
          unusable_frames_(p_.first_frame)
    {
    }

    // Allocates everything the run needs; says why not and returns false
    // when it cannot.
    bool allocate(Engine kind)
    {
        const int H = config_.height, W = config_.width, n = p_.n;
        try {
            frame_ = alloc_byte_planes(plane_count, config_.pixels);
            if (p_.save_models)
                model_image_ = alloc_byte_planes(plane_count, model_image_length(config_));
            mask_.assign(config_.pixels, 0);
            engine_ = make_run_engine(kind, config_);
            if (!engine_)
                return false;
        } catch (const std::bad_alloc&) {
            std::fprintf(stderr,
                         "zemb: cannot allocate the buffers for %d x %d frames with n = %d\n", W, H,
                         n);
            return false;
        } catch (const std::system_error& error) {
            std::fprintf(stderr, "zemb: cannot start %d worker threads: %s\n",
                         band_count(H, config_.threads), error.what());
            return false;
        }
        return true;
    }

    // What allocate() takes beside the engine, buffer by buffer.
    static std::uint64_t buffer_bytes(const RunConfig& config)
    {
        return saturating_sum(
            {plane_set_bytes<std::uint8_t>(config.pixels),
             config.params.save_models ? plane_set_bytes<std::uint8_t>(model_image_length(config)) : 0,
             config.pixels});
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
        progress_.start_phase("calibration", p_.K - 1, Clock::now());
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
            weights_ =
                scaled_weights(kernel_, p_.n, calibration_rate(c1_scaled_, c2_scaled_, k, K));
            segment(p_.e1, timer_.calibration_ticks);
            save_model_image(p_.first_frame + k);
            progress_.frame_done(k, Clock::now());
        }
        message([&] { print_report(timer_, timer_.calibration_ticks, K, K - 1); });
    }

    // Online: fixed rate, narrow threshold, filtered masks written.
    void run_online()
    {
        const long long first = p_.first_frame, last = p_.last_frame, K = p_.K;
        const long long count = last - K - first + 1;
        message([&] {
            std::printf("\nTimes for online phase on %lld frames (from %lld to %lld) ...\n", count,
                        first + K, last);
            std::fflush(stdout);
        });
        progress_.start_phase("online", count, Clock::now());
        weights_ = scaled_weights(kernel_, p_.n, c2_scaled_);
        for (long long number = first + K; number <= last; ++number) {
            load_frame(number);
            segment(p_.e2, timer_.online_ticks);
            filter_mask(mask_.data(), config_.width, config_.pixels, mask_.data());
            save_model_image(number);
            if (!p_.last_mask_only || number == last)
                save_mask(number);
            progress_.frame_done(number - first - K + 1, Clock::now());
        }
        message([&] { print_report(timer_, timer_.online_ticks, count, count); });
    }

    // The run's last words; returns its exit status.
    int finish()
    {
        progress_.finish();
        if (lost_outputs_ > 0)
            std::fprintf(stderr, "zemb: %lld output file%s could not be written\n", lost_outputs_,
                         lost_outputs_ == 1 ? "" : "s");
        unusable_frames_.report();
        std::printf("\nHit any key to continue...\n");
        wait_for_key();
        return lost_outputs_ > 0 || unusable_frames_.total() > 0 ? exit_failed : exit_complete;
    }

private:
    static std::size_t model_image_length(const RunConfig& config)
    {
        return std::size_t(config.params.n) * std::size_t(config.params.n) * config.pixels;
    }

    // Every frame is read here. One that cannot be read leaves the buffer
    // as it was: the previous frame's pixels are processed once more under
    // the new number.
    void load_frame(long long number)
    {
        note_frame(number);
        const media::Result read = frames_.read(number, frame_);
        const FrameUse use = frame_use(read);
        unusable_frames_.count(number, use);
        if (read.fault != media::Fault::none)
            message([&] { reports_.report(read); });
        engine_->convert(frame_);
    }

    // Every line printed while frames go by goes through here, so that the
    // progress line makes way for it and comes back under it.
    template <typename Print>
    void message(Print print)
    {
        progress_.hide();
        print();
        progress_.show(Clock::now());
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
        if (config_.png_masks)
            count_lost(media::write_png_mask(config_.height, config_.width, mask_.data(), path));
        else
            count_lost(path, write_pgm(config_.height, config_.width, mask_.data(), path));
    }

    void count_lost(const char* path, const FileWrite& written)
    {
        if (written.ok())
            return;
        message([&] { report_write(path, written); });
        ++lost_outputs_;
    }

    // Frames the progress line counts: calibration after the first frame,
    // then the online phase.
    static long long progress_frames(const RunParameters& p)
    {
        const long long online = static_cast<long long>(p.last_frame) - p.first_frame - p.K + 1;
        return p.K - 1 + (online > 0 ? online : 0);
    }

    void count_lost(const media::Result& written)
    {
        if (written.fault == media::Fault::none)
            return;
        message([&] { report_write(written); });
        ++lost_outputs_;
    }

    const RunConfig& config_;
    const RunParameters& p_;
    FileNames names_;
    media::FrameSource& frames_;
    FrameReports reports_;
    const WeightMatrix kernel_;
    const float c1_scaled_, c2_scaled_;
    std::unique_ptr<RunEngine> engine_;
    BytePlanes frame_, model_image_;
    std::vector<std::uint8_t> mask_;
    WeightMatrix weights_{};
    PhaseTimer timer_;
    ProgressLine progress_;
    UnusableFrames unusable_frames_;
    long long lost_outputs_ = 0;
};

}  // namespace

std::uint64_t run_buffer_bytes(const RunConfig& config) { return Run::buffer_bytes(config); }

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

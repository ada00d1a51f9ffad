#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

#include "run/driver.h"

#include "color/color.h"
#include "files/stop.h"
#include "imagedata/imagedata.h"
#include "model/model.h"
#include "run/reports.h"
#include "run/resources.h"
#include "run/stage.h"

namespace zemb {

namespace {

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

// Slots in each ring of a run that reads ahead and writes behind: the
// frame or outputs the main thread works on, and one being read or written
// beside it. More would smooth out a slow file but cost a frame of memory
// each (25 MB in cone coordinates at 1080p).
constexpr int overlapped_slots = 2;

// A frame as the reader leaves it: what its read found, and the pixels in
// cone coordinates (the frame before's where the read failed).
struct FrameSlot {
    media::Result read;
    FloatPlanes pixels;
};

// A frame's outputs as the main thread hands them to the writer, and what
// their writes found.
struct OutputSlot {
    long long number = 0;
    bool model = false, mask = false;  // which of them to write
    BytePlanes model_image;
    Buffer<std::uint8_t> mask_bytes;
    FileWrite model_written, mask_written;  // PPM and PGM
    media::Result png_written;
};

// One run of the sequence: its engine and buffers, and the account of its
// outputs. Every buffer is allocated once, before the first frame. When a
// core is free beside the engine's bands (run_helper_threads), the fast
// engine's runs read and convert the next frame on a thread ahead and write
// the last one's outputs on a thread behind (see Stage), so that both
// overlap segmentation; otherwise, and always for the reference, the same
// code runs in place: the sequential road.
class Run {
public:
    Run(const RunConfig& config, RunWatcher& watcher)
        : config_(config), p_(config.params), names_(config), writer_names_(config),
          frames_(*config.frames), reports_(config.frames->kind()), watcher_(watcher),
          unusable_frames_(p_.first_frame)
    {
    }

    // Allocates everything the run needs and starts its threads; the fault
    // when it cannot.
    RunFault allocate(Engine kind)
    {
        RunFault fault;
        const bool overlapped = run_helper_threads(kind, config_) > 0;
        const int slots = overlapped ? overlapped_slots : 1;
        try {
            frame_ = alloc_byte_planes(plane_count, config_.pixels);
            frame_slots_.resize(std::size_t(slots));
            for (FrameSlot& slot : frame_slots_)
                slot.pixels = alloc_float_planes(plane_count, config_.pixels);
            output_slots_.resize(std::size_t(slots));
            for (OutputSlot& slot : output_slots_) {
                slot.mask_bytes = alloc_zeroed_buffer<std::uint8_t>(config_.pixels);
                if (p_.save_models)
                    slot.model_image = alloc_byte_planes(plane_count, model_image_length(config_));
            }
            road_ = make_run_road(kind, config_, fault);
            if (!road_)
                return fault;
        } catch (const std::bad_alloc&) {
            fault.fault = StartFault::buffers;
            fault.width = config_.width;
            fault.height = config_.height;
            fault.n = p_.n;
            return fault;
        } catch (const std::system_error& error) {
            fault.fault = StartFault::workers;
            fault.threads = threads_for_rows(config_.height, config_.threads);
            fault.detail = error.what();
            return fault;
        }
        try {
            reader_ = std::make_unique<Stage>(
                slots, overlapped, [this](long long job, int slot) { read_frame(job, slot); });
            writer_ = std::make_unique<Stage>(slots, overlapped,
                                              [this](long long, int slot) { write_outputs(slot); });
        } catch (const std::system_error& error) {
            fault.fault = StartFault::helpers;
            fault.detail = error.what();
            return fault;
        }
        reader_->add(frames_read(p_));
        return fault;
    }

    // What allocate() takes beside the road, buffer by buffer.
    static std::uint64_t buffer_bytes(const RunConfig& config, Engine kind)
    {
        const std::uint64_t slots = run_helper_threads(kind, config) > 0 ? overlapped_slots : 1;
        const std::uint64_t model_image =
            config.params.save_models ? plane_set_bytes<std::uint8_t>(model_image_length(config))
                                      : 0;
        const std::uint64_t mask = zemb::buffer_bytes(config.pixels);
        return saturating_sum({plane_set_bytes<std::uint8_t>(config.pixels),
                               saturating_product(slots, plane_set_bytes<float>(config.pixels)),
                               saturating_product(slots, saturating_sum({mask, model_image}))});
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
        watcher_.start_phase("calibration", p_.K - 1);
        road_->step(take_frame(first));
        release_frame();
        save_outputs(first, p_.save_models, false);
    }

    // Calibration: the road's learning rate falls linearly from c1' towards c2'.
    void calibrate()
    {
        const long long K = p_.K;
        SegmentClock clock{read_counter, 0};
        for (long long k = 1; k <= K - 1; ++k) {
            road_->step(take_frame(p_.first_frame + k), timer_.available ? &clock : nullptr);
            release_frame();
            save_outputs(p_.first_frame + k, p_.save_models, false);
            watcher_.frame_done(k);
        }
        timer_.calibration_ticks = clock.ticks;
        report_writes(true);
        message([&] { print_report(timer_, timer_.calibration_ticks, K, K - 1); });
    }

    // Online: fixed rate, narrow threshold, the road's filtered masks written.
    void run_online()
    {
        const long long first = p_.first_frame, last = p_.last_frame, K = p_.K;
        const long long count = last - K - first + 1;
        message([&] {
            std::printf("\nTimes for online phase on %lld frames (from %lld to %lld) ...\n", count,
                        first + K, last);
            std::fflush(stdout);
        });
        watcher_.start_phase("online", count);
        SegmentClock clock{read_counter, 0};
        for (long long number = first + K; number <= last; ++number) {
            road_->step(take_frame(number), timer_.available ? &clock : nullptr);
            if (road_->relearned())
                message([&] {
                    std::fprintf(stderr, "zemb: the scene changed at frame %lld: relearning\n",
                                 number);
                });
            release_frame();
            save_outputs(number, p_.save_models, !p_.last_mask_only || number == last);
            watcher_.frame_done(number - first - K + 1);
        }
        timer_.online_ticks = clock.ticks;
        report_writes(true);
        message([&] { print_report(timer_, timer_.online_ticks, count, count); });
    }

    // The run's last words; returns its exit status.
    int finish()
    {
        watcher_.frames_done();
        if (lost_outputs_ > 0)
            std::fprintf(stderr, "zemb: %lld output file%s could not be written\n", lost_outputs_,
                         lost_outputs_ == 1 ? "" : "s");
        unusable_frames_.report();
        watcher_.run_ended();
        return lost_outputs_ > 0 || unusable_frames_.total() > 0 ? exit_failed : exit_complete;
    }

private:
    static std::size_t model_image_length(const RunConfig& config)
    {
        return std::size_t(config.params.n) * std::size_t(config.params.n) * config.pixels;
    }

    // Frames the run reads, in order: the first, then those the progress
    // line counts (calibration, even past the last frame, then online).
    static long long frames_read(const RunParameters& p) { return 1 + run_progress_frames(p); }

    // The reader's job: frame first + `job`. A frame that cannot be read
    // leaves the byte buffer as it was: the previous frame's pixels are
    // processed once more under the new number.
    void read_frame(long long job, int slot)
    {
        FrameSlot& frame = frame_slots_[std::size_t(slot)];
        frame.read = frames_.read(p_.first_frame + job, frame_);
        road_->convert(frame_, frame.pixels);
    }

    // Frame `number` in cone coordinates, as soon as the reader has it. Its
    // read's messages follow those of every write before it, as they would
    // if it were read now.
    const FloatPlanes& take_frame(long long number)
    {
        note_frame(number);
        const FrameSlot& frame = frame_slots_[std::size_t(reader_->wait_oldest())];
        unusable_frames_.count(number, frame_use(frame.read));
        if (frame.read.fault != media::Fault::none) {
            report_writes(true);
            message([&] { reports_.report(frame.read); });
        }
        return frame.pixels;
    }

    // The frame taken last is done with: its slot goes back to the reader.
    void release_frame() { reader_->release_oldest(); }

    // Every line printed while frames go by goes through here, so that a
    // progress line makes way for it and comes back under it.
    template <typename Print>
    void message(Print print)
    {
        watcher_.before_message();
        print();
        watcher_.after_message();
    }

    // Hands frame `number`'s model image and mask, as asked, to the writer:
    // both are copied into its slot now, before the next frame changes them.
    void save_outputs(long long number, bool model, bool mask)
    {
        if (!model && !mask)
            return;
        if (writer_->pending() == writer_->slots())
            report_oldest_write();
        OutputSlot& out = output_slots_[std::size_t(writer_->next_slot())];
        out.number = number;
        out.model = model;
        out.mask = mask;
        if (model)
            cone_to_rgb_planes(road_->model(),
                               static_cast<std::ptrdiff_t>(out.model_image.length),
                               out.model_image);
        if (mask)
            std::copy_n(road_->mask(), config_.pixels, out.mask_bytes.get());
        writer_->add();
        report_writes(false);
    }

    // The writer's job.
    void write_outputs(int slot)
    {
        OutputSlot& out = output_slots_[std::size_t(slot)];
        const int number = static_cast<int>(out.number);
        const int H = config_.height, W = config_.width, n = p_.n;
        if (out.model)
            out.model_written =
                write_ppm(n * H, n * W, out.model_image, writer_names_.model(number));
        if (out.mask && config_.png_masks)
            out.png_written =
                media::write_png_mask(H, W, out.mask_bytes.get(), writer_names_.mask(number));
        else if (out.mask)
            out.mask_written = write_pgm(H, W, out.mask_bytes.get(), writer_names_.mask(number));
    }

    // Reports the writes done so far, oldest first; with `all`, waits for
    // every write handed over.
    void report_writes(bool all)
    {
        while (writer_->pending() > 0 && (all || writer_->oldest_done()))
            report_oldest_write();
    }

    void report_oldest_write()
    {
        const OutputSlot& done = output_slots_[std::size_t(writer_->wait_oldest())];
        const int number = static_cast<int>(done.number);
        if (done.model)
            count_lost(names_.model(number), done.model_written);
        if (done.mask && config_.png_masks)
            count_lost(done.png_written);
        else if (done.mask)
            count_lost(names_.mask(number), done.mask_written);
        writer_->release_oldest();
    }

    void count_lost(const char* path, const FileWrite& written)
    {
        if (written.ok())
            return;
        message([&] { report_write(path, written); });
        ++lost_outputs_;
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
    FileNames names_;         // the main thread's, for messages
    FileNames writer_names_;  // the writer's
    media::FrameSource& frames_;
    FrameReports reports_;
    std::unique_ptr<Road> road_;  // the model and the mask, which carries over between frames
    BytePlanes frame_;  // the frame as read: only the reader touches it
    std::vector<FrameSlot> frame_slots_;
    std::vector<OutputSlot> output_slots_;
    PhaseTimer timer_;
    RunWatcher& watcher_;
    UnusableFrames unusable_frames_;
    long long lost_outputs_ = 0;
    // Last, so that their threads end before anything they use goes.
    std::unique_ptr<Stage> reader_, writer_;
};

}  // namespace

long long run_progress_frames(const RunParameters& p)
{
    const long long online = static_cast<long long>(p.last_frame) - p.first_frame - p.K + 1;
    return p.K - 1 + (online > 0 ? online : 0);
}

std::uint64_t run_buffer_bytes(const RunConfig& config, Engine engine)
{
    return Run::buffer_bytes(config, engine);
}

// The reference keeps the sequential road, which the tests compare with. The
// fast engine reads ahead and writes behind only when its bands leave a core
// free: on a core the bands also need, the helpers' work would be taken from
// segmentation, and the timing report (segmentation only) would grow by it.
int run_helper_threads(Engine engine, const RunConfig& config)
{
    const bool core_free = threads_for_rows(config.height, config.threads) < usable_cores();
    return engine == Engine::fast && core_free ? 2 : 0;
}

int run_sequence(const RunConfig& config, Engine engine, RunWatcher& watcher, RunFault& fault)
{
    Run run(config, watcher);
    fault = run.allocate(engine);
    if (!fault.ok())
        return exit_failed;
    run.initialise();
    run.calibrate();
    run.run_online();
    return run.finish();
}

bool query_counter_frequency(std::int64_t& ticks_per_second)
{
    using Period = std::chrono::steady_clock::period;
    if (!std::chrono::steady_clock::is_steady || Period::num != 1)
        return false;
    ticks_per_second = Period::den;
    return ticks_per_second > 0;
}

std::int64_t read_counter() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

}  // namespace zemb

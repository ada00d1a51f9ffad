#include <algorithm>
#include <cerrno>
#include <cstring>
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
#include "run/model_file.h"
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

PhaseTime phase_time(const PhaseTimer& timer, std::int64_t ticks, long long divisor,
                     long long segmented)
{
    PhaseTime time;
    time.clocked = timer.available;
    time.frames = divisor;
    if (!timer.available || segmented <= 0)
        return time;
    time.measured = true;
    time.total_ms = static_cast<double>(ticks) / static_cast<double>(timer.frequency) * 1000.0;
    time.ms_per_frame = time.total_ms / static_cast<double>(divisor);
    time.fps = 1000.0 / time.ms_per_frame;
    return time;
}

// Slots in each ring of a run that reads ahead and writes behind: the
// frame or outputs the main thread works on, and one being read or written
// beside it. More would smooth out a slow file but cost a frame of memory
// each (25 MB in cone coordinates at 1080p).
constexpr int overlapped_slots = 2;

// Frames the video encoders hold, in frames of the size they are handed:
// x264's look-ahead, references and scratch (about 88 measured at 768x576),
// FFV1's context and packet.
constexpr std::uint64_t overlay_encoder_frames = 96;
constexpr std::uint64_t mask_encoder_frames = 4;

// A frame as the reader leaves it: what its read found, and the pixels in
// cone coordinates (the frame before's where the read failed).
struct FrameSlot {
    media::Result read;
    FloatPlanes pixels;
    BytePlanes rgb;  // the frame as read, for the overlay only
};

// A frame's outputs as the main thread hands them to the writer, and what
// their writes found.
struct OutputSlot {
    long long number = 0;
    bool model = false, mask = false;  // which of them to write
    bool overlay = false;              // the frame to the overlay video,
    bool tint = false;                 // tinted by the mask
    std::int64_t timestamp = media::no_timestamp;
    BytePlanes model_image;
    Buffer<std::uint8_t> mask_bytes;
    BytePlanes rgb;
    FileWrite model_written, mask_written;  // PPM and PGM
    media::Result png_written, mask_video_written, overlay_written;
};

// One run of the sequence: its engine and buffers, and the account of its
// outputs. Every buffer is allocated once, before the first frame. With a
// second usable core (run_helper_threads), the fast engine's runs read and
// convert the next frame on a thread ahead and write the last one's outputs
// on a thread behind (see Stage), so that both overlap segmentation;
// otherwise, and always for the reference, the same code runs in place: the
// sequential road.
class Run {
public:
    Run(const RunConfig& config, RunWatcher& watcher, RunMessages& messages)
        : config_(config), p_(config.params), names_(config), writer_names_(config),
          frames_(*config.frames), watcher_(watcher), messages_(messages),
          unusable_frames_(p_.first_frame)
    {
    }

    // Allocates everything the run needs and starts its threads; the fault
    // when it cannot.
    RunFault allocate(Engine kind)
    {
        RunFault fault;
        const bool overlapped = run_helper_threads(kind) > 0;
        const int slots = overlapped ? overlapped_slots : 1;
        try {
            frame_ = alloc_byte_planes(plane_count, config_.pixels);
            const bool overlay = !config_.overlay_video.empty();
            frame_slots_.resize(std::size_t(slots));
            for (FrameSlot& slot : frame_slots_) {
                slot.pixels = alloc_float_planes(plane_count, config_.pixels);
                if (overlay)
                    slot.rgb = alloc_byte_planes(plane_count, config_.pixels);
            }
            if (overlay)
                current_rgb_ = alloc_byte_planes(plane_count, config_.pixels);
            output_slots_.resize(std::size_t(slots));
            for (OutputSlot& slot : output_slots_) {
                slot.mask_bytes = alloc_zeroed_buffer<std::uint8_t>(config_.pixels);
                if (p_.save_models)
                    slot.model_image = alloc_byte_planes(plane_count, model_image_length(config_));
                if (overlay)
                    slot.rgb = alloc_byte_planes(plane_count, config_.pixels);
            }
            road_ = make_run_road(kind, config_, fault);
            if (!road_)
                return fault;
            if (!config_.region.empty())
                road_->limit_to(config_.region.data());
            if (config_.loaded) {
                const ModelFileResult loaded =
                    load_model(config_.load_model.c_str(), *config_.loaded, *road_);
                if (!loaded.ok()) {
                    fault.fault = StartFault::model_file;
                    fault.path = config_.load_model;
                    fault.detail = model_file_message(loaded, *config_.loaded, config_.width,
                                                      config_.height, p_.n, p_.K);
                    return fault;
                }
                last_number_ = config_.loaded->last_frame;
            }
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
        fault = open_outputs();
        if (fault.ok())
            reader_->add(frames_read(p_));
        return fault;
    }

    // What allocate() takes beside the road, buffer by buffer.
    static std::uint64_t buffer_bytes(const RunConfig& config, Engine kind)
    {
        const std::uint64_t slots = run_helper_threads(kind) > 0 ? overlapped_slots : 1;
        const std::uint64_t model_image =
            config.params.save_models ? plane_set_bytes<std::uint8_t>(model_image_length(config))
                                      : 0;
        const std::uint64_t mask = zemb::buffer_bytes(config.pixels);
        // The overlay keeps the frame as read in every slot of both rings
        // and one in hand.
        const std::uint64_t rgb =
            config.overlay_video.empty() ? 0 : plane_set_bytes<std::uint8_t>(config.pixels);
        // The encoders' own frames: x264 looks ahead and keeps references
        // (4:2:0 or 4:4:4 pictures), FFV1 a few lines of context per plane.
        const std::uint64_t overlay_encoder =
            config.overlay_video.empty() ? 0 : saturating_product(overlay_encoder_frames, rgb);
        const std::uint64_t mask_encoder =
            config.mask_video.empty() ? 0 : saturating_product(mask_encoder_frames, mask);
        return saturating_sum({plane_set_bytes<std::uint8_t>(config.pixels), rgb,
                               saturating_product(slots, plane_set_bytes<float>(config.pixels)),
                               saturating_product(slots, saturating_sum({mask, model_image})),
                               saturating_product(2 * slots, rgb), overlay_encoder,
                               mask_encoder});
    }

    // The model starts as the first frame, repeated over every pixel's block.
    void initialise()
    {
        std::int64_t frequency = 0;
        if (query_counter_frequency(frequency)) {
            timer_.available = true;
            timer_.frequency = static_cast<float>(frequency);
        } else {
            messages_.no_clock();
        }
        const long long first = p_.first_frame;
        if (resumed_ >= p_.K)
            return;
        // A loaded model goes on calibrating: K - resumed frames are left.
        messages_.phase_begins({"calibration", calibration_end() + 1 - resumed_, first,
                                offset_ + calibration_end(), false});
        watcher_.start_phase("calibration", calibration_end() + 1 - std::max(resumed_, 1LL),
                             offset_, offset_ + calibration_end());
        if (resumed_ > 0)
            return;
        // Opening the frames found the first one: it never counts as the end.
        road_->step(*take_frame(first, false));
        release_frame();
        save_outputs(first, p_.save_models, false, overlay_ != nullptr, false);
        frame_stepped(first);
    }

    // Calibration: the road's learning rate falls linearly from c1' towards c2'.
    // False when the input ended before calibration was done.
    bool calibrate()
    {
        const long long K = p_.K;
        if (resumed_ >= K)
            return !stopped();
        const long long start = std::max(resumed_, 1LL);
        SegmentClock clock{read_counter, 0};
        const long long end = calibration_end();
        for (long long k = start; k <= end && !stopped(); ++k) {
            const long long number = offset_ + k;
            const FloatPlanes* pixels = take_frame(number);
            if (pixels == nullptr && (stopped() || input_stalled_))
                return false;
            if (pixels == nullptr) {
                report_writes(true);
                messages_.input_ended_in_calibration(number - 1);
                input_ended_early_ = true;
                return false;
            }
            road_->step(*pixels, timer_.available ? &clock : nullptr, learns(number));
            timer_.calibration_ticks = clock.ticks;
            release_frame();
            // The overlay shows every frame; those of calibration untinted.
            save_outputs(number, p_.save_models, false, overlay_ != nullptr, false);
            frame_stepped(number);
            watcher_.frame_done(k - start + 1);
        }
        report_writes(true);
        if (stopped())
            return false;
        account_.calibration =
            phase_time(timer_, timer_.calibration_ticks, end + 1 - resumed_, end + 1 - start);
        messages_.phase_timed(account_.calibration);
        return end == K - 1;
    }

    // Online: fixed rate, narrow threshold, the road's filtered masks written.
    // Up to the end, the phase ends where the input does.
    void run_online()
    {
        const long long first = p_.first_frame, last = p_.last_frame;
        // The first online frame's number.
        const long long start = offset_ + std::max<long long>(p_.K, resumed_);
        long long count = last - start + 1;
        messages_.phase_begins({"online", count, start, last, p_.to_end});
        watcher_.start_phase("online", p_.to_end ? unknown_frames : count, start, last);
        SegmentClock clock{read_counter, 0};
        long long number = start;
        for (; number <= last && !stopped(); ++number) {
            const FloatPlanes* pixels = take_frame(number);
            if (pixels == nullptr)
                break;
            road_->step(*pixels, timer_.available ? &clock : nullptr, learns(number));
            timer_.online_ticks = clock.ticks;
            if (road_->relearned())
                messages_.scene_changed(number);
            release_frame();
            write_stats(number);
            save_outputs(number, p_.save_models, !p_.last_mask_only || number == last,
                         overlay_ != nullptr);
            frame_stepped(number);
            watcher_.frame_done(number - start + 1);
        }
        if (stopped()) {
            report_writes(true);
            return;
        }
        if (p_.to_end || input_stalled_) {
            count = number - start;
            // The last frame is known once the input has ended.
            if (p_.last_mask_only && count > 0)
                save_outputs(number - 1, false, true, false);
        }
        report_writes(true);
        account_.online = phase_time(timer_, timer_.online_ticks, count, count);
        messages_.phase_timed(account_.online);
        if (p_.to_end)
            messages_.frames_counted(number - first, first, number - 1);
    }

    // The state the next frame would start from, to --save-model's file.
    void save_state()
    {
        if (config_.save_model.empty())
            return;
        report_writes(true);
        const ModelFileResult saved =
            save_model(config_.save_model.c_str(), *road_, last_number_);
        if (saved.ok())
            return;
        messages_.model_not_saved(config_.save_model,
                                  model_file_message(saved, ModelFileHeader(), config_.width,
                                                     config_.height, p_.n, p_.K));
        ++lost_outputs_;
    }

    // The run's last words; returns its exit status.
    int finish()
    {
        close_outputs();
        watcher_.frames_done();
        if (stopped())  // the program says where, and ends as the signal would have
            return exit_failed;
        if (lost_outputs_ > 0)
            messages_.outputs_lost(lost_outputs_);
        if (unusable_frames_.total() > 0)
            messages_.frames_unusable(unusable_frames_);
        account_.frames_unusable = unusable_frames_.total();
        account_.outputs_lost = lost_outputs_;
        const int status = lost_outputs_ > 0 || unusable_frames_.total() > 0 ||
                                   input_ended_early_ || input_stalled_
                               ? exit_failed
                               : exit_complete;
        watcher_.accounted(account_, status);
        watcher_.run_ended();
        return status;
    }

private:
    bool stopped() const { return noted_stop() != 0; }

    // The phase position of the last calibration frame the run takes: K-1,
    // or for a piece the last frame's, when that comes first.
    long long calibration_end() const
    {
        const long long end = p_.K - 1;
        return p_.piece ? std::min<long long>(end, p_.last_frame - offset_) : end;
    }

    // Frames from --freeze-after's on are classified without learning.
    bool learns(long long number) const
    {
        return !config_.freeze_after || number < *config_.freeze_after;
    }

    // After each frame: its number, for the model file, and the checkpoint
    // every `checkpoint` frames, once the frame's outputs are written.
    void frame_stepped(long long number)
    {
        last_number_ = number;
        if (config_.checkpoint > 0 && ++since_checkpoint_ == config_.checkpoint) {
            since_checkpoint_ = 0;
            save_state();
        }
    }

    static std::size_t model_image_length(const RunConfig& config)
    {
        return std::size_t(config.params.n) * std::size_t(config.params.n) * config.pixels;
    }

    // Frames the run reads, in order: the first, then those the progress
    // line counts (calibration, even past the last frame, then online).
    static long long frames_read(const RunParameters& p)
    {
        if (p.to_end)
            return static_cast<long long>(p.last_frame) - p.first_frame + 1;
        return (p.resumed_frames == 0 ? 1 : 0) + run_progress_frames(p);
    }

    // The reader's job: frame first + `job`. A frame that cannot be read
    // leaves the byte buffer as it was: the previous frame's pixels are
    // processed once more under the new number.
    void read_frame(long long job, int slot)
    {
        FrameSlot& frame = frame_slots_[std::size_t(slot)];
        frame.read = frames_.read(p_.first_frame + job, frame_);
        road_->convert(frame_, frame.pixels);
        if (frame.rgb.length > 0)
            for (int k = 0; k < plane_count; ++k)
                std::copy_n(frame_[k], config_.pixels, frame.rgb[k]);
    }

    // Frame `number` in cone coordinates, as soon as the reader has it. Its
    // read's messages follow those of every write before it, as they would
    // if it were read now. Null when the input ended before it (only up to
    // the end, and when it `may_end`): its slot is released then.
    const FloatPlanes* take_frame(long long number, bool may_end = true)
    {
        // A deferred stop ends the run here, between frames.
        if (may_end && noted_stop() != 0) {
            stopped_ = true;
            return nullptr;
        }
        note_frame(number);
        ++account_.frames_read;
        const FrameSlot& frame = frame_slots_[std::size_t(reader_->wait_oldest())];
        if (p_.to_end && may_end && input_ended(frame.read)) {
            release_frame();
            return nullptr;
        }
        // A live input that went quiet ends the run, which keeps what it wrote.
        if (may_end && frame.read.fault == media::Fault::stalled) {
            report_writes(true);
            messages_.read_fault(frame.read);
            release_frame();
            input_stalled_ = true;
            return nullptr;
        }
        unusable_frames_.count(number, frame_use(frame.read));
        timestamp_ = frame.read.timestamp;
        if (frame.rgb.length > 0)
            for (int k = 0; k < plane_count; ++k)
                std::copy_n(frame.rgb[k], config_.pixels, current_rgb_[k]);
        if (frame.read.fault != media::Fault::none) {
            report_writes(true);
            messages_.read_fault(frame.read);
        }
        return &frame.pixels;
    }

    // Where a run up to the end stops: past a video's last frame, or at the
    // first frame file that does not exist.
    static bool input_ended(const media::Result& read)
    {
        return read.fault == media::Fault::past_end ||
               (read.fault == media::Fault::cannot_open && read.error == ENOENT);
    }

    // The frame taken last is done with: its slot goes back to the reader.
    void release_frame() { reader_->release_oldest(); }

    // Hands frame `number`'s model image and mask, as asked, to the writer:
    // both are copied into its slot now, before the next frame changes them.
    void save_outputs(long long number, bool model, bool mask, bool overlay = false,
                      bool tint = true)
    {
        if (!model && !mask && !overlay)
            return;
        if (writer_->pending() == writer_->slots())
            report_oldest_write();
        OutputSlot& out = output_slots_[std::size_t(writer_->next_slot())];
        out.number = number;
        out.model = model;
        out.mask = mask;
        out.overlay = overlay;
        out.tint = tint;
        out.timestamp = timestamp_;
        if (model)
            cone_to_rgb_planes(road_->model(),
                               static_cast<std::ptrdiff_t>(out.model_image.length),
                               out.model_image);
        if (mask || overlay)
            std::copy_n(road_->mask(), config_.pixels, out.mask_bytes.get());
        if (overlay)
            for (int k = 0; k < plane_count; ++k)
                std::copy_n(current_rgb_[k], config_.pixels, out.rgb[k]);
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
        if (out.overlay)
            out.overlay_written =
                overlay_->write(&out.rgb, out.tint ? out.mask_bytes.get() : nullptr, out.timestamp);
        if (out.mask && mask_video_)
            out.mask_video_written = mask_video_->write(nullptr, out.mask_bytes.get(), out.timestamp);
        else if (out.mask && config_.png_masks)
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
        if (done.overlay)
            count_lost(done.overlay_written);
        bool mask_written = false;
        if (done.mask && mask_video_)
            mask_written = count_lost(done.mask_video_written);
        else if (done.mask && config_.png_masks)
            mask_written = count_lost(done.png_written);
        else if (done.mask)
            mask_written = count_lost(names_.mask(number), done.mask_written);
        account_.masks_written += mask_written ? 1 : 0;
        writer_->release_oldest();
    }

    // Reports and counts a write that failed; true when the file was written.
    bool count_lost(const char* path, const FileWrite& written)
    {
        if (written.ok())
            return true;
        messages_.write_fault(path, written);
        ++lost_outputs_;
        return false;
    }

    // The outputs written as the run goes: the figures file, with its header,
    // and the videos.
    RunFault open_outputs()
    {
        RunFault fault;
        if (!config_.stats_path.empty()) {
            stats_ = std::fopen(config_.stats_path.c_str(), "w");
            if (stats_ == nullptr) {
                fault.fault = StartFault::output_file;
                fault.path = config_.stats_path;
                fault.detail = std::strerror(errno);
                return fault;
            }
            // A line at a time, for scripts that follow the file.
            std::setvbuf(stats_, nullptr, _IOLBF, 0);
            std::fputs("frame,seconds,foreground_pixels,fraction\n", stats_);
        }
        media::VideoSettings settings;
        settings.width = config_.width;
        settings.height = config_.height;
        settings.time_base = frames_.time_base();
        settings.frame_rate = frames_.frame_rate();
        auto open = [&](const std::string& path, media::VideoKind kind,
                        std::unique_ptr<media::VideoWriter>& writer) {
            if (path.empty() || !fault.ok())
                return;
            settings.kind = kind;
            writer = media::open_video_writer(path, settings, fault.read);
            if (!writer) {
                fault.fault = StartFault::output_video;
                fault.path = path;
            }
        };
        open(config_.mask_video, media::VideoKind::masks, mask_video_);
        open(config_.overlay_video, media::VideoKind::overlay, overlay_);
        return fault;
    }

    // One line of figures for online frame `number`, its mask filtered.
    void write_stats(long long number)
    {
        if (stats_ == nullptr)
            return;
        const std::uint8_t* mask = road_->mask();
        const std::size_t foreground = config_.pixels - std::size_t(std::count(mask, mask + config_.pixels, 0));
        const media::Rational unit = frames_.time_base();
        char seconds[32] = "";
        if (timestamp_ != media::no_timestamp && unit.num > 0 && unit.den > 0)
            std::snprintf(seconds, sizeof seconds, "%.6f",
                          static_cast<double>(timestamp_) * unit.num / unit.den);
        std::fprintf(stats_, "%lld,%s,%zu,%.6f\n", number, seconds, foreground,
                     static_cast<double>(foreground) / static_cast<double>(config_.pixels));
    }

    // Every write handed over is done; the videos get their trailers and
    // their names, the figures file is closed.
    void close_outputs()
    {
        report_writes(true);
        for (std::unique_ptr<media::VideoWriter>* writer : {&mask_video_, &overlay_})
            if (*writer) {
                count_lost((*writer)->finish());
                writer->reset();
            }
        if (stats_ != nullptr) {
            const bool failed = std::ferror(stats_) != 0;
            const int error = errno;
            if (std::fclose(stats_) != 0 || failed) {
                FileWrite written;
                written.fault = WriteFault::failed;
                written.error = failed ? error : errno;
                count_lost(config_.stats_path.c_str(), written);
            }
            stats_ = nullptr;
        }
    }

    bool count_lost(const media::Result& written)
    {
        if (written.fault == media::Fault::none)
            return true;
        messages_.write_fault(written);
        ++lost_outputs_;
        return false;
    }

    const RunConfig& config_;
    const RunParameters& p_;
    FileNames names_;         // the main thread's, for messages
    FileNames writer_names_;  // the writer's
    media::FrameSource& frames_;
    std::unique_ptr<Road> road_;  // the model and the mask, which carries over between frames
    BytePlanes frame_;  // the frame as read: only the reader touches it
    std::vector<FrameSlot> frame_slots_;
    std::vector<OutputSlot> output_slots_;
    PhaseTimer timer_;
    RunAccount account_;
    RunWatcher& watcher_;
    RunMessages& messages_;
    UnusableFrames unusable_frames_;
    long long lost_outputs_ = 0;
    bool stopped_ = false;  // by a deferred stop
    bool input_stalled_ = false;
    std::int64_t timestamp_ = media::no_timestamp;  // of the frame taken last
    BytePlanes current_rgb_;                        // and its pixels as read, for the overlay
    std::unique_ptr<media::VideoWriter> mask_video_, overlay_;
    std::FILE* stats_ = nullptr;
    bool input_ended_early_ = false;  // within calibration, up to the end
    // A loaded model's frames, and the number the run's phase position 0
    // would have had: frame number = offset_ + position.
    const long long resumed_ = p_.resumed_frames;
    const long long offset_ = p_.first_frame - p_.resumed_frames;
    long long last_number_ = 0;
    int since_checkpoint_ = 0;
    // Last, so that their threads end before anything they use goes.
    std::unique_ptr<Stage> reader_, writer_;
};

}  // namespace

long long run_progress_frames(const RunParameters& p)
{
    if (p.to_end)
        return unknown_frames;
    // Calibration frames read (the first included) and those counted.
    const long long frames = std::max<long long>(static_cast<long long>(p.last_frame) - p.first_frame + 1, 0);
    long long left = std::max<long long>(p.K - p.resumed_frames, 0);
    if (p.piece)
        left = std::min(left, std::max(frames, p.resumed_frames == 0 ? 1LL : 0LL));
    const long long counted = std::max<long long>(left - (p.resumed_frames == 0 ? 1 : 0), 0);
    const long long online = static_cast<long long>(p.last_frame) - p.first_frame - left + 1;
    return counted + (online > 0 ? online : 0);
}

std::uint64_t run_buffer_bytes(const RunConfig& config, Engine engine)
{
    return Run::buffer_bytes(config, engine);
}

// The reference keeps the sequential road, which the tests compare with. The
// fast engine reads ahead and writes behind wherever it has a second core,
// even when its bands take every core: decoding a video, converting it and
// writing PNG masks cost about half as much as segmentation at 720p, and
// done in turns with the bands, -j 2 would be slower than -j 1 on two cores.
// The system shares the cores among bands and helpers; the bands are a work
// queue, so a band whose core a helper holds delays only itself.
int run_helper_threads(Engine engine)
{
    return engine == Engine::fast && usable_cores() > 1 ? 2 : 0;
}

int run_sequence(const RunConfig& config, Engine engine, RunWatcher& watcher,
                 RunMessages& messages, RunFault& fault)
{
    Run run(config, watcher, messages);
    fault = run.allocate(engine);
    if (!fault.ok())
        return exit_failed;
    run.initialise();
    if (run.calibrate())
        run.run_online();
    run.save_state();
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

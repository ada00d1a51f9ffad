// The run's frames: the source a sequence name asks for, opened at the
// first frame, and the size the first frame gives the run.
#include <climits>
#include <memory>
#include <string>
#include <utility>

#include "run/frames.h"

#include "files/stop.h"

namespace zemb {

RunFault open_frames(RunConfig& config, media::SourceKind kind, const std::string& name,
                     const media::FramePattern& pattern, std::uint64_t pixel_cap)
{
    const long long first = config.params.first_frame;
    std::string& first_name = config.first_frame_name;
    RunFault fault;
    media::Result opened;
    std::unique_ptr<media::FrameSource> frames;
    if (kind == media::SourceKind::video) {
        first_name = name;
        media::LiveInput live = config.live;
        live.kind = media::live_kind(name);
        live.stopped = noted_stop;
        frames = media::open_video(name, first, pixel_cap, opened, live);
        // A stream is never a sequence name in disguise.
        if (opened.fault == media::Fault::not_video && live.kind == media::LiveKind::none) {
            fault.not_video = opened;
            kind = media::SourceKind::ppm_frames;
        }
    }
    if (kind == media::SourceKind::frame_pattern) {
        first_name = pattern.name(first);
        frames = media::open_frame_pattern(pattern, first, pixel_cap, opened);
    }
    if (kind == media::SourceKind::ppm_frames) {
        FileNames names(config.directory, config.base);
        first_name = names.frame(config.params.first_frame);
        // The run's own memory check sizes PPM frames, in its own words.
        frames = media::open_ppm_frames(config.directory, config.base, first, media::no_pixel_cap,
                                        opened);
    }
    fault.path = first_name;
    if (!frames) {
        fault.fault = StartFault::first_frame;
        fault.read = opened;
        fault.kind = kind;
        return fault;
    }
    const int rows = frames->rows(), cols = frames->cols(), n = config.params.n;
    fault.width = cols;
    fault.height = rows;
    fault.n = n;
    if (rows == 0 || cols == 0) {
        fault.fault = StartFault::no_pixels;
        return fault;
    }
    if (static_cast<long long>(n) * cols > INT_MAX || static_cast<long long>(n) * rows > INT_MAX) {
        fault.fault = StartFault::too_large_for_model;
        return fault;
    }
    config.output_base = frames->base_name();
    config.width = cols;
    config.height = rows;
    config.pixels = std::size_t(cols) * std::size_t(rows);
    config.frames = std::move(frames);
    return RunFault{};
}

}  // namespace zemb

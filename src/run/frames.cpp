// The run's frames: the source a sequence name asks for, opened at the
// first frame, with everything that stops it said once.
#include <cstdio>
#include <memory>
#include <string>

#include "run/frames.h"
#include "run/reports.h"

namespace zemb {

std::shared_ptr<media::FrameSource> open_frames(media::SourceKind kind, const std::string& name,
                                                const media::FramePattern& pattern,
                                                const RunConfig& config, std::uint64_t pixel_cap,
                                                std::string& first_name)
{
    const long long first = config.params.first_frame;
    media::Result opened, not_video;
    std::unique_ptr<media::FrameSource> frames;
    if (kind == media::SourceKind::video) {
        first_name = name;
        frames = media::open_video(name, first, pixel_cap, opened);
        if (opened.fault == media::Fault::not_video) {
            not_video = opened;
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
    if (frames)
        return frames;
    FrameReports(kind).report(opened);
    std::fprintf(stderr, "zemb: %s: the first frame gives the run its size; cannot start\n",
                 first_name.c_str());
    if (not_video.fault != media::Fault::none)
        std::fprintf(stderr, "%s\n", media::message(not_video).c_str());
    return nullptr;
}

}  // namespace zemb

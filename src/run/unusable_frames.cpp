// The account of input frames a run could not use, and its closing line.
#include <cstdio>

#include "run/reports.h"

namespace zemb {

FrameUse frame_use(const media::Result& read)
{
    if (!read.frame_read())
        return FrameUse::none;
    return read.fault == media::Fault::short_raster ? FrameUse::in_part : FrameUse::whole;
}

UnusableFrames::UnusableFrames(long long first_frame) : first_frame_(first_frame) {}

void UnusableFrames::count(long long number, FrameUse use)
{
    if (use == FrameUse::whole)
        return;
    if (kept_ < listed) {
        numbers_[kept_] = number;
        in_part_[kept_] = use == FrameUse::in_part;
        ++kept_;
    }
    ++total_;
    if (use == FrameUse::in_part)
        ++total_in_part_;
    if (number == first_frame_)
        first_counted_ = true;
}

void UnusableFrames::report() const
{
    if (total_ == 0)
        return;
    std::fprintf(stderr, "zemb: %lld input frame%s could not be used%s (", total_,
                 total_ == 1 ? "" : "s", total_in_part_ > 0 ? " in full" : "");
    for (int k = 0; k < kept_; ++k)
        std::fprintf(stderr, "%s%lld%s", k > 0 ? ", " : "", numbers_[k],
                     in_part_[k] ? " in part" : "");
    if (total_ > kept_)
        std::fprintf(stderr, " and %lld more", total_ - kept_);
    // Where a frame could not be read, its buffer still holds the frame
    // before it; the first frame has none, and its buffer starts black.
    std::fprintf(stderr, "); %s replaced by the frame before it%s%s\n",
                 total_ == 1 ? "it was" : "each was",
                 total_in_part_ > 0 ? " where it could not be read" : "",
                 first_counted_ ? " (the first frame, which has none, by black)" : "");
}

}  // namespace zemb

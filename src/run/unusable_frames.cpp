// The account of input frames a run could not use.
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

}  // namespace zemb

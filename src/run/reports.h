// The run's account of the input frames it could not use.
#pragma once

#include "media/media.h"

namespace zemb {

// How much of an input frame a read delivered.
enum class FrameUse {
    whole,
    in_part,  // a short raster: the samples past its end are the previous frame's
    none,     // nothing: the previous frame stands in for it
};
FrameUse frame_use(const media::Result& read);

// The input frames a run could not use, each replaced by the frame before it
// (in part, for a short raster; by black for the first frame). Counting
// allocates nothing: only the first few numbers are kept, for the closing line.
class UnusableFrames {
public:
    static constexpr int listed = 5;  // frame numbers the closing line names

    explicit UnusableFrames(long long first_frame);
    void count(long long number, FrameUse use);
    long long total() const { return total_; }
    long long total_in_part() const { return total_in_part_; }
    // The first kept() of them, in order, and whether each was used in part.
    int kept() const { return kept_; }
    long long number(int k) const { return numbers_[k]; }
    bool in_part(int k) const { return in_part_[k]; }
    // The first frame, which has no frame before it, is among them.
    bool first_counted() const { return first_counted_; }

private:
    long long numbers_[listed] = {};
    bool in_part_[listed] = {};
    int kept_ = 0;
    long long total_ = 0;
    long long total_in_part_ = 0;
    long long first_frame_;
    bool first_counted_ = false;
};

}  // namespace zemb

// What a run says about its frames and outputs while frames go by: the
// messages of reads and writes, and the account of input frames it could
// not use.
#pragma once

#include "files/files.h"
#include "media/media.h"

namespace zemb {

// Prints what the reads of one source's frames found, in media's wording,
// and nothing when all went well. A frame file that cannot be opened is
// also announced as "Errore apertura file <path>" on standard output
// (flushed at once); the first one of a run looks for a neighbour numbered
// otherwise and names the pattern to type.
class FrameReports {
public:
    explicit FrameReports(media::SourceKind kind) : kind_(kind) {}
    void report(const media::Result& read);

private:
    media::SourceKind kind_;
    bool hint_sought_ = false;
};

// Print what a write found, and nothing when all went well: a file that
// cannot be created as "Errore apertura file <path>" on standard output
// (flushed at once) and the reason on standard error; a failed write on
// standard error as "zemb: <path>: ...".
void report_write(const char* path, const FileWrite& write);
void report_write(const media::Result& write);

// How much of an input frame a read delivered.
enum class FrameUse {
    whole,
    in_part,  // a short raster: the samples past its end are the previous frame's
    none,     // nothing: the previous frame stands in for it
};
FrameUse frame_use(const media::Result& read);

// The run's account of the input frames it could not use, each replaced by
// the frame before it (in part, for a short raster; by black for the first
// frame). Counting allocates nothing: only the first few numbers are kept,
// for the closing line.
class UnusableFrames {
public:
    explicit UnusableFrames(long long first_frame);
    void count(long long number, FrameUse use);
    long long total() const { return total_; }
    // The closing line on standard error; nothing when every frame was used.
    void report() const;

private:
    static constexpr int listed = 5;  // frame numbers the closing line names
    long long numbers_[listed] = {};
    bool in_part_[listed] = {};
    int kept_ = 0;
    long long total_ = 0;
    long long total_in_part_ = 0;
    long long first_frame_;
    bool first_counted_ = false;
};

}  // namespace zemb

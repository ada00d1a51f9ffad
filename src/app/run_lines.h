// The lines a run prints while frames go by, worded: timing reports, the
// faults of reads and writes, and the closing account of what it lost.
#pragma once

#include "files/files.h"
#include "media/media.h"
#include "run/driver.h"
#include "run/reports.h"

namespace zemb {

void print_phase_begins(const PhaseSpan& span);
void print_phase_time(const PhaseTime& time);
void print_no_clock();
void print_frames_counted(long long count, long long first, long long last);

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

// The closing lines on standard error; nothing when nothing was lost.
void print_outputs_lost(long long count);
void print_unusable_frames(const UnusableFrames& frames);

}  // namespace zemb

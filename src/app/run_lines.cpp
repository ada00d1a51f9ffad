// The lines a run prints while frames go by.
#include <cstdio>
#include <cstring>

#include "app/run_lines.h"

namespace zemb {

namespace {

void announce_cannot_open(const char* path)
{
    std::printf("Errore apertura file %s\n", path);
    std::fflush(stdout);
}

}  // namespace

void print_no_clock() { std::printf("\tQueryPerformance not supported: Impossible to compute times\n"); }

void print_phase_begins(const PhaseSpan& span)
{
    if (span.to_end)
        std::printf("\nTimes for %s phase (from %lld to the end) ...\n", span.phase, span.first);
    else
        std::printf("\nTimes for %s phase on %lld frames (from %lld to %lld) ...\n", span.phase,
                    span.frames, span.first, span.last);
    std::fflush(stdout);
}

void print_phase_time(const PhaseTime& time)
{
    if (!time.clocked) {
        std::printf("  unable to compute times\n");
        return;
    }
    if (!time.measured) {
        std::printf("  ZEMB (no I/O): no frames segmented\n");
        return;
    }
    std::printf("  ZEMB (no I/O): %.4f\tmsecs\t(%.4f msecs/frame\t%.2f fps)\n", time.total_ms,
                time.ms_per_frame, time.fps);
}

void print_frames_counted(long long count, long long first, long long last)
{
    std::printf("\nNo. of images =         %lld (from %lld to %lld)\n", count, first, last);
    std::fflush(stdout);
}

void FrameReports::report(const media::Result& read)
{
    if (read.fault == media::Fault::none)
        return;
    // A video is one file: only frame files are announced on standard output.
    const bool cannot_open = read.fault == media::Fault::cannot_open;
    if (cannot_open && kind_ != media::SourceKind::video)
        announce_cannot_open(read.path.c_str());
    std::fprintf(stderr, "%s\n", media::message(read).c_str());
    if (cannot_open && !hint_sought_) {
        // Lists the folder: once per run is enough to put the user right.
        hint_sought_ = true;
        const std::string pattern = media::suggest_pattern(read.path, read.frame);
        if (!pattern.empty())
            std::fprintf(stderr, "%s\n", media::hint_message(read.path, pattern).c_str());
    }
}

void report_write(const char* path, const FileWrite& write)
{
    switch (write.fault) {
    case WriteFault::none:
        return;
    case WriteFault::cannot_open:
        announce_cannot_open(path);
        std::fprintf(stderr, "zemb: %s: cannot open: %s\n", path, std::strerror(write.error));
        return;
    case WriteFault::failed:
        std::fprintf(stderr, "zemb: %s: write failed: %s\n", path, std::strerror(write.error));
        return;
    }
}

void report_write(const media::Result& write)
{
    if (write.fault == media::Fault::none)
        return;
    if (write.fault == media::Fault::cannot_open)
        announce_cannot_open(write.path.c_str());
    std::fprintf(stderr, "%s\n", media::message(write).c_str());
}

void print_outputs_lost(long long count)
{
    std::fprintf(stderr, "zemb: %lld output file%s could not be written\n", count,
                 count == 1 ? "" : "s");
}

void print_unusable_frames(const UnusableFrames& frames)
{
    const long long total = frames.total();
    if (total == 0)
        return;
    std::fprintf(stderr, "zemb: %lld input frame%s could not be used%s (", total,
                 total == 1 ? "" : "s", frames.total_in_part() > 0 ? " in full" : "");
    for (int k = 0; k < frames.kept(); ++k)
        std::fprintf(stderr, "%s%lld%s", k > 0 ? ", " : "", frames.number(k),
                     frames.in_part(k) ? " in part" : "");
    if (total > frames.kept())
        std::fprintf(stderr, " and %lld more", total - frames.kept());
    // Where a frame could not be read, its buffer still holds the frame
    // before it; the first frame has none, and its buffer starts black.
    std::fprintf(stderr, "); %s replaced by the frame before it%s%s\n",
                 total == 1 ? "it was" : "each was",
                 frames.total_in_part() > 0 ? " where it could not be read" : "",
                 frames.first_counted() ? " (the first frame, which has none, by black)" : "");
}

}  // namespace zemb

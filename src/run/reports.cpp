#include <cstdio>
#include <cstring>

#include "run/reports.h"

namespace zemb {

namespace {

void announce_cannot_open(const char* path)
{
    std::printf("Errore apertura file %s\n", path);
    std::fflush(stdout);
}

}  // namespace

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

}  // namespace zemb

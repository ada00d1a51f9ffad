#include <cstdio>
#include <cstring>

#include "app/app.h"

namespace zemb {

namespace {

// What follows "zemb: <path>: " for a header the reader refused.
const char* header_fault_text(PpmFault fault)
{
    switch (fault) {
    case PpmFault::ends_early: return "header ends before width, height and maxval";
    case PpmFault::not_p6: return "not a binary colour PPM (magic word is not P6)";
    case PpmFault::bad_number:
        return "width, height or maxval is not a non-negative decimal number";
    case PpmFault::too_large: return "width, height or maxval is too large";
    case PpmFault::bad_maxval: return "maxval is not 1 to 255 (only 8-bit samples are read)";
    case PpmFault::larger_than_planes:
        return "frame is larger than the buffers sized from the first frame";
    case PpmFault::none:
    case PpmFault::cannot_open:
    case PpmFault::other_size: break;
    }
    return "unknown fault";
}

void report_cannot_open(const char* path, int error)
{
    std::printf("Errore apertura file %s\n", path);
    std::fflush(stdout);
    std::fprintf(stderr, "zemb: %s: cannot open: %s\n", path, std::strerror(error));
}

}  // namespace

void report_read(const char* path, const PpmRead& read)
{
    switch (read.fault) {
    case PpmFault::none:
        if (read.missing > 0)
            std::fprintf(stderr,
                         "zemb: %s: raster is %zu of %zu bytes short; the samples past its end "
                         "keep their previous values\n",
                         path, read.missing, read.raster_bytes());
        return;
    case PpmFault::cannot_open: report_cannot_open(path, read.error); return;
    case PpmFault::other_size:
        std::fprintf(stderr, "zemb: %s: frame is %d x %d, not %d x %d like the first frame\n", path,
                     read.cols, read.rows, read.wanted_cols, read.wanted_rows);
        return;
    default: std::fprintf(stderr, "zemb: %s: %s\n", path, header_fault_text(read.fault)); return;
    }
}

void report_write(const char* path, const FileWrite& write)
{
    switch (write.fault) {
    case WriteFault::none: return;
    case WriteFault::cannot_open: report_cannot_open(path, write.error); return;
    case WriteFault::failed:
        std::fprintf(stderr, "zemb: %s: write failed: %s%s\n", path, std::strerror(write.error),
                     write.removed ? "; file removed" : "");
        return;
    }
}

}  // namespace zemb

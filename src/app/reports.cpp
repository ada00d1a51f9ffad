#include <cstdio>
#include <cstring>

#include "app/app.h"

namespace zemb {

namespace {

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
    case PpmFault::cannot_open:
        report_cannot_open(path, read.error);
        return;
    case PpmFault::not_regular:
        std::fprintf(stderr, "zemb: %s: is %s, not a frame file\n", path,
                     describe_file_kind(read.file_mode));
        return;
    case PpmFault::other_size:
        std::fprintf(stderr, "zemb: %s: frame is %d x %d, not %d x %d like the first frame\n",
                     path, read.cols, read.rows, read.wanted_cols, read.wanted_rows);
        return;
    default:
        std::fprintf(stderr, "zemb: %s: %s\n", path, describe(read.fault));
        return;
    }
}

void report_write(const char* path, const FileWrite& write)
{
    switch (write.fault) {
    case WriteFault::none:
        return;
    case WriteFault::cannot_open:
        report_cannot_open(path, write.error);
        return;
    case WriteFault::failed:
        std::fprintf(stderr, "zemb: %s: write failed: %s\n", path, std::strerror(write.error));
        return;
    }
}

}  // namespace zemb

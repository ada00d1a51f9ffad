// The messages the program prints for what a file read or write found.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "app/app.h"

namespace zemb {
namespace {

struct Printed {
    std::string out, err;
};

template <typename Report>
Printed capture(Report report)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    report();
    Printed p;
    p.err = testing::internal::GetCapturedStderr();
    p.out = testing::internal::GetCapturedStdout();
    return p;
}

PpmRead read_of(PpmFault fault)
{
    PpmRead read;
    read.fault = fault;
    return read;
}

TEST(FileMessages, EveryReadFindingHasItsWording)
{
    PpmRead missing = read_of(PpmFault::cannot_open);
    missing.error = ENOENT;
    PpmRead other = read_of(PpmFault::other_size);
    other.rows = 6;
    other.cols = 5;
    other.wanted_rows = 5;
    other.wanted_cols = 6;
    PpmRead fifo = read_of(PpmFault::not_regular);
    fifo.file_mode = S_IFIFO | 0644;
    PpmRead short_raster;
    short_raster.rows = 5;
    short_raster.cols = 6;
    short_raster.missing = 50;
    struct Case {
        PpmRead read;
        const char* out;
        const char* err;  // after "zemb: f.ppm: "
    };
    const Case cases[] = {
        {PpmRead{}, "", nullptr},
        {missing, "Errore apertura file f.ppm\n", "cannot open: No such file or directory"},
        {fifo, "", "is a FIFO, not a frame file"},
        {read_of(PpmFault::ends_early), "", "header ends before width, height and maxval"},
        {read_of(PpmFault::header_too_long), "",
         "header runs past 32768 bytes without width, height and maxval"},
        {read_of(PpmFault::not_p6), "", "not a binary colour PPM (magic word is not P6)"},
        {read_of(PpmFault::bad_number), "",
         "width, height or maxval is not a non-negative decimal number"},
        {read_of(PpmFault::too_large), "", "width, height or maxval is too large"},
        {read_of(PpmFault::bad_maxval), "", "maxval is not 1 to 255 (only 8-bit samples are read)"},
        {read_of(PpmFault::larger_than_planes), "",
         "frame is larger than the buffers sized from the first frame"},
        {other, "", "frame is 5 x 6, not 6 x 5 like the first frame"},
        {short_raster, "",
         "raster is 50 of 90 bytes short; the samples past its end keep their previous values"},
    };
    for (const Case& c : cases) {
        const Printed p = capture([&] { report_read("f.ppm", c.read); });
        EXPECT_EQ(p.out, c.out);
        EXPECT_EQ(p.err, c.err == nullptr ? "" : std::string("zemb: f.ppm: ") + c.err + "\n");
    }
}

TEST(FileMessages, EveryWriteFindingHasItsWording)
{
    struct Case {
        FileWrite write;
        const char* out;
        const char* err;
    };
    const Case cases[] = {
        {FileWrite{}, "", ""},
        {{WriteFault::cannot_open, EISDIR}, "Errore apertura file m.pgm\n",
         "zemb: m.pgm: cannot open: Is a directory\n"},
        {{WriteFault::failed, ENOSPC}, "",
         "zemb: m.pgm: write failed: No space left on device\n"},
    };
    for (const Case& c : cases) {
        const Printed p = capture([&] { report_write("m.pgm", c.write); });
        EXPECT_EQ(p.out, c.out);
        EXPECT_EQ(p.err, c.err);
    }
}

}  // namespace
}  // namespace zemb

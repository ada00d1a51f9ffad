// The messages the program prints for what a file read or write found, and
// the progress line that makes way for them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>

#include "app/terminal.h"
#include "app/run_lines.h"
#include "support/support.h"

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

media::Result read_of(media::Fault fault, const char* path = "f.ppm")
{
    media::Result read;
    read.fault = fault;
    read.path = path;
    return read;
}

TEST(FileMessages, EveryReadFindingIsWordedInTheFrameRoutesWords)
{
    media::Result missing = read_of(media::Fault::cannot_open);
    missing.error = ENOENT;
    media::Result header = read_of(media::Fault::ppm_header);
    header.ppm = PpmFault::not_p6;
    media::Result other = read_of(media::Fault::wrong_size);
    other.width = 5;
    other.height = 6;
    other.expected_width = 6;
    other.expected_height = 5;
    media::Result short_raster = read_of(media::Fault::short_raster);
    short_raster.missing_bytes = 50;
    short_raster.raster_bytes = 90;
    media::Result past_end = read_of(media::Fault::past_end, "v.avi");
    past_end.frame = 12;
    past_end.frames_decoded = 10;
    media::Result long_header = read_of(media::Fault::ppm_header);
    long_header.ppm = PpmFault::header_too_long;
    struct Case {
        media::SourceKind kind;
        media::Result read;
        const char* out;
        std::string err;
    };
    const Case cases[] = {
        {media::SourceKind::ppm_frames, media::Result{}, "", ""},
        {media::SourceKind::ppm_frames, missing, "Errore apertura file f.ppm\n",
         "zemb: f.ppm: cannot open: No such file or directory\n"},
        {media::SourceKind::frame_pattern, missing, "Errore apertura file f.ppm\n",
         "zemb: f.ppm: cannot open: No such file or directory\n"},
        {media::SourceKind::video, missing, "", "zemb: f.ppm: cannot open: No such file or directory\n"},
        {media::SourceKind::ppm_frames, header, "",
         "zemb: f.ppm: not a binary colour PPM (magic word is not P6)\n"},
        {media::SourceKind::ppm_frames, other, "",
         "zemb: f.ppm: frame is 5 x 6, not 6 x 5 like the first frame\n"},
        {media::SourceKind::ppm_frames, short_raster, "",
         "zemb: f.ppm: raster is 50 of 90 bytes short; the samples past its end keep their "
         "previous values\n"},
        {media::SourceKind::video, past_end, "", "zemb: v.avi: no frame 12: the video ends after frame 10\n"},
        {media::SourceKind::ppm_frames, long_header, "",
         "zemb: f.ppm: header runs past 32768 bytes without width, height and maxval\n"},
    };
    for (const Case& c : cases) {
        FrameReports reports(c.kind);
        const Printed p = capture([&] { reports.report(c.read); });
        EXPECT_EQ(p.out, c.out);
        EXPECT_EQ(p.err, c.err);
    }
}

TEST(FileMessages, AMissingFrameWithANumberedNeighbourGetsTheHintOncePerRun)
{
    test::TempDir dir;
    test::write_file(dir / "walk.0001.ppm", "P6\n1 1\n255\nabc");
    test::write_file(dir / "walk.0002.ppm", "P6\n1 1\n255\nabc");
    FrameReports reports(media::SourceKind::ppm_frames);
    std::string err;
    for (int k : {1, 2}) {
        media::Result missing = read_of(media::Fault::cannot_open);
        missing.path = dir / ("walk." + std::to_string(k) + ".ppm");
        missing.frame = k;
        missing.error = ENOENT;
        err += capture([&] { reports.report(missing); }).err;
    }
    EXPECT_EQ(err, "zemb: " + dir / "walk.1.ppm: cannot open: No such file or directory\n" +
                       "zemb: " + dir / "walk.1.ppm: not found, but the frames seem to be numbered as " +
                       dir / "walk.%04d.ppm: give that as the sequence name\n" +
                       "zemb: " + dir / "walk.2.ppm: cannot open: No such file or directory\n");
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
    // PNG masks say the same in media's words.
    media::Result blocked = read_of(media::Fault::cannot_open, "m.png");
    blocked.error = EISDIR;
    media::Result full = read_of(media::Fault::write_failed, "m.png");
    full.error = ENOSPC;
    full.detail = "file removed";
    const Printed b = capture([&] { report_write(blocked); });
    const Printed f = capture([&] { report_write(full); });
    EXPECT_EQ(b.out + b.err, "Errore apertura file m.png\nzemb: m.png: cannot open: Is a directory\n");
    EXPECT_EQ(f.out + f.err, "zemb: m.png: write failed: No space left on device; file removed\n");
}

// What the line writes, given the times of the calls: with a known count,
// and up to the end of an input of unknown length (no time left).
TEST(ProgressLine, RedrawsAtMostEveryTenthOfASecondAndMakesWayForMessages)
{
    using namespace std::chrono_literals;
    const ProgressLine::Clock::time_point t0{};
    struct Case {
        long long frames;
        bool terminal;
        const char* expected;
    };
    // Frame numbers as the settings echo gives the phase's range.
    const Case cases[] = {
        {10, true,
         "\rzemb: online: frame 201 of 201..210\033[K"
         "\rzemb: online: frame 202 of 201..210, 20.0 frames/s, 0:00 left\033[K"
         "\r\033[K"
         "\rzemb: online: frame 202 of 201..210, 16.0 frames/s, 0:01 left\033[K"
         "\r\033[K"},
        {ProgressLine::unknown_count, true,
         "\rzemb: online: frame 201 of 201..\033[K"
         "\rzemb: online: frame 202 of 201.., 20.0 frames/s\033[K"
         "\r\033[K"
         "\rzemb: online: frame 202 of 201.., 16.0 frames/s\033[K"
         "\r\033[K"},
        {10, false, ""},
    };
    for (const Case& c : cases) {
        std::FILE* file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        ProgressLine line(file, c.terminal, c.frames, t0);
        line.start_phase("online", c.frames, 201, 210, t0);
        line.frame_done(1, t0 + 50ms);   // too soon after the last drawing
        line.frame_done(2, t0 + 100ms);  // 2 frames in 0.1 s, 8 to go
        line.hide();
        line.show(t0 + 125ms);  // after a message: at once
        line.finish();
        line.show(t0 + 500ms);  // nothing once the run is over
        std::string written(256, '\0');
        std::rewind(file);
        written.resize(std::fread(written.data(), 1, written.size(), file));
        std::fclose(file);
        EXPECT_EQ(written, c.expected) << c.frames << (c.terminal ? " on a terminal" : "");
    }
}

}  // namespace
}  // namespace zemb

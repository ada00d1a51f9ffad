// Whole runs on frame patterns and video files: they write exactly what the
// PPM route writes for the frames the reference tools decode (djpeg for
// JPEG, the ffmpeg tool for video), and they end, skip or hint as it does.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "media/media.h"
#include "support/support.h"

namespace zemb {
namespace {

using test::RunResult;
using test::run_zemb;

constexpr int clip_frames = 8;

// A gradient with a square that moves two columns per frame.
std::string moving_square(int number)
{
    const int left = 2 * number;
    return test::make_ppm(24, 16, [&](int r, int c) {
        if (r >= 4 && r < 10 && c >= left && c < left + 6)
            return test::Rgb{230, 40, 30};
        return test::Rgb{std::uint8_t(60 + 5 * r), std::uint8_t(90 + 3 * c), 110};
    });
}

// What a test lacks of the tools and the decoder it needs; empty for nothing.
std::string lacking(const std::vector<std::string>& tools, media::Format format)
{
    for (const std::string& tool : tools)
        if (test::find_tool(tool).empty())
            return tool;
    return media::has_decoder(format) ? "" : "a decoder this build lacks";
}

class MediaRun : public ::testing::Test {
protected:

    // A clip of testsrc2 in `codec`, and the PPM frames ref/f.<k>.ppm the
    // ffmpeg tool makes of it; false when this ffmpeg cannot encode it.
    bool encode_clip(const std::string& ffmpeg, const std::string& name, const std::string& size,
                     const std::string& codec)
    {
        if (test::run_program(ffmpeg, dir.path(),
                              {"-v", "error", "-f", "lavfi", "-i", "testsrc2=size=96x64:rate=10", "-vf",
                               "scale=" + size, "-frames:v", std::to_string(clip_frames), "-c:v", codec,
                               "-pix_fmt", "yuv420p", "-y", name})
                .status != 0)
            return false;
        std::filesystem::remove_all(dir / "ref");
        std::filesystem::create_directory(dir / "ref");
        return test::run_program(ffmpeg, dir / "ref", {"-v", "error", "-i", "../" + name, "-start_number", "1",
                                                       "f.%d.ppm"})
                   .status == 0;
    }

    // The masks (with foreground in each) and model images, if any, of two
    // runs with outputs named <a>... and <b>... are the same bytes.
    void expect_same_outputs(const std::string& a, const std::string& b, int from, int to)
    {
        auto file = [&](const std::string& base, const char* kind, int k) {
            return test::read_file(dir / (base + kind + std::to_string(k) + (kind[1] == 'a' ? ".pgm" : ".ppm")));
        };
        for (int k = from; k <= to; ++k) {
            EXPECT_NE(file(a, "Mask.", k).find('\xff'), std::string::npos) << a << ": no foreground in mask " << k;
            EXPECT_EQ(file(a, "Mask.", k), file(b, "Mask.", k)) << "mask " << k;
            EXPECT_EQ(file(a, "Model.", k), file(b, "Model.", k)) << "model " << k;
        }
    }

    test::TempDir dir;
};

TEST_F(MediaRun, AJpegPatternWritesWhatThePpmRouteWritesForDjpegsFrames)
{
    if (const std::string l = lacking({"cjpeg", "djpeg"}, media::Format::jpeg); !l.empty())
        GTEST_SKIP() << "needs " << l;
    const std::string cjpeg = test::find_tool("cjpeg"), djpeg = test::find_tool("djpeg");
    for (int k = 1; k <= 6; ++k) {
        const std::string jpeg = "in00" + std::to_string(k) + ".jpg";
        test::write_file(dir / "src.ppm", moving_square(k));
        ASSERT_EQ(test::run_program(cjpeg, dir.path(), {"-quality", "85", "-outfile", jpeg, "src.ppm"}).status, 0);
        const RunResult decoded = test::run_program(djpeg, dir.path(), {"-pnm", jpeg});
        ASSERT_EQ(decoded.status, 0);
        test::write_file(dir / ("seq." + std::to_string(k) + ".ppm"), decoded.out);
    }
    const RunResult pattern = run_zemb(dir.path(), {"in%03d.jpg", "1", "6", "-K", "3", "-m"});
    const RunResult ppm = run_zemb(dir.path(), {"seq", "1", "6", "-K", "3", "-m"});
    EXPECT_EQ(pattern.status, 0);
    EXPECT_EQ(pattern.err, "");
    EXPECT_EQ(ppm.status, 0);
    expect_same_outputs("in", "seq", 4, 6);

    // Cut short, frame 5 is no frame: the run goes on with frame 4 again,
    // as the PPM route does with a copy of frame 4.
    const std::string whole = test::read_file(dir / "in005.jpg");
    test::write_file(dir / "in005.jpg", whole.substr(0, whole.size() / 2));
    test::write_file(dir / "seq.5.ppm", test::read_file(dir / "seq.4.ppm"));
    const RunResult cut = run_zemb(dir.path(), {"in%03d.jpg", "1", "6", "-K", "3"});
    ASSERT_EQ(run_zemb(dir.path(), {"seq", "1", "6", "-K", "3"}).status, 0);
    EXPECT_EQ(cut.status, 1);
    EXPECT_EQ(cut.err.rfind("zemb: in005.jpg: damaged JPEG: ", 0), 0u) << cut.err;
    expect_same_outputs("in", "seq", 4, 6);
}

TEST_F(MediaRun, AVideoWritesWhatThePpmRouteWritesForTheFfmpegToolsFrames)
{
    if (const std::string l = lacking({"ffmpeg"}, media::Format::video); !l.empty())
        GTEST_SKIP() << "needs " << l;
    const std::string ffmpeg = test::find_tool("ffmpeg");
    const struct {
        const char* name;
        const char* size;
        const char* codec;
    } clips[] = {{"odd.avi", "61:37", "mpeg4"}, {"even.mp4", "64:48", "libx264"}};
    for (const auto& c : clips) {
        SCOPED_TRACE(c.name);
        if (!encode_clip(ffmpeg, c.name, c.size, c.codec)) {
            ADD_FAILURE() << "this ffmpeg cannot encode " << c.codec;
            continue;
        }
        const RunResult video = run_zemb(dir.path(), {c.name, "1", "8", "-K", "4", "-m"});
        const RunResult ppm = run_zemb(dir.path(), {"ref/f", "1", "8", "-K", "4", "-m"});
        EXPECT_EQ(video.status, 0);
        EXPECT_EQ(video.err, "");
        EXPECT_EQ(ppm.status, 0);
        expect_same_outputs(media::video_base_name(c.name), "f", 5, 8);
    }

    // Masks as PNG in a folder made for them hold the same pixels; model
    // images go there too, under their usual names.
    const RunResult png =
        run_zemb(dir.path(), {"even.mp4", "1", "8", "-K", "4", "-m", "-o", "out/deep", "-O", "m%02d.png"});
    EXPECT_EQ(png.status, 0) << png.err;
    EXPECT_EQ(test::read_file(dir / "out/deep/evenModel.8.ppm"), test::read_file(dir / "fModel.8.ppm"));
    for (int k = 5; k <= 8; ++k) {
        media::ImageReader reader;
        const std::string name = dir / ("out/deep/m0" + std::to_string(k) + ".png");
        ASSERT_EQ(reader.open(name.c_str(), media::no_pixel_cap).fault, media::Fault::none) << name;
        BytePlanes planes = alloc_byte_planes(plane_count, 64 * 48);
        ASSERT_EQ(reader.decode(planes).fault, media::Fault::none);
        const std::string pgm = test::read_file(dir / ("fMask." + std::to_string(k) + ".pgm"));
        EXPECT_EQ(std::string(planes[0], planes[0] + 64 * 48), pgm.substr(pgm.size() - 64 * 48)) << k;
    }
}

TEST_F(MediaRun, FramesPastTheEndOfAVideoAreFramesThatCouldNotBeRead)
{
    if (const std::string l = lacking({"ffmpeg"}, media::Format::video); !l.empty())
        GTEST_SKIP() << "needs " << l;
    const std::string ffmpeg = test::find_tool("ffmpeg");
    ASSERT_TRUE(encode_clip(ffmpeg, "clip.avi", "64:48", "mpeg4"));
    // The PPM route without frames 9 and 10 is the reference.
    const RunResult video = run_zemb(dir.path(), {"clip.avi", "1", "10", "-K", "4"});
    const RunResult ppm = run_zemb(dir.path(), {"ref/f", "1", "10", "-K", "4"});
    EXPECT_EQ(video.status, 1);
    EXPECT_EQ(ppm.status, 1);
    EXPECT_EQ(video.err, "zemb: clip.avi: no frame 9: the video ends after frame 8\n"
                         "zemb: clip.avi: no frame 10: the video ends after frame 8\n"
                         "zemb: 2 input frames could not be used (9, 10); each was replaced by "
                         "the frame before it\n");
    expect_same_outputs("clip", "f", 5, 10);

    // A file cut short says so where its frames end.
    const std::string whole = test::read_file(dir / "clip.avi");
    test::write_file(dir / "cut.avi", whole.substr(0, whole.size() * 6 / 10));
    const RunResult cut = run_zemb(dir.path(), {"cut.avi", "1", "10", "-K", "4"});
    EXPECT_EQ(cut.status, 1);
    EXPECT_NE(cut.err.find(", where the file is cut short or damaged: its last video data is "
                           "incomplete\n"),
              std::string::npos)
        << cut.err;

    // A run cannot start from a frame the video does not have.
    for (const char* first : {"9", "0"}) {
        const RunResult r = run_zemb(dir.path(), {"clip.avi", first, "12"});
        EXPECT_EQ(r.status, 1) << first;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("zemb: clip.avi: the first frame gives the run its size; cannot start\n"),
                  std::string::npos)
            << r.err;
    }
}

TEST_F(MediaRun, AMissingFrameWithANumberedNeighbourNamesThePatternToType)
{
    for (int k = 1; k <= 3; ++k)
        test::write_file(dir / ("walk.000" + std::to_string(k) + ".ppm"), moving_square(k));
    const RunResult missing = run_zemb(dir.path(), {"walk", "1", "3"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "Errore apertura file walk.1.ppm\n");
    EXPECT_EQ(missing.err, "zemb: walk.1.ppm: cannot open: No such file or directory\n"
                           "zemb: walk.1.ppm: not found, but the frames seem to be numbered as walk.%04d.ppm: "
                           "give that as the sequence name\n"
                           "zemb: walk.1.ppm: the first frame gives the run its size; cannot start\n");
    const RunResult hinted = run_zemb(dir.path(), {"walk.%04d.ppm", "1", "3", "-K", "2"});
    EXPECT_EQ(hinted.status, 0) << hinted.err;
    EXPECT_TRUE(test::file_exists(dir / "walkMask.3.pgm"));
}

}  // namespace
}  // namespace zemb

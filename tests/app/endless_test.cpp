// Runs without a known end: "end" as the last frame, per-frame figures,
// results as video, standard input and streams.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "media/media.h"
#include "support/support.h"

namespace zemb {
namespace {

using test::RunResult;
using test::run_zemb;

constexpr int frames = 9;

// A still background with a square that moves from frame 4 on.
std::string frame(int number)
{
    const int left = number >= 4 ? 2 * (number - 4) : -20;
    return test::make_ppm(20, 14, [&](int r, int c) {
        if (r >= 4 && r < 9 && c >= left && c < left + 5)
            return test::Rgb{220, 30, 40};
        return test::Rgb{std::uint8_t(70 + 4 * r), std::uint8_t(100 + 3 * c), 120};
    });
}

class Endless : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (int k = 1; k <= frames; ++k) {
            test::write_file(dir / ("seq." + std::to_string(k) + ".ppm"), frame(k));
            test::write_file(dir / ("in_" + std::to_string(k) + ".ppm"), frame(k));
        }
    }

    // Whether this build and machine can make and read videos.
    static bool video_tools()
    {
        return !test::find_tool("ffmpeg").empty() && media::has_decoder(media::Format::video);
    }

    RunResult ffmpeg(const std::vector<std::string>& args)
    {
        std::vector<std::string> all = {"-v", "error", "-y"};
        all.insert(all.end(), args.begin(), args.end());
        return test::run_program(test::find_tool("ffmpeg"), dir.path(), all, 60);
    }

    // A lossless clip of the frames.
    void make_clip(const std::string& name)
    {
        ASSERT_EQ(ffmpeg({"-framerate", "10", "-i", "seq.%d.ppm", "-start_number", "1", "-c:v", "ffv1", name})
                      .status,
                  0);
    }

    // The masks in folder `out`, in order of their numbers, as bytes.
    std::vector<std::string> masks(const std::string& out, const std::string& base)
    {
        std::vector<std::string> found;
        for (int k = 1; k <= frames + 1; ++k) {
            const std::string bytes = test::read_file(dir / (out + "/" + base + "Mask." + std::to_string(k) + ".pgm"));
            if (!bytes.empty())
                found.push_back(std::to_string(k) + ":" + bytes);
        }
        return found;
    }

    test::TempDir dir;
};

TEST_F(Endless, EndRunsToTheLastFrameOfEveryKindOfInputAndWritesTheNumberedRunsMasks)
{
    struct Case {
        const char* name;
        const char* base;
        bool video;
    };
    const Case cases[] = {{"seq", "seq", false}, {"in_%d.ppm", "in", false}, {"clip.mkv", "clip", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.video && !video_tools())
            continue;
        if (c.video)
            make_clip(c.name);
        const RunResult to_end = run_zemb(dir.path(), {c.name, "1", "end", "-K", "3", "-o", "end"}, 60);
        const RunResult numbered = run_zemb(dir.path(), {c.name, "1", "9", "-K", "3", "-o", "nine"}, 60);
        EXPECT_EQ(to_end.status, 0) << to_end.err;
        EXPECT_EQ(to_end.err, "");
        EXPECT_NE(to_end.out.find("No. of images =         up to the end (from 1)\n"), std::string::npos);
        EXPECT_NE(to_end.out.find("\nTimes for online phase (from 4 to the end) ...\n  ZEMB (no I/O): "),
                  std::string::npos)
            << to_end.out;
        EXPECT_NE(to_end.out.find("\nNo. of images =         9 (from 1 to 9)\n\nHit any key"), std::string::npos)
            << to_end.out;
        EXPECT_EQ(masks("end", c.base).size(), 6u);
        EXPECT_EQ(masks("end", c.base), masks("nine", c.base));

        // The input ends within calibration: no masks, and the run says so.
        const RunResult short_input = run_zemb(dir.path(), {c.name, "1", "end", "-K", "12", "-o", "short"}, 60);
        EXPECT_EQ(short_input.status, 1);
        EXPECT_NE(short_input.err.find(": the input ends after frame 9, before the 12 frames of calibration (-K) "
                                       "are read: no masks\n"),
                  std::string::npos)
            << short_input.err;
        EXPECT_EQ(short_input.out.find("Times for online phase"), std::string::npos);
    }
}

TEST_F(Endless, EndWithTheLastMaskOnlyWritesTheMaskOfTheLastFrameRead)
{
    const RunResult r = run_zemb(dir.path(), {"seq", "1", "end", "-K", "3", "-l", "-o", "last"}, 60);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> all = masks("last", "seq");
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].substr(0, 2), "9:");
}

}  // namespace
}  // namespace zemb

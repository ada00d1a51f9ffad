// Runs without a known end: "end" as the last frame, per-frame figures,
// results as video, standard input and streams.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

TEST_F(Endless, StatsGiveOneLinePerMaskWithTheInputsSecondsWhereItHasThem)
{
    struct Case {
        const char* name;
        const char* base;
        bool video;
        const char* first_seconds;  // of frame 4
    };
    const Case cases[] = {{"seq", "seq", false, ""}, {"clip.nut", "clip", true, "0.300000"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.video && !video_tools())
            continue;
        if (c.video)
            make_clip(c.name);
        const RunResult r = run_zemb(dir.path(), {c.name, "1", "end", "-K", "3", "-o", c.base, "--stats", "s.csv"}, 60);
        ASSERT_EQ(r.status, 0) << r.err;
        std::string expected = "frame,seconds,foreground_pixels,fraction\n";
        for (int k = 4; k <= frames; ++k) {
            const std::string mask = test::read_file(dir / (std::string(c.base) + "/" + c.base + "Mask." +
                                                            std::to_string(k) + ".pgm"));
            const long long set = std::count(mask.begin() + 13, mask.end(), '\xff');
            char fraction[32];
            std::snprintf(fraction, sizeof fraction, "%.6f", double(set) / (20 * 14));
            std::string seconds = k == 4 ? c.first_seconds : "";
            if (c.video) {
                char text[32];
                std::snprintf(text, sizeof text, "%.6f", (k - 1) / 10.0);
                seconds = text;
            }
            expected += std::to_string(k) + "," + seconds + "," + std::to_string(set) + "," + fraction + "\n";
        }
        EXPECT_EQ(test::read_file(dir / "s.csv"), expected);
    }
}

TEST_F(Endless, AMaskVideoDecodesToTheMaskFilesAndTheOverlayHasEveryInputFrame)
{
    if (!video_tools())
        GTEST_SKIP() << "needs ffmpeg and the FFmpeg module";
    make_clip("clip.mkv");
    ASSERT_EQ(run_zemb(dir.path(), {"clip.mkv", "1", "end", "-K", "3", "-o", "pgm"}, 60).status, 0);
    for (const char* container : {"mkv", "mp4", "avi", "nut"}) {
        SCOPED_TRACE(container);
        const std::string name = std::string("masks.") + container;
        const std::string overlay = std::string("over.") + container;
        const RunResult r = run_zemb(dir.path(), {"clip.mkv", "1", "end", "-K", "3", "-o", "v", "-O", name,
                                                  "--overlay", overlay}, 60);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(masks("v", "clip"), std::vector<std::string>{});  // no mask files beside it
        ASSERT_EQ(ffmpeg({"-i", "v/" + name, "-fps_mode", "passthrough", "-f", "image2", "-pix_fmt", "gray", "-start_number", "4",
                          "v/d.%d.pgm"}).status, 0);
        for (int k = 4; k <= frames; ++k)
            EXPECT_EQ(test::read_file(dir / ("v/d." + std::to_string(k) + ".pgm")),
                      test::read_file(dir / ("pgm/clipMask." + std::to_string(k) + ".pgm")))
                << "frame " << k;
        EXPECT_FALSE(test::file_exists(dir / ("v/d." + std::to_string(frames + 1) + ".pgm")));
        const RunResult probe = test::run_program(
            test::find_tool("ffprobe"), dir.path(),
            {"-v", "error", "-count_frames", "-show_entries", "stream=nb_read_frames,r_frame_rate", "-of", "csv=p=0",
             overlay}, 60);
        EXPECT_EQ(probe.out, "10/1,9\n");
        std::filesystem::remove_all(dir / "v");
    }
}

TEST_F(Endless, AStopMidRunLeavesAMaskVideoThatPlaysToItsLastFrame)
{
    if (!video_tools())
        GTEST_SKIP() << "needs ffmpeg and the FFmpeg module";
    // Frames past the ninth are missing: the run goes on with the ninth's pixels until stopped.
    const int pid = test::start_program(ZEMB_EXE, dir.path(), {"seq", "1", "1000000", "-K", "2", "-O", "m.mkv"}, 60);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (test::read_file(dir / ".stderr").size() < 2000 && std::chrono::steady_clock::now() < deadline)
        usleep(10000);
    kill(pid, SIGINT);
    const RunResult r = test::finish_program(pid, dir.path());
    EXPECT_EQ(r.status, 128 + SIGINT);
    EXPECT_NE(r.err.find("zemb: stopped by SIGINT at frame "), std::string::npos);
    const RunResult probe = test::run_program(test::find_tool("ffprobe"), dir.path(),
                                              {"-v", "error", "-count_frames", "-show_entries",
                                               "stream=nb_read_frames", "-of", "csv=p=0", "m.mkv"}, 60);
    EXPECT_EQ(probe.err, "");
    EXPECT_GT(std::atoi(probe.out.c_str()), 0) << probe.out;
}

// Live inputs: the test starts its own writers and server (loopback only)
// and stops them by their process id.
class Live : public Endless {
protected:
    void SetUp() override
    {
        Endless::SetUp();
        if (!video_tools())
            GTEST_SKIP() << "needs ffmpeg and the FFmpeg module";
        make_clip("clip.nut");
        ASSERT_EQ(run_zemb(dir.path(), {"clip.nut", "1", "end", "-K", "3", "-o", "file"}, 60).status, 0);
        std::filesystem::create_directory(dir / "w");  // the helpers' own console files
    }

    // zemb run by the shell, for a command line with a pipe or a redirection.
    RunResult shell(const std::string& command)
    {
        return test::run_program("/bin/sh", dir.path(), {"-c", command}, 60);
    }

    int helper(const std::string& command)
    {
        return test::start_program("/bin/sh", dir / "w", {"-c", command}, 120);
    }

    void stop(int pid)
    {
        kill(pid, SIGTERM);
        test::finish_program(pid, dir / "w");
    }

    const std::string zemb = ZEMB_EXE;
    const std::string ffmpeg_tool = test::find_tool("ffmpeg") + " -v error";
};

TEST_F(Live, APipeFromFfmpegGivesTheFileRunsMasks)
{
    const RunResult r = shell(ffmpeg_tool + " -i clip.nut -c copy -f nut - | " + zemb + " - 1 end -K 3 -o pipe");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(masks("pipe", "stdin").size(), 6u);
    EXPECT_EQ(masks("pipe", "stdin"), masks("file", "clip"));
}

TEST_F(Live, AStalledPipeEndsWithinTheStallTimeKeepingWhatWasWritten)
{
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    // The writer sends the clip, then holds the pipe open without a word.
    const int writer = helper("exec 3>../fifo; " + ffmpeg_tool + " -i ../clip.nut -c copy -f nut - >&3; sleep 100");
    const auto start = std::chrono::steady_clock::now();
    const RunResult r = shell("exec " + zemb + " - 1 end -K 3 --stall 1 -o stalled < fifo");
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    stop(writer);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("zemb: -: nothing came for 1 s (--stall): the input ends here\n"), std::string::npos) << r.err;
    EXPECT_LT(seconds, 8.0);
    EXPECT_EQ(masks("stalled", "stdin"), masks("file", "clip"));
}

TEST_F(Live, ALoopbackHttpStreamGivesTheFileRunsMasks)
{
    const std::string url = "http://127.0.0.1:" + std::to_string(20000 + getpid() % 20000) + "/clip.nut";
    const int server = helper("exec " + ffmpeg_tool + " -i ../clip.nut -c copy -f nut -listen 1 " + url);
    // The server may take a moment to listen: the run tries again meanwhile.
    const RunResult r = run_zemb(dir.path(), {url, "1", "end", "-K", "3", "-o", "http", "--reconnect", "10"}, 60);
    stop(server);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(masks("http", "clip"), masks("file", "clip"));
}

TEST_F(Live, NamesLikeACameraThatAreNoDeviceReadAsTheyAlwaysDid)
{
    ASSERT_EQ(mkfifo((dir / "video0").c_str(), 0600), 0);
    test::write_file(dir / "video1", "not a camera");
    for (const char* name : {"video0", "video1"}) {
        const RunResult r = run_zemb(dir.path(), {dir / name, "1", "end"}, 10);
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.out, "Errore apertura file " + (dir / name) + ".1.ppm\n") << name;
    }
    EXPECT_EQ(media::live_kind(dir / "video0"), media::LiveKind::none);
    EXPECT_EQ(media::live_kind("/dev/video"), media::LiveKind::none);
    EXPECT_EQ(media::live_kind("-"), media::LiveKind::standard_input);
    EXPECT_EQ(media::live_kind("rtsp://127.0.0.1/cam"), media::LiveKind::network);
}

}  // namespace
}  // namespace zemb

// zemb reads ahead and writes behind on threads of its own when a core is
// free beside its bands; zemb-reference does both in place, the sequential
// road. Whatever goes wrong on the way, both must leave the same files, print
// the same lines in the same order on each stream and end with the same
// status.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "run/driver.h"
#include "run/resources.h"
#include "run/stage.h"
#include "media/media.h"
#include "support/support.h"

namespace zemb {
namespace {

using test::TempDir;

constexpr int width = 24;
constexpr int height = 16;
constexpr int frames = 30;

// A gradient with a square that moves a column per frame.
std::string frame_bytes(int number, int w = width, int h = height)
{
    return test::make_ppm(w, h, [&](int r, int c) {
        if (r >= 4 && r < 9 && c >= number % w && c < number % w + 5)
            return test::Rgb{220, 30, 20};
        return test::Rgb{std::uint8_t(70 + 4 * r), std::uint8_t(100 + 3 * c), 120};
    });
}

struct Outcome {
    int status = -1;
    std::string out, err;
    std::map<std::string, std::string> files;  // by path in the folder; "<folder>" for a folder
};

// A run of `exe` in a copy of `prepared`, its timing figures masked.
Outcome run_in_copy(const char* exe, const TempDir& prepared, const std::vector<std::string>& args)
{
    TempDir dir;
    std::filesystem::copy(prepared.path(), dir.path(), std::filesystem::copy_options::recursive);
    const test::RunResult r = test::run_program(exe, dir.path(), args, 60);
    const std::regex figures("ZEMB \\(no I/O\\): [^\n]*msecs[^\n]*");
    Outcome o{r.status, std::regex_replace(r.out, figures, "ZEMB (no I/O): <figures>"), r.err, {}};
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path()))
        o.files[std::filesystem::relative(entry.path(), dir.path()).string()] =
            entry.is_directory() ? "<folder>" : test::read_file(entry.path().string());
    return o;
}

// A job's slot is never reused before the main thread has released it, jobs
// are done in order, and without a thread only when asked about.
TEST(Overlap, StageJobsUseTheirSlotsInTurnAndOnlyOnceReleased)
{
    constexpr int slots = 2;
    constexpr long long jobs = 200;
    for (bool threaded : {true, false}) {
        SCOPED_TRACE(threaded ? "threaded" : "in place");
        std::atomic<long long> released{0}, done{0};
        long long slot_job[slots] = {-1, -1};
        bool in_turn = true;
        Stage stage(slots, threaded, [&](long long job, int slot) {
            in_turn = in_turn && job == done && slot == job % slots && job - released < slots;
            slot_job[slot] = job;
            ++done;
        });
        stage.add(jobs);
        if (!threaded) {
            EXPECT_EQ(done, 0);
        }
        for (long long job = 0; job < jobs; ++job) {
            ASSERT_EQ(stage.pending(), jobs - job);
            EXPECT_EQ(slot_job[stage.wait_oldest()], job);
            ++released;
            stage.release_oldest();
        }
        EXPECT_TRUE(in_turn);
        EXPECT_EQ(stage.next_slot(), jobs % slots);
    }
}

// Helpers only where a core is free beside the engine's bands; never for the
// reference, whose road the other tests compare with.
TEST(Overlap, HelperThreadsRunOnlyBesideTheBandsOnAFreeCore)
{
    const int cores = usable_cores();
    const int helpers = cores > 1 ? 2 : 0;
    struct Case {
        Engine engine;
        int height, threads, expected;
    };
    const Case cases[] = {
        {Engine::fast, 16, 1, helpers},
        {Engine::fast, 1, cores + 1, helpers},  // one row is one band
        {Engine::fast, 4 * cores, cores, 0},
        {Engine::reference, 16, 1, 0},
    };
    for (const Case& c : cases) {
        RunConfig config;
        config.height = c.height;
        config.threads = c.threads;
        EXPECT_EQ(run_helper_threads(c.engine, config), c.expected)
            << c.height << " rows, " << c.threads << " threads";
    }
}

TEST(Overlap, RunsWriteAndPrintWhatTheSequentialRoadDoes)
{
    const std::string cut = frame_bytes(11).substr(0, 200);
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::map<std::string, std::string> replaced;  // file name: its bytes, "" to remove
        std::vector<std::string> folders;             // made under these names
        int status;
    };
    const Case cases[] = {
        {"missing, damaged, other-size and short frames",
         {"seq", "1", "30", "-K", "6", "-m"},
         {{"seq.3.ppm", ""},
          {"seq.8.ppm", ""},
          {"seq.9.ppm", "P6\n24 16\n"},
          {"seq.10.ppm", frame_bytes(10, 16, 24)},
          {"seq.11.ppm", cut},
          {"seq.20.ppm", "P5\n24 16\n255\n"}},
         {"seq.21.ppm"},
         1},
        {"masks and model images that cannot be written",
         {"seq", "1", "30", "-K", "6", "-m"},
         {{"seq.12.ppm", ""}, {"seq.14.ppm", ""}},
         {"seqMask.7.pgm", "seqMask.13.pgm", "seqModel.13.ppm", "seqModel.2.ppm"},
         1},
        {"last mask only",
         {"seq", "1", "30", "-K", "6", "-l"},
         {{"seq.29.ppm", ""}},
         {"seqMask.30.pgm"},
         1},
        {"a range past the last frame", {"seq", "1", "34", "-K", "4"}, {}, {"seqMask.33.pgm"}, 1},
        {"calibration past the last frame",
         {"seq", "25", "27", "-K", "8", "-m"},
         {},
         {"seqModel.32.ppm"},
         1},
        {"two threads",
         {"seq", "1", "30", "-K", "6", "-m", "-j", "2"},
         {{"seq.17.ppm", ""}},
         {},
         1},
        {"PNG masks in a folder",
         {"seq", "1", "30", "-K", "6", "-o", "out", "-O", "m%d.png"},
         {{"seq.15.ppm", "P6\n"}},
         {"out", "out/m16.png"},
         1},
        {"nothing wrong", {"seq", "1", "30", "-K", "6", "-m", "-s"}, {}, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.what == std::string("PNG masks in a folder") &&
            !media::has_decoder(media::Format::png))
            continue;
        TempDir prepared;
        for (int k = 1; k <= frames; ++k)
            test::write_file(prepared / ("seq." + std::to_string(k) + ".ppm"), frame_bytes(k));
        for (const auto& [name, bytes] : c.replaced) {
            std::filesystem::remove(prepared / name);
            if (!bytes.empty())
                test::write_file(prepared / name, bytes);
        }
        for (const std::string& name : c.folders) {
            std::filesystem::remove(prepared / name);
            std::filesystem::create_directories(prepared / name);
        }
        const Outcome sequential = run_in_copy(ZEMB_REFERENCE_EXE, prepared, c.args);
        const Outcome overlapped = run_in_copy(ZEMB_EXE, prepared, c.args);
        EXPECT_EQ(sequential.status, c.status) << sequential.err;
        EXPECT_EQ(overlapped.status, sequential.status);
        EXPECT_EQ(overlapped.out, sequential.out);
        EXPECT_EQ(overlapped.err, sequential.err);
        EXPECT_NE(sequential.out.find("Times for online phase"), std::string::npos);
        EXPECT_TRUE(overlapped.files == sequential.files);
    }
}

TEST(Overlap, AVideoPastItsLastFrameWritesAndPrintsWhatTheSequentialRoadDoes)
{
    const std::string ffmpeg = test::find_tool("ffmpeg");
    if (ffmpeg.empty() || !media::has_decoder(media::Format::video))
        GTEST_SKIP() << "needs the ffmpeg tool and a video decoder";
    TempDir prepared;
    ASSERT_EQ(test::run_program(ffmpeg, prepared.path(),
                                {"-v", "error", "-f", "lavfi", "-i", "testsrc2=size=48x32:rate=10",
                                 "-frames:v", "20", "-c:v", "mpeg4", "-y", "clip.avi"})
                  .status,
              0);
    const std::vector<std::string> args = {"clip.avi", "1", "24", "-K", "5", "-m"};
    const Outcome sequential = run_in_copy(ZEMB_REFERENCE_EXE, prepared, args);
    const Outcome overlapped = run_in_copy(ZEMB_EXE, prepared, args);
    EXPECT_EQ(sequential.status, 1);
    EXPECT_EQ(overlapped.status, sequential.status);
    EXPECT_EQ(overlapped.out, sequential.out);
    EXPECT_EQ(overlapped.err, sequential.err);
    EXPECT_EQ(sequential.files.size(), 1u + 24 + 19);
    EXPECT_TRUE(overlapped.files == sequential.files);
}

}  // namespace
}  // namespace zemb

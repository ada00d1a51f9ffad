// Whole runs of the executable on small generated sequences: which files
// appear, their exact headers, the phase lines, exit statuses.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/app.h"
#include "support/support.h"

namespace zemb {
namespace {

using test::run_zemb;
using test::RunResult;
using test::TempDir;

constexpr int width = 12;
constexpr int height = 9;

// A grey-green background with a red 3 x 3 square that moves one column to
// the right per frame from frame `moving_from` on.
std::string frame_bytes(int number, int moving_from)
{
    int left = number >= moving_from ? 1 + (number - moving_from) : -10;
    return test::make_ppm(width, height, [&](int r, int c) {
        if (r >= 3 && r < 6 && c >= left && c < left + 3)
            return test::Rgb{220, 20, 20};
        return test::Rgb{std::uint8_t(90 + r), std::uint8_t(120 + c), 100};
    });
}

class Run : public ::testing::Test {
protected:
    void write_sequence(int first, int last, int moving_from = 1000)
    {
        for (int k = first; k <= last; ++k)
            test::write_file(dir / ("seq." + std::to_string(k) + ".ppm"), frame_bytes(k, moving_from));
    }
    bool exists(const std::string& name) { return test::file_exists(dir / name); }
    std::vector<std::string> masks(int from, int to)
    {
        std::vector<std::string> present;
        for (int k = from; k <= to; ++k)
            if (exists("seqMask." + std::to_string(k) + ".pgm"))
                present.push_back(std::to_string(k));
        return present;
    }
    TempDir dir;
};

TEST_F(Run, MasksAreWrittenForOnlineFramesOnly)
{
    write_sequence(1, 6);
    RunResult r = run_zemb(dir.path(), {"seq", "1", "6", "-K", "3"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(masks(0, 7), (std::vector<std::string>{"4", "5", "6"}));
    std::string mask = test::read_file(dir / "seqMask.4.pgm");
    EXPECT_EQ(mask.substr(0, 12), "P5\n12 9\n255\n");
    EXPECT_EQ(mask.size(), 12u + width * height);
    EXPECT_FALSE(exists("seqModel.1.ppm"));
}

TEST_F(Run, PhaseHeadersReportsAndKeyPromptFollowTheEcho)
{
    write_sequence(1, 6);
    RunResult r = run_zemb(dir.path(), {"seq", "1", "6", "-K", "3"});
    std::size_t calibration = r.out.find("\nTimes for calibration phase on 3 frames (from 1 to 3) ...\n"
                                         "  ZEMB (no I/O): ");
    std::size_t online = r.out.find("\nTimes for online phase on 3 frames (from 4 to 6) ...\n"
                                    "  ZEMB (no I/O): ");
    ASSERT_NE(calibration, std::string::npos) << r.out;
    ASSERT_NE(online, std::string::npos) << r.out;
    EXPECT_LT(calibration, online);
    EXPECT_NE(r.out.find(" msecs/frame\t"), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.size() - 29), "\n\nHit any key to continue...\n");
}

TEST_F(Run, LastMaskOnlyWritesTheMaskOfTheLastFrame)
{
    write_sequence(1, 6);
    RunResult r = run_zemb(dir.path(), {"seq", "1", "6", "-K", "3", "-l"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(masks(0, 7), (std::vector<std::string>{"6"}));
}

TEST_F(Run, ModelImagesCoverTheFirstAndEverySegmentedFrame)
{
    write_sequence(1, 4);
    RunResult r = run_zemb(dir.path(), {"seq", "1", "4", "-K", "2", "-m", "-n", "5"});
    EXPECT_EQ(r.status, 0);
    for (int k = 1; k <= 4; ++k) {
        std::string image = test::read_file(dir / ("seqModel." + std::to_string(k) + ".ppm"));
        EXPECT_EQ(image.substr(0, 13), "P6\n60 45\n255\n") << k;
        EXPECT_EQ(image.size(), 13u + 3u * 60 * 45) << k;
    }
    // The untrained model shows every pixel as a 5 x 5 tile of its own colour.
    std::string first = test::read_file(dir / "seqModel.1.ppm");
    std::string frame = frame_bytes(1, 1000);
    EXPECT_EQ(first.substr(13 + 3 * (7 * 60 + 13), 3), frame.substr(12 + 3 * (1 * 12 + 2), 3));
}

TEST_F(Run, EmptyOnlinePhaseReportsNoFramesAndWritesNoMask)
{
    write_sequence(1, 4);
    RunResult r = run_zemb(dir.path(), {"seq", "1", "4", "-K", "4", "-l"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\nTimes for online phase on 0 frames (from 5 to 4) ...\n"
                         "  ZEMB (no I/O): no frames segmented\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(masks(0, 6).empty());
}

TEST_F(Run, SingleCalibrationFrameSkipsCalibrationAndStartsOnlineAtTheSecondFrame)
{
    write_sequence(1, 3);
    RunResult r = run_zemb(dir.path(), {"seq", "1", "3", "-K", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\nTimes for calibration phase on 1 frames (from 1 to 1) ...\n"
                         "  ZEMB (no I/O): no frames segmented\n"
                         "\nTimes for online phase on 2 frames (from 2 to 3) ...\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(masks(0, 4), (std::vector<std::string>{"2", "3"}));
}

TEST_F(Run, MissingOnlineFrameGivesAMaskFromThePreviousPixels)
{
    write_sequence(1, 6);
    std::remove((dir / "seq.5.ppm").c_str());
    RunResult r = run_zemb(dir.path(), {"seq", "1", "6", "-K", "3"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Errore apertura file seq.5.ppm\n"), std::string::npos);
    EXPECT_EQ(masks(0, 7), (std::vector<std::string>{"4", "5", "6"}));
}

TEST_F(Run, CalibrationFramesBeyondTheLastAreStillAskedFor)
{
    write_sequence(1, 2);
    RunResult r = run_zemb(dir.path(), {"seq", "1", "2", "-K", "4"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Errore apertura file seq.3.ppm\nErrore apertura file seq.4.ppm\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("online phase on -2 frames (from 5 to 2)"), std::string::npos);
}

TEST_F(Run, FrameOfAnotherSizeIsSkippedAndTheRunGoesOn)
{
    write_sequence(1, 5);
    test::write_file(dir / "seq.4.ppm",
                     test::make_ppm(9, 12, [](int, int) { return test::Rgb{0, 0, 0}; }));
    RunResult r = run_zemb(dir.path(), {"seq", "1", "5", "-K", "3"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("zemb: seq.4.ppm: frame is 9 x 12, not 12 x 9 like the first frame"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(masks(0, 6), (std::vector<std::string>{"4", "5"}));
}

TEST_F(Run, UnwritableMaskFinishesTheRunAndExitsOne)
{
    write_sequence(1, 6);
    ASSERT_EQ(mkdir((dir / "seqMask.5.pgm").c_str(), 0755), 0);
    RunResult r = run_zemb(dir.path(), {"seq", "1", "6", "-K", "3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Errore apertura file seqMask.5.pgm\n"), std::string::npos);
    EXPECT_NE(r.err.find("zemb: 1 output file could not be written\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.substr(r.out.size() - 28), "\nHit any key to continue...\n");
    EXPECT_TRUE(exists("seqMask.4.pgm"));
    EXPECT_TRUE(exists("seqMask.6.pgm"));
}

TEST_F(Run, MovingSquareIsForegroundAndTheBackgroundIsNot)
{
    // Ten frames of still background train the model; then the square moves.
    write_sequence(1, 14, 12);
    RunResult r = run_zemb(dir.path(), {"seq", "1", "14", "-K", "11"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string mask = test::read_file(dir / "seqMask.14.pgm").substr(12);
    ASSERT_EQ(mask.size(), std::size_t(width * height));
    int left = 1 + (14 - 12);
    for (int row = 0; row < height; ++row)
        for (int col = 0; col < width; ++col) {
            bool inside = row >= 3 && row < 6 && col >= left && col < left + 3;
            EXPECT_EQ(std::uint8_t(mask[row * width + col]), inside ? 255 : 0)
                << "row " << row << " col " << col;
        }
}

// ---- Memory -------------------------------------------------------------------

// What --estimate-memory prints (the figure the memory check compares) is
// at least what the run really holds at its peak.
TEST_F(Run, MemoryEstimateIsAtLeastThePeakOfTheRun)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's own memory is no part of the estimate";
#endif
    for (int k = 1; k <= 3; ++k) {
        test::write_file(dir / ("big." + std::to_string(k) + ".ppm"),
                         test::make_ppm(160, 120, [k](int r, int c) {
                             return test::Rgb{std::uint8_t(r + k), std::uint8_t(c), std::uint8_t(r * c)};
                         }));
        // A wide frame, where the engine's scratch outweighs its models.
        test::write_file(dir / ("wide." + std::to_string(k) + ".ppm"),
                         test::make_ppm(1000000, 1, [k](int, int c) {
                             return test::Rgb{std::uint8_t(c * k), std::uint8_t(c >> 8), 7};
                         }));
    }
    struct Case {
        std::vector<std::string> args;
    };
    std::vector<Case> cases;
    for (const char* n : {"1", "3", "9"})
        for (const char* j : {"1", "4"})
            cases.push_back({{"big", "1", "3", "-K", "2", "-n", n, "-j", j}});
    cases.push_back({{"big", "1", "3", "-K", "2", "-n", "5", "-m"}});
    cases.push_back({{"wide", "1", "3", "-K", "2", "-n", "1"}});
    for (const Case& c : cases) {
        std::string trace;
        for (const std::string& a : c.args)
            trace += a + " ";
        SCOPED_TRACE(trace);
        std::vector<std::string> asked = c.args;
        asked.push_back("--estimate-memory");
        const RunResult estimate = run_zemb(dir.path(), asked);
        ASSERT_EQ(estimate.status, 0) << estimate.err;
        std::uint64_t peak = 0;
        const RunResult run = test::run_zemb_measured(dir.path(), c.args, peak);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_GE(std::stoull(estimate.out), peak);
    }
}

// ---- Stop signals ---------------------------------------------------------------

// Outputs of the folder that are cut short, and temporary files left over.
std::vector<std::string> broken_outputs(const TempDir& dir, std::size_t mask_bytes,
                                        std::size_t model_bytes)
{
    std::vector<std::string> broken;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        const std::string name = entry.path().filename().string();
        const std::size_t size = std::filesystem::file_size(entry.path());
        if (name.rfind(".zemb-", 0) == 0 ||
            (name.find("Mask.") != std::string::npos && size != mask_bytes) ||
            (name.find("Model.") != std::string::npos && size != model_bytes))
            broken.push_back(name);
    }
    return broken;
}

// Deterministically in the middle of a write: the temporary file goes, the
// earlier file under the name stays whole, the message names the frame, and
// the process ends as the signal would have.
TEST(Stop, ASignalDuringAWriteLeavesOnlyTheEarlierWholeFile)
{
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        TempDir dir;
        const std::string mask = dir / "walkMask.205.pgm";
        test::write_file(mask, "earlier");
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::freopen((dir / "err").c_str(), "w", stderr);
            install_stop_handlers();
            note_frame(205);
            OutputFile file;
            if (!file.create(mask.c_str()).ok())
                _exit(1);
            std::fputs("P5\n2 1\n255\n", file.stream());
            std::fflush(file.stream());
            raise(signal);
            _exit(2);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_EQ(test::read_file(mask), "earlier");
        EXPECT_EQ(test::read_file(dir / "err"),
                  std::string("zemb: stopped by SIG") + sigabbrev_np(signal) + " at frame 205\n");
        std::filesystem::remove(dir / "err");
        EXPECT_EQ(broken_outputs(dir, 7, 0), std::vector<std::string>{});
    }
}

// The real program stopped at some frame of a long run: the status says
// which signal, and every output in the folder is whole.
TEST_F(Run, AStoppedRunLeavesOnlyWholeOutputs)
{
    // Frames past the third are missing: the run goes on with the third's
    // pixels, writing a mask and a model image each time, until stopped.
    write_sequence(1, 3, 2);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        const int pid = test::start_program(ZEMB_EXE, dir.path(),
                                            {"seq", "1", "1000000", "-K", "2", "-m"}, 60);
        for (int waited_ms = 0; !exists("seqMask.20.pgm") && waited_ms < 60000; ++waited_ms)
            usleep(1000);
        kill(pid, signal);
        const RunResult r = test::finish_program(pid, dir.path());
        EXPECT_EQ(r.status, 128 + signal);
        EXPECT_NE(r.err.find(std::string("zemb: stopped by SIG") + sigabbrev_np(signal) + " at frame "),
                  std::string::npos)
            << r.err.substr(r.err.size() > 300 ? r.err.size() - 300 : 0);
        EXPECT_EQ(broken_outputs(dir, 12 + width * height, 13 + 3 * 9 * width * height),
                  std::vector<std::string>{});
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            if (entry.path().filename().string().find("Mask.") != std::string::npos ||
                entry.path().filename().string().find("Model.") != std::string::npos)
                std::filesystem::remove(entry.path());
    }
}

}  // namespace
}  // namespace zemb

// The executable's start-up: usage text, settings echo, faulty command lines.
#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "support/support.h"

namespace zemb {
namespace {

using test::run_zemb;
using test::TempDir;

const char* const usage_body =
    "Usage:\n"
    "  ZEMB <SeqName> <#FirstFrame> <#LastFrame> [Parameters]\n\n"
    "<SeqName>:     sequence name (complete path)\n"
    "<#FirstFrame>: number of first sequence frame\n"
    "<#LastFrame>:  number of last sequence frame\n"
    "[parameters]:  optional, including:\n"
    "  -n #:  (square root of) number of weight vectors for each pixel. Default 3\n"
    "  -K #:\t Number of initial frames for calibration. Default 200\n"
    "  -e1 #: Distance threshold for calibration phase (eqn. (2)). Default 0.1\n"
    "  -e2 #: Distance threshold for online phase (eqn. (2)). Default 0.03\n"
    "  -c1 #: Learning rate c1 for calibration phase (eqn. (4)). Default 1.0\n"
    "  -c2 #: Learning rate c2 for online phase (eqn. (4)). Default 0.05\n"
    "  -g #:\t Value for gamma in eqn. (5). Default 0.7\n"
    "  -b #:\t Value for beta in eqn. (5). Default 1.0\n"
    "  -tS #: Value for tau_S in eqn. (5). Default 0.1\n"
    "  -tH #: Value for tau_H in eqn. (5). Default 10.0\n"
    "  -s:    To apply shadow removal. Default: no shadow removal\n"
    "  -m:    To save background model images. Default: do not save\n"
    "  -l:    To save just last detection mask. Default: save all\n"
    "  -j #:    Worker threads for segmentation (same result for any number). Default 1\n"
    "  --estimate-memory: print the bytes the run would hold, and stop\n"
    "Hit any key to continue...\n";

std::string default_echo(const std::string& sequence, const std::string& base)
{
    return "ZEMB on sequence " + sequence + "\n\n\n"
           "No. of images =         3 (from 1 to 3)\n"
           "Image size =            4 x 3\n"
           "Frames for calibration: K=200\n"
           "Neighborhood size:      n=3 (9 weight vectors per pixel)\n"
           "Distance thresholds:    e1=0.1000 (calibration), e2=0.0300 (online)\n"
           "Learning rates:         c1=1.0000 (calibration), c2=0.0500 (online)\n"
           "Save all masks (0/1):   1\n"
           "Save models (0/1):      0\n"
           "Shadow removal (0/1):   0\n"
           "Output is in file(s):   " + base + "Mask\n";
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::write_file(dir / "seq.1.ppm",
                         test::make_ppm(4, 3, [](int r, int c) {
                             return test::Rgb{std::uint8_t(r * 60), std::uint8_t(c * 60), 90};
                         }));
    }
    TempDir dir;
};

TEST_F(Cli, FewerThanThreeArgumentsShowTheUsageTextAndExitZero)
{
    for (auto args : {std::vector<std::string>{}, {"seq", "1"}}) {
        test::RunResult r = run_zemb(dir.path(), args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        std::size_t body = r.out.find("Usage:\n");
        ASSERT_NE(body, std::string::npos);
        EXPECT_EQ(r.out.substr(body), usage_body);
        // Seven banner lines and one empty line come before "Usage:".
        std::string banner = r.out.substr(0, body);
        EXPECT_EQ(std::count(banner.begin(), banner.end(), '\n'), 8);
        EXPECT_EQ(banner.substr(banner.size() - 2), "\n\n");
    }
}

TEST_F(Cli, SettingsEchoShowsTheStoredValues)
{
    test::RunResult r = run_zemb(dir.path(), {"seq", "1", "3"});
    EXPECT_EQ(r.out.substr(0, default_echo("seq", "seq").size()), default_echo("seq", "seq"));
}

TEST_F(Cli, SettingsEchoWithShadowRemovalAndLastMaskOnly)
{
    test::RunResult r = run_zemb(dir.path(), {"seq", "1", "3", "-l", "-s", "-g", "0.65",
                                              "-tH", "12.5", "-e2", "0.005", "-m"});
    EXPECT_NE(r.out.find("Distance thresholds:    e1=0.1000 (calibration), e2=0.0050 (online)\n"
                         "Learning rates:         c1=1.0000 (calibration), c2=0.0500 (online)\n"
                         "Save all masks (0/1):   0\n"
                         "Save models (0/1):      1\n"
                         "Shadow removal (0/1):   1\n"
                         "  gamma = 0.6500, beta = 1.0000, Th_S = 0.1000, Th_H = 12.5000\n"
                         "Output is in file(s):   seqMask\n"),
              std::string::npos)
        << r.out;
}

TEST_F(Cli, SettingsEchoNamesTheWorkerThreadsOnlyWhenThereAreSeveral)
{
    const std::string line = "Worker threads:         ";
    // One thread: the echo is the plain one.
    test::RunResult one = run_zemb(dir.path(), {"seq", "1", "3", "-j", "1"});
    EXPECT_EQ(one.out.substr(0, default_echo("seq", "seq").size()), default_echo("seq", "seq"));
    EXPECT_EQ(one.out.find(line), std::string::npos);

    test::RunResult two = run_zemb(dir.path(), {"seq", "1", "3", "-s", "-j", "2"});
    EXPECT_NE(two.out.find("  gamma = 0.7000, beta = 1.0000, Th_S = 0.1000, Th_H = 10.0000\n" +
                           line + "2\n" + "Output is in file(s):   seqMask\n"),
              std::string::npos)
        << two.out;
    // Never more threads than the frame's three rows.
    test::RunResult many = run_zemb(dir.path(), {"seq", "1", "3", "-j", "8"});
    EXPECT_NE(many.out.find("Shadow removal (0/1):   0\n" + line + "3\n"), std::string::npos)
        << many.out;

    // -j 0: one thread per core the process may run on, here only one.
    cpu_set_t saved, single;
    ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
    CPU_ZERO(&single);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &saved)) {
            CPU_SET(cpu, &single);
            break;
        }
    ASSERT_EQ(sched_setaffinity(0, sizeof single, &single), 0);
    test::RunResult pinned = run_zemb(dir.path(), {"seq", "1", "3", "-j", "0"});
    sched_setaffinity(0, sizeof saved, &saved);
    EXPECT_EQ(pinned.out.find(line), std::string::npos) << pinned.out;
}

TEST_F(Cli, EstimateMemoryPrintsOneNumberAndRunsNothing)
{
    // Only the first frame's header is read. Its size makes each setting's
    // share larger than the few pages by which the program's own memory
    // varies from one start to the next.
    test::write_file(dir / "big.1.ppm", "P6\n1000 1000\n255\n");
    auto estimate = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = {"big", "1", "3", "-K", "2"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back("--estimate-memory");
        const test::RunResult r = run_zemb(dir.path(), args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out.find_first_not_of("0123456789"), r.out.size() - 1) << r.out;
        EXPECT_EQ(r.out.back(), '\n');
        return std::stoull(r.out);
    };
    const auto plain = estimate({});
    EXPECT_GT(estimate({"-n", "9"}), plain);
    EXPECT_GT(estimate({"-m"}), plain);
    EXPECT_GT(estimate({"-j", "3"}), plain);
    EXPECT_FALSE(test::file_exists(dir / "bigMask.3.pgm"));
}

TEST_F(Cli, SequenceInAnotherFolderReadsFromItAndWritesHere)
{
    std::filesystem::create_directory(dir / "frames");
    std::filesystem::rename(dir / "seq.1.ppm", dir / "frames/in.1.ppm");
    test::RunResult r = run_zemb(dir.path(), {"frames/in", "1", "3"});
    EXPECT_EQ(r.out.substr(0, default_echo("frames/in", "in").size()),
              default_echo("frames/in", "in"));
}

TEST_F(Cli, SwitchBeforeThePositionalArgumentsIsStillConsumed)
{
    // "-s" stands where the sequence name belongs; it is taken as one and
    // afterwards also read as the flag.
    test::write_file(dir / "-s.1.ppm", test::read_file(dir / "seq.1.ppm"));
    test::RunResult r = run_zemb(dir.path(), {"-s", "1", "3"});
    EXPECT_NE(r.out.find("ZEMB on sequence -s\n"), std::string::npos);
    EXPECT_NE(r.out.find("Shadow removal (0/1):   1\n"), std::string::npos);
}

TEST_F(Cli, FaultySwitchesEndWithStatusTwoBeforeAnyOutput)
{
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    for (const Case& c : {
             Case{{"seq", "1", "3", "-n", "5x"}, "Lread_iswitch: Manca arg. per \"-n\"\n"},
             Case{{"seq", "1", "3", "-e1", "0,1"}, "Lread_dswitch: Manca arg. per \"-e1\"\n"},
             Case{{"seq", "1", "3", "-tS"}, "Lread_switch: Manca arg. dopo \"-tS\"\n"},
             Case{{"seq", "1", "3", "-e1", "-n", "5"}, "Lread_switch: Manca arg. dopo \"-e1\"\n"},
             Case{{"seq", "1", "3", "-j", "two"}, "Lread_iswitch: Manca arg. per \"-j\"\n"},
         }) {
        test::RunResult r = run_zemb(dir.path(), c.args);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(Cli, ValuesARunCannotUseEndWithStatusTwo)
{
    for (auto args : {std::vector<std::string>{"seq", "1", "3", "-n", "4"},
                      {"seq", "1", "3", "-n", "0"},
                      {"seq", "1", "3", "-n", "11"},
                      {"seq", "1", "3", "-n", "-3"},
                      {"seq", "1", "3", "-K", "0"},
                      {"seq", "1", "3", "-K", "-5"},
                      {"seq", "2", "3", "-K", "2147483647"},
                      {"seq", "1", "3", "-j", "-1"}}) {
        test::RunResult r = run_zemb(dir.path(), args);
        EXPECT_EQ(r.status, 2) << args[4];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("zemb: ", 0), 0u) << r.err;
    }
}

TEST_F(Cli, MissingOrEmptyFirstFrameStopsWithStatusOneBeforeTheEcho)
{
    test::RunResult missing = run_zemb(dir.path(), {"seq", "5", "9"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "Errore apertura file seq.5.ppm\n");
    EXPECT_NE(missing.err.find("zemb: seq.5.ppm: "), std::string::npos);

    test::write_file(dir / "seq.6.ppm", "P6\n0 3\n255\n");
    test::RunResult empty = run_zemb(dir.path(), {"seq", "6", "9"});
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.out, "");
    EXPECT_NE(empty.err.find("no pixels"), std::string::npos);

    test::write_file(dir / "seq.7.ppm", "P5\n4 3\n255\n............");
    test::RunResult grey = run_zemb(dir.path(), {"seq", "7", "9"});
    EXPECT_EQ(grey.status, 1);
    EXPECT_NE(grey.err.find("not a binary colour PPM"), std::string::npos);
}

TEST_F(Cli, FrameTooLargeToHoldIsRefusedBeforeAllocating)
{
    test::write_file(dir / "seq.8.ppm", "P6\n100000 100000\n255\n");
    test::RunResult r = run_zemb(dir.path(), {"seq", "8", "9", "-n", "9"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("MiB"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace zemb

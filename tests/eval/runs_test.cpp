// zemb-eval and zemb-sweep on real zemb runs over frames with a known moving square.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "stb_image_write.h"
#include "support/support.h"

namespace zemb {
namespace {

using test::RunResult;
using test::TempDir;

constexpr int W = 32, H = 24;
constexpr int frames = 30, calibration = 10;  // masks for frames 11..30
constexpr int side = 6;                       // of the square, which appears after calibration

bool in_square(int frame, int r, int c)
{
    if (frame <= calibration)
        return false;
    const int top = 9, left = 3 + (frame - calibration);  // one column further each frame
    return r >= top && r < top + side && c >= left && c < left + side;
}

// Frames seq/in.<k>.ppm: a still, smooth background and a red square moving
// right; ground truth in the benchmark's layout, scored from frame 15 on.
void make_sequence(const TempDir& dir)
{
    std::filesystem::create_directories(dir / "seq/groundtruth");
    for (int k = 1; k <= frames; ++k) {
        test::write_file(dir / ("seq/in." + std::to_string(k) + ".ppm"),
                         test::make_ppm(W, H, [k](int r, int c) {
                             if (in_square(k, r, c))
                                 return test::Rgb{220, 20, 30};
                             return test::Rgb{std::uint8_t(90 + 2 * c), std::uint8_t(100 + r),
                                              std::uint8_t(110)};
                         }));
        std::vector<std::uint8_t> truth(W * H);
        for (int r = 0; r < H; ++r)
            for (int c = 0; c < W; ++c)
                truth[r * W + c] = in_square(k, r, c) ? 255 : 0;
        char name[64];
        std::snprintf(name, sizeof name, "seq/groundtruth/gt%06d.png", k);
        ASSERT_NE(stbi_write_png((dir / name).c_str(), W, H, 1, truth.data(), W), 0);
    }
    test::write_file(dir / "seq/temporalROI.txt", "15 100\n");
}

std::string value(const std::string& kv, const std::string& key)
{
    const std::size_t at = kv.find(key + "=");
    if (at == std::string::npos)
        return "";
    const std::size_t start = at + key.size() + 1;
    return kv.substr(start, kv.find('\n', start) - start);
}

TEST(Runs, ZembFindsTheMovingSquareAndTheScoreCountsEveryTruePixel)
{
    TempDir dir;
    make_sequence(dir);
    std::filesystem::create_directories(dir / "out");
    const RunResult run = test::run_zemb(dir / "out", {"../seq/in", "1", std::to_string(frames), "-K",
                                                       std::to_string(calibration)});
    ASSERT_EQ(run.status, 0) << run.out << run.err;

    const RunResult r = test::run_program(ZEMB_EVAL_EXE, dir.path(), {"--kv", "out", "seq"});
    ASSERT_EQ(r.status, 0) << r.err;
    const long long scored = frames - 15 + 1;
    EXPECT_EQ(value(r.out, "first"), "15");
    EXPECT_EQ(value(r.out, "last"), std::to_string(frames));
    EXPECT_EQ(std::stoll(value(r.out, "TP")) + std::stoll(value(r.out, "FN")), scored * side * side);
    EXPECT_EQ(std::stoll(value(r.out, "FP")) + std::stoll(value(r.out, "TN")),
              scored * (W * H - side * side));
    EXPECT_GT(std::stod(value(r.out, "recall")), 0.9) << r.out;
    EXPECT_GT(std::stod(value(r.out, "precision")), 0.9) << r.out;
}

// In a folder whose name holds a '%', which a frame pattern must take as text.
TEST(Runs, SweepRanksEachSettingAndCleansUp)
{
    TempDir top;
    make_sequence(top);
    std::filesystem::rename(top / "seq", top / "100%d");
    const std::string dir = top / "100%d";
    std::filesystem::create_directories(dir + "/scratch");
    const RunResult r = test::run_program(
        ZEMB_SWEEP_SCRIPT, dir,
        {"--zemb", ZEMB_EXE, "--eval", ZEMB_EVAL_EXE, "--scratch", "scratch", "-j", "2", "in.%d.ppm", "1",
         std::to_string(frames), ".", "-K", std::to_string(calibration), "-e2", "0.02,0.05"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.rfind("F-measure  recall     precision  PWC         seconds  settings\n", 0), 0u)
        << r.out;
    EXPECT_NE(r.out.find("  -K 10 -e2 0.02\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  -K 10 -e2 0.05\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nbest: zemb in.%d.ppm 1 30 -K 10 -e2 0.0"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("[2/2]"), std::string::npos) << r.err;
    EXPECT_TRUE(std::filesystem::is_empty(dir + "/scratch"));
}

TEST(Runs, SweepRefusesAFaultyGrid)
{
    TempDir dir;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"seq/in", "1", "30", "seq", "-e2", "0.1,,0.2"},
          std::vector<std::string>{"seq/in", "1", "30", "seq", "-e2", "0.1", "-e2", "0.2"},
          std::vector<std::string>{"seq/in", "1", "30", "seq", "-l"},
          std::vector<std::string>{"seq/in", "1", "30"}}) {
        const RunResult r = test::run_program(ZEMB_SWEEP_SCRIPT, dir.path(), args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find("Usage: zemb-sweep"), std::string::npos) << r.err;
    }
}

}  // namespace
}  // namespace zemb

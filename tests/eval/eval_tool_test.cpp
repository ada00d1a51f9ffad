// zemb-eval against hand-made masks and ground truth whose counts are known.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/support.h"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#include "stb_image_write.h"

namespace zemb {
namespace {

using test::RunResult;
using test::TempDir;
using Bytes = std::vector<std::uint8_t>;

constexpr int W = 5, H = 3;

// Every ground-truth class once per row.
const Bytes classes_truth = {0, 50, 85, 170, 255,  //
                             0, 50, 85, 170, 255,  //
                             0, 50, 85, 170, 255};
// Foreground, background, and a non-zero value that is not 255.
const Bytes mixed_mask = {255, 255, 255, 255, 255,  //
                          0,   0,   0,   0,   0,    //
                          7,   7,   7,   7,   7};
// That pair counts TP 2, FP 4, FN 1, TN 2.

std::string pgm(int w, int h, const Bytes& pixels)
{
    return "P5\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n" +
           std::string(pixels.begin(), pixels.end());
}

// A ground-truth PNG with `channels` channels; colour ones carry the class in
// the first channel and other values in the rest.
void write_png(const std::string& path, int w, int h, const Bytes& grey, int channels = 1)
{
    Bytes data;
    for (std::uint8_t v : grey) {
        data.push_back(v);
        for (int k = 1; k < channels; ++k)
            data.push_back(static_cast<std::uint8_t>(k == 3 ? 255 : 255 - v + k));
    }
    ASSERT_NE(stbi_write_png(path.c_str(), w, h, channels, data.data(), w * channels), 0) << path;
}

class EvalTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(dir / "seq/groundtruth");
        std::filesystem::create_directories(dir / "out");
    }

    std::string gt(int k) const
    {
        char name[64];
        std::snprintf(name, sizeof name, "seq/groundtruth/gt%06d.png", k);
        return dir / name;
    }
    std::string mask(int k) const { return dir / ("out/inMask." + std::to_string(k) + ".pgm"); }

    // Frames first..last with the class truth and the mixed mask.
    void frames(int first, int last)
    {
        for (int k = first; k <= last; ++k) {
            write_png(gt(k), W, H, classes_truth);
            test::write_file(mask(k), pgm(W, H, mixed_mask));
        }
    }

    RunResult eval(std::vector<std::string> args) const
    {
        return test::run_program(ZEMB_EVAL_EXE, dir.path(), args);
    }

    TempDir dir;
};

TEST_F(EvalTool, ScoresEveryGroundTruthClassOfABenchmarkFolder)
{
    frames(1, 1);
    const RunResult r = eval({"--kv", "out", "seq"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "first=1\nlast=1\nframes=1\nTP=2\nFP=4\nFN=1\nTN=2\n"
              "recall=0.666667\nspecificity=0.333333\nFPR=0.666667\nFNR=0.333333\n"
              "PWC=55.555556\nprecision=0.333333\nF-measure=0.444444\n");
}

TEST_F(EvalTool, PrintsAReadableSummaryByDefault)
{
    frames(1, 1);
    const RunResult r = eval({"out", "seq"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("frames       1..1 (1)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("TP           2\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("F-measure    0.444444\n"), std::string::npos) << r.out;
}

TEST_F(EvalTool, LeavesOutPixelsOutsideTheRegionOfInterestAndReadsColourFiles)
{
    write_png(gt(1), W, H, classes_truth, 4);
    test::write_file(mask(1), pgm(W, H, mixed_mask));
    // Region: everything but the column of moving pixels, stored as a colour BMP.
    Bytes roi;
    for (int i = 0; i < W * H; ++i)
        for (int k = 0; k < 3; ++k)
            roi.push_back(k == 0 ? (i % W == 4 ? 0 : 255) : 128);
    ASSERT_NE(stbi_write_bmp((dir / "seq/ROI.bmp").c_str(), W, H, 3, roi.data()), 0);
    const RunResult r = eval({"--kv", "out", "seq"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("TP=0\nFP=4\nFN=0\nTN=2\nrecall=nan\n"), std::string::npos) << r.out;
}

TEST_F(EvalTool, ScoresTheTemporalRegionWithinTheMasksPresentUnlessFramesAreGiven)
{
    frames(1, 5);
    test::write_file(dir / "seq/temporalROI.txt", "3 9");
    RunResult r = eval({"--kv", "out", "seq"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("first=3\nlast=5\nframes=3\nTP=6\nFP=12\nFN=3\nTN=6\n"), std::string::npos)
        << r.out;

    r = eval({"--kv", "--first", "1", "--last=2", "out", "seq"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("first=1\nlast=2\nframes=2\nTP=4\n"), std::string::npos) << r.out;

    r = eval({"--kv", "--temporal-roi", "seq/other.txt", "out", "seq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("zemb-eval: seq/other.txt: cannot open"), std::string::npos) << r.err;

    test::write_file(dir / "seq/temporalROI.txt", "7 9\n");
    r = eval({"out", "seq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no frame to score"), std::string::npos) << r.err;
}

TEST_F(EvalTool, PrintsOneCsvLinePerFrameAndATotal)
{
    frames(1, 2);
    test::write_file(mask(2), pgm(W, H, Bytes(W * H, 0)));
    const RunResult r = eval({"--csv", "out", "seq"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "frame,TP,FP,FN,TN,recall,specificity,FPR,FNR,PWC,precision,F-measure\n"
              "1,2,4,1,2,0.666667,0.333333,0.666667,0.333333,55.555556,0.333333,0.444444\n"
              "2,0,0,3,6,0.000000,1.000000,0.000000,1.000000,33.333333,nan,nan\n"
              "total,2,4,4,8,0.333333,0.666667,0.333333,0.666667,44.444444,0.333333,0.333333\n");
}

TEST_F(EvalTool, JsonSummaryShowsUndefinedScoresAsNull)
{
    write_png(gt(4), W, H, Bytes(W * H, 0));
    test::write_file(mask(4), pgm(W, H, Bytes(W * H, 0)));
    const RunResult r = eval({"--json", "out", "seq"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"first\": 4, \"last\": 4, \"frames\": 1, \"TP\": 0, \"FP\": 0, \"FN\": 0, \"TN\": 15, "
              "\"recall\": null, \"specificity\": 1.000000, \"FPR\": 0.000000, \"FNR\": null, "
              "\"PWC\": 0.000000, \"precision\": null, \"F-measure\": null}\n");
}

TEST_F(EvalTool, AMissingFileInsideTheRangeIsAnErrorNamingIt)
{
    frames(1, 4);
    std::filesystem::remove(mask(3));
    RunResult r = eval({"out", "seq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "zemb-eval: out/inMask.3.pgm: cannot open: No such file or directory\n");

    frames(3, 3);
    std::filesystem::remove(gt(2));
    r = eval({"out", "seq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zemb-eval: seq/groundtruth/gt000002.png: cannot open: No such file or directory\n");
}

TEST_F(EvalTool, DamagedFilesAreErrorsNamingThemAndHeaderCommentsAreRead)
{
    frames(1, 1);
    test::write_file(gt(1), "not an image at all");
    RunResult r = eval({"out", "seq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("zemb-eval: seq/groundtruth/gt000001.png: cannot decode the image", 0), 0u) << r.err;

    frames(1, 1);
    test::write_file(mask(1), pgm(W, H, mixed_mask).substr(0, 20));
    r = eval({"out", "seq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zemb-eval: out/inMask.1.pgm: the raster ends after 9 of 15 bytes\n");

    test::write_file(mask(1), "P5\n5 3\n65535\n" + std::string(30, '\0'));
    r = eval({"out", "seq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zemb-eval: out/inMask.1.pgm: maxval 65535: only 8-bit PGM is read\n");

    // Comments may sit between the header fields.
    test::write_file(mask(1), "P5 # zemb\n5 # width\n3\n255\n" +
                                  std::string(mixed_mask.begin(), mixed_mask.end()));
    r = eval({"--kv", "out", "seq"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("TP=2\nFP=4\nFN=1\nTN=2\n"), std::string::npos) << r.out;
}

TEST_F(EvalTool, ASizeMismatchNamesBothFiles)
{
    frames(1, 1);
    test::write_file(mask(1), pgm(H, W, mixed_mask));
    RunResult r = eval({"out", "seq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "zemb-eval: out/inMask.1.pgm: the mask has 3 x 5 pixels but its ground truth "
              "seq/groundtruth/gt000001.png has 5 x 3\n");

    frames(1, 1);
    test::write_file(dir / "roi.pgm", pgm(2, 2, Bytes(4, 255)));
    r = eval({"--roi", "roi.pgm", "out", "seq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("zemb-eval: roi.pgm: the region of interest has 2 x 2 pixels but the ground "
                         "truth seq/groundtruth/gt000001.png has 5 x 3"),
              std::string::npos)
        << r.err;
}

// A BMP that claims width x height pixels and holds a few bytes of them.
std::string empty_bmp(std::uint32_t width, std::uint32_t height)
{
    std::string b(70, '\0');
    const std::uint32_t fields[][2] = {{2, 54 + 3 * width * height}, {10, 54}, {14, 40}, {18, width},
                                       {22, height}, {26, 1 | (24 << 16)}};
    for (const auto& f : fields)
        std::memcpy(&b[f[0]], &f[1], 4);
    b[0] = 'B';
    b[1] = 'M';
    return b;
}

TEST_F(EvalTool, BothClaimedSizesAreComparedBeforeEitherFileIsDecoded)
{
    frames(1, 1);
    test::write_file(gt(1), empty_bmp(4000, 3000));
    RunResult r = eval({"out", "seq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zemb-eval: out/inMask.1.pgm: the mask has 5 x 3 pixels but its ground truth "
                     "seq/groundtruth/gt000001.png has 4000 x 3000\n");

    test::write_file(gt(1), empty_bmp(16384, 16384));
    r = eval({"out", "seq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("zemb-eval: seq/groundtruth/gt000001.png: cannot decode the image", 0), 0u) << r.err;

    frames(1, 1);
    test::write_file(mask(1), "P5\n10000 10000\n255\n");
    r = eval({"out", "seq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zemb-eval: out/inMask.1.pgm: the mask has 10000 x 10000 pixels but its ground truth "
                     "seq/groundtruth/gt000001.png has 5 x 3\n");
}

// temporalROI.txt is opened as frames are: nothing that blocks, nothing
// read past a short prefix.
TEST_F(EvalTool, RefusesATemporalRegionFileThatIsNoShortRegularFile)
{
    frames(1, 1);
    const std::string temporal = dir / "seq/temporalROI.txt";
    ASSERT_EQ(mkfifo(temporal.c_str(), 0600), 0);
    RunResult r = eval({"out", "seq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zemb-eval: seq/temporalROI.txt: is a FIFO, not a frame file\n");

    std::filesystem::remove(temporal);
    test::write_file(temporal, "201 250");
    ASSERT_EQ(truncate(temporal.c_str(), 1L << 30), 0);  // then 1 GB of zeros, sparse
    r = eval({"out", "seq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("seq/temporalROI.txt: longer than 4096 bytes"), std::string::npos) << r.err;
}

// Also where the folders' names hold a '%'.
TEST_F(EvalTool, FindsTheBenchmarksMaskNamesInAFolder)
{
    frames(1, 2);
    std::filesystem::create_directories(dir / "bins%d");
    for (int k = 1; k <= 2; ++k)
        test::write_file(dir / ("bins%d/bin00000" + std::to_string(k) + ".png"), test::read_file(mask(k)));
    std::filesystem::rename(dir / "seq", dir / "seq%d");
    const RunResult r = eval({"--kv", "bins%d", "seq%d"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("first=1\nlast=2\nframes=2\nTP=4\n"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace zemb

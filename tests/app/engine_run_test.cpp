// Whole runs of zemb (fast engine, on one thread or several) and
// zemb-reference (straightforward functions) on the bundled sample must write
// the same bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/support.h"

namespace zemb {
namespace {

struct Outputs {
    std::vector<std::string> files;  // every mask and model image, in order
    std::string report;              // standard output without the timing figures
};

std::string unpack_sample(const test::TempDir& dir)
{
    std::string unpack = std::string("cd '") + dir.path() + "' && '" + ZEMB_CMAKE +
                         "' -E tar xf '" + ZEMB_SAMPLES_DIR + "/walk-160x120.tar.xz'";
    return std::system(unpack.c_str()) == 0 ? "" : "cannot unpack the sample";
}

Outputs run(const char* exe, const std::vector<std::string>& args, int first, int last, int K)
{
    test::TempDir dir;
    Outputs o;
    if (!unpack_sample(dir).empty())
        return o;
    test::RunResult r = test::run_program(exe, dir.path(), args);
    EXPECT_EQ(r.status, 0) << r.err;
    for (int k = first; k <= last; ++k) {
        o.files.push_back(test::read_file(dir / ("walkModel." + std::to_string(k) + ".ppm")));
        if (k >= first + K)
            o.files.push_back(test::read_file(dir / ("walkMask." + std::to_string(k) + ".pgm")));
    }
    return o;
}

TEST(Engines, FastAndReferenceRunsWriteIdenticalMasksAndModelImages)
{
    // A short calibration, shadow removal and model images for every frame.
    const std::vector<std::string> args = {"walk", "3", "32", "-K", "12", "-s", "-m"};
    Outputs fast = run(ZEMB_EXE, args, 3, 32, 12);
    Outputs reference = run(ZEMB_REFERENCE_EXE, args, 3, 32, 12);
    ASSERT_EQ(fast.files.size(), reference.files.size());
    for (std::size_t i = 0; i < fast.files.size(); ++i) {
        ASSERT_FALSE(reference.files[i].empty()) << "output " << i << " missing";
        EXPECT_TRUE(fast.files[i] == reference.files[i]) << "output " << i << " differs";
    }
}

TEST(Engines, FastAndReferenceRunsAgreeWithWideBlocks)
{
    const std::vector<std::string> args = {"walk", "1", "16", "-K", "6", "-n", "5", "-m"};
    Outputs fast = run(ZEMB_EXE, args, 1, 16, 6);
    Outputs reference = run(ZEMB_REFERENCE_EXE, args, 1, 16, 6);
    ASSERT_EQ(fast.files.size(), reference.files.size());
    for (std::size_t i = 0; i < fast.files.size(); ++i) {
        ASSERT_FALSE(reference.files[i].empty()) << "output " << i << " missing";
        EXPECT_TRUE(fast.files[i] == reference.files[i]) << "output " << i << " differs";
    }
}

TEST(Engines, RunsOnSeveralThreadsWriteTheSameBytesAsOnOne)
{
    const std::vector<std::string> base = {"walk", "1", "24", "-K", "8", "-s", "-m"};
    auto with_threads = [&](const char* j) {
        std::vector<std::string> args = base;
        args.insert(args.end(), {"-j", j});
        return run(ZEMB_EXE, args, 1, 24, 8);
    };
    Outputs one = with_threads("1");
    Outputs reference = run(ZEMB_REFERENCE_EXE, base, 1, 24, 8);
    for (const char* j : {"3", "0"}) {
        Outputs several = with_threads(j);
        ASSERT_EQ(several.files.size(), one.files.size());
        for (std::size_t i = 0; i < one.files.size(); ++i) {
            ASSERT_FALSE(one.files[i].empty()) << "output " << i << " missing";
            EXPECT_TRUE(several.files[i] == one.files[i]) << "-j " << j << " output " << i;
            EXPECT_TRUE(several.files[i] == reference.files[i]) << "-j " << j << " output " << i;
        }
    }
}

}  // namespace
}  // namespace zemb

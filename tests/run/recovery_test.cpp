// -G (ghosts learnt after a number of foreground frames) and --relearn (a
// whole-scene change restarts the model) on generated scenes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/support.h"

namespace zemb {
namespace {

using test::TempDir;

constexpr int width = 32;
constexpr int height = 24;
constexpr int K = 6;  // the first online frame is K + 1

// A gradient; a dark box in rows 3-9, columns 3-9 in frame 1 only (it
// leaves: its place is a ghost); a box in rows 15-19 that walks a column a
// frame from frame 8 on, round and round; from frame `lights_on` on
// everything is brighter.
std::string frame_bytes(int number, int lights_on)
{
    const int walker = (number - 8) % width;
    return test::make_ppm(width, height, [&](int r, int c) {
        if (number == 1 && r >= 3 && r < 10 && c >= 3 && c < 10)
            return test::Rgb{20, 20, 30};
        if (number >= 8 && r >= 15 && r < 20 && (c - walker + width) % width < 4)
            return test::Rgb{220, 30, 20};
        const int light = number >= lights_on ? 80 : 0;
        return test::Rgb{std::uint8_t(60 + light + 4 * r), std::uint8_t(90 + light + 3 * c),
                         std::uint8_t(100 + light)};
    });
}

struct Masks {
    std::string err;
    std::vector<std::string> masks;  // by frame number; only the rasters
};

Masks run(int frames, int lights_on, const std::vector<std::string>& switches)
{
    TempDir dir;
    for (int k = 1; k <= frames; ++k)
        test::write_file(dir / ("seq." + std::to_string(k) + ".ppm"), frame_bytes(k, lights_on));
    std::vector<std::string> args = {"seq", "1", std::to_string(frames), "-K", std::to_string(K)};
    args.insert(args.end(), switches.begin(), switches.end());
    const test::RunResult r = test::run_zemb(dir.path(), args, 60);
    EXPECT_EQ(r.status, 0) << r.err;
    Masks result{r.err, std::vector<std::string>(std::size_t(frames) + 1)};
    for (int k = K + 1; k <= frames; ++k) {
        const std::string mask = test::read_file(dir / ("seqMask." + std::to_string(k) + ".pgm"));
        result.masks[std::size_t(k)] = mask.substr(mask.size() - std::size_t(width * height));
    }
    return result;
}

// Foreground pixels of a mask in rows [r0, r1).
int foreground(const std::string& mask, int r0, int r1)
{
    int count = 0;
    for (int i = r0 * width; i < r1 * width; ++i)
        count += mask[std::size_t(i)] != 0;
    return count;
}

TEST(Recovery, AGhostFadesWithinGFramesAndAWalkerIsNeverLearnt)
{
    constexpr int G = 5, frames = 50;
    const Masks plain = run(frames, frames + 1, {});
    const Masks ghosts = run(frames, frames + 1, {"-G", std::to_string(G)});
    // Online frames K+1 .. K+G count the ghost; the next is clear of it.
    ASSERT_GT(foreground(ghosts.masks[K + 1], 2, 11), 20);
    for (int k = K + G + 1; k <= frames; ++k) {
        EXPECT_EQ(foreground(ghosts.masks[std::size_t(k)], 0, 12), 0) << "frame " << k;
        EXPECT_GT(foreground(plain.masks[std::size_t(k)], 2, 11), 20) << "frame " << k;
    }
    // The walker covers a pixel for fewer than G frames in a row, if more in
    // all: it stays whole.
    for (int k = 8 + 1; k <= frames; ++k) {
        const std::string& with = ghosts.masks[std::size_t(k)];
        EXPECT_GE(foreground(with, 15, 20), 12) << "frame " << k;
        EXPECT_EQ(with.substr(13 * width), plain.masks[std::size_t(k)].substr(13 * width))
            << "frame " << k;
    }
    EXPECT_EQ(ghosts.err, "");
}

TEST(Recovery, ALightSwitchedOnRelearnsOnceAndTheMasksClear)
{
    constexpr int frames = 40, lights_on = 20;
    const Masks plain = run(frames, lights_on, {});
    const Masks guarded = run(frames, lights_on, {"--relearn", "0.5", "-G", "30"});
    EXPECT_EQ(guarded.err, "zemb: the scene changed at frame 20: relearning\n");
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(foreground(guarded.masks[lights_on], 0, height), 0);
    EXPECT_GT(foreground(plain.masks[frames], 0, height), width * height / 2);
    // Only the walker is left once the model has calibrated again.
    EXPECT_EQ(foreground(guarded.masks[frames], 0, 14), 0);
    EXPECT_GT(foreground(guarded.masks[frames], 15, 20), 0);
}

}  // namespace
}  // namespace zemb

// The public library used as a user's program would: frame by frame, against
// the masks and model images the zemb program writes for the same frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "support/support.h"
#include "zemb/zemb.h"

namespace zemb {
namespace {

constexpr int W = 32, H = 24, K = 10, frames = 30;

// A textured street with a block walking across it.
test::Rgb pixel(int frame, int row, int col)
{
    const bool walker = col >= frame && col < frame + 6 && row >= 8 && row < 18;
    if (walker)
        return {200, 40, 60};
    return {std::uint8_t(40 + 5 * (row % 7)), std::uint8_t(90 + 3 * (col % 11)),
            std::uint8_t(60 + (row * col) % 23)};
}

// The raster of a binary PPM or PGM file (after its three-line header).
std::string raster(const std::string& file, std::size_t bytes)
{
    return file.size() >= bytes ? file.substr(file.size() - bytes) : "";
}

// A region: the lower right part of the street, cut by a diagonal.
bool inside(int r, int c) { return r + c > 20; }

// Once with the defaults, once with the walker learnt after 4 frames and
// every online frame relearnt (the walker is 8 % of the frame), once in a
// region.
void expect_the_programs_masks(int ghost_frames, float relearn, const std::string& relearn_switch,
                               bool region = false)
{
    test::TempDir dir;
    for (int k = 1; k <= frames; ++k)
        test::write_file(dir / ("s." + std::to_string(k) + ".ppm"),
                         test::make_ppm(W, H, [k](int r, int c) { return pixel(k, r, c); }));
    std::vector<std::string> args = {"s",  "1", std::to_string(frames), "-K", std::to_string(K),
                                      "-m", "-s", "-j", "2"};
    if (ghost_frames > 0)
        args.insert(args.end(), {"-G", std::to_string(ghost_frames), "--relearn", relearn_switch});
    std::vector<std::uint8_t> inside_bytes(W * H);
    if (region) {
        test::write_file(dir / "roi.ppm", test::make_ppm(W, H, [](int r, int c) {
                             return test::Rgb{std::uint8_t(inside(r, c) ? 255 : 0), 0, 0};
                         }));
        for (int r = 0; r < H; ++r)
            for (int c = 0; c < W; ++c)
                inside_bytes[std::size_t(r * W + c)] = inside(r, c) ? 3 : 0;
        args.insert(args.end(), {"--roi", "roi.ppm"});
    }
    const test::RunResult run = test::run_zemb(dir.path(), args);
    ASSERT_EQ(run.status, 0) << run.err;

    Settings settings;
    settings.K = K;
    settings.shadow = true;
    settings.threads = 2;
    settings.ghost_frames = ghost_frames;
    settings.relearn = relearn;
    long long relearnings = 0;
    Subtractor subtractor(W, H, settings);
    if (region)
        subtractor.set_region(inside_bytes.data());
    EXPECT_EQ(subtractor.has_region(), region);
    EXPECT_EQ(subtractor.threads(), 2);
    EXPECT_EQ(subtractor.phase(), Phase::first_frame);
    // Rows with room to spare, as an image library may hand them out.
    const std::ptrdiff_t stride = 3 * W + 5;
    std::vector<std::uint8_t> frame(std::size_t(stride) * H), mask(W * H, 7);
    std::vector<std::uint8_t> model(subtractor.background_bytes());
    ASSERT_EQ(model.size(), std::size_t(3 * 3 * W * 3 * H));
    for (int k = 1; k <= frames; ++k) {
        const std::string rgb = raster(test::read_file(dir / ("s." + std::to_string(k) + ".ppm")),
                                       std::size_t(3 * W * H));
        for (int r = 0; r < H; ++r)
            std::memcpy(&frame[std::size_t(r * stride)], &rgb[std::size_t(3 * W * r)], 3 * W);
        subtractor.apply(frame.data(), W, H, stride, PixelOrder::rgb, mask.data());
        EXPECT_EQ(subtractor.frames(), k);
        relearnings += subtractor.relearned();
        if (relearn == 0.0f) {
            EXPECT_EQ(subtractor.phase(), k < K ? Phase::calibration : Phase::online);
        }
        const std::string name = std::to_string(k);
        const std::string written = raster(test::read_file(dir / ("sMask." + name + ".pgm")), mask.size());
        if (k > K)
            EXPECT_EQ(std::string(mask.begin(), mask.end()), written) << "mask of frame " << k;
        else
            EXPECT_EQ(std::count(mask.begin(), mask.end(), 0), W * H) << "frame " << k;
        subtractor.background(model.data());
        EXPECT_EQ(std::string(model.begin(), model.end()),
                  raster(test::read_file(dir / ("sModel." + name + ".ppm")), model.size()))
            << "model image of frame " << k;
    }
    const auto lines = std::count(run.err.begin(), run.err.end(), '\n');
    EXPECT_EQ(relearnings, lines);
    EXPECT_EQ(relearnings > 0, relearn > 0.0f) << run.err;
}

TEST(Library, GivesTheProgramsMasksAndModelImagesFrameByFrame)
{
    expect_the_programs_masks(0, 0.0f, "");
    expect_the_programs_masks(4, 0.05f, "0.05");
    expect_the_programs_masks(0, 0.0f, "", true);
}

TEST(Library, RefusesInTheProgramsWords)
{
    struct Case {
        int width, height;
        Settings settings;
        const char* says;
    };
    Settings n4, k0, threads, ghosts, relearn;
    n4.n = 4;
    k0.K = 0;
    threads.threads = -1;
    ghosts.ghost_frames = -1;
    relearn.relearn = 1.5f;
    const Case cases[] = {
        {W, H, n4, "n must be 1, 3, 5, 7 or 9 (the map side), not 4"},
        {W, H, k0, "K must be at least 1 (the first frame counts), not 0"},
        {W, H, threads, "threads must be 0 (one per core) or more, not -1"},
        {W, H, ghosts, "ghost_frames must be 0 (never) or more, not -1"},
        {W, H, relearn, "relearn must be a fraction from 0 (never) to 1"},
        {0, H, Settings(), "the frames have no pixels (0 x 24)"},
        {1 << 30, 4, Settings(), "frames are too large for model images with n = 3"},
    };
    for (const Case& c : cases) {
        try {
            Subtractor subtractor(c.width, c.height, c.settings);
            ADD_FAILURE() << "accepted: " << c.says;
        } catch (const Error& error) {
            EXPECT_NE(std::string(error.what()).find(c.says), std::string::npos) << error.what();
        }
    }
    Subtractor subtractor(W, H);
    std::vector<std::uint8_t> frame(3 * W * H), mask(W * H);
    EXPECT_THROW(subtractor.background(frame.data()), Error);
    EXPECT_THROW(subtractor.apply(frame.data(), W, H - 1, 3 * W, PixelOrder::rgb, mask.data()), Error);
    EXPECT_THROW(subtractor.apply(frame.data(), W, H, 3 * W - 1, PixelOrder::rgb, mask.data()), Error);
    EXPECT_EQ(subtractor.frames(), 0);
    // A region: not empty, before the first frame, and kept by no model file.
    std::vector<std::uint8_t> region(W * H, 0);
    EXPECT_THROW(subtractor.set_region(region.data()), Error);
    EXPECT_THROW(subtractor.set_region(nullptr), Error);
    region.back() = 1;
    subtractor.set_region(region.data());
    EXPECT_THROW(subtractor.save("never"), Error);
    EXPECT_THROW(subtractor.load("never"), Error);
    subtractor.apply(frame.data(), W, H, 3 * W, PixelOrder::rgb, mask.data());
    EXPECT_THROW(subtractor.set_region(region.data()), Error);
}

// A Subtractor saved after frame `cut` and loaded into a fresh one goes on
// with the masks and backgrounds of one that was never cut; the program
// loads the same file; a frozen frame leaves the background as it was.
TEST(Library, SavedAndLoadedGoesOnAsTheWholeRun)
{
    test::TempDir dir;
    Settings settings;
    settings.K = K;
    settings.shadow = true;
    std::vector<std::uint8_t> rgb(3 * W * H), mask(W * H), again(W * H);
    auto frame = [&](int k) {
        for (int r = 0; r < H; ++r)
            for (int c = 0; c < W; ++c) {
                const test::Rgb p = pixel(k, r, c);
                std::uint8_t* out = &rgb[std::size_t(3 * (r * W + c))];
                out[0] = p.r, out[1] = p.g, out[2] = p.b;
            }
        return rgb.data();
    };
    for (int cut : {1, 5, K, 17}) {
        SCOPED_TRACE("cut after frame " + std::to_string(cut));
        Subtractor whole(W, H, settings), piece(W, H, settings);
        std::vector<std::uint8_t> model(whole.background_bytes()), other(model.size());
        for (int k = 1; k <= cut; ++k)
            piece.apply(frame(k), W, H, 3 * W, PixelOrder::rgb, mask.data());
        piece.save((dir / "state").c_str());
        Subtractor resumed(W, H);  // the file brings K and the shadow test
        resumed.load((dir / "state").c_str());
        EXPECT_EQ(resumed.frames(), cut);
        for (int k = 1; k <= frames; ++k) {
            whole.apply(frame(k), W, H, 3 * W, PixelOrder::rgb, mask.data());
            if (k <= cut)
                continue;
            resumed.apply(frame(k), W, H, 3 * W, PixelOrder::rgb, again.data());
            EXPECT_EQ(mask, again) << "frame " << k;
            whole.background(model.data());
            resumed.background(other.data());
            EXPECT_EQ(model, other) << "frame " << k;
        }
    }
    Subtractor frozen(W, H, settings);
    std::vector<std::uint8_t> before(frozen.background_bytes()), after(before.size());
    frozen.apply(frame(1), W, H, 3 * W, PixelOrder::rgb, mask.data());
    for (int k = 2; k <= frames; ++k) {
        frozen.background(before.data());
        frozen.apply(frame(k), W, H, 3 * W, PixelOrder::rgb, mask.data(), k < 20);
        frozen.background(after.data());
        EXPECT_TRUE(k < 20 || before == after) << "frame " << k;
    }
    // The program takes it up from the library's file; a damaged one is refused.
    for (int k = 1; k <= frames; ++k)
        test::write_file(dir / ("s." + std::to_string(k) + ".ppm"),
                         test::make_ppm(W, H, [k](int r, int c) { return pixel(k, r, c); }));
    const test::RunResult run = test::run_zemb(
        dir.path(), {"s", "18", std::to_string(frames), "-s",
                     "--load-model", "state"});
    EXPECT_EQ(run.status, 0) << run.err;
    std::string bytes = test::read_file(dir / "state");
    bytes[200] = char(bytes[200] ^ 4);
    test::write_file(dir / "state", bytes);
    Subtractor refused(W, H);
    EXPECT_THROW(refused.load((dir / "state").c_str()), Error);
    EXPECT_EQ(refused.frames(), 0);
}

}  // namespace
}  // namespace zemb

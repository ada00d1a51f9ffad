#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "model/model.h"
#include "model_fixture.h"

namespace zemb {
namespace {

using test::Point;
using test::TestFrame;
using test::TestModel;

constexpr float sentinel = -1.0f;  // update-model content no blend can produce
constexpr Point unit_pixel = {1.0f, 1.0f, 1.0f};
constexpr float online_e = 0.03f;

// Distinct, exactly representable weights: blending a zero element towards
// the pixel (1, 1, 1) leaves exactly the weight that was applied.
WeightMatrix distinct_weights(int n)
{
    WeightMatrix w{};
    for (int a = 0; a < n; ++a)
        for (int b = 0; b < n; ++b)
            w[a][b] = float(a * n + b + 1) / 128.0f;
    return w;
}

WeightMatrix uniform_weights(float value)
{
    WeightMatrix w{};
    for (auto& row : w)
        for (float& v : row)
            v = value;
    return w;
}

float blend(float current, float pixel, float w)
{
    return static_cast<float>((1.0 - double(w)) * double(current) + double(w) * double(pixel));
}

// Runs update_neighbourhood for the pixel (1, 1, 1) on an all-zero current
// model and returns which weight every element received (sentinel where none).
struct WindowRun {
    TestModel current, update;
    std::vector<std::uint8_t> mask;
    WindowRun(int H, int W, int n)
        : current(H, W, n, 0.0f), update(H, W, n, sentinel),
          mask(static_cast<std::size_t>(H) * W, 0)
    {
    }
    void run(const WeightMatrix& w, Index bi, Index bj)
    {
        update_neighbourhood(unit_pixel.x, unit_pixel.y, unit_pixel.z, current.H, current.W,
                             current.planes, update.planes, w, current.n, bi, bj, mask.data());
    }
    float at(Index i, Index j) const { return update.get(i, j).z; }
    int touched() const
    {
        int count = 0;
        for (Index i = 0; i < Index(update.n) * update.H; ++i)
            for (Index j = 0; j < update.cols(); ++j)
                count += at(i, j) != sentinel;
        return count;
    }
};

TEST(UpdateNeighbourhood, WindowIsClippedToTheModelWithWeightsCountedFromItsFirstCorner)
{
    // Where the window of a best match at (bi, bj) lands: its first element
    // and its size. Every element in it takes the weight of its place in the
    // clipped window; nothing else is written.
    struct Case {
        const char* what;
        int H, W, n;
        Index bi, bj;
        Index row0, col0;
        int rows, cols;
    };
    const Case cases[] = {
        // Clipped at the top or left, the weights shift against the match.
        {"top-left corner: the match takes the corner weight", 3, 3, 3, 0, 0, 0, 0, 2, 2},
        {"top edge: the element below takes the centre", 3, 3, 3, 0, 4, 0, 3, 2, 3},
        {"side five at the top left", 2, 2, 5, 1, 1, 0, 0, 4, 4},
        // Clipped at the bottom or right, they stay aligned on the match.
        {"bottom-right corner", 3, 3, 3, 8, 8, 7, 7, 2, 2},
        {"side five at the bottom right", 2, 2, 5, 8, 8, 6, 6, 4, 4},
        {"interior centre: exactly its block", 3, 3, 3, 4, 4, 3, 3, 3, 3},
        {"side one: the match alone", 2, 2, 1, 1, 0, 1, 0, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WindowRun run(c.H, c.W, c.n);
        const WeightMatrix w = distinct_weights(c.n);
        run.run(w, c.bi, c.bj);
        for (Index i = 0; i < Index(c.n) * c.H; ++i)
            for (Index j = 0; j < Index(c.n) * c.W; ++j) {
                const bool inside =
                    i >= c.row0 && i < c.row0 + c.rows && j >= c.col0 && j < c.col0 + c.cols;
                EXPECT_EQ(run.at(i, j),
                          inside ? w[std::size_t(i - c.row0)][std::size_t(j - c.col0)] : sentinel)
                    << i << "," << j;
            }
    }
}

TEST(UpdateNeighbourhood, WindowReachesNeighbourBlocksOnlyWhereTheirOwnersAreBackground)
{
    // Best match at the first element of pixel (1, 1)'s block: the window
    // rows 2..4, columns 2..4 takes in pixels (0, 0), (0, 1) and (1, 0).
    WindowRun run(3, 3, 3);
    run.mask[0 * 3 + 1] = 255;  // pixel (0, 1): not background
    run.mask[1 * 3 + 0] = 255;  // pixel (1, 0): not background
    const WeightMatrix w = distinct_weights(3);
    run.run(w, 3, 3);
    EXPECT_EQ(run.at(2, 2), w[0][0]);  // pixel (0, 0)
    EXPECT_EQ(run.at(2, 3), sentinel);
    EXPECT_EQ(run.at(2, 4), sentinel);
    EXPECT_EQ(run.at(3, 2), sentinel);
    EXPECT_EQ(run.at(4, 2), sentinel);
    EXPECT_EQ(run.at(3, 3), w[1][1]);
    EXPECT_EQ(run.at(3, 4), w[1][2]);
    EXPECT_EQ(run.at(4, 3), w[2][1]);
    EXPECT_EQ(run.at(4, 4), w[2][2]);
    EXPECT_EQ(run.touched(), 5);
}

TEST(UpdateNeighbourhood, FullWeightTakesThePixelAndZeroWeightKeepsTheCurrentValue)
{
    TestModel current(1, 1, 3, 0.3f);
    current.set(0, 0, {0.123f, -0.456f, 0.789f});
    TestModel update(1, 1, 3, sentinel);
    const std::vector<std::uint8_t> mask(1, 0);
    const Point p = {0.7f, -0.1f, 0.45f};

    update_neighbourhood(p.x, p.y, p.z, 1, 1, current.planes, update.planes, uniform_weights(1.0f),
                         3, 1, 1, mask.data());
    for (Index i = 0; i < 9; ++i) {
        EXPECT_EQ(update.planes[0][i], p.x);
        EXPECT_EQ(update.planes[1][i], p.y);
        EXPECT_EQ(update.planes[2][i], p.z);
    }

    // The old value comes from the current model, never from the update model.
    update_neighbourhood(p.x, p.y, p.z, 1, 1, current.planes, update.planes, uniform_weights(0.0f),
                         3, 1, 1, mask.data());
    for (int k = 0; k < plane_count; ++k)
        for (Index i = 0; i < 9; ++i)
            EXPECT_EQ(update.planes[k][i], current.planes[k][i]);
}

TEST(UpdateNeighbourhood, BlendIsFormedInDoubleAndStoredOnce)
{
    const float w = 0.025f, cur = 0.3f, p = 0.7f;
    const float expected = blend(cur, p, w);
    // Guard that these numbers tell the two apart: in float arithmetic the
    // blend comes out one step higher.
    ASSERT_NE(expected, (1.0f - w) * cur + w * p);

    TestModel current(1, 1, 1, cur);
    TestModel update(1, 1, 1, sentinel);
    const std::vector<std::uint8_t> mask(1, 0);
    update_neighbourhood(p, p, p, 1, 1, current.planes, update.planes, uniform_weights(w), 1, 0, 0,
                         mask.data());
    EXPECT_EQ(update.get(0, 0).x, expected);
    EXPECT_EQ(update.get(0, 0).z, expected);
}

// ---- segment_frame ---------------------------------------------------------

// The shadow test off, as in a run without -s.
const ShadowSettings no_shadows{};

bool same_planes(const TestModel& a, const TestModel& b)
{
    for (int k = 0; k < plane_count; ++k)
        for (std::size_t i = 0; i < a.planes.length; ++i)
            if (a.planes[k][i] != b.planes[k][i])
                return false;
    return true;
}

TEST(SegmentFrame, UnmatchedPixelIsForegroundAndChangesNoModel)
{
    TestFrame frame(1, 1);
    frame.set(0, 0, {0, 0, 0.1f});
    TestModel current(1, 1, 3, 0.8f);
    TestModel before(1, 1, 3, 0.8f);
    TestModel update(1, 1, 3, sentinel);
    std::uint8_t mask = 0;
    segment_frame(frame.planes, {1, 1, 3}, current.planes, &mask,
                  {uniform_weights(0.5f), online_e, no_shadows}, update.planes);
    EXPECT_EQ(mask, 255);
    EXPECT_TRUE(same_planes(current, before));
    for (std::size_t i = 0; i < 9; ++i)
        EXPECT_EQ(update.planes[2][i], sentinel);
}

TEST(SegmentFrame, MatchedPixelClearsAStaleMaskBeforeUpdatingItsOwnBlock)
{
    TestFrame frame(1, 1);
    // Every element at the exact distance 1/64, so the centre wins and its
    // window is the whole block.
    frame.set(0, 0, {0.5f, 0.5f, 0.625f});
    TestModel current(1, 1, 3, 0.5f);
    TestModel update(1, 1, 3, sentinel);
    std::uint8_t mask = 255;  // the previous frame's foreground
    segment_frame(frame.planes, {1, 1, 3}, current.planes, &mask,
                  {uniform_weights(0.5f), online_e, no_shadows}, update.planes);
    EXPECT_EQ(mask, 0);
    const float expected = blend(0.5f, 0.625f, 0.5f);
    for (std::size_t i = 0; i < 9; ++i)
        EXPECT_EQ(update.planes[2][i], expected) << i;
}

TEST(SegmentFrame, OverlappingWindowsKeepTheLaterPixelsBlendOfTheCurrentValue)
{
    // Two pixels side by side, n = 3. Pixel 0 matches at (1, 2), the right
    // edge of its block, so its window spills into column 3 of pixel 1's
    // block; pixel 1 matches at its centre (1, 4) and covers columns 3..5.
    const Point p0 = {0, 0, 0.2f};
    const Point p1 = {0, 0, 0.6f};
    TestFrame frame(1, 2);
    frame.set(0, 0, p0);
    frame.set(0, 1, p1);
    TestModel current(1, 2, 3, 0.9f);
    current.set(1, 2, p0);
    current.set(1, 4, p1);
    TestModel before(1, 2, 3, 0.9f);
    before.set(1, 2, p0);
    before.set(1, 4, p1);
    TestModel update(1, 2, 3, sentinel);
    std::vector<std::uint8_t> mask(2, 0);
    segment_frame(frame.planes, {1, 2, 3}, current.planes, mask.data(),
                  {uniform_weights(0.5f), online_e, no_shadows}, update.planes);

    EXPECT_EQ(mask, (std::vector<std::uint8_t>{0, 0}));
    EXPECT_TRUE(same_planes(current, before));  // the frame never writes the current model
    for (Index i = 0; i < 3; ++i) {
        EXPECT_EQ(update.get(i, 0).z, sentinel);  // outside pixel 0's window
        EXPECT_EQ(update.get(i, 1).z, blend(0.9f, p0.z, 0.5f));
        EXPECT_EQ(update.get(i, 3).z, blend(0.9f, p1.z, 0.5f)) << "row " << i;
        EXPECT_EQ(update.get(i, 5).z, blend(0.9f, p1.z, 0.5f));
    }
    EXPECT_EQ(update.get(1, 2).z, blend(p0.z, p0.z, 0.5f));
}

TEST(SegmentFrame, EarlierPixelsMaskIsThisFramesResult)
{
    // Pixel 1 matches at (1, 3), the left edge of its block: its window takes
    // in column 2, which belongs to pixel 0.
    const Point p1 = {0, 0, 0.6f};
    for (const bool pixel0_background : {false, true}) {
        const Point p0 = {0, 0, 0.2f};
        TestFrame frame(1, 2);
        frame.set(0, 0, p0);
        frame.set(0, 1, p1);
        TestModel current(1, 2, 3, 0.9f);
        current.set(1, 3, p1);
        if (pixel0_background)
            current.set(1, 0, p0);  // its own window stays in columns 0..1
        TestModel update(1, 2, 3, sentinel);
        std::vector<std::uint8_t> mask(2, 0);
        segment_frame(frame.planes, {1, 2, 3}, current.planes, mask.data(),
                  {uniform_weights(0.5f), online_e, no_shadows}, update.planes);

        EXPECT_EQ(mask[0], pixel0_background ? 0 : 255);
        for (Index i = 0; i < 3; ++i) {
            EXPECT_EQ(update.get(i, 2).z, pixel0_background ? blend(0.9f, p1.z, 0.5f) : sentinel)
                << "pixel 0 background: " << pixel0_background;
            EXPECT_EQ(update.get(i, 4).z, blend(0.9f, p1.z, 0.5f));
        }
    }
}

TEST(SegmentFrame, LaterPixelsMaskIsThePreviousFrames)
{
    // Pixel 0 matches at (1, 2) and its window reaches column 3 of pixel 1,
    // which finds no match in this frame. Whether column 3 is blended is
    // decided by what the mask held for pixel 1 when the frame began.
    const Point p0 = {0, 0, 0.2f};
    for (const std::uint8_t previous : {std::uint8_t{0}, std::uint8_t{255}}) {
        TestFrame frame(1, 2);
        frame.set(0, 0, p0);
        frame.set(0, 1, {0, 0, 0.0f});
        TestModel current(1, 2, 3, 0.9f);
        current.set(1, 2, p0);
        TestModel update(1, 2, 3, sentinel);
        std::vector<std::uint8_t> mask = {0, previous};
        segment_frame(frame.planes, {1, 2, 3}, current.planes, mask.data(),
                  {uniform_weights(0.5f), online_e, no_shadows}, update.planes);

        EXPECT_EQ(mask, (std::vector<std::uint8_t>{0, 255}));
        for (Index i = 0; i < 3; ++i)
            EXPECT_EQ(update.get(i, 3).z, previous == 0 ? blend(0.9f, p0.z, 0.5f) : sentinel)
                << "previous mask " << int(previous);
    }
}

TEST(SegmentFrame, SideOneBlendsEachMatchedPixelsOwnElement)
{
    TestFrame frame(1, 3);
    frame.set(0, 0, {0.5f, 0.5f, 0.5f});
    frame.set(0, 1, {0.5f, 0.5f, 0.1f});  // far from its element: foreground
    frame.set(0, 2, {0.5f, 0.5f, 0.25f});
    TestModel current(1, 3, 1, 0.5f);
    current.set(0, 2, {0.5f, 0.5f, 0.375f});  // distance 1/64 <= 0.03
    TestModel update(1, 3, 1, sentinel);
    std::vector<std::uint8_t> mask(3, 0);
    segment_frame(frame.planes, {1, 3, 1}, current.planes, mask.data(),
                  {uniform_weights(0.5f), online_e, no_shadows}, update.planes);
    EXPECT_EQ(mask, (std::vector<std::uint8_t>{0, 255, 0}));
    EXPECT_EQ(update.get(0, 0).z, 0.5f);
    EXPECT_EQ(update.get(0, 1).z, sentinel);
    EXPECT_EQ(update.get(0, 2).z, 0.3125f);
}

}  // namespace
}  // namespace zemb

#include <gtest/gtest.h>

#include <vector>

#include "model/model.h"
#include "model_fixture.h"

namespace zemb {
namespace {

using test::Point;
using test::TestFrame;
using test::TestModel;

TEST(InitModel, WithSideOneCopiesTheFrame)
{
    TestFrame frame(2, 3);
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c)
            frame.set(r, c, {0.1f * float(r), 0.2f * float(c), 0.01f * float(r * 3 + c)});
    TestModel model(2, 3, 1, -1.0f);
    init_model(model.planes, frame.planes, {2, 3, 1});
    for (int k = 0; k < plane_count; ++k)
        for (int i = 0; i < 6; ++i)
            EXPECT_EQ(model.planes[k][i], frame.planes[k][i]) << "plane " << k << " element " << i;
}

TEST(InitModel, FillsEachPixelsBlockWithRowsBeforeColumns)
{
    // 2 rows by 3 columns, so swapping H and W would misplace the blocks.
    const int H = 2, W = 3, n = 3;
    TestFrame frame(H, W);
    for (int r = 0; r < H; ++r)
        for (int c = 0; c < W; ++c)
            frame.set(r, c, {float(r), float(c), float(10 * r + c)});
    TestModel model(H, W, n, -1.0f);
    init_model(model.planes, frame.planes, {H, W, n});

    ASSERT_EQ(model.cols(), 9);
    for (Index i = 0; i < n * H; ++i) {
        for (Index j = 0; j < n * W; ++j) {
            const Point p = model.get(i, j);
            EXPECT_EQ(p.x, float(i / n)) << i << "," << j;
            EXPECT_EQ(p.y, float(j / n)) << i << "," << j;
            EXPECT_EQ(p.z, float(10 * (i / n) + j / n)) << i << "," << j;
        }
    }
}

TEST(InitModel, PixelOneZeroOfATwoByTwoFrameOwnsRowsThreeToFive)
{
    TestFrame frame(2, 2);
    frame.set(1, 0, {0.5f, 0.25f, 0.75f});
    TestModel model(2, 2, 3);
    init_model(model.planes, frame.planes, {2, 2, 3});
    EXPECT_EQ(model.index(4, 1), 25);  // the block's centre
    for (Index i = 0; i < 6; ++i)
        for (Index j = 0; j < 6; ++j)
            EXPECT_EQ(model.get(i, j).z, (i >= 3 && j < 3) ? 0.75f : 0.0f) << i << "," << j;
}

TEST(InitModel, EmptyFrameWritesNothing)
{
    TestFrame frame(1, 1, 0.5f);
    TestModel model(1, 1, 3, -1.0f);
    init_model(model.planes, frame.planes, {0, 1, 3});
    init_model(model.planes, frame.planes, {1, 0, 3});
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(model.planes[2][i], -1.0f);
}

// ---- Weight kernel ---------------------------------------------------------

std::vector<std::vector<float>> built_kernel(int n)
{
    const WeightMatrix kernel = weight_kernel(n, spread_for_block_side(n));
    std::vector<std::vector<float>> rows(static_cast<std::size_t>(n));
    for (int a = 0; a < n; ++a)
        for (int b = 0; b < n; ++b)
            rows[a].push_back(kernel[a][b]);
    return rows;
}

TEST(WeightKernel, IsTheWholeNumberBellOfEverySide)
{
    using Rows = std::vector<std::vector<float>>;
    const std::pair<int, Rows> kernels[] = {
        {1, {{1}}},
        {3, {{1, 2, 1}, {2, 4, 2}, {1, 2, 1}}},
        {5, {{1, 2, 2, 2, 1}, {2, 4, 5, 4, 2}, {2, 5, 6, 5, 2}, {2, 4, 5, 4, 2}, {1, 2, 2, 2, 1}}},
        {7,
         {{1, 2, 2, 3, 2, 2, 1},
          {2, 3, 4, 5, 4, 3, 2},
          {2, 4, 6, 7, 6, 4, 2},
          {3, 5, 7, 8, 7, 5, 3},
          {2, 4, 6, 7, 6, 4, 2},
          {2, 3, 4, 5, 4, 3, 2},
          {1, 2, 2, 3, 2, 2, 1}}},
        {9,
         {{1, 2, 2, 3, 3, 3, 2, 2, 1},
          {2, 3, 4, 5, 5, 5, 4, 3, 2},
          {2, 4, 6, 7, 7, 7, 6, 4, 2},
          {3, 5, 7, 9, 9, 9, 7, 5, 3},
          {3, 5, 7, 9, 10, 9, 7, 5, 3},
          {3, 5, 7, 9, 9, 9, 7, 5, 3},
          {2, 4, 6, 7, 7, 7, 6, 4, 2},
          {2, 3, 4, 5, 5, 5, 4, 3, 2},
          {1, 2, 2, 3, 3, 3, 2, 2, 1}}},
    };
    for (const auto& [n, expected] : kernels)
        EXPECT_EQ(built_kernel(n), expected) << n;
}

TEST(WeightKernel, UnsupportedSideOrSpreadGivesAnEmptyKernel)
{
    for (int n : {-1, 0, 2, 4, 8, 10, 11}) {
        EXPECT_EQ(spread_for_block_side(n), 0.0f) << n;
        EXPECT_EQ(weight_kernel(n, 1.0f), WeightMatrix{}) << n;
    }
    EXPECT_EQ(weight_kernel(3, 0.0f), WeightMatrix{});
}

// ---- Weight scaling ---------------------------------------------------------

TEST(ScaleWeights, RateZeroGivesAllZero)
{
    EXPECT_EQ(scaled_weights(weight_kernel(3, spread_for_block_side(3)), 3, 0.0f), WeightMatrix{});
}

TEST(ScaleWeights, QuarterRateGivesQuarterHalfAndFullRate)
{
    // The online rate c2 = 0.05 divided by n + 1 = 4 for n = 3: the centre gets c2.
    const WeightMatrix w =
        scaled_weights(weight_kernel(3, spread_for_block_side(3)), 3, 0.05f / 4.0f);
    EXPECT_FLOAT_EQ(w[0][0], 0.0125f);
    EXPECT_FLOAT_EQ(w[1][0], 0.025f);
    EXPECT_FLOAT_EQ(w[1][1], 0.05f);
}

TEST(LearningRates, DefaultScheduleFallsFromC1TowardsC2InFloatSteps)
{
    const float c1 = scaled_learning_rate(1.0f, 3);
    const float c2 = scaled_learning_rate(0.05f, 3);
    EXPECT_EQ(c1, 0.25f);
    EXPECT_EQ(static_cast<double>(c2), 0.012500000186264515);
    EXPECT_EQ(static_cast<double>(calibration_rate(c1, c2, 1, 200)), 0.24880653619766235);
    EXPECT_EQ(static_cast<double>(calibration_rate(c1, c2, 2, 200)), 0.2476130723953247);
    EXPECT_EQ(static_cast<double>(calibration_rate(c1, c2, 199, 200)), 0.012500002980232239);
}

}  // namespace
}  // namespace zemb

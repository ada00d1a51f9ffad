#include <gtest/gtest.h>

#include <cmath>

#include "model/model.h"
#include "model_fixture.h"

namespace zemb {
namespace {

using test::Point;
using test::TestModel;

// A point far from everything used below (squared distance above any e here).
constexpr Point far_point = {0.9f, 0.9f, 0.9f};

// Distances 1 + k*2^-13 + k^2*2^-28 from the origin along z for x = 1 + k*2^-14.
// A float carries 23 fraction bits, so the last term sits k^2/32 of a float
// step above a representable value: k = 1 leaves 1/32 of a step (rounds
// down), k = 5 leaves 25/32 (rounds up).
constexpr float rounds_down_z = 1.0f + 1.0f / 16384.0f;
constexpr float rounds_up_z = 1.0f + 5.0f / 16384.0f;
constexpr float wide_e = 2.0f;

TEST(SquaredDistance, IsFormedInDoubleFromTheFloats)
{
    const float a = 0.1f, b = 0.2f, c = 0.3f;
    const double expected = double(a) * double(a) + double(b) * double(b) + double(c) * double(c);
    EXPECT_EQ(squared_distance(0, 0, 0, a, b, c), expected);
    EXPECT_EQ(squared_distance(a, b, c, 0, 0, 0), expected);
    // Not the float sum of float squares.
    EXPECT_NE(expected, double(a * a + b * b + c * c));
}

TEST(FindBestMatch, TieRoundingDownKeepsTheFirstElementAndIgnoresTheCentre)
{
    const double d = squared_distance(0, 0, rounds_down_z, 0, 0, 0);
    ASSERT_LT(double(static_cast<float>(d)), d);
    // Right after initialisation every element of the block is the same.
    TestModel model(1, 1, 3);
    Index bi = -5, bj = -5;
    // The stored best falls below d, so neither the later equal elements
    // nor the centre (dc <= best fails) displace the first.
    EXPECT_EQ(find_best_match(0, 0, rounds_down_z, model.planes, 1, 0, 0, 3, wide_e, bi, bj), 0);
    EXPECT_EQ(bi, 0);
    EXPECT_EQ(bj, 0);
}

TEST(FindBestMatch, TieRoundingUpIsWonByTheCentre)
{
    const double d = squared_distance(0, 0, rounds_up_z, 0, 0, 0);
    ASSERT_GT(double(static_cast<float>(d)), d);
    TestModel model(1, 1, 3);
    Index bi = -5, bj = -5;
    EXPECT_EQ(find_best_match(0, 0, rounds_up_z, model.planes, 1, 0, 0, 3, wide_e, bi, bj), 4);
    EXPECT_EQ(bi, 1);
    EXPECT_EQ(bj, 1);
}

TEST(FindBestMatch, TieRoundingUpWithoutTheCentreIsWonByTheLastElement)
{
    // The stored best lies above d, so every later equal element still
    // lowers it and takes the match; the farther centre cannot win.
    TestModel model(1, 1, 3);
    model.set(1, 1, far_point);
    Index bi = -5, bj = -5;
    EXPECT_EQ(find_best_match(0, 0, rounds_up_z, model.planes, 1, 0, 0, 3, wide_e, bi, bj), 8);
    EXPECT_EQ(bi, 2);
    EXPECT_EQ(bj, 2);
}

TEST(FindBestMatch, ExactTieIsWonByTheCentre)
{
    // 0.25 and 0 are exact in float: the stored best equals d.
    TestModel model(1, 1, 3, 0.25f);
    Index bi = -5, bj = -5;
    EXPECT_EQ(find_best_match(0.25f, 0.25f, 0.25f, model.planes, 1, 0, 0, 3, 0.0f, bi, bj), 4);
    EXPECT_EQ(find_best_match(0, 0, 0.75f, model.planes, 1, 0, 0, 3, 0.5f, bi, bj), 4);
    model.set(1, 1, far_point);
    EXPECT_EQ(find_best_match(0, 0, 0.75f, model.planes, 1, 0, 0, 3, 0.5f, bi, bj), 0);
}

TEST(FindBestMatch, ThresholdIsTestedOnlyWhenTheBestIsLowered)
{
    TestModel model(1, 1, 3, 0.5f);
    model.set(0, 0, {0, 0, 0.125f});  // d = 1/64, first: lowers best and matches
    model.set(0, 1, {0, 0, 0.25f});   // d = 1/16 <= e, but not a new minimum
    Index bi = -5, bj = -5;
    EXPECT_EQ(find_best_match(0, 0, 0, model.planes, 1, 0, 0, 3, 0.1f, bi, bj), 0);
    EXPECT_EQ(bj, 0);
}

TEST(FindBestMatch, MinimumAboveThresholdEarlierDoesNotBlockALaterMatch)
{
    TestModel model(1, 1, 3, 0.9f);
    model.set(0, 0, {0, 0, 0.5f});    // d = 0.25 > e: lowers the best only
    model.set(2, 1, {0, 0, 0.125f});  // d = 1/64: matches
    Index bi = -5, bj = -5;
    EXPECT_EQ(find_best_match(0, 0, 0, model.planes, 1, 0, 0, 3, 0.1f, bi, bj), 7);
    EXPECT_EQ(bi, 2);
    EXPECT_EQ(bj, 1);
}

TEST(FindBestMatch, DistanceExactlyThresholdMatches)
{
    // 0.25^2 = 0.0625 is exact in float and double.
    TestModel model(1, 1, 3);
    Index bi = -5, bj = -5;
    EXPECT_EQ(find_best_match(0, 0, 0.25f, model.planes, 1, 0, 0, 3, 0.0625f, bi, bj), 4);
    bi = -7;
    bj = -8;
    const float just_below = std::nextafter(0.0625f, 0.0f);
    EXPECT_EQ(find_best_match(0, 0, 0.25f, model.planes, 1, 0, 0, 3, just_below, bi, bj), -1);
    EXPECT_EQ(bi, -7);
    EXPECT_EQ(bj, -8);
}

TEST(FindBestMatch, ZeroThresholdMatchesOnlyAnIdenticalElement)
{
    TestModel model(1, 1, 3, 0.5f);
    Index bi = -5, bj = -5;
    const float next = std::nextafter(0.5f, 1.0f);
    EXPECT_EQ(find_best_match(0.5f, 0.5f, next, model.planes, 1, 0, 0, 3, 0.0f, bi, bj), -1);
    model.set(0, 2, {0.5f, 0.5f, next});
    EXPECT_EQ(find_best_match(0.5f, 0.5f, next, model.planes, 1, 0, 0, 3, 0.0f, bi, bj), 2);
    EXPECT_EQ(bi, 0);
    EXPECT_EQ(bj, 2);
}

TEST(FindBestMatch, NoMatchLeavesOutputsUntouched)
{
    TestModel model(2, 2, 3, 0.9f);
    Index bi = 123, bj = 456;
    EXPECT_EQ(find_best_match(0, 0, 0, model.planes, 2, 1, 1, 3, 0.03f, bi, bj), -1);
    EXPECT_EQ(bi, 123);
    EXPECT_EQ(bj, 456);
}

TEST(FindBestMatch, SearchesOnlyThePixelsOwnBlock)
{
    // Three columns of pixels, side 3, width 4: pixel (1, 2) owns rows 3..5,
    // columns 6..8 of a model 12 columns wide; its centre (4, 7) is 55.
    TestModel model(2, 4, 3, 0.9f);
    const Point pixel = {0.1f, 0.2f, 0.3f};
    model.set(4, 7, pixel);
    model.set(4, 9, pixel);  // identical, but in pixel (1, 3)'s block
    model.set(1, 7, pixel);  // identical, but in pixel (0, 2)'s block
    Index bi = -5, bj = -5;
    EXPECT_EQ(find_best_match(pixel.x, pixel.y, pixel.z, model.planes, 4, 1, 2, 3, 0.03f, bi, bj),
              55);
    EXPECT_EQ(bi, 4);
    EXPECT_EQ(bj, 7);

    model.set(4, 7, far_point);
    model.set(5, 6, pixel);
    EXPECT_EQ(find_best_match(pixel.x, pixel.y, pixel.z, model.planes, 4, 1, 2, 3, 0.03f, bi, bj),
              5 * 12 + 6);
    EXPECT_EQ(bi, 5);
    EXPECT_EQ(bj, 6);
}

TEST(FindBestMatch, SideOneIsThePixelsSingleElement)
{
    TestModel model(2, 3, 1, 0.9f);
    model.set(1, 2, {0, 0, 0.5f});
    Index bi = -5, bj = -5;
    EXPECT_EQ(find_best_match(0, 0, 0.5f, model.planes, 3, 1, 2, 1, 0.0f, bi, bj), 5);
    EXPECT_EQ(bi, 1);
    EXPECT_EQ(bj, 2);
    EXPECT_EQ(find_best_match(0, 0, 0.75f, model.planes, 3, 1, 2, 1, 0.0625f, bi, bj), 5);
    EXPECT_EQ(find_best_match(0, 0, 0.75f, model.planes, 3, 1, 2, 1, 0.06f, bi, bj), -1);
}

TEST(FindBestMatch, SideFiveCentreAndCorner)
{
    TestModel model(2, 2, 5, 0.9f);  // 10 x 10; pixel (1, 1) owns rows/columns 5..9
    const Point pixel = {0, 0, 0.5f};
    model.set_block(1, 1, pixel);
    Index bi = -5, bj = -5;
    EXPECT_EQ(find_best_match(0, 0, 0.5f, model.planes, 2, 1, 1, 5, 0.01f, bi, bj), 7 * 10 + 7);
    model.set_block(1, 1, far_point);
    model.set(9, 9, pixel);
    EXPECT_EQ(find_best_match(0, 0, 0.5f, model.planes, 2, 1, 1, 5, 0.01f, bi, bj), 99);
    EXPECT_EQ(bi, 9);
    EXPECT_EQ(bj, 9);
}

}  // namespace
}  // namespace zemb

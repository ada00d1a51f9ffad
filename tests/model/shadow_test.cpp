#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "color/color.h"
#include "model/model.h"
#include "model_fixture.h"

namespace zemb {
namespace {

using test::Point;
using test::TestFrame;
using test::TestModel;

// The cone point of (H, S, V), with y nudged by single float steps until
// the hue reads back as exactly H: the hue tests below sit on the boundary
// and need the exact value, not the nearest the forward conversion gives.
Point cone_point(float H, float S, float V)
{
    const double a = static_cast<double>(deg_to_rad) * H;
    const float x = static_cast<float>(std::cos(a) * S * V);
    const float y0 = static_cast<float>(std::sin(a) * S * V);
    for (int step = 0; step < 256; ++step) {
        for (const float towards : {1.0f, -1.0f}) {
            float y = y0;
            for (int s = 0; s < step; ++s)
                y = std::nextafter(y, towards);
            float h, sat, v;
            cone_to_hsv(x, y, V, h, sat, v);
            if (h == H)
                return {x, y, V};
        }
    }
    ADD_FAILURE() << "no cone point reads back as hue " << H;
    return {x, y0, V};
}

float hue_of(Point p)
{
    float h, s, v;
    cone_to_hsv(p.x, p.y, p.z, h, s, v);
    return h;
}

class ShadowTest : public ::testing::Test {
protected:
    // One pixel with a single-element block (n = 1), under `settings`.
    bool shadow(Point pixel, Point element)
    {
        TestModel model(1, 1, 1);
        model.set(0, 0, element);
        return is_shadow(pixel.x, pixel.y, pixel.z, model.planes, 1, 0, 0, 1, settings);
    }
    ShadowSettings settings;  // the run's defaults unless a case changes them
};

TEST_F(ShadowTest, DarkerPixelOfNearlyTheSameColourIsAShadow)
{
    const Point pixel = cone_point(120.0f, 0.5f, 0.4f);
    EXPECT_TRUE(shadow(pixel, cone_point(125.0f, 0.55f, 0.5f)));   // ratio 0.8
    EXPECT_FALSE(shadow(pixel, cone_point(125.0f, 0.55f, 0.6f)));  // ratio about 0.67
}

TEST_F(ShadowTest, ValueRatioBoundsAreInclusive)
{
    // Hue 0 and saturation 0.5 on both sides; only the values differ.
    const auto grey_red = [](float V) { return Point{0.5f * V, 0.0f, V}; };
    EXPECT_TRUE(shadow(grey_red(0.7f), grey_red(1.0f)));  // exactly gamma
    EXPECT_FALSE(shadow(grey_red(std::nextafter(0.7f, 0.0f)), grey_red(1.0f)));
    EXPECT_TRUE(shadow(grey_red(0.625f), grey_red(0.625f)));  // exactly beta = 1
    EXPECT_FALSE(shadow(grey_red(std::nextafter(0.625f, 1.0f)), grey_red(0.625f)));
}

TEST_F(ShadowTest, ValueRatioIsTakenInDouble)
{
    // In float the quotient rounds to exactly gamma and would pass; its
    // double value lies just below gamma.
    const float vp = 0x1.428f5cp-1f;
    const float vm = 0x1.cccccep-1f;
    ASSERT_EQ(vp / vm, 0.7f);
    ASSERT_LT(double(vp) / double(vm), double(0.7f));
    EXPECT_FALSE(shadow({0.5f * vp, 0, vp}, {0.5f * vm, 0, vm}));
}

TEST_F(ShadowTest, SaturationDifferenceMustBeStrictlyBelowTau)
{
    settings.tau_S = 0.125f;
    const Point pixel = {0.25f, 0.0f, 0.5f};      // S = 0.5
    const Point element = {0.1875f, 0.0f, 0.5f};  // S = 0.375
    EXPECT_FALSE(shadow(pixel, element));
    settings.tau_S = std::nextafter(0.125f, 1.0f);
    EXPECT_TRUE(shadow(pixel, element));
}

TEST_F(ShadowTest, HueDistanceMustBeStrictlyBelowTau)
{
    const Point pixel = cone_point(30.0f, 0.5f, 0.4f);
    EXPECT_FALSE(shadow(pixel, cone_point(40.0f, 0.5f, 0.5f)));  // exactly 10 degrees
    EXPECT_TRUE(shadow(pixel, cone_point(39.5f, 0.5f, 0.5f)));
}

TEST_F(ShadowTest, HueDistanceWrapsRoundTheCircle)
{
    EXPECT_TRUE(shadow(cone_point(356.0f, 0.5f, 0.4f), cone_point(4.0f, 0.5f, 0.5f)));  // 8
    EXPECT_TRUE(shadow(cone_point(4.0f, 0.5f, 0.4f), cone_point(356.0f, 0.5f, 0.5f)));
    EXPECT_FALSE(shadow(cone_point(355.0f, 0.5f, 0.4f), cone_point(5.0f, 0.5f, 0.5f)));  // 10
    settings.tau_H = 180.5f;
    EXPECT_TRUE(shadow(cone_point(180.0f, 0.5f, 0.4f), Point{0.25f, 0.0f, 0.5f}));  // 180
    settings.tau_H = 180.0f;
    EXPECT_FALSE(shadow(cone_point(180.0f, 0.5f, 0.4f), Point{0.25f, 0.0f, 0.5f}));
}

TEST_F(ShadowTest, WayRoundIsRoundedToFloatBeforeTheComparison)
{
    // 355 against 5 - 2^-21: the way round is 10 - 2^-21 in double, which
    // lies halfway between two floats and rounds to 10, failing tau_H = 10.
    const float hm = 5.0f - 0x1p-21f;
    const Point element = cone_point(hm, 0.5f, 0.5f);
    ASSERT_EQ(hue_of(element), hm);
    ASSERT_EQ(static_cast<float>(360.0 - (355.0 - double(hm))), 10.0f);
    EXPECT_FALSE(shadow(cone_point(355.0f, 0.5f, 0.4f), element));
}

TEST_F(ShadowTest, ElementWithZeroValueNeverPasses)
{
    settings.gamma = 0.0f;
    settings.beta = 1e30f;
    EXPECT_FALSE(shadow({0.1f, 0, 0.2f}, {0, 0, 0}));
}

TEST_F(ShadowTest, PixelWithZeroValueIsNeverAShadow)
{
    // Ratio 0 passes a gamma of 0, but the pixel's saturation is undefined.
    settings.gamma = 0.0f;
    settings.tau_S = 1e30f;
    settings.tau_H = 1e30f;
    EXPECT_FALSE(shadow({0, 0, 0}, {0, 0, 0.5f}));
    EXPECT_FALSE(shadow({0, 0, 0}, {0, 0, 0}));
}

TEST_F(ShadowTest, AnyElementOfTheOwnBlockIsEnoughAndOtherBlocksDoNotCount)
{
    const Point pixel = cone_point(120.0f, 0.5f, 0.4f);
    const Point passing = cone_point(125.0f, 0.55f, 0.5f);
    const Point failing = cone_point(200.0f, 0.5f, 0.5f);
    TestModel model(2, 2, 3);
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 2; ++c)
            model.set_block(r, c, failing);
    model.set(1, 2, passing);  // pixel (0, 0)
    model.set(3, 2, passing);  // pixel (1, 0)
    EXPECT_TRUE(is_shadow(pixel.x, pixel.y, pixel.z, model.planes, 2, 0, 0, 3, settings));
    EXPECT_FALSE(is_shadow(pixel.x, pixel.y, pixel.z, model.planes, 2, 1, 1, 3, settings));
    model.set(5, 5, passing);  // the last element of pixel (1, 1)
    EXPECT_TRUE(is_shadow(pixel.x, pixel.y, pixel.z, model.planes, 2, 1, 1, 3, settings));

    TestModel single(2, 2, 1);
    single.set(1, 1, passing);
    single.set(0, 0, failing);
    EXPECT_TRUE(is_shadow(pixel.x, pixel.y, pixel.z, single.planes, 2, 1, 1, 1, settings));
    EXPECT_FALSE(is_shadow(pixel.x, pixel.y, pixel.z, single.planes, 2, 0, 0, 1, settings));
}

// ---- Shadow removal in the segmentation -------------------------------------

TEST_F(ShadowTest, SegmentationLabelsAShadowBackgroundWithoutUpdatingIt)
{
    // Pixel 0 is a shadow on its block; pixel 1 matches at (1, 3), so its
    // window reaches column 2 of pixel 0's block.
    const Point p0 = cone_point(120.0f, 0.5f, 0.4f);
    const Point bg0 = cone_point(125.0f, 0.55f, 0.5f);
    const Point p1 = {0, 0, 0.6f};
    for (const bool removal : {false, true}) {
        settings.enabled = removal;
        TestFrame frame(1, 2);
        frame.set(0, 0, p0);
        frame.set(0, 1, p1);
        TestModel current(1, 2, 3, 0.9f);
        current.set_block(0, 0, bg0);
        current.set(1, 3, p1);
        TestModel update(1, 2, 3, -1.0f);
        std::vector<std::uint8_t> mask(2, 0);
        WeightMatrix w{};
        for (auto& row : w)
            row.fill(0.5f);
        // A threshold below the shadow's distance (about 0.017) to its block.
        segment_frame(frame.planes, {1, 2, 3}, current.planes, mask.data(), {w, 0.005f, settings},
                      update.planes);

        EXPECT_EQ(mask[0], removal ? 0 : 255);
        for (Index i = 0; i < 3; ++i) {
            EXPECT_EQ(update.get(i, 0).z, -1.0f);  // the shadow updates nothing itself
            EXPECT_EQ(update.get(i, 2).z,
                      removal ? static_cast<float>(0.5 * bg0.z + 0.5 * p1.z) : -1.0f);
        }
        EXPECT_EQ(current.get(1, 1).z, bg0.z);
    }
}

}  // namespace
}  // namespace zemb

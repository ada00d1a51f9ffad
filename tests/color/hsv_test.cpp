// Byte colours to hue, saturation and value and back, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "color/color.h"

namespace zemb {
namespace {

constexpr float nan_value = std::numeric_limits<float>::quiet_NaN();

struct HsvRow {
    std::uint8_t r, g, b;
    float H, S, V;
};

TEST(RgbToHsv, GivesTheExactFloatsOfEveryReferenceColour)
{
    // Expected values worked out independently in double with float roundings.
    const HsvRow rows[] = {
        {0, 0, 0, 0.0f, 0.0f, 0.0f},
        {128, 128, 128, 0.0f, 0.0f, 0x1.010102p-1f},  // 0.50196081
        {255, 255, 255, 0.0f, 0.0f, 1.0f},
        {255, 0, 0, 0.0f, 1.0f, 1.0f},
        {0, 255, 0, 120.0f, 1.0f, 1.0f},
        {0, 0, 255, 240.0f, 1.0f, 1.0f},
        {255, 255, 0, 60.0f, 1.0f, 1.0f},         // red and green tie: red decides
        {0, 255, 255, 180.0f, 1.0f, 1.0f},        // green and blue tie: green decides
        {255, 0, 255, 300.0f, 1.0f, 1.0f},        // red branch, negative hue wrapped
        {255, 0, 1, 0x1.67c3c4p+8f, 1.0f, 1.0f},  // 359.76471
        {200, 100, 50, 0x1.3ffffep+4f, 0x1.800002p-1f,
         0x1.919194p-1f},  // 19.999998, 0.75000006, 0.7843138
    };
    for (const HsvRow& row : rows) {
        float H = -1, S = -1, V = -1;
        rgb_to_hsv(row.r, row.g, row.b, H, S, V);
        SCOPED_TRACE(::testing::Message() << int(row.r) << "," << int(row.g) << "," << int(row.b));
        EXPECT_EQ(H, row.H);
        EXPECT_EQ(S, row.S);
        EXPECT_EQ(V, row.V);
    }
}

TEST(HsvToRgb, PicksTheSectorRowAndRoundsTheFractionAsAFloat)
{
    float r, g, b;
    hsv_to_rgb(0.0f, 1.0f, 1.0f, r, g, b);
    EXPECT_EQ(r, 1.0f);
    EXPECT_EQ(g, 0.0f);
    EXPECT_EQ(b, 0.0f);

    // Sector 5, but h rounded to a float is 6, so the fraction is 1.
    hsv_to_rgb(std::nextafter(360.0f, 0.0f), 1.0f, 1.0f, r, g, b);
    EXPECT_EQ(r, 1.0f);
    EXPECT_EQ(g, 0.0f);
    EXPECT_EQ(b, 0.0f);

    // Sector 6 takes the last row, with a fraction of one float step above 6.
    hsv_to_rgb(360.0f, 1.0f, 1.0f, r, g, b);
    EXPECT_EQ(r, 1.0f);
    EXPECT_EQ(g, 0.0f);
    EXPECT_EQ(b, 0x1.fffffp-1f);  // 0.9999995

    // Sector 2 at 150 degrees: h = 2.5000001 rounds to the float above 2.5.
    hsv_to_rgb(150.0f, 1.0f, 1.0f, r, g, b);
    EXPECT_EQ(r, 0.0f);
    EXPECT_EQ(g, 1.0f);
    EXPECT_EQ(b, 0x1.000008p-1f);  // 0.50000024
}

TEST(HsvToRgb, GivesValueOnAllChannelsForZeroSaturation)
{
    for (float H : {0.0f, 123.0f, 360.0f, -50.0f, nan_value}) {
        float r = -1, g = -1, b = -1;
        hsv_to_rgb(H, 0.0f, 0.25f, r, g, b);
        EXPECT_EQ(r, 0.25f);
        EXPECT_EQ(g, 0.25f);
        EXPECT_EQ(b, 0.25f);
    }
}

TEST(HsvToRgb, SendsNegativeHugeAndNanHuesToTheLastRow)
{
    for (float H : {-30.0f, 1e30f, std::numeric_limits<float>::infinity(), nan_value}) {
        float r = -1, g = -1, b = -1;
        hsv_to_rgb(H, 0.5f, 0.8f, r, g, b);
        EXPECT_EQ(r, 0.8f) << H;  // the last row starts with V
        EXPECT_EQ(g, static_cast<float>(0.8f * (1.0 - 0.5))) << H;
    }
}

TEST(HsvToRgb, NanSaturationTakesTheGeneralPath)
{
    float r = -1, g = -1, b = -1;
    hsv_to_rgb(0.0f, nan_value, 0.0f, r, g, b);
    EXPECT_EQ(r, 0.0f);
    EXPECT_TRUE(std::isnan(g));
    EXPECT_TRUE(std::isnan(b));
}

TEST(ToByte, ClampsAndRoundsHalvesUp)
{
    EXPECT_EQ(to_byte(-0.3f), 0);
    EXPECT_EQ(to_byte(-std::numeric_limits<float>::infinity()), 0);
    EXPECT_EQ(to_byte(0.0f), 0);
    EXPECT_EQ(to_byte(0x1.fffffep-2f), 0);  // 0.49999997: the sum must not round in float
    EXPECT_EQ(to_byte(0.5f), 1);
    EXPECT_EQ(to_byte(127.5f), 128);
    EXPECT_EQ(to_byte(254.49998f), 254);
    EXPECT_EQ(to_byte(254.5f), 255);
    EXPECT_EQ(to_byte(255.0f), 255);
    EXPECT_EQ(to_byte(255.2f), 255);
    EXPECT_EQ(to_byte(1e30f), 255);
    EXPECT_EQ(to_byte(std::numeric_limits<float>::infinity()), 255);
}

TEST(ToByte, TurnsNanIntoZero)
{
    EXPECT_EQ(to_byte(nan_value), 0);
    EXPECT_EQ(to_byte(-nan_value), 0);
}

TEST(MaxMin, TakeTheExtremeOfThree)
{
    EXPECT_EQ(max3(1.0f, 3.0f, 2.0f), 3.0f);
    EXPECT_EQ(max3(3.0f, 1.0f, 2.0f), 3.0f);
    EXPECT_EQ(max3(1.0f, 2.0f, 3.0f), 3.0f);
    EXPECT_EQ(min3(2.0f, 1.0f, 3.0f), 1.0f);
    EXPECT_EQ(min3(1.0f, 2.0f, 3.0f), 1.0f);
    EXPECT_EQ(min3(3.0f, 2.0f, 1.0f), 1.0f);
}

}  // namespace
}  // namespace zemb

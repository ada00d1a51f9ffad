// Cone coordinates: frames in, single points back, model images out.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <vector>

#include "color/color.h"
#include "support/support.h"

namespace zemb {
namespace {

using test::planes_of;

struct Rgb {
    std::uint8_t r, g, b;
};

struct Cone {
    float x, y, z;
};

std::vector<Cone> to_cone(const std::vector<Rgb>& colours)
{
    BytePlanes src = planes_of<std::uint8_t>(colours.size(), 0);
    for (std::size_t i = 0; i < colours.size(); ++i) {
        src[0][i] = colours[i].r;
        src[1][i] = colours[i].g;
        src[2][i] = colours[i].b;
    }
    FloatPlanes dst = planes_of<float>(colours.size(), -7.0f);
    rgb_to_cone_planes(src, static_cast<std::ptrdiff_t>(colours.size()), dst);
    std::vector<Cone> out;
    for (std::size_t i = 0; i < colours.size(); ++i)
        out.push_back({dst[0][i], dst[1][i], dst[2][i]});
    return out;
}

std::vector<Rgb> to_rgb(const std::vector<Cone>& points)
{
    FloatPlanes src = planes_of<float>(points.size(), 0.0f);
    for (std::size_t i = 0; i < points.size(); ++i) {
        src[0][i] = points[i].x;
        src[1][i] = points[i].y;
        src[2][i] = points[i].z;
    }
    BytePlanes dst = planes_of<std::uint8_t>(points.size(), 77);
    cone_to_rgb_planes(src, static_cast<std::ptrdiff_t>(points.size()), dst);
    std::vector<Rgb> out;
    for (std::size_t i = 0; i < points.size(); ++i)
        out.push_back({dst[0][i], dst[1][i], dst[2][i]});
    return out;
}

// Every 15th level of each channel: 18^3 colours, corners included.
std::vector<Rgb> coarse_grid()
{
    std::vector<Rgb> grid;
    for (int r = 0; r < 256; r += 15)
        for (int g = 0; g < 256; g += 15)
            for (int b = 0; b < 256; b += 15)
                grid.push_back({std::uint8_t(r), std::uint8_t(g), std::uint8_t(b)});
    return grid;
}

TEST(AngleConstants, AreTheFloatsNearestTheirExactValues)
{
    EXPECT_EQ(deg_to_rad, 0x1.1df46ap-6f);  // 0.017453292385, a little below pi/180
    EXPECT_LT(static_cast<double>(deg_to_rad), std::numbers::pi / 180.0);
    EXPECT_EQ(full_turn, 0x1.921fb6p+2f);  // 6.2831854820, a little above 2 pi
    EXPECT_GT(static_cast<double>(full_turn), 2.0 * std::numbers::pi);
}

TEST(RgbToConePlanes, GivesTheExactFloatsOfEveryReferenceColour)
{
    // Expected values worked out independently in double with float roundings.
    const std::vector<Rgb> colours = {{255, 0, 0},     {0, 255, 0}, {0, 0, 255},   {0, 255, 255},
                                      {128, 128, 128}, {0, 0, 0},   {200, 100, 50}};
    const Cone expected[] = {
        {1.0f, 0.0f, 1.0f},
        {-0.5f, 0x1.bb67aep-1f, 1.0f},  // 0.86602539
        {-0.5f, -0x1.bb67aep-1f, 1.0f},
        {-1.0f, 0x1.a2168cp-26f, 1.0f},  // 0.000000024: 180 degrees in float radians is short of pi
        {0.0f, 0.0f, 0x1.010102p-1f},
        {0.0f, 0.0f, 0.0f},
        {0x1.1b036cp-1f, 0x1.9c08a2p-3f, 0x1.919194p-1f},  // 0.55276048, 0.20118834, 0.7843138
    };
    const std::vector<Cone> got = to_cone(colours);
    for (std::size_t i = 0; i < colours.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].x, expected[i].x);
        EXPECT_EQ(got[i].y, expected[i].y);
        EXPECT_EQ(got[i].z, expected[i].z);
    }
}

TEST(RgbToConePlanes, KeepsEveryColourInsideTheCone)
{
    for (const Cone& p : to_cone(coarse_grid())) {
        EXPECT_GE(p.z, 0.0f);
        EXPECT_LE(p.z, 1.0f);
        // Radius S V may exceed z by the roundings of x and y only.
        EXPECT_LE(std::hypot(double(p.x), double(p.y)), p.z * (1.0 + 1e-6)) << p.x << " " << p.y;
    }
}

TEST(ConeToHsv, RecoversHueSaturationAndValue)
{
    float H, S, V;
    cone_to_hsv(1.0f, 0.0f, 1.0f, H, S, V);
    EXPECT_EQ(H, 0.0f);
    EXPECT_EQ(S, 1.0f);
    EXPECT_EQ(V, 1.0f);

    // A quarter turn: the cosine is tiny and the sine gives the saturation.
    cone_to_hsv(0.0f, 0.5f, 1.0f, H, S, V);
    EXPECT_EQ(H, 90.0f);
    EXPECT_EQ(S, 0.5f);
    EXPECT_EQ(V, 1.0f);

    cone_to_hsv(0.0f, 0.0f, 0.5f, H, S, V);
    EXPECT_EQ(H, 0.0f);
    EXPECT_EQ(S, 0.0f);
    EXPECT_EQ(V, 0.5f);

    // Pure blue comes back a little off: the angle constants are rounded.
    cone_to_hsv(-0.5f, -0x1.bb67aep-1f, 1.0f, H, S, V);
    EXPECT_EQ(H, 0x1.e00002p+7f);  // 240.00002
    EXPECT_EQ(S, 0x1.000004p+0f);  // 1.0000002
    EXPECT_EQ(V, 1.0f);

    // Dividing by the float constant, not by the exact pi/180, keeps it off 240.
    cone_to_hsv(-0x1.69696cp-3f, -0x1.38fde4p-2f, 0x1.69696ap-2f, H, S, V);  // blue 90
    EXPECT_EQ(H, 0x1.e00002p+7f);
    EXPECT_EQ(S, 0x1.000004p+0f);
}

TEST(ConeToHsv, GivesHue360JustBelowThePositiveXAxis)
{
    float H, S, V;
    cone_to_hsv(0.5f, -0.00000001f, 0.5f, H, S, V);
    EXPECT_EQ(H, 360.0f);
    EXPECT_EQ(S, 1.0f);
    EXPECT_EQ(V, 0.5f);
    // The last sector row draws it with a little less blue than red.
    const Rgb drawn = to_rgb({{0.5f, -0.00000001f, 0.5f}})[0];
    EXPECT_EQ(drawn.r, 128);
    EXPECT_EQ(drawn.g, 0);
    EXPECT_EQ(drawn.b, 127);
}

TEST(ConeToHsv, GivesNanSaturationAtTheApexWhichDrawsAsBlack)
{
    float H = -1, S = -1, V = -1;
    cone_to_hsv(0.0f, 0.0f, 0.0f, H, S, V);
    EXPECT_EQ(H, 0.0f);
    EXPECT_TRUE(std::isnan(S));
    EXPECT_EQ(V, 0.0f);
    const Rgb drawn = to_rgb({{0.0f, 0.0f, 0.0f}})[0];
    EXPECT_EQ(drawn.r, 0);
    EXPECT_EQ(drawn.g, 0);
    EXPECT_EQ(drawn.b, 0);
}

TEST(ConeRoundTrip, BringsByteColoursBackUnchanged)
{
    std::vector<Rgb> colours = coarse_grid();
    for (Rgb c : {Rgb{200, 100, 50}, Rgb{10, 20, 30}, Rgb{255, 0, 1}, Rgb{1, 0, 0}, Rgb{0, 0, 1},
                  Rgb{254, 255, 255}, Rgb{128, 128, 128}})
        colours.push_back(c);
    const std::vector<Rgb> back = to_rgb(to_cone(colours));
    for (std::size_t i = 0; i < colours.size(); ++i) {
        const Rgb& c = colours[i];
        EXPECT_TRUE(back[i].r == c.r && back[i].g == c.g && back[i].b == c.b)
            << int(c.r) << "," << int(c.g) << "," << int(c.b) << " came back as " << int(back[i].r)
            << "," << int(back[i].g) << "," << int(back[i].b);
    }
}

TEST(PlaneConversions, WriteNothingForACountOfZeroOrLess)
{
    BytePlanes bytes = planes_of<std::uint8_t>(2, 200);
    FloatPlanes floats = planes_of<float>(2, -7.0f);
    ConeConverter converter;
    for (std::ptrdiff_t count : {0, -1}) {
        rgb_to_cone_planes(bytes, count, floats);
        converter.convert(bytes, count, floats);
        cone_to_rgb_planes(floats, count, bytes);
    }
    for (int k = 0; k < plane_count; ++k)
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(floats[k][i], -7.0f);
            EXPECT_EQ(bytes[k][i], 200);
        }
}

TEST(PlaneConversions, WriteOnlyTheFirstCountElements)
{
    BytePlanes bytes = planes_of<std::uint8_t>(3, 255);
    FloatPlanes floats = planes_of<float>(3, -7.0f);
    rgb_to_cone_planes(bytes, 2, floats);
    BytePlanes out = planes_of<std::uint8_t>(3, 9);
    cone_to_rgb_planes(floats, 2, out);
    for (int k = 0; k < plane_count; ++k) {
        EXPECT_EQ(floats[k][1], k == 2 ? 1.0f : 0.0f);
        EXPECT_EQ(floats[k][2], -7.0f);
        EXPECT_EQ(out[k][1], 255);
        EXPECT_EQ(out[k][2], 9);
    }
}

}  // namespace
}  // namespace zemb

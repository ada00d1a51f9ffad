#include <cmath>
#include <numbers>

#include "color/color.h"

namespace zemb {

// Rounded in opposite directions: an angle just below 0 comes back as 360.
const float deg_to_rad = static_cast<float>(std::numbers::pi / 180.0);
const float full_turn = static_cast<float>(2.0 * std::numbers::pi);

namespace {

// Rounds a double intermediate to the 32-bit float in which it is kept.
inline float stored(double e) { return static_cast<float>(e); }

constexpr double byte_range = 255.0;  // 0..1 channel to a byte sample

}  // namespace

void rgb_to_cone(std::uint8_t red, std::uint8_t green, std::uint8_t blue, float& x, float& y,
                 float& z)
{
    float H, S, V;
    rgb_to_hsv(red, green, blue, H, S, V);
    // Double operand first: the angle and its cosine are taken in double.
    const double a = static_cast<double>(deg_to_rad) * H;
    x = stored(std::cos(a) * S * V);
    y = stored(std::sin(a) * S * V);
    z = V;
}

void rgb_to_cone_planes(const BytePlanes& src, std::ptrdiff_t count, FloatPlanes& dst)
{
    const std::uint8_t* red = src[0];
    const std::uint8_t* green = src[1];
    const std::uint8_t* blue = src[2];
    float* x = dst[0];
    float* y = dst[1];
    float* z = dst[2];
    for (std::ptrdiff_t i = 0; i < count; ++i)
        rgb_to_cone(red[i], green[i], blue[i], x[i], y[i], z[i]);
}

void cone_to_hsv(float x, float y, float z, float& H, float& S, float& V)
{
    double a = std::atan2(static_cast<double>(y), static_cast<double>(x));  // atan2(0, 0) = 0
    if (a < 0.0)
        a += full_turn;
    // Near a quarter turn the cosine is tiny and the sine gives the better quotient.
    const double c = std::cos(a);
    double s;
    if (std::fabs(c) > cosine_threshold)
        s = x / (c * z);
    else
        s = y / (std::sin(a) * z);
    // At the apex the quotient is 0 / 0: S is NaN and callers take it as it is.
    H = stored(a / deg_to_rad);
    S = stored(s);
    V = z;
}

void cone_to_rgb(float x, float y, float z, std::uint8_t& red, std::uint8_t& green,
                 std::uint8_t& blue)
{
    float H, S, V, r, g, b;
    cone_to_hsv(x, y, z, H, S, V);
    hsv_to_rgb(H, S, V, r, g, b);
    red = to_byte(stored(r * byte_range));
    green = to_byte(stored(g * byte_range));
    blue = to_byte(stored(b * byte_range));
}

void cone_to_rgb_planes(const FloatPlanes& src, std::ptrdiff_t count, BytePlanes& dst)
{
    const float* x = src[0];
    const float* y = src[1];
    const float* z = src[2];
    std::uint8_t* red = dst[0];
    std::uint8_t* green = dst[1];
    std::uint8_t* blue = dst[2];
    for (std::ptrdiff_t i = 0; i < count; ++i)
        cone_to_rgb(x[i], y[i], z[i], red[i], green[i], blue[i]);
}

}  // namespace zemb

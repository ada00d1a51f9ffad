#include <cmath>

#include "color/color.h"

namespace zemb {

namespace {

// Rounds a double intermediate to the 32-bit float in which it is kept.
inline float stored(double e) { return static_cast<float>(e); }

constexpr double degrees_per_sector = 60.0;  // width of one hue sector
constexpr double degrees_per_turn = 360.0;   // added to a negative hue
constexpr float byte_max = 255.0f;           // clamping bound of to_byte
constexpr double half = 0.5;                 // makes truncation round halves up

}  // namespace

float max3(float a, float b, float c)
{
    float t = a > b ? a : b;
    return t > c ? t : c;
}

float min3(float a, float b, float c)
{
    float t = a < b ? a : b;
    return t < c ? t : c;
}

void rgb_to_hsv(std::uint8_t red, std::uint8_t green, std::uint8_t blue, float& H, float& S,
                float& V)
{
    const double scale = byte_scale;
    const float r = stored(red * scale);
    const float g = stored(green * scale);
    const float b = stored(blue * scale);
    V = max3(r, g, b);
    const float m = min3(r, g, b);
    const float delta = stored(static_cast<double>(V) - m);
    H = 0.0f;
    S = 0.0f;
    if (V == 0.0f)
        return;
    const double s = delta / static_cast<double>(V);
    if (s == 0.0)
        return;  // a grey: hue undefined, kept at 0
    // Red is tested first, so ties between channels go to the earlier one.
    double h;
    if (r == V)
        h = (static_cast<double>(g) - b) / delta;
    else if (g == V)
        h = (static_cast<double>(b) - r) / delta + 2.0;
    else
        h = (static_cast<double>(r) - g) / delta + 4.0;
    h *= degrees_per_sector;
    if (h < 0.0)
        h += degrees_per_turn;
    H = stored(h);
    S = stored(s);
}

void hsv_to_rgb(float H, float S, float V, float& red, float& green, float& blue)
{
    if (S == 0.0f) {  // a NaN saturation is not 0 and takes the general path
        red = green = blue = V;
        return;
    }
    const double h = static_cast<double>(H) * sector_scale;
    const double i = std::floor(h);
    // The fraction is taken of h as a float: just below a sector boundary
    // h rounds up to it and f becomes 1.
    const double f = static_cast<double>(stored(h)) - i;
    const double s = S;
    const double v = V;
    const float p = stored(v * (1.0 - s));
    const float q = stored(v * (1.0 - s * f));
    const float t = stored(v * (1.0 - s * (1.0 - f)));
    // The sector is compared as a double: a NaN or huge hue must not go
    // through an integer conversion. Anything outside 0..4 (5, a hue of 360,
    // negative hues, NaN) takes the last row.
    if (i == 0.0) {
        red = V, green = t, blue = p;
    } else if (i == 1.0) {
        red = q, green = V, blue = p;
    } else if (i == 2.0) {
        red = p, green = V, blue = t;
    } else if (i == 3.0) {
        red = p, green = q, blue = V;
    } else if (i == 4.0) {
        red = t, green = p, blue = V;
    } else {
        red = V, green = p, blue = q;
    }
}

std::uint8_t to_byte(float x)
{
    // NaN fails every comparison; it must not reach the integer conversion.
    if (std::isnan(x) || x < 0.0f)
        return 0;
    if (x > byte_max)
        return 255;
    // The sum is in double: in float 0.49999997 + 0.5 would round up to 1.
    // At most 255.5 here, so the truncated value fits a byte.
    return static_cast<std::uint8_t>(static_cast<double>(x) + half);
}

}  // namespace zemb

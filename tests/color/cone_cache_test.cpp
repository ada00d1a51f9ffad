// The colour table of ConeConverter against rgb_to_cone_planes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "color/color.h"

namespace zemb {
namespace {

constexpr std::size_t chunk = std::size_t(1) << 16;  // colours per converted frame
constexpr std::uint32_t colour_count = 1u << 24;

struct Frame {
    BytePlanes bytes = alloc_byte_planes(plane_count, chunk);
    FloatPlanes expected = alloc_float_planes(plane_count, chunk);
    FloatPlanes got = alloc_float_planes(plane_count, chunk);

    void set(std::size_t i, std::uint32_t colour)
    {
        bytes[0][i] = static_cast<std::uint8_t>(colour >> 16);
        bytes[1][i] = static_cast<std::uint8_t>(colour >> 8);
        bytes[2][i] = static_cast<std::uint8_t>(colour);
    }
    bool same() const
    {
        for (int k = 0; k < plane_count; ++k)
            if (std::memcmp(expected[k], got[k], chunk * sizeof(float)) != 0)
                return false;
        return true;
    }
};

// Every 24-bit colour, in an order that makes colours sharing a slot follow
// each other; each frame is converted twice, so that the second pass reads
// what the first one stored.
TEST(ConeConverter, GivesTheExactConversionOfEveryColour)
{
    Frame f;
    ConeConverter converter;
    for (std::uint32_t start = 0; start < colour_count; start += chunk) {
        for (std::size_t i = 0; i < chunk; ++i) {
            // An odd multiplier permutes the 24-bit colours.
            f.set(i, ((start + std::uint32_t(i)) * 0x9e3779u) & (colour_count - 1));
        }
        rgb_to_cone_planes(f.bytes, chunk, f.expected);
        converter.convert(f.bytes, chunk, f.got);
        ASSERT_TRUE(f.same()) << "first pass, colours from " << start;
        converter.convert(f.bytes, chunk, f.got);
        ASSERT_TRUE(f.same()) << "second pass, colours from " << start;
    }
}

}  // namespace
}  // namespace zemb

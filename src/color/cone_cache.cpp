#include "color/color.h"

namespace zemb {

namespace {

// Marks a slot that holds no colour yet: above every 24-bit colour.
constexpr std::uint32_t empty_slot = 0xffffffffu;
// Fibonacci hashing: the multiplier spreads neighbouring colours over the
// table, and the top bits of the product are the slot.
constexpr std::uint32_t hash_multiplier = 0x9e3779b1u;
constexpr int slot_bits = 18;
static_assert(ConeConverter::slots == std::size_t(1) << slot_bits);

}  // namespace

ConeConverter::ConeConverter() : table_(alloc_buffer<Slot>(slots))
{
    for (std::size_t i = 0; i < slots; ++i)
        table_[i] = Slot{empty_slot, 0.0f, 0.0f, 0.0f};
}

void ConeConverter::convert(const BytePlanes& src, std::ptrdiff_t count, FloatPlanes& dst)
{
    const std::uint8_t* red = src[0];
    const std::uint8_t* green = src[1];
    const std::uint8_t* blue = src[2];
    float* x = dst[0];
    float* y = dst[1];
    float* z = dst[2];
    Slot* table = table_.get();
    for (std::ptrdiff_t i = 0; i < count; ++i) {
        const std::uint32_t colour =
            (std::uint32_t(red[i]) << 16) | (std::uint32_t(green[i]) << 8) | std::uint32_t(blue[i]);
        Slot& slot = table[(colour * hash_multiplier) >> (32 - slot_bits)];
        // A miss computes the colour exactly as rgb_to_cone_planes does and
        // replaces whatever colour shared the slot.
        if (slot.colour != colour) {
            slot.colour = colour;
            rgb_to_cone(red[i], green[i], blue[i], slot.x, slot.y, slot.z);
        }
        x[i] = slot.x;
        y[i] = slot.y;
        z[i] = slot.z;
    }
}

}  // namespace zemb

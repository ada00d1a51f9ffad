// What the run and engine fuzz targets share: the input read byte by byte,
// and the table of ordinary and extreme values a real setting can take.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace zemb::fuzz {

// Values a real switch can carry, ordinary and extreme; a selector beyond the
// table keeps the default.
inline const float extreme_values[] = {
    0.0f,
    -0.0f,
    -1.0f,
    0.5f,
    1.0f,
    2.0f,
    360.0f,
    1e30f,
    -1e30f,
    std::numeric_limits<float>::infinity(),
    -std::numeric_limits<float>::infinity(),
    std::numeric_limits<float>::quiet_NaN(),
    std::numeric_limits<float>::denorm_min(),
    std::numeric_limits<float>::max(),
};
constexpr std::size_t extreme_count = sizeof extreme_values / sizeof extreme_values[0];

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    // The next byte, or 0 once the input is used up.
    std::uint8_t next() { return at_ < size_ ? data_[at_++] : 0; }
    float setting(float fallback)
    {
        std::uint8_t selector = next();
        return selector < extreme_count ? extreme_values[selector] : fallback;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace zemb::fuzz

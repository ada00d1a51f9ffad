// What the fuzz targets share: the input read byte by byte, the table of
// ordinary and extreme values a real setting can take, and the temporary
// file a target writes each input to.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "run/config.h"

namespace zemb::fuzz {

// A new empty file named by `pattern` (ending in XXXXXX), removed when the
// target exits.
inline std::string temporary_file(std::string pattern)
{
    const int fd = mkstemp(pattern.data());
    if (fd < 0)
        std::abort();
    close(fd);
    static std::vector<std::string> made;
    if (made.empty())
        std::atexit([] {
            for (const std::string& path : made)
                std::remove(path.c_str());
        });
    made.push_back(pattern);
    return pattern;
}

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

// A run's real settings as the input picks them, in switch order: each
// one the run's default unless its byte selects a value of the table.
struct Settings {
    float e1, e2, c1, c2;
    ShadowSettings shadow;
};

inline Settings read_settings(Input& in, bool shadow_enabled)
{
    const RunParameters defaults;
    Settings s;
    s.e1 = in.setting(defaults.e1);
    s.e2 = in.setting(defaults.e2);
    s.c1 = in.setting(defaults.c1);
    s.c2 = in.setting(defaults.c2);
    s.shadow = defaults.shadow;
    s.shadow.enabled = shadow_enabled;
    s.shadow.gamma = in.setting(s.shadow.gamma);
    s.shadow.beta = in.setting(s.shadow.beta);
    s.shadow.tau_S = in.setting(s.shadow.tau_S);
    s.shadow.tau_H = in.setting(s.shadow.tau_H);
    return s;
}

}  // namespace zemb::fuzz

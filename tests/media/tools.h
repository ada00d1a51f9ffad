// Helpers of the media tests: the netpbm images the reference tools write.
#pragma once

#include <string>
#include <vector>

#include "media/media.h"
#include "support/support.h"

namespace zemb::test {

// An image as three planes of bytes, for comparisons.
struct Picture {
    int width = 0, height = 0;
    std::vector<std::uint8_t> r, g, b;
    bool operator==(const Picture&) const = default;
};

// A binary PPM or PGM as written by djpeg and ffmpeg ("P6\n<w> <h>\n255\n");
// grey becomes R = G = B. Width 0 when the bytes are no such image.
inline Picture parse_pnm(const std::string& bytes)
{
    Picture p;
    char magic[3] = {};
    int maxval = 0, consumed = 0;
    if (std::sscanf(bytes.c_str(), "%2s %d %d %d%n", magic, &p.width, &p.height, &maxval, &consumed) != 4 ||
        maxval != 255)
        return Picture{};
    const int channels = std::string(magic) == "P6" ? 3 : 1;
    const std::size_t pixels = std::size_t(p.width) * std::size_t(p.height);
    const std::size_t start = std::size_t(consumed) + 1;
    if (bytes.size() < start + pixels * channels)
        return Picture{};
    for (std::size_t i = 0; i < pixels; ++i) {
        const auto* px = reinterpret_cast<const std::uint8_t*>(bytes.data() + start + i * channels);
        p.r.push_back(px[0]);
        p.g.push_back(px[channels == 3 ? 1 : 0]);
        p.b.push_back(px[channels == 3 ? 2 : 0]);
    }
    return p;
}

inline Picture picture_of(const BytePlanes& planes, int width, int height)
{
    Picture p;
    p.width = width;
    p.height = height;
    const std::size_t n = std::size_t(width) * std::size_t(height);
    p.r.assign(planes[0], planes[0] + n);
    p.g.assign(planes[1], planes[1] + n);
    p.b.assign(planes[2], planes[2] + n);
    return p;
}

// Decodes one file through the image reader.
inline media::Result decode_file(const std::string& path, Picture& picture)
{
    media::ImageReader reader;
    media::Result result = reader.open(path.c_str(), media::no_pixel_cap);
    if (result.fault != media::Fault::none)
        return result;
    BytePlanes planes = alloc_byte_planes(plane_count, std::size_t(result.width) * std::size_t(result.height));
    const int width = result.width, height = result.height;
    result = reader.decode(planes);
    picture = picture_of(planes, width, height);
    return result;
}

}  // namespace zemb::test

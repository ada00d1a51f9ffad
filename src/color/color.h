// Colour spaces: 8-bit RGB to hue-saturation-value and back, and HSV to the
// cone coordinates (S V cos H, S V sin H, V) in which every pixel and every
// model element is held.
//
// Numbers: every intermediate is a double; a value is rounded to a 32-bit
// float only where it is stored (written stored(e) in the comments). The
// masks downstream depend on every one of these roundings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "imagedata/imagedata.h"

namespace zemb {

// 32-bit float constants of the conversions.
constexpr float byte_scale = 1.0f / 255.0f;   // byte sample to 0..1
constexpr float sector_scale = 1.0f / 60.0f;  // hue in degrees to sector (a little above 1/60)
constexpr float cosine_threshold = 1e-6f;     // below it, saturation comes from the sine

// The two process-wide angle constants: fixed for the life of the process.
extern const float deg_to_rad;  // float nearest pi/180 (a little below it)
extern const float full_turn;   // float nearest 2 pi (a little above it), added to negative angles

float max3(float a, float b, float c);
float min3(float a, float b, float c);

// Hexcone HSV: H in degrees 0..360, S and V in 0..1. All outputs written.
void rgb_to_hsv(std::uint8_t red, std::uint8_t green, std::uint8_t blue, float& H, float& S,
                float& V);
void hsv_to_rgb(float H, float S, float V, float& red, float& green, float& blue);

// Clamps to 0..255 and rounds halves up; not-a-number gives 0.
std::uint8_t to_byte(float x);

// Cone coordinates of one colour: x = stored(cos(a) S V), y = stored(sin(a) S V),
// z = V, with a = deg_to_rad x H taken in double.
void rgb_to_cone(std::uint8_t red, std::uint8_t green, std::uint8_t blue, float& x, float& y,
                 float& z);

// Frame bytes (R, G, B planes) to cone coordinates (x, y, z planes), element
// by element in index order. A count of 0 or less writes nothing.
void rgb_to_cone_planes(const BytePlanes& src, std::ptrdiff_t count, FloatPlanes& dst);

// rgb_to_cone_planes for a whole run, with the same results: the cosine and
// sine of libm cost far more than the rest of a frame's conversion, and a
// video repeats its colours from frame to frame. Results are kept in a
// direct-mapped table keyed by the 24-bit colour; a hit returns the floats
// rgb_to_cone stored for that very colour, so nothing is approximated. The
// table belongs to the converter (allocated once, before the frame loops).
class ConeConverter {
public:
    ConeConverter();
    void convert(const BytePlanes& src, std::ptrdiff_t count, FloatPlanes& dst);

    // Number of table slots (a power of two).
    static constexpr std::size_t slots = std::size_t(1) << 18;

private:
    struct Slot {
        std::uint32_t colour;  // 0xRRGGBB, or empty_slot
        float x, y, z;
    };
    Buffer<Slot> table_;

public:
    // Bytes the constructor allocates for the table.
    static constexpr std::size_t table_bytes = slots * sizeof(Slot);
};

// One cone point back to H (degrees, 0..360), S (unclamped; not-a-number at
// the apex) and V = z.
void cone_to_hsv(float x, float y, float z, float& H, float& S, float& V);

// One cone point to RGB bytes, as a model image shows it.
void cone_to_rgb(float x, float y, float z, std::uint8_t& red, std::uint8_t& green,
                 std::uint8_t& blue);

// Cone coordinates to RGB bytes, for model images. A count of 0 or less
// writes nothing.
void cone_to_rgb_planes(const FloatPlanes& src, std::ptrdiff_t count, BytePlanes& dst);

}  // namespace zemb

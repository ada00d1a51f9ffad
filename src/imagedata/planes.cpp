#include "imagedata/imagedata.h"

#include <algorithm>
#include <cstdint>
#include <new>

namespace zemb {

namespace {

template <typename T>
PlaneSet<T> alloc_planes(int count, std::size_t length, bool filled)
{
    PlaneSet<T> set;
    set.length = length;
    for (int k = 0; k < count && k < plane_count; ++k) {
        set.planes[static_cast<std::size_t>(k)] =
            filled ? alloc_zeroed_buffer<T>(length) : alloc_buffer<T>(length);
    }
    return set;
}

}  // namespace

BytePlanes alloc_byte_planes(int count, std::size_t length)
{
    return alloc_planes<std::uint8_t>(count, length, true);
}

FloatPlanes alloc_float_planes(int count, std::size_t length)
{
    return alloc_planes<float>(count, length, true);
}

FloatPlanes alloc_unfilled_float_planes(int count, std::size_t length)
{
    return alloc_planes<float>(count, length, false);
}

void copy_planes(const FloatPlanes& src, std::size_t length, FloatPlanes& dst)
{
    for (int k = 0; k < plane_count; ++k)
        std::copy(src[k], src[k] + length, dst[k]);
}

}  // namespace zemb

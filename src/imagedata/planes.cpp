#include "imagedata/imagedata.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <new>

namespace zemb {

namespace {

// Alignment of smaller buffers: a cache line, for the vector loads.
constexpr std::size_t line_bytes = 64;

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

void FreeBuffer::operator()(void* data) const
{
    ::operator delete(data, std::align_val_t(alignment));
}

void* alloc_buffer_bytes(std::size_t count, std::size_t size, FreeBuffer& release)
{
    if (size != 0 && count > (SIZE_MAX - huge_page_bytes) / size)
        throw std::bad_alloc();
    const std::size_t bytes = std::max<std::size_t>(count * size, 1);
    const bool huge = bytes >= huge_buffer_bytes;
    release.alignment = huge ? huge_page_bytes : line_bytes;
    const std::size_t rounded = static_cast<std::size_t>(buffer_bytes(bytes));
    void* data = ::operator new(huge ? rounded : bytes, std::align_val_t(release.alignment));
    if (huge)
        madvise(data, rounded, MADV_HUGEPAGE);
    return data;
}

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

#include "files/buffer.h"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace zemb {

namespace {

// Alignment of smaller buffers: a cache line, for the vector loads.
constexpr std::size_t line_bytes = 64;

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

}  // namespace zemb

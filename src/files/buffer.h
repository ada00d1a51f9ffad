// Huge-page buffers: the memory of every picture-sized buffer of a run,
// aligned for the vector loads and, when large, backed by huge pages.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace zemb {

// Transparent huge pages, where the kernel gives them on request.
constexpr std::size_t huge_page_bytes = std::size_t(1) << 21;
// Buffers of at least this size are rounded up to whole huge pages.
constexpr std::size_t huge_buffer_bytes = huge_page_bytes / 2;

// Releases what alloc_buffer allocated, with the alignment it was given.
struct FreeBuffer {
    std::size_t alignment = 0;
    void operator()(void* data) const;
};
template <typename T>
using Buffer = std::unique_ptr<T[], FreeBuffer>;

// Memory for `count` elements of a trivial type, left unfilled. Buffers of
// huge_buffer_bytes or more take whole huge pages and ask the system to back
// them so: on this kind of virtual machine the first write to each 4 KiB
// page costs a trap (about 4 us), so an 8 MB model took 9 ms to fault in
// and under 1 ms on huge pages, and a 224 MB one over a second. Only speed
// depends on it. Throws std::bad_alloc when the memory is not there.
void* alloc_buffer_bytes(std::size_t count, std::size_t size, FreeBuffer& release);
template <typename T>
Buffer<T> alloc_buffer(std::size_t count)
{
    FreeBuffer release;
    T* data = static_cast<T*>(alloc_buffer_bytes(count, sizeof(T), release));
    return Buffer<T>(data, release);
}

// The same, zero-filled.
template <typename T>
Buffer<T> alloc_zeroed_buffer(std::size_t count)
{
    Buffer<T> buffer = alloc_buffer<T>(count);
    std::fill_n(buffer.get(), count, T{});
    return buffer;
}

// Bytes alloc_buffer takes for `bytes`; UINT64_MAX when that overflows.
constexpr std::uint64_t buffer_bytes(std::uint64_t bytes)
{
    if (bytes < huge_buffer_bytes)
        return bytes;
    return bytes > UINT64_MAX - huge_page_bytes
               ? UINT64_MAX
               : (bytes + huge_page_bytes - 1) / huge_page_bytes * huge_page_bytes;
}

}  // namespace zemb

// The bytes the engines say they allocate are the bytes they allocate: the
// memory check adds up these reports, so a report that falls behind a change
// of the scratch would let a run past the check into the out-of-memory killer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "color/color.h"
#include "model/model.h"

namespace {

// Every allocation of this test program carries its size in a header in
// front of it; while `counting` is on, the bytes live and their peak are kept.
constexpr std::size_t header_bytes = 64;  // the least alignment served
std::atomic<bool> counting{false};
std::atomic<std::int64_t> live{0}, peak{0};

// Header words, counted back from the address handed out.
constexpr int size_word = 1, offset_word = 2;

void* allocate(std::size_t size, std::size_t alignment)
{
    const std::size_t offset = std::max(header_bytes, alignment);
    const std::size_t total = (offset + size + offset - 1) / offset * offset;
    auto* block = static_cast<unsigned char*>(std::aligned_alloc(offset, total));
    if (block == nullptr)
        throw std::bad_alloc();
    auto* words = reinterpret_cast<std::int64_t*>(block + offset);
    const bool counted = counting.load();
    words[-size_word] = counted ? std::int64_t(size) : -1;
    words[-offset_word] = std::int64_t(offset);
    if (counted) {
        const std::int64_t now = live += std::int64_t(size);
        std::int64_t seen = peak.load();
        while (now > seen && !peak.compare_exchange_weak(seen, now)) {
        }
    }
    return block + offset;
}

void release(void* p)
{
    if (p == nullptr)
        return;
    const auto* words = static_cast<std::int64_t*>(p);
    if (words[-size_word] >= 0)
        live -= words[-size_word];
    std::free(static_cast<unsigned char*>(p) - words[-offset_word]);
}

// Bytes live at the peak of `make`'s run, of what it allocated itself.
template <typename Make>
std::int64_t peak_bytes_of(Make make)
{
    live = 0;
    peak = 0;
    counting = true;
    {
        auto made = make();
        counting = false;
    }
    return peak.load();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size, alignof(std::max_align_t)); }
void* operator new[](std::size_t size) { return allocate(size, alignof(std::max_align_t)); }
void* operator new(std::size_t size, std::align_val_t a) { return allocate(size, std::size_t(a)); }
void* operator new[](std::size_t size, std::align_val_t a)
{
    return allocate(size, std::size_t(a));
}
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { release(p); }

namespace zemb {
namespace {

TEST(ScratchBytes, AreWhatTheEnginesAllocate)
{
    struct Case {
        int H, W, n, threads;
    };
    for (const Case& c :
         {Case{1, 1, 1, 1}, Case{17, 31, 9, 1}, Case{240, 320, 3, 4}, Case{3, 50, 5, 8}}) {
        SCOPED_TRACE(testing::Message()
                     << c.W << " x " << c.H << ", n = " << c.n << ", " << c.threads << " threads");
        const auto single =
            peak_bytes_of([&] { return std::make_unique<FastEngine>(ModelShape{c.H, c.W, c.n}); });
        EXPECT_EQ(std::uint64_t(single),
                  sizeof(FastEngine) + FastEngine::scratch_bytes({c.H, c.W, c.n}));
        // Beside the scratch, std::thread's own records, which it does not size.
        const std::uint64_t said =
            sizeof(ThreadedEngine) + ThreadedEngine::scratch_bytes({c.H, c.W, c.n}, c.threads);
        const auto threaded = peak_bytes_of(
            [&] { return std::make_unique<ThreadedEngine>(ModelShape{c.H, c.W, c.n}, c.threads); });
        EXPECT_LE(std::uint64_t(threaded), said);
        EXPECT_GE(std::uint64_t(threaded), said - said / 100);
    }
    const auto table = peak_bytes_of([] { return std::make_unique<ConeConverter>(); });
    EXPECT_EQ(std::uint64_t(table), ConeConverter::table_bytes + sizeof(ConeConverter));
}

}  // namespace
}  // namespace zemb

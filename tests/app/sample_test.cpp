// Regression check on the bundled sample: the masks of a fixed run must not
// change unnoticed.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "support/support.h"

namespace zemb {
namespace {

// FNV-1a, 64 bits: enough to notice any changed byte.
std::uint64_t fnv1a(const std::string& bytes, std::uint64_t hash = 0xcbf29ce484222325ull)
{
    for (unsigned char b : bytes) {
        hash ^= b;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

TEST(Sample, WalkMasksMatchTheRecordedHash)
{
    test::TempDir dir;
    std::string unpack = std::string("cd '") + dir.path() + "' && '" + ZEMB_CMAKE +
                         "' -E tar xf '" + ZEMB_SAMPLES_DIR + "/walk-160x120.tar.xz'";
    ASSERT_EQ(std::system(unpack.c_str()), 0);

    // Default settings (K = 200), frames 1..215: masks 201..215.
    test::RunResult r = test::run_zemb(dir.path(), {"walk", "1", "215"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::uint64_t hash = 0xcbf29ce484222325ull;
    long long foreground = 0;
    for (int k = 201; k <= 215; ++k) {
        std::string mask = test::read_file(dir / ("walkMask." + std::to_string(k) + ".pgm"));
        ASSERT_EQ(mask.size(), 15u + 160u * 120u) << k;
        hash = fnv1a(mask, hash);
        for (std::size_t i = 15; i < mask.size(); ++i)
            foreground += mask[i] != 0;
    }
    // Recorded from a run of the straightforward (reference) engine with
    // g++ 12 on x86-64, and matched by an independent re-implementation of the
    // method written in Python (double arithmetic, float32 rounding points).
    EXPECT_EQ(foreground, 4770);
    EXPECT_EQ(hash, 0xf02cabdfdd340940ull);
}

}  // namespace
}  // namespace zemb

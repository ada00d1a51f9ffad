#include "postproc/postproc.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

namespace zemb {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A mask drawn as rows of '#' (255) and '.' (0).
struct Art {
    int W = 0;
    Bytes mask;
};

Art draw(std::initializer_list<std::string> rows)
{
    Art art;
    for (const std::string& row : rows) {
        art.W = static_cast<int>(row.size());
        for (char c : row)
            art.mask.push_back(c == '#' ? 255 : 0);
    }
    return art;
}

Bytes filtered_in_place(Bytes mask, int W)
{
    filter_mask(mask.data(), W, mask.size(), mask.data());
    return mask;
}

Bytes filtered_in_place(const Art& art) { return filtered_in_place(art.mask, art.W); }

// Slow, literal filter: each range with its own offset list, signed
// indices, bounds-checked access, working in place.
Bytes reference_filter(Bytes m, int W)
{
    const std::ptrdiff_t w = W;
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(m.size());
    if (w <= 0 || n < 2 * w)
        return m;
    const int low = 3;   // cleared at this count or fewer
    const int high = 6;  // set at this count or more
    auto run = [&](std::ptrdiff_t first, std::ptrdiff_t last,
                   std::initializer_list<std::ptrdiff_t> offsets) {
        for (std::ptrdiff_t i = first; i <= last; ++i) {
            int count = 0;
            for (std::ptrdiff_t d : offsets)
                count += m.at(static_cast<std::size_t>(i + d)) != 0;
            std::uint8_t& px = m.at(static_cast<std::size_t>(i));
            if (count <= low)
                px = 0;
            else if (count >= high)
                px = 255;
        }
    };
    run(1, w - 2, {-1, 0, 1, w - 1, w, w + 1});
    run(w + 1, n - w - 2, {-w - 1, -w, -w + 1, -1, 0, 1, w - 1, w, w + 1});
    run(n - w + 1, n - 2, {-w - 1, -w, -w + 1, -1, 0, 1});
    return m;
}

TEST(MaskFilter, InPlaceOrderClearsAllFourPixelsOfShiftedPairs)
{
    const Art art = draw({".......", "..##...", "...##..", ".......", "......."});
    EXPECT_EQ(filtered_in_place(art), Bytes(art.mask.size(), 0));

    // Counted from an untouched source the upper right and lower left pixels
    // would survive; the in-place run above must not behave like this.
    Bytes separate(art.mask.size(), 0);
    filter_mask(art.mask.data(), art.W, art.mask.size(), separate.data());
    EXPECT_EQ(separate, draw({".......", "...#...", "...#...", ".......", "......."}).mask);
}

TEST(MaskFilter, RowEndPixelsCountCellsWrappedFromNeighbouringRows)
{
    // 5 x 5, counts read from a separate source: the probed pixel and two
    // cells known to be counted make 3 (cleared); any other counted cell j
    // makes 4 (kept).
    auto counted = [](std::size_t pixel, std::size_t known1, std::size_t known2) {
        std::vector<std::size_t> cells;
        for (std::size_t j = 0; j < 25; ++j) {
            if (j == pixel || j == known1 || j == known2)
                continue;
            Bytes src(25, 0), dst(25, 0);
            src[pixel] = src[known1] = src[known2] = src[j] = 255;
            filter_mask(src.data(), 5, 25, dst.data());
            if (dst[pixel] == 255)
                cells.push_back(j);
        }
        return cells;
    };
    EXPECT_EQ(counted(10, 4, 5), (std::vector<std::size_t>{6, 9, 11, 14, 15, 16}));
    EXPECT_EQ(counted(9, 3, 4), (std::vector<std::size_t>{5, 8, 10, 13, 14, 15}));
}

TEST(MaskFilter, SixIndicesAreNeverVisited)
{
    std::mt19937 rng(7);
    for (auto [W, H] :
         {std::pair{5, 5}, std::pair{3, 4}, std::pair{9, 3}, std::pair{1, 6}, std::pair{2, 5}}) {
        const std::size_t w = static_cast<std::size_t>(W), N = w * static_cast<std::size_t>(H);
        for (int trial = 0; trial < 50; ++trial) {
            Bytes mask(N);
            for (auto& b : mask)
                b = rng() % 2 ? 255 : 0;
            const Bytes out = filtered_in_place(mask, W);
            for (std::size_t i : {std::size_t{0}, w - 1, w, N - w - 1, N - w, N - 1}) {
                EXPECT_EQ(out[i], mask[i]) << W << "x" << H << " index " << i;
            }
        }
    }
}

TEST(MaskFilter, PixelCountsItselfAgainstBothThresholds)
{
    struct Case {
        const char* what;
        std::initializer_list<std::string> art;
        std::size_t index;
        std::uint8_t expected;
    };
    const Case cases[] = {
        {"isolated pixel", {".....", ".....", "..#..", ".....", "....."}, 12, 0},
        {"single hole", {"#####", "#####", "##.##", "#####", "#####"}, 12, 255},
        // Foreground with 2 foreground neighbours: count 3, cleared; with 3: kept.
        {"count 3", {".......", ".......", "..##...", "..#....", "......."}, 16, 0},
        {"count 4", {".......", ".......", "..##...", "..##...", "......."}, 16, 255},
        // Background with 5 foreground neighbours stays; with 6 it is set. The
        // solid top rows survive their own visits.
        {"count 5", {"#######", "#######", "...#...", "..#....", "......."}, 16, 0},
        {"count 6", {"#######", "#######", "...#...", "..##...", "......."}, 16, 255},
        // The first and last rows count six cells: background with all 5
        // neighbours foreground stays background; foreground with 2 of its 5
        // neighbours is cleared, with 3 kept.
        {"first row, 5 around a hole", {"##.##", "#####", "#####"}, 2, 0},
        {"last row, 5 around a hole", {"#####", "#####", "##.##"}, 12, 0},
        {"first row, count 3", {"..##.", "...#.", "....."}, 2, 0},
        {"first row, count 4", {"..##.", "..##.", "....."}, 2, 255},
        {"last row, count 3", {".....", "...#.", "..##."}, 12, 0},
        {"last row, count 4", {".....", "..##.", "..##."}, 12, 255},
    };
    for (const Case& c : cases)
        EXPECT_EQ(filtered_in_place(draw(c.art))[c.index], c.expected) << c.what;
}

TEST(MaskFilter, AllForegroundStaysAllForeground)
{
    for (auto [W, H] :
         {std::pair{5, 5}, std::pair{8, 3}, std::pair{4, 2}, std::pair{1, 7}, std::pair{2, 6}}) {
        const Bytes full(static_cast<std::size_t>(W * H), 255);
        EXPECT_EQ(filtered_in_place(full, W), full) << W << "x" << H;
    }
}

TEST(MaskFilter, TwoRowMaskLeavesOnlyCornersUnvisited)
{
    // An isolated pixel is cleared wherever it is visited.
    const int W = 6;
    for (std::size_t i = 0; i < 12; ++i) {
        Bytes mask(12, 0);
        mask[i] = 255;
        const bool corner = i == 0 || i == 5 || i == 6 || i == 11;
        EXPECT_EQ(filtered_in_place(mask, W)[i], corner ? 255 : 0) << "index " << i;
    }
}

TEST(MaskFilter, NarrowMasksUseOnlyTheMiddleRun)
{
    // W = 2: rows 0 and H-1 are all corners; index 3 (row 1, column 1) is
    // visited, index 2 (row 1, column 0) is not.
    Bytes mask(10, 0);
    mask[2] = mask[3] = 255;
    EXPECT_EQ(filtered_in_place(mask, 2), Bytes({0, 0, 255, 0, 0, 0, 0, 0, 0, 0}));
    // W = 1: the middle run is i = 2 .. N-3; indices 0, 1, N-2, N-1 stay.
    const Bytes column = {255, 255, 255, 0, 0, 0, 255, 255};
    EXPECT_EQ(filtered_in_place(column, 1), Bytes({255, 255, 255, 0, 0, 0, 255, 255}));
    EXPECT_EQ(filtered_in_place(Bytes({0, 0, 0, 255, 0, 0, 0}), 1), Bytes(7, 0));
}

TEST(MaskFilter, MasksOfFewerThanTwoRowsAreLeftAlone)
{
    const Bytes row = {255, 0, 255, 0, 0, 255, 255};
    EXPECT_EQ(filtered_in_place(row, 7), row);  // one row
    EXPECT_EQ(filtered_in_place(row, 4), row);  // N < 2W, not a whole number of rows
    EXPECT_EQ(filtered_in_place(row, 0), row);
    EXPECT_EQ(filtered_in_place(row, -3), row);
    filter_mask(nullptr, 4, 0, nullptr);  // empty mask: nothing read or written
}

TEST(MaskFilter, AnyNonZeroByteCountsAsForeground)
{
    const Bytes hole = {1, 2, 3, 4, 5, 6, 0, 8, 9};
    EXPECT_EQ(filtered_in_place(hole, 3)[4], 255);
    // An undecided pixel keeps its own byte, not 255.
    const Bytes kept = {0, 0, 0, 0, 17, 1, 0, 1, 1};
    EXPECT_EQ(filtered_in_place(kept, 3)[4], 17);
    const Bytes isolated = {0, 0, 0, 0, 7, 0, 0, 0, 0};
    EXPECT_EQ(filtered_in_place(isolated, 3)[4], 0);
}

TEST(MaskFilter, MatchesPlainReferenceOnRandomMasks)
{
    // Tiny widths and lengths (any, whole rows or not), then masks wide
    // enough to be decided in chunks of 16, with every remainder.
    struct Shapes {
        int widths_from, widths_to;
        std::size_t longest;
        int trials;
    };
    std::mt19937 rng(12345);
    for (const Shapes& s : {Shapes{0, 11, 80, 4000}, Shapes{15, 70, 3000, 1500}}) {
        for (int trial = 0; trial < s.trials; ++trial) {
            const int W =
                s.widths_from + static_cast<int>(rng() % unsigned(s.widths_to - s.widths_from + 1));
            const std::size_t N = rng() % (s.longest + 1);
            const unsigned density = rng() % 4;  // vary how crowded masks are
            Bytes mask(N);
            for (auto& b : mask)
                b = rng() % 4 <= density ? static_cast<std::uint8_t>(1 + rng() % 255) : 0;
            ASSERT_EQ(filtered_in_place(mask, W), reference_filter(mask, W))
                << "trial " << trial << " W " << W << " N " << N;
        }
    }
}

}  // namespace
}  // namespace zemb

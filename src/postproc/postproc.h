// Mask post-processing: the 3 x 3 neighbourhood filter that clears sparse
// foreground and fills dense holes in every online mask before it is written.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zemb {

// A pixel whose neighbourhood holds at most this many foreground cells is
// cleared: sparse foreground is noise.
constexpr int filter_clear_at_most = 3;
// A pixel whose neighbourhood holds at least this many is set: dense
// foreground fills its holes.
constexpr int filter_set_at_least = 6;

// Counts the non-zero cells of each visited pixel's neighbourhood in `src`
// (the pixel itself included) and writes the decision into `dst`: a count of
// at most filter_clear_at_most clears the pixel, a count of at least
// filter_set_at_least sets it to 255, anything between keeps it. The run
// passes the same buffer as src and dst, and the visit runs in increasing
// index order, so decisions already taken feed later counts. With separate
// buffers every count comes from the untouched src, and dst receives only the
// visited pixels.
//
// Pixels are visited in three ranges: the first row (without its ends), one
// flat run from row 1 column 1 to row H-2 column W-2 (which wraps round the
// row ends), and the last row (without its ends). The four corners, row 1
// column 0 and row H-2 column W-1 are never visited. A mask of fewer than two
// rows (N < 2W, or W <= 0) is left as it is.
void filter_mask(const std::uint8_t* src, int W, std::size_t N, std::uint8_t* dst);

}  // namespace zemb

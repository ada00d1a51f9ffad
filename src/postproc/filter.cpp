#include "postproc/postproc.h"

namespace zemb {

namespace {

// Largest byte value: what a filled pixel is set to.
constexpr std::uint8_t foreground = 255;
// What a cleared pixel is set to.
constexpr std::uint8_t background = 0;

// Any non-zero byte is foreground, whatever its value.
inline int is_set(std::uint8_t byte) { return byte != 0 ? 1 : 0; }

// Foreground cells among j - 1, j, j + 1.
inline int count_three(const std::uint8_t* mask, std::size_t j)
{
    return is_set(mask[j - 1]) + is_set(mask[j]) + is_set(mask[j + 1]);
}

}  // namespace

void filter_mask(const std::uint8_t* src, int W, std::size_t N, std::uint8_t* dst)
{
    // Every range below reads one row above or below the pixel, so the mask
    // needs two full rows; N >= 2W also keeps every index below within [0, N).
    if (W <= 0)
        return;
    const std::size_t w = static_cast<std::size_t>(W);
    if (N / 2 < w)
        return;  // N < 2W, written so that nothing can overflow

    // In place (src == dst) the cells before i already hold their decisions
    // when i is counted; that order dependence is intended.
    auto decide = [&](std::size_t i, int count) {
        if (count <= filter_clear_at_most) {
            dst[i] = background;
        } else if (count >= filter_set_at_least) {
            dst[i] = foreground;
        } else {
            dst[i] = src[i];
        }
    };

    // First row without its ends: the pixel's row and the row below.
    for (std::size_t i = 1; i + 1 < w; ++i) {
        decide(i, count_three(src, i) + count_three(src, i + w));
    }

    // Row 1 column 1 to row H-2 column W-2 as one flat run, so pixels at the
    // row ends count cells that wrap into the neighbouring rows. For W <= 2
    // the three triples overlap and a cell may be counted more than once.
    for (std::size_t i = w + 1; i + w + 1 < N; ++i) {
        decide(i, count_three(src, i - w) + count_three(src, i) + count_three(src, i + w));
    }

    // Last row without its ends: the row above and the pixel's row.
    for (std::size_t i = N - w + 1; i + 1 < N; ++i) {
        decide(i, count_three(src, i - w) + count_three(src, i));
    }
}

}  // namespace zemb

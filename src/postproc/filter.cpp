#include "postproc/postproc.h"

#include <initializer_list>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

#if defined(__SSE2__)

// Pixels the in-place middle run decides together.
constexpr std::size_t chunk = 16;
// Narrowest mask the chunks serve: every cell of the row above a chunk must
// be decided before the chunk is loaded.
constexpr std::size_t chunk_min_width = chunk + 1;

// The in-place middle run, 16 pixels at a time, from `i` while a whole chunk
// fits before `end`; returns where the plain loop takes over.
//
// Why it decides what the plain loop decides: in place, pixel i counts the
// decided row above, its decided left neighbour, and the untouched cells of
// its own row (i, i+1) and the row below. Everything but the left
// neighbour is known before the chunk starts (the row above ends at i+16-W,
// before the chunk, as W > 16), so each pixel's output is one of two values
// worked out for all 16 at once: d0 if its left neighbour ends up
// background, d1 if foreground. Which one is a chain through the chunk: a
// pixel is foreground if d0 is (g), or if d1 is (p) and its left neighbour
// is. With more cells counted no decision falls, so g implies p, and the
// chain is the carry chain of the sum g + p + carry-in: the carry out of bit
// k is pixel k's own state.
std::size_t filter_chunks(std::uint8_t* m, std::size_t w, std::size_t i, std::size_t end)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i cells = _mm_set1_epi8(8);  // neighbourhood cells but the left one
    const __m128i bit_of_lane =
        _mm_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128);
    auto load = [&](std::size_t at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(m + at));
    };
    auto at_least = [](__m128i count, int k) {
        return _mm_cmpgt_epi8(count, _mm_set1_epi8(char(k - 1)));
    };
    unsigned carry = m[i - 1] != 0;
    for (; i + chunk <= end; i += chunk) {
        // Minus the background cells among the eight known ones.
        __m128i minus_clear = zero;
        for (const std::size_t at :
             {i - w - 1, i - w, i - w + 1, i + 1, i + w - 1, i + w, i + w + 1})
            minus_clear = _mm_add_epi8(minus_clear, _mm_cmpeq_epi8(load(at), zero));
        const __m128i own = load(i);
        minus_clear = _mm_add_epi8(minus_clear, _mm_cmpeq_epi8(own, zero));
        const __m128i known = _mm_add_epi8(cells, minus_clear);
        // Outputs with the left neighbour background (count = known) and
        // foreground (count = known + 1).
        const __m128i d0 =
            _mm_or_si128(at_least(known, filter_set_at_least),
                         _mm_and_si128(at_least(known, filter_clear_at_most + 1), own));
        const __m128i d1 = _mm_or_si128(at_least(known, filter_set_at_least - 1),
                                        _mm_and_si128(at_least(known, filter_clear_at_most), own));
        const unsigned g = ~unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(d0, zero))) & 0xffffu;
        const unsigned p = ~unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(d1, zero))) & 0xffffu;
        const unsigned carries = (g + p + carry) ^ g ^ p;  // bit k: carry into bit k
        const unsigned left = carries & 0xffffu;           // each pixel's left neighbour
        carry = carries >> chunk;                          // the last pixel's state
        // Spread the 16 bits of `left` over the 16 lanes.
        __m128i spread = _mm_cvtsi32_si128(int(left));
        spread = _mm_unpacklo_epi8(spread, spread);
        spread = _mm_unpacklo_epi16(spread, spread);
        spread = _mm_unpacklo_epi32(spread, spread);
        const __m128i left_set = _mm_cmpeq_epi8(_mm_and_si128(spread, bit_of_lane), bit_of_lane);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(m + i),
                         _mm_or_si128(_mm_and_si128(left_set, d1), _mm_andnot_si128(left_set, d0)));
    }
    return i;
}

#endif

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
    std::size_t middle = w + 1;
#if defined(__SSE2__)
    if (src == dst && w >= chunk_min_width)
        middle = filter_chunks(dst, w, middle, N - w - 1);
#endif
    for (std::size_t i = middle; i + w + 1 < N; ++i) {
        decide(i, count_three(src, i - w) + count_three(src, i) + count_three(src, i + w));
    }

    // Last row without its ends: the row above and the pixel's row.
    for (std::size_t i = N - w + 1; i + 1 < N; ++i) {
        decide(i, count_three(src, i - w) + count_three(src, i));
    }
}

}  // namespace zemb

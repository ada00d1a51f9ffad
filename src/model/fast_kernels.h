// The fast engine's kernels: the small set of operations every vector unit
// implements (one file per unit: fast_scalar.cpp, fast_avx2.cpp,
// fast_avx512.cpp), what each must compute, and the pieces the units share.
// Internal to model/: the engine and the per-kernel tests include it.
//
// A unit's kernel set is a type with the static functions whose signatures
// are those of the pointer types below, and an InteriorBlender. The steps
// (1) to (8) cited here are the identity argument in fast_rows.h.
#pragma once

#include <immintrin.h>

#include <array>
#include <cstdint>

#include "model/model.h"

namespace zemb::fast {

// Starting best distance of a chain, as in find_best_match: above any
// squared distance of two cone points.
constexpr float no_distance_yet = 100.0f;

// Weight rows padded to two 8-lane vectors, so that a vector load of a window
// row never reads past its row.
constexpr int padded_side = 16;

// The block side with kernels of its own: the default one.
constexpr int default_side = 3;

// The update window of one matched pixel, clipped to the model.
struct Window {
    Index row0;  // model row and column of the clipped window's first element
    Index col0;
    int rows;  // clipped window size
    int cols;
    // Window rows [band_begin, band_end) lie in the band being worked; rows
    // outside it have no lanes.
    int band_begin;
    int band_end;
    double p[plane_count];  // the pixel, widened once
    // Bit l of lanes[a]: element (a, l) of the window passes the owner test.
    std::uint16_t lanes[max_block_side];
    // Where the value of window row a's first element as the frame began is
    // kept: its offset in the planes of the row copies (6).
    Index old_at[max_block_side];
};

// Learning weights of the frame as doubles: keep = 1 - w, take = w, by
// window row and column (counted from the clipped window's first row and
// column), zero past the side.
struct BlendWeights {
    alignas(64) double keep[max_block_side][padded_side];
    alignas(64) double take[max_block_side][padded_side];
};

// out[j] = squared distance of model element j (planes model[0..2]) to pixel
// j (planes pixel[0..2], doubles), for j < count, formed as squared_distance
// forms it (1). With `copy` not null, the model row is also stored unchanged
// to copy[0..2] (6). Nothing past `count` is read or written.
using DistanceRowFn = void (*)(const float* const* model, const double* const* pixel, Index count,
                               double* out, float* const* copy);

// found[c] = block position a*n + b of the best match of pixel c (c < W)
// among distances d[a * model_cols + n*c + b], or -1 when none is within e:
// find_best_match's chain on the same doubles (2).
using BestPositionsFn = void (*)(const double* d, Index model_cols, int n, int W, double e,
                                 int* found);

// One block row of the model against its pixel row.
struct BlockRow {
    const float* model[plane_count];   // the block row's first model row
    Index model_cols;                  // elements from one model row to the next
    const float* pixels[plane_count];  // the pixel row, W pixels
    int W;
    int n;
    double e;
    float* copy[plane_count];  // null, or where the n model rows are copied, model_cols apart
    int* found;                // W results
    // Scratch of the general form: n*W doubles per plane, n*n*W doubles.
    double* expanded[plane_count];
    double* distances;
};

// found[c] as BestPositionsFn says, for every pixel of the row, from the
// distances of DistanceRowFn; with `copy`, the block row's n model rows are
// copied there unchanged (6).
using MatchRowFn = void (*)(const BlockRow& row);

// Every element (a, b) of the window whose lane bit is set becomes
// stored(keep[a][b] * old + take[a][b] * p) in `model`, where old is its
// value in `old` at win.old_at[a] + b, formed in double (4); no other element
// of `model` is written, and `old` is only read.
using BlendWindowFn = void (*)(const Window& win, Index model_cols, const float* const* old,
                               float* const* model, const BlendWeights& weights);

// A whole n = 3 window inside the model (8): rows a = 0, 1, 2 start at
// old[q] + old_at[a] (values as the frame began) and model[q] + model_at[a];
// bit 4a + b of `lanes` says whether element (a, b) blends. The blend is
// BlendWindowFn's with the weights of an unclipped window. Each unit's
// InteriorBlender does this with the frame's weights and the planes held in
// its registers for a whole row; this form is for the tests.
using BlendInteriorFn = void (*)(const float* const* old, const Index* old_at, float* const* model,
                                 const Index* model_at, unsigned lanes, const double* p,
                                 const BlendWeights& weights);

// ---- n = 3 windows inside the band, a group of pixels at a time (8) --------------

// Pixels whose windows are set up together.
constexpr int group_width = 8;

// Neighbourhood codes: bit 3d + k says that the pixel in owner row d (0
// above, 1 its own, 2 below) and column k (0 left, 1 itself, 2 right) is
// background. interior_lanes[found * 512 + code] holds the window's lanes for
// a match at block position `found`: bit 4a + b for element (a, b), as the
// general window builder would set them.
constexpr int neighbourhood_codes = 512;

constexpr std::array<std::uint16_t, 9 * neighbourhood_codes> make_interior_lanes()
{
    std::array<std::uint16_t, 9 * neighbourhood_codes> table{};
    for (int found = 0; found < 9; ++found)
        for (int code = 0; code < neighbourhood_codes; ++code) {
            const int pr = found / 3, pc = found % 3;
            unsigned lanes = 0;
            for (int a = 0; a < 3; ++a)
                for (int b = 0; b < 3; ++b) {
                    // Window element (a, b) lies in model row 3r + pr - 1 + a,
                    // so in owner row r - 1 + d; likewise for columns.
                    const int d = (pr + a + 2) / 3;
                    const int k = (pc + b + 2) / 3;
                    if (code >> (3 * d + k) & 1)
                        lanes |= 1u << (4 * a + b);
                }
            table[static_cast<std::size_t>(found * neighbourhood_codes + code)] =
                static_cast<std::uint16_t>(lanes);
        }
    return table;
}

inline constexpr std::array<std::uint16_t, 9 * neighbourhood_codes> interior_lanes =
    make_interior_lanes();

// The windows of a group: for its pixel l with a match,
//   lanes_at[l]: the window's entry of interior_lanes,
//   row[l]: the block row pr of the match (the window starts at model row
//           3r + pr - 1),
//   col[l]: 3l + pc - 1, the window's first model column counted from the
//           group's first block column.
// The entries of a pixel without a match are never used.
struct GroupPlan {
    alignas(32) std::int32_t lanes_at[group_width];
    alignas(32) std::int32_t row[group_width];
    alignas(32) std::int32_t col[group_width];
};

// Plans a group of `count` pixels (at most group_width). found[l]: pixel l's
// block position or -1; bit l of `background`: pixel l is background this
// frame (matched, or a shadow); `mask`: the mask byte of the column before
// the group in its own row, with the rows above and below W bytes away. The
// owners' values are the ones the scan order gives (3): the row above as this
// frame left it; in the pixel's own row its left neighbour's from
// `background` (or, before the group, from `mask`) and its right neighbour's
// from `mask` (the last frame's, not yet overwritten); the row below as the
// last frame left it. Reads the mask bytes of columns before the group to
// past it: count + 2 of them in each row.
inline void plan_group_plain(const int* found, unsigned background, const std::uint8_t* mask,
                             Index W, int count, GroupPlan& plan)
{
    const auto open = [](const std::uint8_t* p, int t) { return unsigned(p[t] == 0) << t; };
    unsigned above = 0, before = 0, below = 0;
    for (int t = 0; t < count + 2; ++t) {
        above |= open(mask - W, t);
        before |= open(mask, t);
        below |= open(mask + W, t);
    }
    const unsigned fresh = background << 1 | (before & 1u);  // bit t: column t-1 of the group
    for (int l = 0; l < count; ++l) {
        const int f = found[l] < 0 ? 0 : found[l];
        const unsigned own = (fresh >> l & 1u) | 2u | (before >> (l + 2) & 1u) << 2;
        const unsigned code = (above >> l & 7u) | own << 3 | (below >> l & 7u) << 6;
        plan.lanes_at[l] = f * neighbourhood_codes + static_cast<int>(code);
        plan.row[l] = f / 3;
        plan.col[l] = 3 * l + f % 3 - 1;
    }
}

// plan_group_plain for a whole group, with 16 mask bytes readable from each
// row. The AVX2 and AVX-512 units' (every AVX-512 processor has AVX2).
using PlanGroupFn = void (*)(const int* found, unsigned background, const std::uint8_t* mask,
                             Index W, GroupPlan& plan);

__attribute__((target("avx2"))) inline void plan_group_avx2(const int* found, unsigned background,
                                                            const std::uint8_t* mask, Index W,
                                                            GroupPlan& plan)
{
    const auto open = [](const std::uint8_t* p) {
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), _mm_setzero_si128())));
    };
    const unsigned above = open(mask - W), before = open(mask), below = open(mask + W);
    const unsigned fresh = background << 1 | (before & 1u);
    // Lane l shifts every word right by l: bits 0-2 are then its above or
    // below owners, bit 0 of `own` its left neighbour and bit 16 its right.
    const __m256i l = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i low_three_bits = _mm256_set1_epi32(7);
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i up =
        _mm256_and_si256(_mm256_srlv_epi32(_mm256_set1_epi32(int(above)), l), low_three_bits);
    const __m256i down =
        _mm256_and_si256(_mm256_srlv_epi32(_mm256_set1_epi32(int(below)), l), low_three_bits);
    const __m256i own = _mm256_srlv_epi32(
        _mm256_set1_epi32(int((fresh & 0xffffu) | (before >> 2 & 0xffffu) << 16)), l);
    const __m256i own_code = _mm256_or_si256(
        _mm256_or_si256(_mm256_slli_epi32(_mm256_and_si256(own, one), 3), _mm256_set1_epi32(16)),
        _mm256_slli_epi32(_mm256_and_si256(_mm256_srli_epi32(own, 16), one), 5));
    const __m256i code = _mm256_or_si256(_mm256_or_si256(up, own_code), _mm256_slli_epi32(down, 6));
    const __m256i f = _mm256_max_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(found)),
                                       _mm256_setzero_si256());
    // f / 3 for f in 0..8 is (f * 11) >> 5.
    const __m256i pr = _mm256_srli_epi32(_mm256_mullo_epi32(f, _mm256_set1_epi32(11)), 5);
    const __m256i pc = _mm256_sub_epi32(f, _mm256_mullo_epi32(pr, _mm256_set1_epi32(3)));
    _mm256_store_si256(reinterpret_cast<__m256i*>(plan.lanes_at),
                       _mm256_add_epi32(_mm256_slli_epi32(f, 9), code));
    _mm256_store_si256(reinterpret_cast<__m256i*>(plan.row), pr);
    _mm256_store_si256(
        reinterpret_cast<__m256i*>(plan.col),
        _mm256_add_epi32(_mm256_mullo_epi32(l, _mm256_set1_epi32(3)), _mm256_sub_epi32(pc, one)));
}

// The mask bytes of a group from its background bits: byte l is 0 when bit l
// is set, 255 when not.
constexpr std::array<std::uint64_t, 256> make_group_mask_bytes()
{
    std::array<std::uint64_t, 256> table{};
    for (unsigned bits = 0; bits < 256; ++bits)
        for (int l = 0; l < group_width; ++l)
            if (!(bits >> l & 1u))
                table[bits] |= std::uint64_t(0xff) << (8 * l);
    return table;
}

inline constexpr std::array<std::uint64_t, 256> group_mask_bytes = make_group_mask_bytes();

struct RowJob;  // fast_rows.h

// One vector unit's code: the row loop compiled for it and, for the
// per-kernel tests, its kernels as plain function pointers.
struct UnitCode {
    void (*segment_rows)(const RowJob& job);
    void (*match_row)(const BlockRow& row);  // the row loop's, any n
    DistanceRowFn distance_row;
    BestPositionsFn best_positions;
    BlendWindowFn blend_window;
    BlendInteriorFn blend_interior;
    PlanGroupFn plan_group;
};

UnitCode scalar_code();
UnitCode avx2_code();
UnitCode avx512_code();

// The code of `unit`, which must be available on this processor.
UnitCode unit_code(VectorUnit unit);

// ---- Pieces the units share -----------------------------------------------------

// One distance in plain code, as squared_distance forms it (1).
inline double distance_of(float mx, float my, float mz, double px, double py, double pz)
{
    const double dx = static_cast<double>(mx) - px;
    const double dy = static_cast<double>(my) - py;
    const double dz = static_cast<double>(mz) - pz;
    return dx * dx + dy * dy + dz * dz;
}

// The chain of one pixel in plain code (2): the scalar unit's, and the
// vector units' for the pixels left over past the last whole vector.
inline int best_position(const double* d, Index model_cols, int n, double e)
{
    float best = no_distance_yet;
    int found = -1;
    int pos = 0;
    for (int a = 0; a < n; ++a)
        for (int b = 0; b < n; ++b, ++pos) {
            const double v = d[a * model_cols + b];
            if (v < static_cast<double>(best)) {
                best = static_cast<float>(v);
                if (v <= e)
                    found = pos;
            }
        }
    const Index half = n / 2;
    const double dc = d[half * model_cols + half];
    if (dc <= static_cast<double>(best) && dc <= e)
        found = static_cast<int>(half) * n + static_cast<int>(half);
    return found;
}

// The chains of a pixel row, Chain::width pixels side by side with one lane
// per pixel (2). A Chain holds the lanes' running best, result and centre
// distance; it is made per group of pixels, shown each block row with
// load_row, and stepped through the block positions in scan order. Its
// vectors never leave it, so only code of its own unit touches them.
template <typename Chain>
void best_positions_in_lanes(const double* d, Index model_cols, int n, int W, double e, int* found)
{
    const int centre = (n / 2) * n + n / 2;
    Index c = 0;
    for (; c + Chain::width <= W; c += Chain::width) {
        Chain chain(n, e);
        int pos = 0;
        for (int a = 0; a < n; ++a) {
            chain.load_row(d + c * n + a * model_cols);
            for (int b = 0; b < n; ++b, ++pos)
                chain.step(b, pos, pos == centre);
        }
        chain.finish(centre, found + c);
    }
    for (; c < W; ++c)
        found[c] = best_position(d + c * n, model_cols, n, e);
}

// MatchRowFn in its general form: the pixel row repeated n times per pixel,
// the n model rows measured against it in one sweep each, then the chains.
template <typename Kernels>
void match_row_general(const BlockRow& m)
{
    const int n = m.n;
    for (int q = 0; q < plane_count; ++q) {
        const float* src = m.pixels[q];
        double* dst = m.expanded[q];
        for (Index c = 0; c < m.W; ++c)
            for (int b = 0; b < n; ++b)
                dst[c * n + b] = static_cast<double>(src[c]);
    }
    const Index count = Index(n) * m.W;
    for (int a = 0; a < n; ++a) {
        const Index row = a * m.model_cols;
        const float* const model[plane_count] = {m.model[0] + row, m.model[1] + row,
                                                 m.model[2] + row};
        float* copy[plane_count] = {nullptr, nullptr, nullptr};
        if (m.copy[0] != nullptr)
            for (int q = 0; q < plane_count; ++q)
                copy[q] = m.copy[q] + row;
        Kernels::distance_row(model, m.expanded, count, m.distances + a * count,
                              m.copy[0] != nullptr ? copy : nullptr);
    }
    Kernels::best_positions(m.distances, count, n, m.W, m.e, m.found);
}

// MatchRowFn for n = 3, Chain::width pixels a group, and the index of the
// first pixel left for match_row3_tail. Each model row of a group is measured
// in registers against the group's pixels, each repeated into the places of
// its three elements (1); the loaded elements are copied as they are when
// `copy` is set (6); the chains run on the distances in registers (2), so no
// scratch row is written or read. Chain::Pixels holds the repeated pixels and
// Chain::measure the distances of one model row, in its unit's vectors.
template <typename Chain, bool copy>
Index match_groups3(const BlockRow& m)
{
    constexpr int n = default_side;
    constexpr int centre = (n / 2) * n + n / 2;
    Index c = 0;
    for (; c + Chain::width <= m.W; c += Chain::width) {
        const typename Chain::Pixels pixels(m.pixels, c);
        Chain chain(n, m.e);
        int pos = 0;
#pragma GCC unroll 3
        for (int a = 0; a < n; ++a) {
            chain.template measure<copy>(m.model, m.copy, a * m.model_cols + n * c, pixels);
#pragma GCC unroll 3
            for (int b = 0; b < n; ++b, ++pos)
                chain.step(b, pos, pos == centre);
        }
        chain.finish(centre, m.found + c);
    }
    return c;
}

// The pixels at and past `first` of an n = 3 row, and their copies, in plain
// code: the vector units' tail.
inline void match_row3_tail(const BlockRow& m, Index first)
{
    constexpr int n = default_side;
    for (Index c = first; c < m.W; ++c) {
        double d[n * n];
        for (int a = 0; a < n; ++a)
            for (int b = 0; b < n; ++b) {
                const Index j = a * m.model_cols + n * c + b;
                if (m.copy[0] != nullptr)
                    for (int q = 0; q < plane_count; ++q)
                        m.copy[q][j] = m.model[q][j];
                d[a * n + b] = distance_of(m.model[0][j], m.model[1][j], m.model[2][j],
                                           m.pixels[0][c], m.pixels[1][c], m.pixels[2][c]);
            }
        m.found[c] = best_position(d, n, n, m.e);
    }
}

// MatchRowFn for n = 3 with a unit's Chain.
template <typename Chain>
void match_row3_in_lanes(const BlockRow& m)
{
    const Index done =
        m.copy[0] != nullptr ? match_groups3<Chain, true>(m) : match_groups3<Chain, false>(m);
    match_row3_tail(m, done);
}

}  // namespace zemb::fast

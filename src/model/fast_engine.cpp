// The fast engine: segment_frame's results, a pixel row at a time.
//
// Why the output cannot change:
// - Distances. Every distance is squared_distance's: element minus pixel per
//   coordinate, each float widened to double exactly, squared, and summed as
//   (dx*dx + dy*dy) + dz*dz. Vector lanes do the same IEEE double operations
//   in the same order (the build never contracts to fused multiply-adds), so
//   each lane's double equals the scalar one bit for bit.
// - Best match. The chain over a block runs exactly as find_best_match's:
//   scan order, a float best starting at 100, the threshold tested only when
//   best falls, then the centre re-test. The vector forms run the chains of
//   4 or 8 pixels side by side, one lane per pixel; a lane's best is the
//   distance rounded to float as a cast rounds it, widened back to double.
// - Classification and blends go pixel by pixel in scan order, so every
//   owner test reads the mask as the reference reads it and the last blend
//   written to an element is the reference's last. A blend reads `current`
//   only and is formed as (1 - w) * old + w * p in double, stored as float;
//   a vector lane does the same operations.
// - The update model. With UpdateWrite::every_element the block row below
//   the pixel row is copied from `current` into `update` before the row's
//   windows can reach it (a window reaches at most n/2 < n model rows into
//   the next block row), so every element ends as the copy or as the last
//   blend written after it: exactly segment_frame's update model when it
//   starts from a copy of `current`. The copy is stored by the distance
//   sweep of the next pixel row, which runs before this row's windows:
//   distances and matches read neither `update` nor the mask. The caller
//   then swaps the two models instead of copying 3 x n x n x N floats after
//   the frame.
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "color/color.h"
#include "model/model.h"

namespace zemb {

namespace {

// Starting best distance of the chain, as in find_best_match: above any
// squared distance of two cone points.
constexpr float no_distance_yet = 100.0f;

// Mask values of a classified pixel.
constexpr std::uint8_t mask_background = 0;
constexpr std::uint8_t mask_foreground = 255;

// Weight rows padded to two 8-lane vectors, so that a vector load of a window
// row never reads past its row.
constexpr int padded_side = 16;

// The update window of one background pixel, clipped to the model.
struct Window {
    Index row0;  // model row and column of the clipped window's first element
    Index col0;
    int rows;     // clipped window size
    int cols;
    int band_begin;  // window rows [band_begin, band_end) lie in the band being worked
    int band_end;
    double p[plane_count];  // the pixel, widened once
    // Bit l of lanes[a]: element (a, l) of the window passes the owner test.
    std::uint16_t lanes[max_block_side];
};

// Learning weights of the frame as doubles: keep = 1 - w, take = w, by
// window row and column (counted from the clipped window's first row and
// column), zero past the side.
struct BlendWeights {
    alignas(64) double keep[max_block_side][padded_side];
    alignas(64) double take[max_block_side][padded_side];
};

// Copy targets cx, cy, cz: null, or where the model row is copied to.
using DistanceRow = void (*)(const float* mx, const float* my, const float* mz, const double* ex,
                             const double* ey, const double* ez, Index count, double* out,
                             float* cx, float* cy, float* cz);
using BestPositions = void (*)(const double* d, Index model_cols, int n, int W, double e,
                               int* found);

// ---- Distances of a model row --------------------------------------------
// out[j] = squared distance of model element j to expanded pixel j; with copy
// targets, the model row is also copied to them unchanged.

inline void copy_model_row(const float* mx, const float* my, const float* mz, Index count,
                           float* cx, float* cy, float* cz)
{
    if (cx == nullptr)
        return;
    const std::size_t bytes = static_cast<std::size_t>(count) * sizeof(float);
    std::memcpy(cx, mx, bytes);
    std::memcpy(cy, my, bytes);
    std::memcpy(cz, mz, bytes);
}

inline double distance_of(float mx, float my, float mz, double ex, double ey, double ez)
{
    const double dx = static_cast<double>(mx) - ex;
    const double dy = static_cast<double>(my) - ey;
    const double dz = static_cast<double>(mz) - ez;
    return dx * dx + dy * dy + dz * dz;
}

void distance_row_scalar(const float* mx, const float* my, const float* mz, const double* ex,
                         const double* ey, const double* ez, Index count, double* out, float* cx,
                         float* cy, float* cz)
{
    copy_model_row(mx, my, mz, count, cx, cy, cz);
    for (Index j = 0; j < count; ++j)
        out[j] = distance_of(mx[j], my[j], mz[j], ex[j], ey[j], ez[j]);
}

// AVX-512 with 256-bit masked loads and stores (every AVX-512 processor but
// the first Xeon Phi has both).
#define ZEMB_AVX512 __attribute__((target("avx512f,avx512vl")))

// Float to double and back, every lane (the zero-masking forms stand in for
// the plain ones, whose GCC 12 headers trip -Wmaybe-uninitialized).
ZEMB_AVX512 inline __m512d widen(__m256 v) { return _mm512_maskz_cvtps_pd(0xff, v); }
ZEMB_AVX512 inline __m256 narrow(__m512d v) { return _mm512_maskz_cvtpd_ps(0xff, v); }

__attribute__((target("avx2"))) void distance_row_avx2(const float* mx, const float* my,
                                                      const float* mz, const double* ex,
                                                      const double* ey, const double* ez,
                                                      Index count, double* out,
                                                      float* cx, float* cy, float* cz)
{
    copy_model_row(mx, my, mz, count, cx, cy, cz);
    Index j = 0;
    for (; j + 4 <= count; j += 4) {
        const __m256d dx = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(mx + j)), _mm256_loadu_pd(ex + j));
        const __m256d dy = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(my + j)), _mm256_loadu_pd(ey + j));
        const __m256d dz = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(mz + j)), _mm256_loadu_pd(ez + j));
        const __m256d sum = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy)),
                                          _mm256_mul_pd(dz, dz));
        _mm256_storeu_pd(out + j, sum);
    }
    for (; j < count; ++j)
        out[j] = distance_of(mx[j], my[j], mz[j], ex[j], ey[j], ez[j]);
}

// With copy targets the loaded floats are stored there as they are: the
// copy rides on the loads the distances need anyway.
template <bool copy>
ZEMB_AVX512 inline void distance_row_avx512_of(const float* mx, const float* my, const float* mz,
                                               const double* ex, const double* ey,
                                               const double* ez, Index count, double* out,
                                               float* cx, float* cy, float* cz)
{
    Index j = 0;
    for (; j < count; j += 8) {
        // The last vector is masked: no element past the row is touched.
        const Index left = count - j;
        const __mmask8 m = left >= 8 ? __mmask8(0xff) : __mmask8((1u << left) - 1u);
        const __m512d px = _mm512_maskz_loadu_pd(m, ex + j);
        const __m512d py = _mm512_maskz_loadu_pd(m, ey + j);
        const __m512d pz = _mm512_maskz_loadu_pd(m, ez + j);
        const __m256 fx = _mm256_maskz_loadu_ps(m, mx + j);
        const __m256 fy = _mm256_maskz_loadu_ps(m, my + j);
        const __m256 fz = _mm256_maskz_loadu_ps(m, mz + j);
        if (copy) {
            _mm256_mask_storeu_ps(cx + j, m, fx);
            _mm256_mask_storeu_ps(cy + j, m, fy);
            _mm256_mask_storeu_ps(cz + j, m, fz);
        }
        const __m512d dx = _mm512_sub_pd(widen(fx), px);
        const __m512d dy = _mm512_sub_pd(widen(fy), py);
        const __m512d dz = _mm512_sub_pd(widen(fz), pz);
        const __m512d sum = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(dx, dx), _mm512_mul_pd(dy, dy)),
                                          _mm512_mul_pd(dz, dz));
        _mm512_mask_storeu_pd(out + j, m, sum);
    }
}

ZEMB_AVX512 void distance_row_avx512(const float* mx, const float* my, const float* mz,
                                     const double* ex, const double* ey, const double* ez,
                                     Index count, double* out, float* cx, float* cy, float* cz)
{
    if (cx != nullptr)
        distance_row_avx512_of<true>(mx, my, mz, ex, ey, ez, count, out, cx, cy, cz);
    else
        distance_row_avx512_of<false>(mx, my, mz, ex, ey, ez, count, out, cx, cy, cz);
}

// ---- Best-match chains of a pixel row ----------------------------------------
// found[c] = the block position a*n + b of pixel c's best match, or -1: the
// chain of find_best_match over distances d[a * model_cols + n*c + b]. The
// vector forms run the chain of 8 (or 4) pixels side by side, one lane per
// pixel, with the same comparisons on the same doubles: a lane's best is the
// float (rounded to nearest, as a cast rounds) widened back to double.

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

void best_positions_scalar(const double* d, Index model_cols, int n, int W, double e, int* found)
{
    for (Index c = 0; c < W; ++c)
        found[c] = best_position(d + c * n, model_cols, n, e);
}

__attribute__((target("avx2"))) void best_positions_avx2(const double* d, Index model_cols, int n,
                                                        int W, double e, int* found)
{
    const __m128i lanes = _mm_mullo_epi32(_mm_setr_epi32(0, 1, 2, 3), _mm_set1_epi32(n));
    const __m256d threshold = _mm256_set1_pd(e);
    const __m256d all_lanes = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    const int centre = (n / 2) * n + n / 2;
    Index c = 0;
    for (; c + 4 <= W; c += 4) {
        const double* base = d + c * n;
        __m256d best = _mm256_set1_pd(no_distance_yet);
        __m256d result = _mm256_set1_pd(-1.0);
        __m256d centre_distance = best;
        int pos = 0;
        for (int a = 0; a < n; ++a)
            for (int b = 0; b < n; ++b, ++pos) {
                const __m256d v = _mm256_mask_i32gather_pd(_mm256_setzero_pd(),
                                                           base + a * model_cols + b, lanes,
                                                           all_lanes, 8);
                const __m256d lower = _mm256_cmp_pd(v, best, _CMP_LT_OQ);
                const __m256d rounded = _mm256_cvtps_pd(_mm256_cvtpd_ps(v));
                best = _mm256_blendv_pd(best, rounded, lower);
                const __m256d taken = _mm256_and_pd(lower, _mm256_cmp_pd(v, threshold, _CMP_LE_OQ));
                result = _mm256_blendv_pd(result, _mm256_set1_pd(pos), taken);
                if (pos == centre)
                    centre_distance = v;
            }
        const __m256d recentre = _mm256_and_pd(_mm256_cmp_pd(centre_distance, best, _CMP_LE_OQ),
                                               _mm256_cmp_pd(centre_distance, threshold, _CMP_LE_OQ));
        result = _mm256_blendv_pd(result, _mm256_set1_pd(centre), recentre);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(found + c), _mm256_cvtpd_epi32(result));
    }
    for (; c < W; ++c)
        found[c] = best_position(d + c * n, model_cols, n, e);
}

// For n = 3 the nine distances of 8 pixels come from three plain loads per
// block row (the 24 doubles of 8 blocks) and two permutes per position,
// instead of a gather per position: gathers are slow on many processors.
// A permute moves doubles without touching their bits.
ZEMB_AVX512 void best_positions_avx512(const double* d, Index model_cols, int n, int W, double e,
                                       int* found)
{
    const __m256i lanes =
        _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(n));
    const __m512d threshold = _mm512_set1_pd(e);
    const int centre = (n / 2) * n + n / 2;
    // Lane c of the position-b index is 3c + b, the double of pixel c among
    // the 24; lanes past 15 take theirs from the third load.
    constexpr int side3 = 3;
    const __m512i index3[side3] = {_mm512_setr_epi64(0, 3, 6, 9, 12, 15, 18, 21),
                                   _mm512_setr_epi64(1, 4, 7, 10, 13, 16, 19, 22),
                                   _mm512_setr_epi64(2, 5, 8, 11, 14, 17, 20, 23)};
    const __mmask8 third3[side3] = {0xc0, 0xe0, 0xe0};
    Index c = 0;
    for (; c + 8 <= W; c += 8) {
        const double* base = d + c * n;
        __m512d best = _mm512_set1_pd(no_distance_yet);
        __m256i result = _mm256_set1_epi32(-1);
        __m512d centre_distance = best;
        int pos = 0;
        for (int a = 0; a < n; ++a) {
            const double* row = base + a * model_cols;
            __m512d v0, v1, v2;
            if (n == side3) {
                v0 = _mm512_loadu_pd(row);
                v1 = _mm512_loadu_pd(row + 8);
                v2 = _mm512_loadu_pd(row + 16);
            }
            for (int b = 0; b < n; ++b, ++pos) {
                __m512d v;
                if (n == side3)
                    v = _mm512_mask_permutexvar_pd(_mm512_permutex2var_pd(v0, index3[b], v1),
                                                   third3[b], index3[b], v2);
                else
                    v = _mm512_mask_i32gather_pd(_mm512_setzero_pd(), 0xff, lanes, row + b, 8);
                const __mmask8 lower = _mm512_cmp_pd_mask(v, best, _CMP_LT_OQ);
                best = _mm512_mask_mov_pd(best, lower, widen(narrow(v)));
                const __mmask8 taken = _mm512_mask_cmp_pd_mask(lower, v, threshold, _CMP_LE_OQ);
                result = _mm256_mask_mov_epi32(result, taken, _mm256_set1_epi32(pos));
                if (pos == centre)
                    centre_distance = v;
            }
        }
        const __mmask8 recentre = _mm512_mask_cmp_pd_mask(
            _mm512_cmp_pd_mask(centre_distance, best, _CMP_LE_OQ), centre_distance, threshold,
            _CMP_LE_OQ);
        result = _mm256_mask_mov_epi32(result, recentre, _mm256_set1_epi32(centre));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(found + c), result);
    }
    for (; c < W; ++c)
        found[c] = best_position(d + c * n, model_cols, n, e);
}

// ---- Blend of one window --------------------------------------------------------
// Every element whose lane bit is set becomes stored((1 - w) * current + w * p)
// in `update`, formed in double as update_neighbourhood forms it.

using BlendWindow = void (*)(const Window& win, Index model_cols, const float* const* current,
                             float* const* update, const BlendWeights& weights);

inline void blend_window_scalar(const Window& win, Index model_cols, const float* const* current,
                                float* const* update, const BlendWeights& weights)
{
    for (int a = 0; a < win.rows; ++a) {
        const Index row = (win.row0 + a) * model_cols + win.col0;
        for (int b = 0; b < win.cols; ++b) {
            if (!(win.lanes[a] >> b & 1u))
                continue;
            const double keep = weights.keep[a][b];
            const double take = weights.take[a][b];
            for (int q = 0; q < plane_count; ++q)
                update[q][row + b] = static_cast<float>(
                    keep * static_cast<double>(current[q][row + b]) + take * win.p[q]);
        }
    }
}

// Lane l of a 4-float masked load or store is on when bit l of the index is.
alignas(16) constexpr std::int32_t avx2_lane_masks[16][4] = {
    {0, 0, 0, 0},   {-1, 0, 0, 0},   {0, -1, 0, 0},   {-1, -1, 0, 0},
    {0, 0, -1, 0},  {-1, 0, -1, 0},  {0, -1, -1, 0},  {-1, -1, -1, 0},
    {0, 0, 0, -1},  {-1, 0, 0, -1},  {0, -1, 0, -1},  {-1, -1, 0, -1},
    {0, 0, -1, -1}, {-1, 0, -1, -1}, {0, -1, -1, -1}, {-1, -1, -1, -1}};

__attribute__((target("avx2"))) inline void blend_window_avx2(
    const Window& win, Index model_cols, const float* const* current, float* const* update,
    const BlendWeights& weights)
{
    const __m256d p[plane_count] = {_mm256_set1_pd(win.p[0]), _mm256_set1_pd(win.p[1]),
                                    _mm256_set1_pd(win.p[2])};
    for (int a = 0; a < win.rows; ++a) {
        const Index row = (win.row0 + a) * model_cols + win.col0;
        for (int b = 0; b < win.cols; b += 4) {
            const unsigned bits = (win.lanes[a] >> b) & 0xfu;
            if (bits == 0)
                continue;
            const __m128i m = _mm_load_si128(reinterpret_cast<const __m128i*>(avx2_lane_masks[bits]));
            const __m256d keep = _mm256_load_pd(&weights.keep[a][b]);
            const __m256d take = _mm256_load_pd(&weights.take[a][b]);
            for (int q = 0; q < plane_count; ++q) {
                const __m256d old = _mm256_cvtps_pd(_mm_maskload_ps(current[q] + row + b, m));
                const __m256d blended =
                    _mm256_add_pd(_mm256_mul_pd(keep, old), _mm256_mul_pd(take, p[q]));
                _mm_maskstore_ps(update[q] + row + b, m, _mm256_cvtpd_ps(blended));
            }
        }
    }
}

ZEMB_AVX512 inline void blend_window_avx512(const Window& win, Index model_cols,
                                            const float* const* current, float* const* update,
                                            const BlendWeights& weights)
{
    const __m512d p[plane_count] = {_mm512_set1_pd(win.p[0]), _mm512_set1_pd(win.p[1]),
                                    _mm512_set1_pd(win.p[2])};
    // Windows of at most 4 columns with 4 elements left in their row blend 4
    // elements: a plain load of `current` (the element past the window is
    // read, never used) and a 4-lane masked store, which writes exactly the
    // lanes the wide form writes. Measured faster than 8-lane masked loads
    // and stores. Rows outside the band have no lanes and are skipped.
    constexpr int plain_width = 4;
    if (win.cols <= plain_width && win.col0 + plain_width <= model_cols) {
        const __m256d p4[plane_count] = {_mm256_set1_pd(win.p[0]), _mm256_set1_pd(win.p[1]),
                                         _mm256_set1_pd(win.p[2])};
        for (int a = win.band_begin; a < win.band_end; ++a) {
            const Index row = (win.row0 + a) * model_cols + win.col0;
            const __mmask8 m = static_cast<__mmask8>(win.lanes[a] & 0xfu);
            const __m256d keep = _mm256_load_pd(&weights.keep[a][0]);
            const __m256d take = _mm256_load_pd(&weights.take[a][0]);
            for (int q = 0; q < plane_count; ++q) {
                const __m256d old = _mm256_cvtps_pd(_mm_loadu_ps(current[q] + row));
                const __m256d blended =
                    _mm256_add_pd(_mm256_mul_pd(keep, old), _mm256_mul_pd(take, p4[q]));
                _mm_mask_storeu_ps(update[q] + row, m, _mm256_cvtpd_ps(blended));
            }
        }
        return;
    }
    for (int a = 0; a < win.rows; ++a) {
        const Index row = (win.row0 + a) * model_cols + win.col0;
        for (int b = 0; b < win.cols; b += 8) {
            // No test for an empty mask: a masked load or store with no
            // lanes touches nothing, and the test would mispredict.
            const __mmask8 m = static_cast<__mmask8>((win.lanes[a] >> b) & 0xffu);
            const __m512d keep = _mm512_load_pd(&weights.keep[a][b]);
            const __m512d take = _mm512_load_pd(&weights.take[a][b]);
            for (int q = 0; q < plane_count; ++q) {
                const __m512d old = widen(_mm256_maskz_loadu_ps(m, current[q] + row + b));
                const __m512d blended =
                    _mm512_add_pd(_mm512_mul_pd(keep, old), _mm512_mul_pd(take, p[q]));
                _mm256_mask_storeu_ps(update[q] + row + b, m, narrow(blended));
            }
        }
    }
}

}  // namespace

// ---- Vector units -------------------------------------------------------------

bool vector_unit_available(VectorUnit unit)
{
    switch (unit) {
    case VectorUnit::scalar: return true;
    case VectorUnit::avx2: return __builtin_cpu_supports("avx2");
    case VectorUnit::avx512: return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
    }
    return false;
}

VectorUnit best_vector_unit()
{
    if (vector_unit_available(VectorUnit::avx512))
        return VectorUnit::avx512;
    if (vector_unit_available(VectorUnit::avx2))
        return VectorUnit::avx2;
    return VectorUnit::scalar;
}

const char* vector_unit_name(VectorUnit unit)
{
    switch (unit) {
    case VectorUnit::scalar: return "scalar";
    case VectorUnit::avx2: return "avx2";
    case VectorUnit::avx512: return "avx512";
    }
    return "?";
}

// ---- The engine -----------------------------------------------------------------

struct FastEngine::Scratch {
    int H = 0, W = 0, n = 0;
    Index model_cols = 0;
    UpdateWrite write = UpdateWrite::every_element;
    VectorUnit unit = VectorUnit::scalar;

    // The pixel row repeated n times (pixel c at n*c .. n*c+n-1), as doubles.
    std::vector<double> expanded[plane_count];
    // Distances of the n model rows of the block row, n * model_cols.
    std::vector<double> distances;
    // Owner of each model column (column / n) and row ((row / n) * W).
    std::vector<Index> column_owner;
    std::vector<Index> row_owner;
    // Position a*n + b in a block to its row a and column b.
    std::vector<int> position_row;
    std::vector<int> position_col;
    // Best-match position of each pixel of two rows (pixel row r at
    // (r % 2) * W), -1 for none.
    std::vector<int> found;
    BlendWeights weights{};
};

namespace {

// Elements of each scratch table for frames of H x W and block side n: the
// constructor allocates exactly these, and scratch_bytes() adds them up.
struct ScratchSizes {
    std::size_t model_cols;  // each expanded plane, the owners of the columns
    std::size_t distances;   // n model rows
    std::size_t model_rows;  // the owners of the rows
    std::size_t positions;   // n x n block positions, for rows and for columns
    std::size_t found;       // two pixel rows
};

ScratchSizes scratch_sizes(int H, int W, int n)
{
    const std::size_t model_cols = std::size_t(n) * std::size_t(W);
    return {model_cols, std::size_t(n) * model_cols, std::size_t(n) * std::size_t(H),
            std::size_t(n) * std::size_t(n), 2 * std::size_t(W)};
}

}  // namespace

std::uint64_t FastEngine::scratch_bytes(int H, int W, int n)
{
    using S = Scratch;
    const ScratchSizes z = scratch_sizes(H, W, n);
    return sizeof(S) + plane_count * z.model_cols * sizeof(S::expanded[0][0]) +
           z.distances * sizeof(S::distances[0]) + z.model_cols * sizeof(S::column_owner[0]) +
           z.model_rows * sizeof(S::row_owner[0]) + z.positions * sizeof(S::position_row[0]) +
           z.positions * sizeof(S::position_col[0]) + z.found * sizeof(S::found[0]);
}

FastEngine::FastEngine(int H, int W, int n, UpdateWrite write, VectorUnit unit)
    : s_(std::make_unique<Scratch>())
{
    Scratch& s = *s_;
    const ScratchSizes z = scratch_sizes(H, W, n);
    s.H = H;
    s.W = W;
    s.n = n;
    s.model_cols = Index(z.model_cols);
    s.write = write;
    s.unit = vector_unit_available(unit) ? unit : VectorUnit::scalar;
    for (auto& plane : s.expanded)
        plane.assign(z.model_cols, 0.0);
    s.distances.assign(z.distances, 0.0);
    s.column_owner.resize(z.model_cols);
    for (Index j = 0; j < s.model_cols; ++j)
        s.column_owner[static_cast<std::size_t>(j)] = j / n;
    s.row_owner.resize(z.model_rows);
    for (Index i = 0; i < Index(z.model_rows); ++i)
        s.row_owner[static_cast<std::size_t>(i)] = (i / n) * W;
    s.position_row.resize(z.positions);
    s.position_col.resize(z.positions);
    for (std::size_t k = 0; k < z.positions; ++k) {
        s.position_row[k] = static_cast<int>(k) / n;
        s.position_col[k] = static_cast<int>(k) % n;
    }
    s.found.resize(z.found);
}

FastEngine::~FastEngine() = default;

VectorUnit FastEngine::unit() const { return s_->unit; }

namespace {

// How a pixel row of a band is worked: a row of the band itself, or one of
// the two rows next to the band whose windows reach into the band's model
// rows (see FastEngine::segment_band).
enum class RowRole {
    own,     // classified, mask written, windows blended
    replay,  // classified and blended only: its mask belongs to the next band
};

// One band of pixel rows [r0, r1), a pixel row at a time, with the vector
// unit's kernels: the row's distances, its best-match chains, then its pixels
// in scan order, each match blending its window at once. Windows are limited
// to the band's model rows; the rows just outside the band are replayed for
// the parts of their windows that fall inside it. With r0 = 0 and r1 = H
// nothing is limited and nothing is replayed: the whole frame in one scan.
template <DistanceRow distance_row, BestPositions best_positions, BlendWindow blend_window,
          int fixed_n = 0>
void segment_rows(FastEngine::Scratch& s, const FloatPlanes& frame, const FloatPlanes& current,
                  std::uint8_t* mask, float e, const ShadowSettings& shadow, FloatPlanes& update,
                  Index r0, Index r1)
{
    const int H = s.H;
    const int W = s.W;
    // fixed_n, when set, is s.n known to the compiler, which then unrolls
    // the loops over the block side; the operations stay the same.
    const int n = fixed_n != 0 ? fixed_n : s.n;
    const Index model_cols = s.model_cols;
    const Index model_rows = Index(n) * H;
    const Index half = n / 2;
    // The band's model rows: the only ones it writes, and the only rows whose
    // owners' masks it reads (other bands write theirs meanwhile).
    const Index band_first = Index(n) * r0;
    const Index band_end = Index(n) * r1;
    const double threshold = static_cast<double>(e);
    const float* cur[plane_count] = {current[0], current[1], current[2]};

    // Every element: each block row of `update` is first copied from
    // `current`, before any window can reach it, then takes its blends.
    const bool every_element = s.write == UpdateWrite::every_element;
    float* upd[plane_count] = {update[0], update[1], update[2]};

    // The scratch tables as plain pointers: the mask stores are byte stores,
    // which may alias anything, so read through `s` every table pointer would
    // be reloaded after each of them.
    int* const found_rows = s.found.data();
    const int* const position_row = s.position_row.data();
    const int* const position_col = s.position_col.data();
    const Index* const column_owner = s.column_owner.data();
    const Index* const row_owner = s.row_owner.data();
    const BlendWeights& weights = s.weights;

    // Distances and best matches of pixel row r, into its half of `found`;
    // with `copy`, its block row of `current` is copied into `update` by the
    // same sweep. Nothing here reads `update` or the mask, so a row can be
    // prepared before the pixels of the row above it are worked.
    auto prepare_row = [&](Index r, bool copy) {
        // The pixel row, each pixel repeated n times, against which the n
        // model rows of the block row are measured in one sweep each.
        const Index pixel_row = r * W;
        for (int q = 0; q < plane_count; ++q) {
            const float* src = frame[q] + pixel_row;
            double* dst = s.expanded[q].data();
            for (Index c = 0; c < W; ++c)
                for (int b = 0; b < n; ++b)
                    dst[c * n + b] = static_cast<double>(src[c]);
        }
        for (int a = 0; a < n; ++a) {
            const Index row = (Index(n) * r + a) * model_cols;
            distance_row(cur[0] + row, cur[1] + row, cur[2] + row, s.expanded[0].data(),
                         s.expanded[1].data(), s.expanded[2].data(), model_cols,
                         s.distances.data() + a * model_cols, copy ? upd[0] + row : nullptr,
                         copy ? upd[1] + row : nullptr, copy ? upd[2] + row : nullptr);
        }
        best_positions(s.distances.data(), model_cols, n, W, threshold,
                       found_rows + (r % 2) * W);
    };

    auto scan_row = [&](Index r, RowRole role) {
        const Index pixel_row = r * W;
        const int* const found_of = found_rows + (r % 2) * W;
        // With n = 3, every window of a pixel of this row lies in the model
        // and in the band's model rows when the rows above and below are the
        // band's own.
        const bool interior_row = fixed_n == 3 && role == RowRole::own && r - 1 >= r0 && r + 1 < r1;

        for (Index c = 0; c < W; ++c) {
            const int found = found_of[c];
            const Index pixel = pixel_row + c;
            if (found < 0) {
                // The shadow test only decides the mask, which a replay
                // leaves to the band that owns the row.
                if (role == RowRole::own) {
                    const bool background =
                        shadow.enabled && is_shadow(frame[0][pixel], frame[1][pixel],
                                                    frame[2][pixel], current, W,
                                                    static_cast<int>(r), static_cast<int>(c), n,
                                                    shadow);
                    mask[pixel] = background ? mask_background : mask_foreground;
                }
                continue;
            }
            // Written before the window's owner tests, which therefore see
            // the pixel's own elements as background. A replayed pixel's own
            // elements lie outside the band, so no owner test meets it.
            if (role == RowRole::own)
                mask[pixel] = mask_background;

            if (interior_row && c >= 1 && c + 1 < W) {
                // n = 3 away from the frame's and the band's edges: the
                // window is whole, its rows in the band, and which owners
                // each element has follows from the match position alone.
                const Index pr = found / 3;
                const Index pc = found % 3;
                Window win;
                win.row0 = Index(n) * r + pr - 1;
                win.col0 = Index(n) * c + pc - 1;
                win.rows = n;
                win.cols = n;
                win.band_begin = 0;
                win.band_end = n;
                win.p[0] = frame[0][pixel];
                win.p[1] = frame[1][pixel];
                win.p[2] = frame[2][pixel];
                // Window column 0 is in the left neighbour's block when the
                // match is in column 0, column 2 in the right one's when it
                // is in column 2; the same for rows.
                const std::uint8_t* owners = mask + pixel - W + (pc == 0 ? -1 : 0);
                const unsigned left = pc == 0 ? 1u : pc == 1 ? 7u : 3u;
                const unsigned right = pc == 0 ? 6u : pc == 1 ? 0u : 4u;
                for (int a = 0; a < 3; ++a) {
                    // Owner row of window row a, relative to the pixel's.
                    const Index d = (pr + a - 1 + 3) / 3;  // 0, 1 or 2 for rows above, own, below
                    const std::uint8_t* o = owners + d * W;
                    const unsigned left_open = 0u - unsigned(o[0] == mask_background);
                    const unsigned right_open = 0u - unsigned(o[1] == mask_background);
                    win.lanes[a] = static_cast<std::uint16_t>((left & left_open) | (right & right_open));
                }
                blend_window(win, model_cols, cur, upd, weights);
                continue;
            }

            const Index bi = Index(n) * r + position_row[found];
            const Index bj = Index(n) * c + position_col[found];
            const Index i0 = std::max<Index>(bi - half, 0);
            const Index i1 = std::min<Index>(bi + half + 1, model_rows);
            const Index j0 = std::max<Index>(bj - half, 0);
            const Index j1 = std::min<Index>(bj + half + 1, model_cols);
            Window win;
            win.row0 = i0;
            win.col0 = j0;
            win.rows = static_cast<int>(i1 - i0);
            win.cols = static_cast<int>(j1 - j0);
            win.band_begin = static_cast<int>(std::clamp<Index>(band_first - i0, 0, win.rows));
            win.band_end = static_cast<int>(std::clamp<Index>(band_end - i0, 0, win.rows));
            win.p[0] = frame[0][pixel];
            win.p[1] = frame[1][pixel];
            win.p[2] = frame[2][pixel];
            // The window is at most n wide, so it spans at most two owners:
            // the one of its first column and the next.
            const Index left_owner = column_owner[j0];
            const Index in_left = std::min<Index>(Index(n) * (left_owner + 1) - j0, win.cols);
            const unsigned all = (1u << win.cols) - 1u;
            const unsigned left_lanes = (1u << in_left) - 1u;
            const unsigned right_lanes = all & ~left_lanes;
            const Index right_step = right_lanes != 0;
            for (int a = 0; a < win.rows; ++a) {
                // Rows outside the band get no lanes: the band next to it
                // blends them. The kept rows still take the weights of their
                // place in the whole clipped window.
                const Index i = i0 + a;
                if (i < band_first || i >= band_end) {
                    win.lanes[a] = 0;
                    continue;
                }
                // Branch-free: which owners a window meets follows the best
                // match, which no predictor guesses. Without a right owner
                // the left one is read twice and its lanes stay empty.
                const std::uint8_t* owners =
                    mask + row_owner[i] + left_owner;
                const unsigned left_open = 0u - unsigned(owners[0] == mask_background);
                const unsigned right_open = 0u - unsigned(owners[right_step] == mask_background);
                win.lanes[a] =
                    static_cast<std::uint16_t>((left_lanes & left_open) | (right_lanes & right_open));
            }
            blend_window(win, model_cols, cur, upd, weights);
        }
    };

    if (r0 >= r1)
        return;
    // The band's first block row takes its copy before anything blends into
    // it, the replay of the row above included.
    if (r0 > 0)
        prepare_row(r0 - 1, false);
    prepare_row(r0, every_element);
    // The row above comes first: in scan order it precedes every pixel of the
    // band, so its owner tests must see the band's masks as the previous frame
    // left them.
    if (r0 > 0)
        scan_row(r0 - 1, RowRole::replay);
    for (Index r = r0; r < r1; ++r) {
        // The windows of this row reach at most half model rows into the
        // next block row: it must hold its copy before they are applied, so
        // the next row is prepared (and its block row copied) first. The
        // row below the band is only read: its block row is another band's.
        if (r + 1 < H)
            prepare_row(r + 1, every_element && r + 1 < r1);
        scan_row(r, RowRole::own);
    }
    // The row below comes last: it follows every pixel of the band, so its
    // owner tests see this frame's masks of the band's last row.
    if (r1 < H)
        scan_row(r1, RowRole::replay);
}

// One instance per vector unit. `flatten` inlines the kernels into the
// instance, which carries the unit's target: the kernels' vector code never
// leaks into code that runs on other processors.
void segment_scalar(FastEngine::Scratch& s, const FloatPlanes& frame, const FloatPlanes& current,
                    std::uint8_t* mask, float e, const ShadowSettings& shadow, FloatPlanes& update, Index r0, Index r1)
{
    segment_rows<distance_row_scalar, best_positions_scalar, blend_window_scalar>(
        s, frame, current, mask, e, shadow, update, r0, r1);
}

__attribute__((target("avx2"), flatten)) void segment_avx2(FastEngine::Scratch& s,
                                                           const FloatPlanes& frame,
                                                           const FloatPlanes& current,
                                                           std::uint8_t* mask, float e,
                                                           const ShadowSettings& shadow,
                                                           FloatPlanes& update, Index r0,
                                                           Index r1)
{
    segment_rows<distance_row_avx2, best_positions_avx2, blend_window_avx2>(
        s, frame, current, mask, e, shadow, update, r0, r1);
}

ZEMB_AVX512 __attribute__((flatten)) void segment_avx512(FastEngine::Scratch& s,
                                                         const FloatPlanes& frame,
                                                         const FloatPlanes& current,
                                                         std::uint8_t* mask, float e,
                                                         const ShadowSettings& shadow,
                                                         FloatPlanes& update, Index r0,
                                                         Index r1)
{
    // n = 3 is the default block side.
    constexpr int default_side = 3;
    if (s.n == default_side)
        segment_rows<distance_row_avx512, best_positions_avx512, blend_window_avx512,
                     default_side>(s, frame, current, mask, e, shadow, update, r0, r1);
    else
        segment_rows<distance_row_avx512, best_positions_avx512, blend_window_avx512>(
            s, frame, current, mask, e, shadow, update, r0, r1);
}

}  // namespace

void FastEngine::segment_frame(const FloatPlanes& frame, const FloatPlanes& current,
                               std::uint8_t* mask, const WeightMatrix& weights, float e,
                               const ShadowSettings& shadow, FloatPlanes& update)
{
    segment_band(frame, current, mask, weights, e, shadow, update, 0, s_->H);
}

void FastEngine::segment_band(const FloatPlanes& frame, const FloatPlanes& current,
                              std::uint8_t* mask, const WeightMatrix& weights, float e,
                              const ShadowSettings& shadow, FloatPlanes& update, int r0, int r1)
{
    Scratch& s = *s_;
    r0 = std::clamp(r0, 0, s.H);
    r1 = std::clamp(r1, r0, s.H);
    for (int a = 0; a < s.n; ++a)
        for (int b = 0; b < s.n; ++b) {
            const double w = weights[static_cast<std::size_t>(a)][static_cast<std::size_t>(b)];
            s.weights.keep[a][b] = 1.0 - w;
            s.weights.take[a][b] = w;
        }
    switch (s.unit) {
    case VectorUnit::avx512: segment_avx512(s, frame, current, mask, e, shadow, update, r0, r1); break;
    case VectorUnit::avx2: segment_avx2(s, frame, current, mask, e, shadow, update, r0, r1); break;
    case VectorUnit::scalar: segment_scalar(s, frame, current, mask, e, shadow, update, r0, r1); break;
    }
}

}  // namespace zemb

// The fast engine's kernels with AVX-512: 8 doubles a vector, masked loads
// and stores. The 256-bit masked forms need AVX-512VL as well, which every
// AVX-512 processor but the first Xeon Phi has.
#include <immintrin.h>

#include "model/fast_rows.h"

#define ZEMB_AVX512 __attribute__((target("avx512f,avx512vl")))

namespace zemb::fast {

namespace {

// Float to double and back, every lane (the zero-masking forms stand in for
// the plain ones, whose GCC 12 headers trip -Wmaybe-uninitialized).
ZEMB_AVX512 inline __m512d widen(__m256 v) { return _mm512_maskz_cvtps_pd(0xff, v); }
ZEMB_AVX512 inline __m256 narrow(__m512d v) { return _mm512_maskz_cvtpd_ps(0xff, v); }

// For n = 3 a block row of 8 pixels is 24 doubles, in three vectors; block
// position b of pixel l is double 3l + b of them, moved into lane l by two
// permutes (lanes past 15 from the third vector). Gathers are slow on many
// processors; a permute moves doubles without touching their bits.
constexpr int side3 = 3;
alignas(64) constexpr long long side3_index[side3][8] = {
    {0, 3, 6, 9, 12, 15, 18, 21}, {1, 4, 7, 10, 13, 16, 19, 22}, {2, 5, 8, 11, 14, 17, 20, 23}};
constexpr __mmask8 side3_third_load[side3] = {0xc0, 0xe0, 0xe0};
// The other way round: element 8v + k of the 24 belongs to pixel (8v + k) / 3.
alignas(64) constexpr long long side3_pixel_of[side3][8] = {
    {0, 0, 0, 1, 1, 1, 2, 2}, {2, 3, 3, 3, 4, 4, 4, 5}, {5, 5, 6, 6, 6, 7, 7, 7}};

// The chains of 8 pixels side by side (2).
class Chain {
public:
    static constexpr int width = 8;

    ZEMB_AVX512 Chain(int n, double e)
        : n_(n), lanes_(_mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                                           _mm256_set1_epi32(n))),
          threshold_(_mm512_set1_pd(e)), best_(_mm512_set1_pd(no_distance_yet)),
          result_(_mm256_set1_epi32(-1)), centre_distance_(best_)
    {
    }
    ZEMB_AVX512 void load_row(const double* row)
    {
        row_ = row;
        if (n_ == side3) {
            v0_ = _mm512_loadu_pd(row);
            v1_ = _mm512_loadu_pd(row + 8);
            v2_ = _mm512_loadu_pd(row + 16);
        }
    }
    // n = 3: the group's 8 pixels, each repeated three times, in the order
    // of the 24 elements of their block row.
    struct Pixels {
        ZEMB_AVX512 Pixels(const float* const* pixels, Index c)
        {
            for (int q = 0; q < plane_count; ++q) {
                const __m512d group = widen(_mm256_loadu_ps(pixels[q] + c));
                for (int v = 0; v < side3; ++v)
                    of[q][v] = _mm512_maskz_permutexvar_pd(
                        0xff, _mm512_load_si512(side3_pixel_of[v]), group);
            }
        }
        __m512d of[plane_count][side3];
    };
    // n = 3: the 24 distances of the model row at `at` (1), copied to the
    // same place of `copy` when asked (6).
    template <bool copy>
    ZEMB_AVX512 void measure(const float* const* model, float* const* copy_to, Index at,
                             const Pixels& pixels)
    {
        __m512d d[side3];
        for (int v = 0; v < side3; ++v) {
            __m512d diff[plane_count];
            for (int q = 0; q < plane_count; ++q) {
                const __m256 f = _mm256_loadu_ps(model[q] + at + 8 * v);
                if (copy)
                    _mm256_storeu_ps(copy_to[q] + at + 8 * v, f);
                diff[q] = _mm512_sub_pd(widen(f), pixels.of[q][v]);
            }
            d[v] = _mm512_add_pd(
                _mm512_add_pd(_mm512_mul_pd(diff[0], diff[0]), _mm512_mul_pd(diff[1], diff[1])),
                _mm512_mul_pd(diff[2], diff[2]));
        }
        v0_ = d[0];
        v1_ = d[1];
        v2_ = d[2];
    }
    ZEMB_AVX512 void step(int b, int pos, bool centre)
    {
        __m512d v;
        if (n_ == side3) {
            const __m512i index = _mm512_load_si512(side3_index[b]);
            v = _mm512_mask_permutexvar_pd(_mm512_permutex2var_pd(v0_, index, v1_),
                                           side3_third_load[b], index, v2_);
        } else {
            v = _mm512_mask_i32gather_pd(_mm512_setzero_pd(), 0xff, lanes_, row_ + b, 8);
        }
        // The best falls to v rounded to float exactly when v is below it:
        // v < best (a float) gives float(v) <= best, and v >= best gives
        // float(v) >= best; distances are never negative. So the minimum is
        // the chain's best, without waiting for the comparison. A NaN
        // distance (a model made NaN by infinite settings) must leave best
        // alone, as v < best does: min returns its second operand when
        // either is NaN, so best goes second.
        const __mmask8 lower = _mm512_cmp_pd_mask(v, best_, _CMP_LT_OQ);
        best_ = _mm512_maskz_min_pd(0xff, widen(narrow(v)), best_);
        const __mmask8 taken = _mm512_mask_cmp_pd_mask(lower, v, threshold_, _CMP_LE_OQ);
        result_ = _mm256_mask_mov_epi32(result_, taken, _mm256_set1_epi32(pos));
        if (centre)
            centre_distance_ = v;
    }
    ZEMB_AVX512 void finish(int centre, int* found)
    {
        const __mmask8 recentre =
            _mm512_mask_cmp_pd_mask(_mm512_cmp_pd_mask(centre_distance_, best_, _CMP_LE_OQ),
                                    centre_distance_, threshold_, _CMP_LE_OQ);
        result_ = _mm256_mask_mov_epi32(result_, recentre, _mm256_set1_epi32(centre));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(found), result_);
    }

private:
    int n_;
    __m256i lanes_;  // lane l gathers the doubles of pixel l's block, l * n on
    __m512d threshold_, best_;
    __m256i result_;
    __m512d centre_distance_;
    const double* row_ = nullptr;
    __m512d v0_, v1_, v2_;  // n = 3: the block row's 24 doubles
};

// With copy targets the loaded floats are stored there as they are: the
// copy rides on the loads the distances need anyway (6).
template <bool copy>
ZEMB_AVX512 inline void distances_of(const float* const* model, const double* const* pixel,
                                     Index count, double* out, float* const* copy_to)
{
    for (Index j = 0; j < count; j += 8) {
        // The last vector is masked: no element past the row is touched.
        const Index left = count - j;
        const __mmask8 m = left >= 8 ? __mmask8(0xff) : __mmask8((1u << left) - 1u);
        __m512d d[plane_count];
        for (int q = 0; q < plane_count; ++q) {  // (1)
            const __m256 f = _mm256_maskz_loadu_ps(m, model[q] + j);
            if (copy)
                _mm256_mask_storeu_ps(copy_to[q] + j, m, f);
            d[q] = _mm512_sub_pd(widen(f), _mm512_maskz_loadu_pd(m, pixel[q] + j));
        }
        const __m512d sum =
            _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(d[0], d[0]), _mm512_mul_pd(d[1], d[1])),
                          _mm512_mul_pd(d[2], d[2]));
        _mm512_mask_storeu_pd(out + j, m, sum);
    }
}

struct Avx512Kernels {
    ZEMB_AVX512 static void distance_row(const float* const* model, const double* const* pixel,
                                         Index count, double* out, float* const* copy)
    {
        if (copy != nullptr)
            distances_of<true>(model, pixel, count, out, copy);
        else
            distances_of<false>(model, pixel, count, out, copy);
    }

    ZEMB_AVX512 __attribute__((flatten)) static void
    best_positions(const double* d, Index model_cols, int n, int W, double e, int* found)
    {
        best_positions_in_lanes<Chain>(d, model_cols, n, W, e, found);
    }

    ZEMB_AVX512 static void match_row3(const BlockRow& m) { match_row3_in_lanes<Chain>(m); }

    ZEMB_AVX512 static void blend_window(const Window& win, Index model_cols,
                                         const float* const* old, float* const* model,
                                         const BlendWeights& weights)
    {
        // Windows of at most 4 columns with 4 elements left in their row blend
        // 4 elements: a plain load of `old` (the element past the window is
        // read, never used) and a 4-lane masked store, which writes exactly
        // the lanes the wide form writes. Measured faster than 8-lane masked
        // loads and stores. Rows outside the band have no lanes and are
        // skipped.
        constexpr int plain_width = 4;
        if (win.cols <= plain_width && win.col0 + plain_width <= model_cols) {
            const __m256d p4[plane_count] = {_mm256_set1_pd(win.p[0]), _mm256_set1_pd(win.p[1]),
                                             _mm256_set1_pd(win.p[2])};
            for (int a = win.band_begin; a < win.band_end; ++a) {
                const Index row = (win.row0 + a) * model_cols + win.col0;
                const __mmask8 m = static_cast<__mmask8>(win.lanes[a] & 0xfu);
                const __m256d keep = _mm256_load_pd(&weights.keep[a][0]);
                const __m256d take = _mm256_load_pd(&weights.take[a][0]);
                for (int q = 0; q < plane_count; ++q) {  // (4)
                    const __m256d was = _mm256_cvtps_pd(_mm_loadu_ps(old[q] + win.old_at[a]));
                    const __m256d blended =
                        _mm256_add_pd(_mm256_mul_pd(keep, was), _mm256_mul_pd(take, p4[q]));
                    _mm_mask_storeu_ps(model[q] + row, m, _mm256_cvtpd_ps(blended));
                }
            }
            return;
        }
        const __m512d p[plane_count] = {_mm512_set1_pd(win.p[0]), _mm512_set1_pd(win.p[1]),
                                        _mm512_set1_pd(win.p[2])};
        for (int a = 0; a < win.rows; ++a) {
            const Index row = (win.row0 + a) * model_cols + win.col0;
            for (int b = 0; b < win.cols; b += 8) {
                // No test for an empty mask: a masked load or store with no
                // lanes touches nothing, and the test would mispredict.
                const __mmask8 m = static_cast<__mmask8>((win.lanes[a] >> b) & 0xffu);
                const __m512d keep = _mm512_load_pd(&weights.keep[a][b]);
                const __m512d take = _mm512_load_pd(&weights.take[a][b]);
                for (int q = 0; q < plane_count; ++q) {  // (4)
                    const __m512d was = widen(_mm256_maskz_loadu_ps(m, old[q] + win.old_at[a] + b));
                    const __m512d blended =
                        _mm512_add_pd(_mm512_mul_pd(keep, was), _mm512_mul_pd(take, p[q]));
                    _mm256_mask_storeu_ps(model[q] + row + b, m, narrow(blended));
                }
            }
        }
    }

    // n = 3 windows inside the model (8): three rows of 4-lane blends, the
    // frame's weights held in registers for the whole row. A row reads one
    // element past the window (never used) and stores only the lanes set.
    class InteriorBlender {
    public:
        ZEMB_AVX512 InteriorBlender(const BlendWeights& weights, const float* const* old,
                                    float* const* model)
            : old_{old[0], old[1], old[2]}, model_{model[0], model[1], model[2]}
        {
            for (int a = 0; a < side3; ++a) {
                keep_[a] = _mm256_load_pd(&weights.keep[a][0]);
                take_[a] = _mm256_load_pd(&weights.take[a][0]);
            }
        }
        ZEMB_AVX512 void operator()(const Index* old_at, const Index* model_at, Index j0,
                                    unsigned lanes, const double* p) const
        {
            const __m256d p4[plane_count] = {_mm256_set1_pd(p[0]), _mm256_set1_pd(p[1]),
                                             _mm256_set1_pd(p[2])};
            for (int a = 0; a < side3; ++a) {
                const __mmask8 m = static_cast<__mmask8>(lanes >> (4 * a) & 0xfu);
                for (int q = 0; q < plane_count; ++q) {  // (4)
                    const __m256d was = _mm256_cvtps_pd(_mm_loadu_ps(old_[q] + old_at[a] + j0));
                    const __m256d blended =
                        _mm256_add_pd(_mm256_mul_pd(keep_[a], was), _mm256_mul_pd(take_[a], p4[q]));
                    _mm_mask_storeu_ps(model_[q] + model_at[a] + j0, m, _mm256_cvtpd_ps(blended));
                }
            }
        }

    private:
        __m256d keep_[side3], take_[side3];
        const float* old_[plane_count];
        float* model_[plane_count];
    };

    ZEMB_AVX512 static void blend_interior(const float* const* old, const Index* old_at,
                                           float* const* model, const Index* model_at,
                                           unsigned lanes, const double* p,
                                           const BlendWeights& weights)
    {
        const InteriorBlender blend(weights, old, model);
        blend(old_at, model_at, 0, lanes, p);
    }

    ZEMB_AVX512 static void plan_group(const int* found, unsigned background,
                                       const std::uint8_t* mask, Index W, GroupPlan& plan)
    {
        plan_group_avx2(found, background, mask, W, plan);
    }
};

// The row loop with this unit's kernels. `flatten` inlines the kernels into
// this function, which carries the unit's target: its vector code never
// leaks into code that runs on other processors.
ZEMB_AVX512 __attribute__((flatten)) void segment_rows_avx512(const RowJob& job)
{
    segment_rows_with<Avx512Kernels>(job);
}

ZEMB_AVX512 __attribute__((flatten)) void match_row_avx512(const BlockRow& m)
{
    match_row_any<Avx512Kernels>(m);
}

}  // namespace

UnitCode avx512_code()
{
    return unit_code_of<Avx512Kernels>(segment_rows_avx512, match_row_avx512);
}

}  // namespace zemb::fast

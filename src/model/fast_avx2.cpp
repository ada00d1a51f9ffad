// The fast engine's kernels with AVX2: 4 doubles a vector.
#include <immintrin.h>

#include <cstring>

#include "model/fast_rows.h"

#define ZEMB_AVX2 __attribute__((target("avx2")))

namespace zemb::fast {

namespace {

// Lane l of a 4-float masked load or store is on when bit l of the index is.
alignas(16) constexpr std::int32_t lane_masks[16][4] = {
    {0, 0, 0, 0},   {-1, 0, 0, 0},   {0, -1, 0, 0},   {-1, -1, 0, 0},
    {0, 0, -1, 0},  {-1, 0, -1, 0},  {0, -1, -1, 0},  {-1, -1, -1, 0},
    {0, 0, 0, -1},  {-1, 0, 0, -1},  {0, -1, 0, -1},  {-1, -1, 0, -1},
    {0, 0, -1, -1}, {-1, 0, -1, -1}, {0, -1, -1, -1}, {-1, -1, -1, -1}};

constexpr int side3 = 3;
// Lane bits of a window row of side 3 whose three elements all blend.
constexpr unsigned whole_row3 = 0b111;

// The chains of 4 pixels side by side (2). With n = 3 a block row of the 4
// pixels is 12 doubles in three vectors; load_vectors sorts them by block
// position with blends and permutes (which copy bits). Other sides gather a
// lane's block position from its pixel's block.
class Chain {
public:
    static constexpr int width = 4;

    ZEMB_AVX2 Chain(int n, double e)
        : lanes_(_mm_mullo_epi32(_mm_setr_epi32(0, 1, 2, 3), _mm_set1_epi32(n))),
          threshold_(_mm256_set1_pd(e)), best_(_mm256_set1_pd(no_distance_yet)),
          result_(_mm256_set1_pd(-1.0)), centre_distance_(best_)
    {
    }
    ZEMB_AVX2 void load_row(const double* row) { row_ = row; }
    // n = 3: the group's 4 pixels, each repeated three times, in the order
    // of the 12 elements of their block row: pixels 0 0 0 1 | 1 1 2 2 | 2 3 3 3.
    struct Pixels {
        ZEMB_AVX2 Pixels(const float* const* pixels, Index c)
        {
            for (int q = 0; q < plane_count; ++q) {
                const __m256d group = _mm256_cvtps_pd(_mm_loadu_ps(pixels[q] + c));
                of[q][0] = _mm256_permute4x64_pd(group, 0b01000000);
                of[q][1] = _mm256_permute4x64_pd(group, 0b10100101);
                of[q][2] = _mm256_permute4x64_pd(group, 0b11111110);
            }
        }
        __m256d of[plane_count][side3];
    };
    // n = 3: the 12 distances of the model row at `at` (1), copied to the
    // same place of `copy` when asked (6), sorted by block position.
    template <bool copy>
    ZEMB_AVX2 void measure(const float* const* model, float* const* copy_to, Index at,
                           const Pixels& pixels)
    {
        __m256d d[side3];
        for (int v = 0; v < side3; ++v) {
            __m256d diff[plane_count];
            for (int q = 0; q < plane_count; ++q) {
                const __m128 f = _mm_loadu_ps(model[q] + at + 4 * v);
                if (copy)
                    _mm_storeu_ps(copy_to[q] + at + 4 * v, f);
                diff[q] = _mm256_sub_pd(_mm256_cvtps_pd(f), pixels.of[q][v]);
            }
            d[v] = _mm256_add_pd(
                _mm256_add_pd(_mm256_mul_pd(diff[0], diff[0]), _mm256_mul_pd(diff[1], diff[1])),
                _mm256_mul_pd(diff[2], diff[2]));
        }
        sort(d[0], d[1], d[2]);
    }
    // n = 3: v0 = d0..d3, v1 = d4..d7, v2 = d8..d11, where d(3l + b) is
    // pixel l's distance at block position b.
    ZEMB_AVX2 void sort(__m256d v0, __m256d v1, __m256d v2)
    {
        // d0 d3 d6 d9: lanes 0, 3 of v0, 2 of v1, 1 of v2, then ordered.
        sorted_[0] = _mm256_permute4x64_pd(
            _mm256_blend_pd(_mm256_blend_pd(v0, v1, 0b0100), v2, 0b0010), 0b01101100);
        // d1 d4 d7 d10: lane 1 of v0, 0 and 3 of v1, 2 of v2; pairs swapped.
        sorted_[1] =
            _mm256_permute_pd(_mm256_blend_pd(_mm256_blend_pd(v0, v1, 0b1001), v2, 0b0100), 0b0101);
        // d2 d5 d8 d11: lane 2 of v0, 1 of v1, 0 and 3 of v2.
        sorted_[2] = _mm256_permute4x64_pd(
            _mm256_blend_pd(_mm256_blend_pd(v0, v1, 0b0010), v2, 0b1001), 0b11000110);
        sorted_ready_ = true;
    }
    ZEMB_AVX2 void step(int b, int pos, bool centre)
    {
        const __m256d all_lanes = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
        const __m256d v = sorted_ready_ ? sorted_[b]
                                        : _mm256_mask_i32gather_pd(_mm256_setzero_pd(), row_ + b,
                                                                   lanes_, all_lanes, 8);
        // The best falls to v rounded to float exactly when v is below it:
        // v < best (a float) gives float(v) <= best, and v >= best gives
        // float(v) >= best; distances are never negative. So the minimum is
        // the chain's best, without waiting for the comparison. A NaN
        // distance (a model made NaN by infinite settings) must leave best
        // alone, as v < best does: min returns its second operand when
        // either is NaN, so best goes second.
        const __m256d lower = _mm256_cmp_pd(v, best_, _CMP_LT_OQ);
        best_ = _mm256_min_pd(_mm256_cvtps_pd(_mm256_cvtpd_ps(v)), best_);
        const __m256d taken = _mm256_and_pd(lower, _mm256_cmp_pd(v, threshold_, _CMP_LE_OQ));
        result_ = _mm256_blendv_pd(result_, _mm256_set1_pd(pos), taken);
        if (centre)
            centre_distance_ = v;
    }
    ZEMB_AVX2 void finish(int centre, int* found)
    {
        const __m256d recentre =
            _mm256_and_pd(_mm256_cmp_pd(centre_distance_, best_, _CMP_LE_OQ),
                          _mm256_cmp_pd(centre_distance_, threshold_, _CMP_LE_OQ));
        result_ = _mm256_blendv_pd(result_, _mm256_set1_pd(centre), recentre);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(found), _mm256_cvtpd_epi32(result_));
    }

private:
    __m128i lanes_;  // lane l reads the doubles of pixel l's block, l * n on
    __m256d threshold_, best_, result_, centre_distance_;
    const double* row_ = nullptr;
    __m256d sorted_[side3];
    bool sorted_ready_ = false;
};

struct Avx2Kernels {
    ZEMB_AVX2 static void distance_row(const float* const* model, const double* const* pixel,
                                       Index count, double* out, float* const* copy)
    {
        if (copy != nullptr)
            for (int q = 0; q < plane_count; ++q)
                std::memcpy(copy[q], model[q], static_cast<std::size_t>(count) * sizeof(float));
        const float *mx = model[0], *my = model[1], *mz = model[2];
        const double *px = pixel[0], *py = pixel[1], *pz = pixel[2];
        Index j = 0;
        for (; j + 4 <= count; j += 4) {  // (1)
            const __m256d dx =
                _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(mx + j)), _mm256_loadu_pd(px + j));
            const __m256d dy =
                _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(my + j)), _mm256_loadu_pd(py + j));
            const __m256d dz =
                _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(mz + j)), _mm256_loadu_pd(pz + j));
            const __m256d sum = _mm256_add_pd(
                _mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy)), _mm256_mul_pd(dz, dz));
            _mm256_storeu_pd(out + j, sum);
        }
        for (; j < count; ++j)
            out[j] = distance_of(mx[j], my[j], mz[j], px[j], py[j], pz[j]);
    }

    ZEMB_AVX2 __attribute__((flatten)) static void
    best_positions(const double* d, Index model_cols, int n, int W, double e, int* found)
    {
        best_positions_in_lanes<Chain>(d, model_cols, n, W, e, found);
    }

    ZEMB_AVX2 static void match_row3(const BlockRow& m) { match_row3_in_lanes<Chain>(m); }

    ZEMB_AVX2 static void blend_window(const Window& win, Index model_cols, const float* const* old,
                                       float* const* model, const BlendWeights& weights)
    {
        const __m256d p[plane_count] = {_mm256_set1_pd(win.p[0]), _mm256_set1_pd(win.p[1]),
                                        _mm256_set1_pd(win.p[2])};
        for (int a = 0; a < win.rows; ++a) {
            const Index row = (win.row0 + a) * model_cols + win.col0;
            for (int b = 0; b < win.cols; b += 4) {
                const unsigned bits = (win.lanes[a] >> b) & 0xfu;
                if (bits == 0)
                    continue;
                const __m128i m =
                    _mm_load_si128(reinterpret_cast<const __m128i*>(lane_masks[bits]));
                const __m256d keep = _mm256_load_pd(&weights.keep[a][b]);
                const __m256d take = _mm256_load_pd(&weights.take[a][b]);
                for (int q = 0; q < plane_count; ++q) {  // (4)
                    const __m256d was =
                        _mm256_cvtps_pd(_mm_maskload_ps(old[q] + win.old_at[a] + b, m));
                    const __m256d blended =
                        _mm256_add_pd(_mm256_mul_pd(keep, was), _mm256_mul_pd(take, p[q]));
                    _mm_maskstore_ps(model[q] + row + b, m, _mm256_cvtpd_ps(blended));
                }
            }
        }
    }

    // n = 3 windows inside the model (8): three rows of 4-lane blends, the
    // frame's weights held in registers for the whole row. A row reads one
    // element past the window (never used) and stores only the lanes set.
    class InteriorBlender {
    public:
        ZEMB_AVX2 InteriorBlender(const BlendWeights& weights, const float* const* old,
                                  float* const* model)
            : old_{old[0], old[1], old[2]}, model_{model[0], model[1], model[2]}
        {
            for (int a = 0; a < side3; ++a) {
                keep_[a] = _mm256_load_pd(&weights.keep[a][0]);
                take_[a] = _mm256_load_pd(&weights.take[a][0]);
            }
        }
        ZEMB_AVX2 void operator()(const Index* old_at, const Index* model_at, Index j0,
                                  unsigned lanes, const double* p) const
        {
            const __m256d p4[plane_count] = {_mm256_set1_pd(p[0]), _mm256_set1_pd(p[1]),
                                             _mm256_set1_pd(p[2])};
            for (int a = 0; a < side3; ++a) {
                const unsigned bits = lanes >> (4 * a) & 0xfu;
                const __m128i m =
                    _mm_load_si128(reinterpret_cast<const __m128i*>(lane_masks[bits]));
                for (int q = 0; q < plane_count; ++q) {  // (4)
                    const __m256d was = _mm256_cvtps_pd(_mm_loadu_ps(old_[q] + old_at[a] + j0));
                    const __m128 blended = _mm256_cvtpd_ps(_mm256_add_pd(
                        _mm256_mul_pd(keep_[a], was), _mm256_mul_pd(take_[a], p4[q])));
                    float* const to = model_[q] + model_at[a] + j0;
                    // A whole row of the window (owners background, the
                    // usual case) is stored as 8 + 4 bytes: the same three
                    // floats as the masked store, which costs many cycles
                    // on some processors.
                    if (bits == whole_row3) {
                        _mm_storel_pi(reinterpret_cast<__m64*>(to), blended);
                        _mm_store_ss(to + 2, _mm_movehl_ps(blended, blended));
                    } else {
                        _mm_maskstore_ps(to, m, blended);
                    }
                }
            }
        }

    private:
        __m256d keep_[side3], take_[side3];
        const float* old_[plane_count];
        float* model_[plane_count];
    };

    ZEMB_AVX2 static void blend_interior(const float* const* old, const Index* old_at,
                                         float* const* model, const Index* model_at, unsigned lanes,
                                         const double* p, const BlendWeights& weights)
    {
        const InteriorBlender blend(weights, old, model);
        blend(old_at, model_at, 0, lanes, p);
    }

    ZEMB_AVX2 static void plan_group(const int* found, unsigned background,
                                     const std::uint8_t* mask, Index W, GroupPlan& plan)
    {
        plan_group_avx2(found, background, mask, W, plan);
    }
};

// The row loop with this unit's kernels. `flatten` inlines the kernels into
// this function, which carries the unit's target: its vector code never
// leaks into code that runs on other processors.
ZEMB_AVX2 __attribute__((flatten)) void segment_rows_avx2(const RowJob& job)
{
    segment_rows_with<Avx2Kernels>(job);
}

ZEMB_AVX2 __attribute__((flatten)) void match_row_avx2(const BlockRow& m)
{
    match_row_any<Avx2Kernels>(m);
}

}  // namespace

UnitCode avx2_code() { return unit_code_of<Avx2Kernels>(segment_rows_avx2, match_row_avx2); }

}  // namespace zemb::fast

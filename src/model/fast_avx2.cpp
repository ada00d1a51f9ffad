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

// The chains of 4 pixels side by side (2); a lane's block position is
// gathered from its pixel's block.
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
    ZEMB_AVX2 void step(int b, int pos, bool centre)
    {
        const __m256d all_lanes = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
        const __m256d v =
            _mm256_mask_i32gather_pd(_mm256_setzero_pd(), row_ + b, lanes_, all_lanes, 8);
        const __m256d lower = _mm256_cmp_pd(v, best_, _CMP_LT_OQ);
        best_ = _mm256_blendv_pd(best_, _mm256_cvtps_pd(_mm256_cvtpd_ps(v)), lower);
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
            const __m256d dx = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(mx + j)), _mm256_loadu_pd(px + j));
            const __m256d dy = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(my + j)), _mm256_loadu_pd(py + j));
            const __m256d dz = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(mz + j)), _mm256_loadu_pd(pz + j));
            const __m256d sum = _mm256_add_pd(
                _mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy)), _mm256_mul_pd(dz, dz));
            _mm256_storeu_pd(out + j, sum);
        }
        for (; j < count; ++j)
            out[j] = distance_of(mx[j], my[j], mz[j], px[j], py[j], pz[j]);
    }

    ZEMB_AVX2 __attribute__((flatten)) static void best_positions(const double* d,
                                                                  Index model_cols, int n, int W,
                                                                  double e, int* found)
    {
        best_positions_in_lanes<Chain>(d, model_cols, n, W, e, found);
    }

    ZEMB_AVX2 static void blend_window(const Window& win, Index model_cols,
                                       const float* const* current, float* const* update,
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
                const __m128i m = _mm_load_si128(reinterpret_cast<const __m128i*>(lane_masks[bits]));
                const __m256d keep = _mm256_load_pd(&weights.keep[a][b]);
                const __m256d take = _mm256_load_pd(&weights.take[a][b]);
                for (int q = 0; q < plane_count; ++q) {  // (4)
                    const __m256d old = _mm256_cvtps_pd(_mm_maskload_ps(current[q] + row + b, m));
                    const __m256d blended =
                        _mm256_add_pd(_mm256_mul_pd(keep, old), _mm256_mul_pd(take, p[q]));
                    _mm_maskstore_ps(update[q] + row + b, m, _mm256_cvtpd_ps(blended));
                }
            }
        }
    }
};

// The row loop with this unit's kernels. `flatten` inlines the kernels into
// this function, which carries the unit's target: its vector code never
// leaks into code that runs on other processors.
ZEMB_AVX2 __attribute__((flatten)) void segment_rows_avx2(const RowJob& job)
{
    segment_rows_with<Avx2Kernels>(job);
}

}  // namespace

UnitCode avx2_code()
{
    return {segment_rows_avx2, Avx2Kernels::distance_row, Avx2Kernels::best_positions,
            Avx2Kernels::blend_window};
}

}  // namespace zemb::fast

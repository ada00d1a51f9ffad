// The fast engine's kernels in plain code (SSE2 on x86-64): every machine.
#include <cstring>

#include "model/fast_rows.h"

namespace zemb::fast {

namespace {

struct ScalarKernels {
    static void distance_row(const float* const* model, const double* const* pixel, Index count,
                             double* out, float* const* copy)
    {
        if (copy != nullptr)
            for (int q = 0; q < plane_count; ++q)
                std::memcpy(copy[q], model[q], static_cast<std::size_t>(count) * sizeof(float));
        for (Index j = 0; j < count; ++j)  // (1)
            out[j] = distance_of(model[0][j], model[1][j], model[2][j], pixel[0][j], pixel[1][j],
                                 pixel[2][j]);
    }

    static void best_positions(const double* d, Index model_cols, int n, int W, double e,
                               int* found)
    {
        for (Index c = 0; c < W; ++c)  // (2)
            found[c] = best_position(d + c * n, model_cols, n, e);
    }

    static void match_row3(const BlockRow& m) { match_row_general<ScalarKernels>(m); }

    static void blend_window(const Window& win, Index model_cols, const float* const* old,
                             float* const* model, const BlendWeights& weights)
    {
        for (int a = 0; a < win.rows; ++a) {
            const Index row = (win.row0 + a) * model_cols + win.col0;
            for (int b = 0; b < win.cols; ++b) {
                if (!(win.lanes[a] >> b & 1u))
                    continue;
                const double keep = weights.keep[a][b];
                const double take = weights.take[a][b];
                for (int q = 0; q < plane_count; ++q)  // (4)
                    model[q][row + b] = static_cast<float>(
                        keep * static_cast<double>(old[q][win.old_at[a] + b]) + take * win.p[q]);
            }
        }
    }

    class InteriorBlender {
    public:
        InteriorBlender(const BlendWeights& weights, const float* const* old, float* const* model)
            : w_(weights), old_{old[0], old[1], old[2]}, model_{model[0], model[1], model[2]}
        {
        }
        void operator()(const Index* old_at, const Index* model_at, Index j0, unsigned lanes,
                        const double* p) const
        {
            for (int a = 0; a < default_side; ++a)
                for (int b = 0; b < default_side; ++b) {
                    if (!(lanes >> (4 * a + b) & 1u))
                        continue;
                    for (int q = 0; q < plane_count; ++q)  // (4)
                        model_[q][model_at[a] + j0 + b] = static_cast<float>(
                            w_.keep[a][b] * static_cast<double>(old_[q][old_at[a] + j0 + b]) +
                            w_.take[a][b] * p[q]);
                }
        }

    private:
        const BlendWeights& w_;
        const float* old_[plane_count];
        float* model_[plane_count];
    };

    static void blend_interior(const float* const* old, const Index* old_at, float* const* model,
                               const Index* model_at, unsigned lanes, const double* p,
                               const BlendWeights& weights)
    {
        const InteriorBlender blend(weights, old, model);
        blend(old_at, model_at, 0, lanes, p);
    }

    static void plan_group(const int* found, unsigned background, const std::uint8_t* mask, Index W,
                           GroupPlan& plan)
    {
        plan_group_plain(found, background, mask, W, group_width, plan);
    }
};

// `flatten` inlines the kernels into the row loop.
__attribute__((flatten)) void segment_rows_scalar(const RowJob& job)
{
    segment_rows_with<ScalarKernels>(job);
}

}  // namespace

UnitCode scalar_code()
{
    return unit_code_of<ScalarKernels>(segment_rows_scalar, match_row_any<ScalarKernels>);
}

}  // namespace zemb::fast

// The fast engine: its scratch, and the dispatch of each band to the row loop
// of the processor's vector unit (fast_rows.h).
#include <algorithm>
#include <vector>

#include "model/fast_rows.h"

namespace zemb {

// ---- Vector units -------------------------------------------------------------

bool vector_unit_available(VectorUnit unit)
{
    switch (unit) {
    case VectorUnit::scalar: return true;
    case VectorUnit::avx2: return __builtin_cpu_supports("avx2");
    case VectorUnit::avx512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
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

fast::UnitCode fast::unit_code(VectorUnit unit)
{
    switch (unit) {
    case VectorUnit::avx512: return avx512_code();
    case VectorUnit::avx2: return avx2_code();
    case VectorUnit::scalar: break;
    }
    return scalar_code();
}

// ---- The engine -----------------------------------------------------------------

struct FastEngine::Scratch {
    int H = 0, W = 0, n = 0;
    Index model_cols = 0;
    UpdateWrite write = UpdateWrite::every_element;
    VectorUnit unit = VectorUnit::scalar;
    fast::UnitCode code{};

    // The tables of fast::RowJob, allocated once.
    std::vector<double> expanded[plane_count];
    std::vector<double> distances;
    std::vector<Index> column_owner;
    std::vector<Index> row_owner;
    std::vector<int> position_row;
    std::vector<int> position_col;
    std::vector<int> found;
    fast::BlendWeights weights{};
};

FastEngine::FastEngine(int H, int W, int n, UpdateWrite write, VectorUnit unit)
    : s_(std::make_unique<Scratch>())
{
    Scratch& s = *s_;
    s.H = H;
    s.W = W;
    s.n = n;
    s.model_cols = Index(n) * W;
    s.write = write;
    s.unit = vector_unit_available(unit) ? unit : VectorUnit::scalar;
    s.code = fast::unit_code(s.unit);
    for (auto& plane : s.expanded)
        plane.assign(static_cast<std::size_t>(s.model_cols), 0.0);
    s.distances.assign(static_cast<std::size_t>(n) * static_cast<std::size_t>(s.model_cols), 0.0);
    s.column_owner.resize(static_cast<std::size_t>(s.model_cols));
    for (Index j = 0; j < s.model_cols; ++j)
        s.column_owner[static_cast<std::size_t>(j)] = j / n;
    s.row_owner.resize(static_cast<std::size_t>(Index(n) * H));
    for (Index i = 0; i < Index(n) * H; ++i)
        s.row_owner[static_cast<std::size_t>(i)] = (i / n) * W;
    for (int a = 0; a < n; ++a)
        for (int b = 0; b < n; ++b) {
            s.position_row.push_back(a);
            s.position_col.push_back(b);
        }
    s.found.resize(2 * static_cast<std::size_t>(W));
}

FastEngine::~FastEngine() = default;

VectorUnit FastEngine::unit() const { return s_->unit; }

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
    for (int a = 0; a < s.n; ++a)
        for (int b = 0; b < s.n; ++b) {
            const double w = weights[static_cast<std::size_t>(a)][static_cast<std::size_t>(b)];
            s.weights.keep[a][b] = 1.0 - w;
            s.weights.take[a][b] = w;
        }
    fast::RowJob job;
    job.H = s.H;
    job.W = s.W;
    job.n = s.n;
    job.model_cols = s.model_cols;
    job.r0 = std::clamp(r0, 0, s.H);
    job.r1 = std::clamp(r1, static_cast<int>(job.r0), s.H);
    job.every_element = s.write == UpdateWrite::every_element;
    job.current = &current;
    job.mask = mask;
    job.e = static_cast<double>(e);
    job.shadow = &shadow;
    for (int q = 0; q < plane_count; ++q) {
        job.frame[q] = frame[q];
        job.cur[q] = current[q];
        job.upd[q] = update[q];
        job.expanded[q] = s.expanded[q].data();
    }
    job.distances = s.distances.data();
    job.found = s.found.data();
    job.column_owner = s.column_owner.data();
    job.row_owner = s.row_owner.data();
    job.position_row = s.position_row.data();
    job.position_col = s.position_col.data();
    job.weights = &s.weights;
    s.code.segment_rows(job);
}

}  // namespace zemb

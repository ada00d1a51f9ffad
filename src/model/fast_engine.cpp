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
    s.code = fast::unit_code(s.unit);
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

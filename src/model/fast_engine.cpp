// The fast engine: its scratch, and the dispatch of each band to the row loop
// of the processor's vector unit (fast_rows.h).
#include <algorithm>
#include <cstring>
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

std::vector<VectorUnit> available_vector_units()
{
    std::vector<VectorUnit> units;
    for (VectorUnit unit : {VectorUnit::scalar, VectorUnit::avx2, VectorUnit::avx512})
        if (vector_unit_available(unit))
            units.push_back(unit);
    return units;
}

VectorUnit best_vector_unit() { return available_vector_units().back(); }

const char* vector_unit_name(VectorUnit unit)
{
    switch (unit) {
    case VectorUnit::scalar: return "scalar";
    case VectorUnit::avx2: return "avx2";
    case VectorUnit::avx512: return "avx512";
    }
    return "?";
}

bool vector_unit_named(const char* name, VectorUnit& unit)
{
    for (VectorUnit u : {VectorUnit::scalar, VectorUnit::avx2, VectorUnit::avx512})
        if (std::strcmp(name, vector_unit_name(u)) == 0) {
            unit = u;
            return true;
        }
    return false;
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

namespace {

// Element counts of the engine's tables; the constructor allocates exactly
// these, and scratch_bytes counts them.
struct ScratchSizes {
    ScratchSizes(int H, int W, int n)
        : model_cols(std::size_t(n) * std::size_t(W)), model_rows(std::size_t(n) * std::size_t(H)),
          ring(std::size_t(fast::ring_block_rows) * std::size_t(n) * model_cols),
          expanded(model_cols), distances(std::size_t(n) * model_cols), found(2 * std::size_t(W)),
          positions(std::size_t(n) * std::size_t(n))
    {
    }
    std::uint64_t bytes() const
    {
        return plane_count * (ring * sizeof(float) + expanded * sizeof(double)) +
               distances * sizeof(double) + found * sizeof(int) +
               (model_cols + 2 * model_rows) * sizeof(Index) + 2 * positions * sizeof(int);
    }
    std::size_t model_cols, model_rows;
    std::size_t ring;       // per plane: three block rows of copies
    std::size_t expanded;   // per plane
    std::size_t distances;  // one block row's
    std::size_t found;      // two pixel rows'
    std::size_t positions;  // block positions
};

}  // namespace

struct FastEngine::Scratch {
    int H = 0, W = 0, n = 0;
    Index model_cols = 0;
    VectorUnit unit = VectorUnit::scalar;
    fast::UnitCode code{};

    // The tables of fast::RowJob, allocated once.
    std::vector<float> ring[plane_count];
    std::vector<double> expanded[plane_count];
    std::vector<double> distances;
    std::vector<Index> column_owner;
    std::vector<Index> row_owner;
    std::vector<Index> ring_row;
    std::vector<int> position_row;
    std::vector<int> position_col;
    std::vector<int> found;
    fast::BlendWeights weights{};
};

std::uint64_t FastEngine::scratch_bytes(const ModelShape& shape)
{
    return sizeof(Scratch) + ScratchSizes(shape.H, shape.W, shape.n).bytes();
}

FastEngine::FastEngine(const ModelShape& shape, VectorUnit unit) : s_(std::make_unique<Scratch>())
{
    const int H = shape.H, W = shape.W, n = shape.n;
    Scratch& s = *s_;
    const ScratchSizes sizes(H, W, n);
    s.H = H;
    s.W = W;
    s.n = n;
    s.model_cols = Index(sizes.model_cols);
    s.unit = vector_unit_available(unit) ? unit : VectorUnit::scalar;
    s.code = fast::unit_code(s.unit);
    for (int q = 0; q < plane_count; ++q) {
        s.ring[q].assign(sizes.ring, 0.0f);
        s.expanded[q].assign(sizes.expanded, 0.0);
    }
    s.distances.assign(sizes.distances, 0.0);
    s.column_owner.resize(sizes.model_cols);
    for (Index j = 0; j < s.model_cols; ++j)
        s.column_owner[static_cast<std::size_t>(j)] = j / n;
    s.row_owner.resize(sizes.model_rows);
    s.ring_row.resize(sizes.model_rows);
    const Index ring_rows = Index(fast::ring_block_rows) * n;
    for (Index i = 0; i < Index(sizes.model_rows); ++i) {
        s.row_owner[static_cast<std::size_t>(i)] = (i / n) * W;
        s.ring_row[static_cast<std::size_t>(i)] = (i % ring_rows) * s.model_cols;
    }
    s.position_row.reserve(sizes.positions);
    s.position_col.reserve(sizes.positions);
    for (int a = 0; a < n; ++a)
        for (int b = 0; b < n; ++b) {
            s.position_row.push_back(a);
            s.position_col.push_back(b);
        }
    s.found.resize(sizes.found);
}

FastEngine::~FastEngine() = default;

void FastEngine::segment_frame(const FloatPlanes& frame, FloatPlanes& model, std::uint8_t* mask,
                               const FrameSettings& settings)
{
    segment_band(frame, model, mask, settings, 0, s_->H, nullptr, nullptr);
}

void FastEngine::match_row(const FloatPlanes& frame, const FloatPlanes& model, float e, int r,
                           int* found, const Region* region)
{
    Scratch& s = *s_;
    // A span is matched as a shorter row starting at its first pixel.
    auto match = [&](Index begin, Index end) {
        fast::BlockRow m;
        const Index first = Index(s.n) * r * s.model_cols + Index(s.n) * begin;
        for (int q = 0; q < plane_count; ++q) {
            m.model[q] = model[q] + first;
            m.pixels[q] = frame[q] + Index(r) * s.W + begin;
            m.copy[q] = nullptr;
            m.expanded[q] = s.expanded[q].data();
        }
        m.model_cols = s.model_cols;
        m.W = static_cast<int>(end - begin);
        m.n = s.n;
        m.e = static_cast<double>(e);
        m.found = found + begin;
        m.distances = s.distances.data();
        s.code.match_row(m);
    };
    if (region == nullptr) {
        match(0, s.W);
        return;
    }
    for (const Span* span = region->row_begin(r); span != region->row_end(r); ++span)
        match(span->begin, span->end);
}

void FastEngine::segment_band(const FloatPlanes& frame, FloatPlanes& model, std::uint8_t* mask,
                              const FrameSettings& settings, int r0, int r1,
                              const int* found_above, const int* found_below)
{
    const WeightMatrix& weights = settings.weights;
    const float e = settings.e;
    const ShadowSettings& shadow = settings.shadow;
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
    job.mask = mask;
    job.e = static_cast<double>(e);
    job.shadow = &shadow;
    for (int q = 0; q < plane_count; ++q) {
        job.frame[q] = frame[q];
        job.model[q] = model[q];
        job.ring[q] = s.ring[q].data();
        job.expanded[q] = s.expanded[q].data();
    }
    job.distances = s.distances.data();
    job.found = s.found.data();
    job.found_above = found_above;
    job.found_below = found_below;
    job.column_owner = s.column_owner.data();
    job.row_owner = s.row_owner.data();
    job.ring_row = s.ring_row.data();
    job.position_row = s.position_row.data();
    job.position_col = s.position_col.data();
    job.weights = &s.weights;
    job.region = settings.region;
    s.code.segment_rows(job);
}

}  // namespace zemb

// The fast engine's kernels: the small set of operations every vector unit
// implements (one file per unit: fast_scalar.cpp, fast_avx2.cpp,
// fast_avx512.cpp), what each must compute, and the pieces the units share.
// Internal to model/: the engine and the per-kernel tests include it.
//
// A unit's kernel set is a type with the static functions whose signatures
// are those of the pointer types below, and an InteriorBlender. The steps
// (1) to (8) cited here are the identity argument in fast_rows.h.
#pragma once

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
using DistanceRowFn = void (*)(const float* const* model, const double* const* pixel,
                               Index count, double* out, float* const* copy);

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
// InteriorBlender does this with the frame's weights held in its registers;
// this form is for the tests.
using BlendInteriorFn = void (*)(const float* const* old, const Index* old_at,
                                 float* const* model, const Index* model_at, unsigned lanes,
                                 const double* p, const BlendWeights& weights);

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
void best_positions_in_lanes(const double* d, Index model_cols, int n, int W, double e,
                             int* found)
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

}  // namespace zemb::fast

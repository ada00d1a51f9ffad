// The fast engine's row loop: one band of a frame, a pixel row at a time,
// with one vector unit's kernel set. Each unit's file compiles it with its
// own kernels and target (fast_scalar.cpp, fast_avx2.cpp, fast_avx512.cpp).
// Internal to model/.
//
// Why the masks and models equal segment_frame's, bit for bit. The code
// cites each step where it keeps it, as "(n)".
//
// (1) Distances. Every distance is squared_distance's: element minus pixel
//     per coordinate, each float widened to double exactly, squared, and
//     summed as (dx*dx + dy*dy) + dz*dz. Vector lanes do the same IEEE double
//     operations in the same order, and the build never contracts them to
//     fused multiply-adds, so every lane equals the scalar value bit for
//     bit. Distances read only the frame and `current`, which nothing writes
//     during a frame, so a row's distances may be worked out at any time.
// (2) Best match. The chain over a block is find_best_match's: scan order, a
//     float best starting at 100, the threshold tested only when the best
//     falls, then the centre re-test. The vector chains run 4 or 8 pixels
//     side by side, one lane per pixel, with the same comparisons on the same
//     doubles; a lane's best is the distance rounded to float as a cast
//     rounds it, widened back to double.
// (3) Scan order. Pixels are classified and their windows blended strictly
//     in scan order, one pixel at a time, and a pixel's mask is written
//     before its window's owner tests. Those therefore see this frame's mask
//     for the pixels before it, the previous frame's for the pixels after it
//     and background for its own block, as in segment_frame; and the last
//     blend written to an element is segment_frame's last.
// (4) Blends. A window is clipped to the model and its weights are counted
//     from the clipped window's first row and column; an element blends only
//     when its owner is background (its lane bit). The blend reads `current`
//     only and is formed as (1 - w) * old + w * p in double, stored as float;
//     a vector lane does the same operations.
// (5) The update model (UpdateWrite::every_element). The block row below a
//     pixel row is copied from `current` into `update` before the row's
//     windows can reach it (a window reaches at most n/2 < n model rows past
//     its block), so every element ends as the copy or as the last blend
//     written after it: exactly segment_frame's update model when that starts
//     from a copy of `current`. The copy rides on the next row's distance
//     sweep, which by (1) may run before this row's windows.
// (6) Bands. An element is written only by the pixel whose block holds it
//     and by that pixel's eight neighbours (5). A band writes only its own
//     model rows and reads only its own rows' masks, so bands running at once
//     share nothing they write; and it meets the writers of its rows in scan
//     order: the row above (replayed before the band touches a mask, its
//     windows limited to the band, its mask left to its own band), its own
//     rows, then the row below (replayed after them). Each element so sees
//     the writers, the order and the masks of a single scan.
// (7) n = 3 away from the frame's and the band's edges. The window is whole,
//     inside the model and the band, and which owner each of its elements
//     has follows from the match position alone: the lanes the general
//     window builder would give.
#pragma once

#include <algorithm>

#include "model/fast_kernels.h"

namespace zemb::fast {

// Mask values of a classified pixel.
constexpr std::uint8_t mask_background = 0;
constexpr std::uint8_t mask_foreground = 255;

// Everything one band of one frame reads and writes. The row loop keeps its
// own copy: the mask stores are byte stores, which may alias anything, so
// tables read through a structure elsewhere in memory would be reloaded after
// each of them.
struct RowJob {
    int H, W, n;
    Index model_cols;
    Index r0, r1;        // the band: pixel rows r0 .. r1-1
    bool every_element;  // each block row of `update` takes its copy first (5)
    const float* frame[plane_count];  // the pixels' cone coordinates
    const FloatPlanes* current;       // for the shadow test
    const float* cur[plane_count];
    float* upd[plane_count];
    std::uint8_t* mask;
    double e;
    const ShadowSettings* shadow;
    // Scratch of the band's engine.
    double* expanded[plane_count];  // the pixel row, each pixel repeated n times
    double* distances;              // the n model rows of a block row, n * model_cols
    int* found;                     // best-match positions of two pixel rows, r at (r % 2) * W
    const Index* column_owner;      // model column j to its pixel column, j / n
    const Index* row_owner;         // model row i to its pixel row's first pixel, (i / n) * W
    const int* position_row;        // block position a*n + b to a
    const int* position_col;        // and to b
    const BlendWeights* weights;
};

// How a pixel row of a band is worked.
enum class RowRole {
    own,     // classified, mask written, windows blended
    replay,  // a neighbour band's row, blended only inside this band (6)
};

// The block side of a row-loop instance: fixed_n when the instance has one,
// which the compiler then knows, else the job's.
template <int fixed_n>
inline int block_side(const RowJob& job)
{
    return fixed_n != 0 ? fixed_n : job.n;
}

// Distances and best matches of pixel row r into its half of `found`; with
// `copy`, its block row of `current` is copied into `update` by the same
// sweep (5). Reads neither `update` nor the mask (1).
template <typename Kernels, int fixed_n>
inline void prepare_row(const RowJob& job, Index r, bool copy)
{
    const int n = block_side<fixed_n>(job);
    // The pixel row, each pixel repeated n times, against which the n model
    // rows of the block row are measured in one sweep each.
    const Index pixel_row = r * job.W;
    for (int q = 0; q < plane_count; ++q) {
        const float* src = job.frame[q] + pixel_row;
        double* dst = job.expanded[q];
        for (Index c = 0; c < job.W; ++c)
            for (int b = 0; b < n; ++b)
                dst[c * n + b] = static_cast<double>(src[c]);
    }
    for (int a = 0; a < n; ++a) {
        const Index row = (Index(n) * r + a) * job.model_cols;
        const float* const model[plane_count] = {job.cur[0] + row, job.cur[1] + row,
                                                 job.cur[2] + row};
        float* const copy_to[plane_count] = {job.upd[0] + row, job.upd[1] + row,
                                             job.upd[2] + row};
        Kernels::distance_row(model, job.expanded, job.model_cols,
                              job.distances + a * job.model_cols, copy ? copy_to : nullptr);
    }
    Kernels::best_positions(job.distances, job.model_cols, n, job.W, job.e,
                            job.found + (r % 2) * job.W);
}

// The window of pixel (r, c), matched at block position `found`, for n = 3
// away from the frame's and the band's edges (7).
inline Window interior_window(const RowJob& job, Index r, Index c, int found)
{
    constexpr int n = 3;
    const Index pixel = r * job.W + c;
    const Index pr = found / n;
    const Index pc = found % n;
    Window win;
    win.row0 = n * r + pr - 1;
    win.col0 = n * c + pc - 1;
    win.rows = n;
    win.cols = n;
    win.band_begin = 0;
    win.band_end = n;
    for (int q = 0; q < plane_count; ++q)
        win.p[q] = job.frame[q][pixel];
    // Window column 0 is in the left neighbour's block when the match is in
    // column 0, column 2 in the right one's when it is in column 2; the same
    // for rows.
    const std::uint8_t* owners = job.mask + pixel - job.W + (pc == 0 ? -1 : 0);
    const unsigned left = pc == 0 ? 1u : pc == 1 ? 7u : 3u;
    const unsigned right = pc == 0 ? 6u : pc == 1 ? 0u : 4u;
    for (int a = 0; a < n; ++a) {
        // Owner row of window row a: 0, 1 or 2 for the rows above, own, below.
        const Index d = (pr + a - 1 + n) / n;
        const std::uint8_t* o = owners + d * job.W;
        const unsigned left_open = 0u - unsigned(o[0] == mask_background);
        const unsigned right_open = 0u - unsigned(o[1] == mask_background);
        win.lanes[a] = static_cast<std::uint16_t>((left & left_open) | (right & right_open));
    }
    return win;
}

// The window of pixel (r, c), matched at block position `found`, clipped to
// the model (4), with no lanes on the rows outside the band (6).
template <int fixed_n>
inline Window clipped_window(const RowJob& job, Index r, Index c, int found)
{
    const int n = block_side<fixed_n>(job);
    const Index half = n / 2;
    const Index pixel = r * job.W + c;
    const Index bi = Index(n) * r + job.position_row[found];
    const Index bj = Index(n) * c + job.position_col[found];
    const Index i0 = std::max<Index>(bi - half, 0);
    const Index i1 = std::min<Index>(bi + half + 1, Index(n) * job.H);
    const Index j0 = std::max<Index>(bj - half, 0);
    const Index j1 = std::min<Index>(bj + half + 1, job.model_cols);
    // The band's model rows: the only ones it writes, and the only rows whose
    // owners' masks it reads (other bands write theirs meanwhile).
    const Index band_first = Index(n) * job.r0;
    const Index band_end = Index(n) * job.r1;
    Window win;
    win.row0 = i0;
    win.col0 = j0;
    win.rows = static_cast<int>(i1 - i0);
    win.cols = static_cast<int>(j1 - j0);
    win.band_begin = static_cast<int>(std::clamp<Index>(band_first - i0, 0, win.rows));
    win.band_end = static_cast<int>(std::clamp<Index>(band_end - i0, 0, win.rows));
    for (int q = 0; q < plane_count; ++q)
        win.p[q] = job.frame[q][pixel];
    // The window is at most n wide, so it spans at most two owners: the one
    // of its first column and the next.
    const Index left_owner = job.column_owner[j0];
    const Index in_left = std::min<Index>(Index(n) * (left_owner + 1) - j0, win.cols);
    const unsigned all = (1u << win.cols) - 1u;
    const unsigned left_lanes = (1u << in_left) - 1u;
    const unsigned right_lanes = all & ~left_lanes;
    const Index right_step = right_lanes != 0;
    for (int a = 0; a < win.rows; ++a) {
        // Rows outside the band get no lanes: the band next to it blends
        // them. The kept rows still take the weights of their place in the
        // whole clipped window.
        const Index i = i0 + a;
        if (i < band_first || i >= band_end) {
            win.lanes[a] = 0;
            continue;
        }
        // Branch-free: which owners a window meets follows the best match,
        // which no predictor guesses. Without a right owner the left one is
        // read twice and its lanes stay empty.
        const std::uint8_t* owners = job.mask + job.row_owner[i] + left_owner;
        const unsigned left_open = 0u - unsigned(owners[0] == mask_background);
        const unsigned right_open = 0u - unsigned(owners[right_step] == mask_background);
        win.lanes[a] = static_cast<std::uint16_t>((left_lanes & left_open) |
                                                  (right_lanes & right_open));
    }
    return win;
}

// Classifies the pixels of row r in scan order and blends each match's
// window at once (3).
template <typename Kernels, int fixed_n>
inline void scan_row(const RowJob& job, Index r, RowRole role)
{
    const int n = block_side<fixed_n>(job);
    const int* const found_of = job.found + (r % 2) * job.W;
    // With n = 3, every window of a pixel of this row lies in the model and
    // in the band's model rows when the rows above and below are the band's
    // own (7).
    const bool interior_row =
        fixed_n == 3 && role == RowRole::own && r - 1 >= job.r0 && r + 1 < job.r1;
    for (Index c = 0; c < job.W; ++c) {
        const int found = found_of[c];
        const Index pixel = r * job.W + c;
        if (found < 0) {
            // The shadow test only decides the mask, which a replay leaves to
            // the band that owns the row.
            if (role == RowRole::own) {
                const bool background =
                    job.shadow->enabled &&
                    is_shadow(job.frame[0][pixel], job.frame[1][pixel], job.frame[2][pixel],
                              *job.current, job.W, static_cast<int>(r), static_cast<int>(c), n,
                              *job.shadow);
                job.mask[pixel] = background ? mask_background : mask_foreground;
            }
            continue;
        }
        // Written before the window's owner tests, which therefore see the
        // pixel's own elements as background (3). A replayed pixel's own
        // elements lie outside the band, so no owner test meets it.
        if (role == RowRole::own)
            job.mask[pixel] = mask_background;
        // Two calls: where the interior window's blend is inlined, its shape
        // is known to the compiler.
        if (interior_row && c >= 1 && c + 1 < job.W)
            Kernels::blend_window(interior_window(job, r, c, found), job.model_cols, job.cur,
                                  job.upd, *job.weights);
        else
            Kernels::blend_window(clipped_window<fixed_n>(job, r, c, found), job.model_cols,
                                  job.cur, job.upd, *job.weights);
    }
}

// One band of pixel rows [r0, r1), a pixel row at a time: the row's
// distances, its best-match chains, then its pixels in scan order. Windows
// are limited to the band's model rows; the rows just outside the band are
// replayed for the parts of their windows that fall inside it (6). With
// r0 = 0 and r1 = H nothing is limited and nothing is replayed: the whole
// frame in one scan.
template <typename Kernels, int fixed_n>
inline void segment_band_rows(const RowJob& job)
{
    const Index r0 = job.r0, r1 = job.r1;
    if (r0 >= r1)
        return;
    // The band's first block row takes its copy before anything blends into
    // it, the replay of the row above included (5).
    if (r0 > 0)
        prepare_row<Kernels, fixed_n>(job, r0 - 1, false);
    prepare_row<Kernels, fixed_n>(job, r0, job.every_element);
    // The row above comes first: in scan order it precedes every pixel of the
    // band, so its owner tests must see the band's masks as the previous
    // frame left them (6).
    if (r0 > 0)
        scan_row<Kernels, fixed_n>(job, r0 - 1, RowRole::replay);
    for (Index r = r0; r < r1; ++r) {
        // The windows of this row reach at most n/2 model rows into the next
        // block row, which must hold its copy before they are applied (5).
        // The row below the band is only read: its block row is another
        // band's.
        if (r + 1 < job.H)
            prepare_row<Kernels, fixed_n>(job, r + 1, job.every_element && r + 1 < r1);
        scan_row<Kernels, fixed_n>(job, r, RowRole::own);
    }
    // The row below comes last: it follows every pixel of the band, so its
    // owner tests see this frame's masks of the band's last row (6).
    if (r1 < job.H)
        scan_row<Kernels, fixed_n>(job, r1, RowRole::replay);
}

// The row loop of a kernel set. n = 3, the default block side, has an
// instance of its own in which the compiler knows n and unrolls the loops
// over the block; the operations stay the same.
template <typename Kernels>
inline void segment_rows_with(const RowJob& in)
{
    const RowJob job = in;  // a copy of its own: see RowJob
    constexpr int default_side = 3;
    if (job.n == default_side)
        segment_band_rows<Kernels, default_side>(job);
    else
        segment_band_rows<Kernels, 0>(job);
}

}  // namespace zemb::fast

// The fast engine's row loop: one band of a frame, a pixel row at a time,
// with one vector unit's kernel set. Each unit's file compiles it with its
// own kernels and target (fast_scalar.cpp, fast_avx2.cpp, fast_avx512.cpp).
// Internal to model/.
//
// Why the masks and the model equal segment_frame's followed by the copy of
// its update model into the current one, bit for bit. The code cites each
// step where it keeps it, as "(n)".
//
// (1) Distances. Every distance is squared_distance's: element minus pixel
//     per coordinate, each float widened to double exactly, squared, and
//     summed as (dx*dx + dy*dy) + dz*dz. Vector lanes do the same IEEE double
//     operations in the same order, and the build never contracts them to
//     fused multiply-adds, so every lane equals the scalar value bit for
//     bit. Permutes that move distances or coordinates between lanes copy
//     their bits.
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
//     when its owner is background (its lane bit). The blend reads the
//     element's value as the frame began (6) and is formed as
//     (1 - w) * old + w * p in double, stored as float; a vector lane does
//     the same operations.
// (5) Who reaches which block row. A window reaches at most n/2 < n model
//     rows past its pixel's block, so the windows of pixel row r write only
//     block rows r-1, r and r+1. Before row r is scanned, no blend of the
//     frame has reached block row r+1; the loop measures block row r+1 just
//     then, so its distances see the model as the frame began.
// (6) One model, updated in place. Every read that must see the model as the
//     frame began after blends may have reached it, namely the shadow test of
//     row r (its block row) and the old value of each blend of row r (block
//     rows r-1 .. r+1), reads a copy: each block row is copied by the sweep
//     that measures it (5), before any blend reaches it, into slot r mod 3 of
//     a ring of three block rows. While row r is scanned the ring holds rows
//     r-1, r and r+1; row r+1 has just replaced row r-2, which no window of
//     row r reaches. Every blend writes the model, so an element no window
//     reaches keeps its value and one that several reach ends with the last
//     blend in scan order (3), each formed from the value the frame began
//     with: segment_frame's update model, where the current model was.
// (7) Bands. A band writes only its own model rows and reads only its own
//     rows' masks; the model it reads is its own rows too, because the best
//     matches of the rows just outside it (r0-1 and r1), which its replays
//     need, are found before any band starts, from the model as the frame
//     began. So bands running at once share nothing that one writes and
//     another reads. A band meets the writers of its rows in scan order: the
//     row above (replayed before the band touches a mask, its windows limited
//     to the band, its mask left to its own band), its own rows, then the row
//     below (replayed after them). Each element so sees the writers, the
//     order and the masks of a single scan; a replay reads old values of the
//     band's first or last block row, which the ring holds at that moment.
// (8) n = 3 away from the frame's and the band's edges. The window is whole,
//     inside the model and the band, and which owner each of its elements
//     has follows from the match position alone. A group of 8 pixels sets up
//     its windows together: the owners' mask values are read before the
//     group's own mask values are stored, and each pixel takes its left
//     neighbour's value from the group's fresh results and its right one's
//     from before the store, which are the values (3) says it sees. The
//     lanes are those the general window builder gives; the blends still run
//     one pixel at a time in scan order.
// (9) Regions. With a region, every step above runs on the spans of inside
//     pixels only, left to right, so a frame costs what the region holds. The
//     caller gives the outside pixels a mask value that is not background,
//     so the owner tests of (4) and (8) keep every window off their elements
//     exactly as they do in segment_frame; nothing here writes their masks.
//     A block row's copy (6) then holds only its inside pixels' blocks, the
//     only ones a blend writes, and a lane that reads a stale copy is never
//     stored. The group planner reads the masks next to a span, which are
//     those outside values.
#pragma once

#include <emmintrin.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "model/fast_kernels.h"

namespace zemb::fast {

// Mask values of a classified pixel.
constexpr std::uint8_t mask_background = 0;
constexpr std::uint8_t mask_foreground = 255;

// Block rows the ring of copies holds: the row being scanned and its two
// neighbours (6).
constexpr int ring_block_rows = 3;

// Everything one band of one frame reads and writes. The row loop keeps its
// own copy: the mask stores are byte stores, which may alias anything, so
// tables read through a structure elsewhere in memory would be reloaded after
// each of them.
struct RowJob {
    int H, W, n;
    Index model_cols;
    Index r0, r1;                     // the band: pixel rows r0 .. r1-1
    const float* frame[plane_count];  // the pixels' cone coordinates
    float* model[plane_count];        // read and blended in place (6)
    float* ring[plane_count];         // copies of three block rows (6)
    std::uint8_t* mask;
    double e;
    const ShadowSettings* shadow;
    // Scratch of the band's engine.
    double* expanded[plane_count];  // match_row's general form
    double* distances;
    int* found;                 // best-match positions of two pixel rows, r at (r % 2) * W
    const int* found_above;     // of row r0-1 as the frame began, when r0 > 0 (7)
    const int* found_below;     // of row r1, when r1 < H
    const Index* column_owner;  // model column j to its pixel column, j / n
    const Index* row_owner;     // model row i to its pixel row's first pixel, (i / n) * W
    const Index* ring_row;      // model row i to its copy in the ring, (i mod 3n) * model_cols
    const int* position_row;    // block position a*n + b to a
    const int* position_col;    // and to b
    const BlendWeights* weights;
    const Region* region;  // null: every pixel (9)
};

// How a pixel row of a band is worked.
enum class RowRole {
    own,     // classified, mask written, windows blended
    replay,  // a neighbour band's row, blended only inside this band (7)
};

// The block side of a row-loop instance: fixed_n when the instance has one,
// which the compiler then knows, else the job's.
template <int fixed_n>
inline int block_side(const RowJob& job)
{
    return fixed_n != 0 ? fixed_n : job.n;
}

// Best matches of pixel row r into its half of `found`, its block row copied
// into the ring by the same sweep. Runs before any blend reaches the block
// row (5), so it reads the model as the frame began.
template <typename Kernels, int fixed_n>
inline void prepare_columns(const RowJob& job, Index r, Index begin, Index end)
{
    const int n = block_side<fixed_n>(job);
    const Index first = Index(n) * r * job.model_cols + Index(n) * begin;
    const Index slot = (r % ring_block_rows) * n * job.model_cols + Index(n) * begin;
    BlockRow m;
    for (int q = 0; q < plane_count; ++q) {
        m.model[q] = job.model[q] + first;
        m.pixels[q] = job.frame[q] + r * job.W + begin;
        m.copy[q] = job.ring[q] + slot;
        m.expanded[q] = job.expanded[q];
    }
    m.model_cols = job.model_cols;
    m.W = static_cast<int>(end - begin);
    m.n = n;
    m.e = job.e;
    m.found = job.found + (r % 2) * job.W + begin;
    m.distances = job.distances;
    if (fixed_n == default_side)
        Kernels::match_row3(m);
    else
        match_row_general<Kernels>(m);
}

// The whole row, or its spans (9): a span is a shorter row of the same block
// row, its pointers moved to its first pixel.
template <typename Kernels, int fixed_n>
inline void prepare_row(const RowJob& job, Index r)
{
    if (job.region == nullptr) {
        prepare_columns<Kernels, fixed_n>(job, r, 0, job.W);
        return;
    }
    for (const Span* s = job.region->row_begin(r); s != job.region->row_end(r); ++s)
        prepare_columns<Kernels, fixed_n>(job, r, s->begin, s->end);
}

// The shadow test of pixel (r, c) on its block as the frame began (6).
template <int fixed_n>
inline bool shadow_of(const RowJob& job, Index r, Index c)
{
    const int n = block_side<fixed_n>(job);
    const Index pixel = r * job.W + c;
    const Index at = job.ring_row[Index(n) * r] + Index(n) * c;
    const float* const block[plane_count] = {job.ring[0] + at, job.ring[1] + at, job.ring[2] + at};
    return is_shadow_in_block(job.frame[0][pixel], job.frame[1][pixel], job.frame[2][pixel], block,
                              job.model_cols, n, *job.shadow);
}

// The window of pixel (r, c), matched at block position `found`, clipped to
// the model (4), with no lanes on the rows outside the band (7).
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
        const Index i = i0 + a;
        win.old_at[a] = job.ring_row[i] + j0;
        // Rows outside the band get no lanes: the band next to it blends
        // them. The kept rows still take the weights of their place in the
        // whole clipped window.
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
        win.lanes[a] =
            static_cast<std::uint16_t>((left_lanes & left_open) | (right_lanes & right_open));
    }
    return win;
}

// Pixel (r, c) of a row worked in the general way: classified (own rows),
// then its window built and blended (3).
template <typename Kernels, int fixed_n>
inline void scan_pixel(const RowJob& job, Index r, Index c, RowRole role, int found)
{
    const Index pixel = r * job.W + c;
    if (found < 0) {
        // The shadow test only decides the mask, which a replay leaves to
        // the band that owns the row.
        if (role == RowRole::own) {
            const bool background = job.shadow->enabled && shadow_of<fixed_n>(job, r, c);
            job.mask[pixel] = background ? mask_background : mask_foreground;
        }
        return;
    }
    // Written before the window's owner tests, which therefore see the
    // pixel's own elements as background (3). A replayed pixel's own
    // elements lie outside the band, so no owner test meets it.
    if (role == RowRole::own)
        job.mask[pixel] = mask_background;
    Kernels::blend_window(clipped_window<fixed_n>(job, r, c, found), job.model_cols, job.ring,
                          job.model, *job.weights);
}

// ---- n = 3 inside the band (8) ------------------------------------------------

// Bit l: found[l] >= 0, for a whole group.
inline unsigned matched_bits(const int* found)
{
    const __m128i none = _mm_set1_epi32(-1);
    const __m128i low =
        _mm_cmpgt_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(found)), none);
    const __m128i high =
        _mm_cmpgt_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(found + 4)), none);
    return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(low))) |
           static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(high))) << 4;
}

// Pixels begin .. end-1 of an own row r with r-1 and r+1 in the band, n = 3:
// the row's first and last pixels in the general way, the others in groups
// (8).
template <typename Kernels>
inline void scan_interior_row(const RowJob& job, Index r, Index begin, Index end)
{
    constexpr int n = default_side;
    constexpr Index readable = 16;  // mask bytes a vector planner reads per row
    const Index W = job.W;
    const int* const found = job.found + (r % 2) * W;
    std::uint8_t* const mask = job.mask + r * W;
    // Mask loads stop at the band's end: past it another band writes.
    const std::uint8_t* const mask_end = job.mask + job.r1 * W;
    // Model rows 3r-1 .. 3r+3: where they are in the model and in the ring;
    // the window of a match in block row pr starts at entry pr.
    Index model_at[n + 2], ring_at[n + 2];
    for (int k = 0; k < n + 2; ++k) {
        const Index i = n * r - 1 + k;
        model_at[k] = i * job.model_cols;
        ring_at[k] = job.ring_row[i];
    }
    const typename Kernels::InteriorBlender blend(*job.weights, job.ring, job.model);
    const float* const frame[plane_count] = {job.frame[0] + r * W, job.frame[1] + r * W,
                                             job.frame[2] + r * W};

    if (begin == 0)
        scan_pixel<Kernels, n>(job, r, 0, RowRole::own, found[0]);
    const Index last = std::min<Index>(end, W - 1);
    for (Index c0 = std::max<Index>(begin, 1); c0 < last; c0 += group_width) {
        const int count = static_cast<int>(std::min<Index>(group_width, last - c0));
        const int* const f = found + c0;
        unsigned matched = 0;
        if (count == group_width) {
            matched = matched_bits(f);
        } else {
            for (int l = 0; l < count; ++l)
                matched |= unsigned(f[l] >= 0) << l;
        }
        unsigned background = matched;
        if (job.shadow->enabled)
            for (unsigned rest = ~matched & ((1u << count) - 1u); rest != 0; rest &= rest - 1u) {
                const int l = std::countr_zero(rest);
                if (shadow_of<n>(job, r, c0 + l))
                    background |= 1u << l;
            }
        GroupPlan plan;
        const std::uint8_t* const before = mask + c0 - 1;
        if (count == group_width && mask_end - (before + W) >= readable)
            Kernels::plan_group(f, background, before, W, plan);
        else
            plan_group_plain(f, background, before, W, count, plan);
        // The group's own mask values, stored once the plan has read the
        // last frame's (3).
        std::memcpy(mask + c0, &group_mask_bytes[background], static_cast<std::size_t>(count));
        // The group's pixels widened to double once, a vector per plane when
        // the group is whole: each blend then broadcasts its pixel straight
        // from memory, and the frame's planes need no registers in the loop
        // below. Widening a float is exact, so the blends see the same p.
        alignas(64) double widened[plane_count][group_width];
        if (count == group_width) {
            for (int q = 0; q < plane_count; ++q)
                for (int l = 0; l < group_width; ++l)
                    widened[q][l] = frame[q][c0 + l];
        } else {
            for (int q = 0; q < plane_count; ++q)
                for (int l = 0; l < count; ++l)
                    widened[q][l] = frame[q][c0 + l];
        }
        for (unsigned rest = matched; rest != 0; rest &= rest - 1u) {
            const int l = std::countr_zero(rest);
            const double p[plane_count] = {widened[0][l], widened[1][l], widened[2][l]};
            blend(ring_at + plan.row[l], model_at + plan.row[l], n * c0 + plan.col[l],
                  interior_lanes[static_cast<std::size_t>(plan.lanes_at[l])], p);
        }
    }
    if (end == W && W > 1)
        scan_pixel<Kernels, n>(job, r, W - 1, RowRole::own, found[W - 1]);
}

// Classifies the pixels of row r in scan order and blends each match's
// window at once (3).
template <typename Kernels, int fixed_n>
inline void scan_row(const RowJob& job, Index r, RowRole role, const int* found)
{
    // With n = 3, every window of a pixel of this row lies in the model and
    // in the band's model rows when the rows above and below are the band's
    // own (8).
    const bool interior =
        fixed_n == default_side && role == RowRole::own && r - 1 >= job.r0 && r + 1 < job.r1;
    if (job.region == nullptr) {
        if (interior) {
            scan_interior_row<Kernels>(job, r, 0, job.W);
            return;
        }
        for (Index c = 0; c < job.W; ++c)
            scan_pixel<Kernels, fixed_n>(job, r, c, role, found[c]);
        return;
    }
    for (const Span* s = job.region->row_begin(r); s != job.region->row_end(r); ++s) {
        if (interior) {
            scan_interior_row<Kernels>(job, r, s->begin, s->end);
            continue;
        }
        for (Index c = s->begin; c < s->end; ++c)
            scan_pixel<Kernels, fixed_n>(job, r, c, role, found[c]);
    }
}

// One band of pixel rows [r0, r1), a pixel row at a time: the next row's
// best matches and copy, then this row's pixels in scan order. Windows are
// limited to the band's model rows; the rows just outside the band are
// replayed for the parts of their windows that fall inside it (7). With
// r0 = 0 and r1 = H nothing is limited and nothing is replayed: the whole
// frame in one scan.
template <typename Kernels, int fixed_n>
inline void segment_band_rows(const RowJob& job)
{
    const Index r0 = job.r0, r1 = job.r1;
    if (r0 >= r1)
        return;
    // The band's first block row is copied before anything blends into it,
    // the replay of the row above included (6).
    prepare_row<Kernels, fixed_n>(job, r0);
    // The row above comes first: in scan order it precedes every pixel of the
    // band, so its owner tests must see the band's masks as the previous
    // frame left them (7).
    if (r0 > 0)
        scan_row<Kernels, fixed_n>(job, r0 - 1, RowRole::replay, job.found_above);
    for (Index r = r0; r < r1; ++r) {
        // Block row r+1 before any window of row r reaches it (5).
        if (r + 1 < r1)
            prepare_row<Kernels, fixed_n>(job, r + 1);
        scan_row<Kernels, fixed_n>(job, r, RowRole::own, job.found + (r % 2) * job.W);
    }
    // The row below comes last: it follows every pixel of the band, so its
    // owner tests see this frame's masks of the band's last row (7).
    if (r1 < job.H)
        scan_row<Kernels, fixed_n>(job, r1, RowRole::replay, job.found_below);
}

// The row loop of a kernel set. n = 3, the default block side, has an
// instance of its own in which the compiler knows n and unrolls the loops
// over the block; the operations stay the same.
template <typename Kernels>
inline void segment_rows_with(const RowJob& in)
{
    const RowJob job = in;  // a copy of its own: see RowJob
    if (job.n == default_side)
        segment_band_rows<Kernels, default_side>(job);
    else
        segment_band_rows<Kernels, 0>(job);
}

// The unit's MatchRowFn for any n: its n = 3 form where it has one.
template <typename Kernels>
inline void match_row_any(const BlockRow& m)
{
    if (m.n == default_side)
        Kernels::match_row3(m);
    else
        match_row_general<Kernels>(m);
}

// The code of a unit whose row loop `rows` is segment_rows_with<Kernels> and
// whose `match` is match_row_any<Kernels>, both compiled for the unit's target.
template <typename Kernels>
UnitCode unit_code_of(void (*rows)(const RowJob&), void (*match)(const BlockRow&))
{
    return {rows,
            match,
            Kernels::distance_row,
            Kernels::best_positions,
            Kernels::blend_window,
            Kernels::blend_interior,
            Kernels::plan_group};
}

}  // namespace zemb::fast

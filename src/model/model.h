// Self-organising background model: the layout of the per-pixel maps, the
// neighbourhood weight kernel, the best-match search, the shadow test, and the
// per-frame segmentation and model update.
//
// Layout: a model is a float plane set of n*H rows by n*W columns; pixel
// (r, c) owns the n x n block at model rows n*r .. n*r+n-1 and columns
// n*c .. n*c+n-1, and model element (i, j) has index i*(n*W) + j. Rows come
// before columns in every signature. Indices are 64-bit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "imagedata/imagedata.h"

namespace zemb {

// Largest block side a run accepts.
constexpr int max_block_side = 9;

// The block sides a run accepts: odd (a block has a centre) and at most
// max_block_side, so 1, 3, 5, 7 and 9.
constexpr bool is_supported_block_side(int n)
{
    return n >= 1 && n <= max_block_side && n % 2 == 1;
}

// n rows of n floats, addressed [row][column] of the update window.
using WeightMatrix = std::array<std::array<float, max_block_side>, max_block_side>;

// Model index type: wide enough for n*n*W*H, -1 for "no match".
using Index = std::ptrdiff_t;

// The shape of a run's frames and model: H rows and W columns of pixels,
// each owning an n x n block of the model.
struct ModelShape {
    int H = 0;
    int W = 0;
    int n = 0;
};

// ---- Region -----------------------------------------------------------------

// Columns begin .. end-1 of one pixel row.
struct Span {
    int begin = 0;
    int end = 0;
};

// The pixels a run segments, kept as the runs of inside columns of each
// pixel row, left to right. The engines walk these spans instead of testing
// every pixel, so a frame costs what its region holds: a pixel outside is
// neither matched nor classified, and its mask byte is left as it is.
struct Region {
    std::vector<Span> spans;
    std::vector<std::size_t> first;  // row r's spans are [first[r], first[r+1])
    std::size_t inside = 0;          // pixels inside

    const Span* row_begin(Index r) const { return spans.data() + first[std::size_t(r)]; }
    const Span* row_end(Index r) const { return spans.data() + first[std::size_t(r) + 1]; }
};

// The region of the H x W bytes `inside` (row-major, nonzero = inside).
Region make_region(const std::uint8_t* inside, int H, int W);

// ---- Layout ---------------------------------------------------------------

// Every element of pixel (r, c)'s block starts as that pixel's coordinates.
void init_model(FloatPlanes& model, const FloatPlanes& frame, const ModelShape& shape);
// The same for the blocks of the region's pixels only.
void init_model_region(FloatPlanes& model, const FloatPlanes& frame, int W, int n,
                       const Region& region);
// The same for the blocks of pixel rows first_row .. last_row - 1 only.
void init_model_rows(FloatPlanes& model, const FloatPlanes& frame, int W, int n, int first_row,
                     int last_row);

// ---- Weight kernel --------------------------------------------------------

// Spread of the kernel's bell for block side n (3, 5, 7, 9; and 1, whose
// kernel is the single value 1 for any positive spread); 0 for any other n.
float spread_for_block_side(int n);

// The whole-number Gaussian kernel of side n and spread s:
// exp(-(i^2 + j^2) / (2 s)) mirrored from one quadrant, divided by its
// corner and rounded half up. All zero for an unsupported side or a spread
// that is not positive.
WeightMatrix weight_kernel(int n, float s);

// rate x kernel, each product rounded to a float; zero past side n.
WeightMatrix scaled_weights(const WeightMatrix& kernel, int n, float rate);

// A phase's learning rate scaled for block side n: c x (1 / (n + 1)), the
// reciprocal in double and the product rounded to a float.
float scaled_learning_rate(float c, int n);

// Rate of calibration frame k (1 .. K-1): falls linearly from c1_scaled
// towards c2_scaled, with the step between them rounded to a float first.
float calibration_rate(float c1_scaled, float c2_scaled, long long k, long long K);

// ---- Best match -----------------------------------------------------------

// Squared Euclidean distance of two cone points, in double precision.
double squared_distance(float x1, float y1, float z1, float x2, float y2, float z2);

// Searches pixel (r, c)'s block for the closest element. Returns its model
// index and sets bi, bj (model row and column) when its squared distance is
// at most e; returns -1 and leaves bi, bj alone otherwise.
Index find_best_match(float x, float y, float z, const FloatPlanes& model, int W, int r, int c,
                      int n, float e, Index& bi, Index& bj);

// ---- Shadow test ----------------------------------------------------------

// The shadow test's settings; the defaults are those of a run.
struct ShadowSettings {
    bool enabled = false;  // unmatched pixels that pass the test are background
    float gamma = 0.7f;    // lowest ratio V pixel / V element
    float beta = 1.0f;     // highest ratio V pixel / V element
    float tau_S = 0.1f;    // the saturation difference must be below this
    float tau_H = 10.0f;   // the hue distance (degrees) must be below this
};

// Whether the pixel is a darker version of some element of its block: value
// ratio within gamma..beta, saturation within tau_S, hue within tau_H (the
// enabled flag is the caller's). Reads the model only.
bool is_shadow(float x, float y, float z, const FloatPlanes& model, int W, int row, int col, int n,
               const ShadowSettings& shadow);

// The same test on a block held anywhere: block[k] points at plane k's
// first element of the block, whose rows lie `row_stride` elements apart.
bool is_shadow_in_block(float x, float y, float z, const float* const* block, Index row_stride,
                        int n, const ShadowSettings& shadow);

// ---- Segmentation and update ----------------------------------------------

// What a frame's segmentation is given beside the frame and the model: the
// phase's weights and threshold, and the shadow test. It refers to them, so
// it lives no longer than they do.
struct FrameSettings {
    const WeightMatrix& weights;
    float e;
    const ShadowSettings& shadow;
    // Only these pixels are segmented; null: all of them.
    const Region* region = nullptr;
};

// Classifies every pixel of `frame` (of the settings' region, when it has
// one) against `current` into `mask` (0
// background, 255 foreground; an unmatched pixel that passes an enabled
// shadow test is background) in row-major order, and blends the window
// around each matched pixel's best match into `update`. Reads only
// `current`; writes only `update` and `mask`.
void segment_frame(const FloatPlanes& frame, const ModelShape& shape, const FloatPlanes& current,
                   std::uint8_t* mask, const FrameSettings& settings, FloatPlanes& update);

// Blends the window of the model around (bi, bj), clipped to the model's
// edges, towards the pixel (x, y, z), skipping elements whose owner's mask is
// not 0. Weights are counted from the clipped window's first row and column.
void update_neighbourhood(float x, float y, float z, int H, int W, const FloatPlanes& current,
                          FloatPlanes& update, const WeightMatrix& weights, int n, Index bi,
                          Index bj, const std::uint8_t* mask);

// ---- Fast engine --------------------------------------------------------------

// segment_frame with the same masks and model values, for whole runs. It
// keeps one model and updates it in place: after a frame the model equals
// segment_frame's update model (when that started as a copy of the model),
// so there is no second model and no copy. It works a pixel row at a time:
// all n*n*W distances of the row with vector arithmetic, the best-match chain
// per pixel, then the row's blends. Why every step keeps the reference's
// exact numbers is argued in fast_rows.h.

// Vector units the fast engine's kernels can use.
enum class VectorUnit {
    scalar,  // plain code (SSE2 on x86-64): every machine
    avx2,    // 4 doubles a vector
    avx512,  // 8 doubles a vector, masked loads and stores
};

// The widest unit this processor has (asked once per call).
VectorUnit best_vector_unit();
bool vector_unit_available(VectorUnit unit);
// Every unit this processor has, narrowest first.
std::vector<VectorUnit> available_vector_units();
const char* vector_unit_name(VectorUnit unit);
// The unit called `name` ("scalar", "avx2", "avx512"); false for no such unit.
bool vector_unit_named(const char* name, VectorUnit& unit);

class FastEngine {
public:
    // Allocates the engine's scratch for frames of H x W pixels and block
    // side n (odd, at most max_block_side). Nothing is allocated later. A unit
    // this processor lacks falls back to plain code.
    explicit FastEngine(const ModelShape& shape, VectorUnit unit = best_vector_unit());
    ~FastEngine();
    FastEngine(const FastEngine&) = delete;
    FastEngine& operator=(const FastEngine&) = delete;

    // Bytes the constructor allocates for these sizes (the model is the
    // caller's).
    static std::uint64_t scratch_bytes(const ModelShape& shape);

    // segment_frame(frame, shape, model, mask, settings, update) with
    // `update` a copy of `model`, then `update` copied into `model`: the
    // whole frame's work, done in `model` itself.
    void segment_frame(const FloatPlanes& frame, FloatPlanes& model, std::uint8_t* mask,
                       const FrameSettings& settings);

    // found[c] for c = 0 .. W-1: the block position a*n + b of pixel (r, c)'s
    // best match in `model`, as find_best_match finds it, or -1 for none.
    // With a region, only the entries of its pixels of row r are set.
    void match_row(const FloatPlanes& frame, const FloatPlanes& model, float e, int r, int* found,
                   const Region* region = nullptr);

    // The share of segment_frame that belongs to pixel rows r0 .. r1-1, run
    // beside the other bands of the frame at the same time: the band's mask
    // values and its model rows n*r0 .. n*r1-1, nothing else. Each update
    // window is limited to those model rows, and the pixel rows r0-1 and r1
    // are worked again for the parts of their windows that fall inside them,
    // from their best matches as the frame began: match_row's results,
    // `found_above` for row r0-1 (needed when r0 > 0) and `found_below` for
    // row r1 (when r1 < H), taken before any band of the frame starts. Bands
    // that together cover 0 .. H-1 leave exactly segment_frame's mask and
    // model, whatever the order in which they run (step (7) in fast_rows.h).
    void segment_band(const FloatPlanes& frame, FloatPlanes& model, std::uint8_t* mask,
                      const FrameSettings& settings, int r0, int r1, const int* found_above,
                      const int* found_below);

private:
    struct Scratch;  // the engine's buffers and its unit's code (fast_engine.cpp)
    std::unique_ptr<Scratch> s_;
};

// ---- Several threads ------------------------------------------------------------

// The fast engine on several threads: the frame's pixel rows are cut into
// contiguous bands, a few per thread (work_band_count), each run by
// FastEngine::segment_band with its thread's scratch. The calling thread and
// the workers (started once, here, and woken once per frame) take the bands
// in order until none is left, so a thread the system keeps waiting holds up
// only the band it has in hand. The best matches of the rows on either side of
// a boundary are found by the first of its two bands to start. Results are the
// fast engine's, byte for byte.
class ThreadedEngine {
public:
    // threads: wanted number of threads, at least 1. Throws std::bad_alloc or
    // std::system_error when the scratch or the threads cannot be had.
    ThreadedEngine(const ModelShape& shape, int threads, VectorUnit unit = best_vector_unit());
    ~ThreadedEngine();
    ThreadedEngine(const ThreadedEngine&) = delete;
    ThreadedEngine& operator=(const ThreadedEngine&) = delete;

    // Bytes the constructor allocates for these sizes, the bands' scratch
    // included (not the threads' stacks).
    static std::uint64_t scratch_bytes(const ModelShape& shape, int threads);

    // FastEngine::segment_frame's result; returns when every band is done.
    void segment_frame(const FloatPlanes& frame, FloatPlanes& model, std::uint8_t* mask,
                       const FrameSettings& settings);

    int threads() const;  // threads in use, the calling one included

private:
    struct Pool;  // bands and threads (threaded_engine.cpp)
    std::unique_ptr<Pool> pool_;
};

// Threads a run of H pixel rows uses for `threads` wanted threads: never more
// than the rows, never fewer than 1.
int threads_for_rows(int H, int threads);

// Bands the rows are cut into for those threads: one for one thread, else
// two per thread, never more than the rows.
int work_band_count(int H, int threads);

}  // namespace zemb

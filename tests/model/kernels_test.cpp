// Each kernel of the fast engine, for every vector unit this processor has,
// against plain code: rows with tails past the last whole vector, ties at
// float rounding, random lane masks. A fault here names one kernel of one
// unit; the engine-level comparisons are in engine_diff_test.cpp.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "model/fast_kernels.h"

namespace zemb {
namespace {

using fast::BlendWeights;
using fast::UnitCode;
using fast::Window;

// Content of memory that a kernel must not touch.
constexpr double guard_double = -12345.0;
constexpr float guard_float = -54321.0f;
// Guard elements before and after every output, so that a write out of
// bounds shows.
constexpr int guard = 16;

struct Unit {
    VectorUnit unit;
    UnitCode code;
};

std::vector<Unit> units_here()
{
    std::vector<Unit> units;
    for (VectorUnit u : available_vector_units())
        units.push_back({u, fast::unit_code(u)});
    return units;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// ---- distance_row -----------------------------------------------------------------

TEST(Kernels, DistanceRowIsSquaredDistanceForEveryLengthAndCopiesTheRowExactly)
{
    std::mt19937 random(11);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    // Magnitudes far apart, so that the squares need all their bits and the
    // order of the sum shows in its rounding.
    auto coordinate = [&](std::mt19937& r) { return std::ldexp(unit(r), -int(r() % 24)); };
    for (const Unit& u : units_here()) {
        for (Index count : {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 24, 31, 33, 45}) {
            for (bool copy : {false, true}) {
                SCOPED_TRACE(std::string(vector_unit_name(u.unit)) + " count " +
                             std::to_string(count) + (copy ? " with copy" : ""));
                // One element off alignment, as the model rows of a frame are.
                const std::size_t length = static_cast<std::size_t>(count + 2 * guard);
                std::vector<float> model[plane_count];
                std::vector<double> pixel[plane_count];
                std::vector<float> copied[plane_count];
                for (int q = 0; q < plane_count; ++q) {
                    for (std::size_t j = 0; j < length; ++j) {
                        model[q].push_back(coordinate(random));
                        pixel[q].push_back(static_cast<double>(coordinate(random)));
                    }
                    copied[q].assign(length, guard_float);
                }
                const float* m[plane_count] = {model[0].data() + guard, model[1].data() + guard,
                                               model[2].data() + guard};
                const double* p[plane_count] = {pixel[0].data() + guard, pixel[1].data() + guard,
                                                pixel[2].data() + guard};
                float* c[plane_count] = {copied[0].data() + guard, copied[1].data() + guard,
                                         copied[2].data() + guard};
                std::vector<double> out(length, guard_double);
                u.code.distance_row(m, p, count, out.data() + guard, copy ? c : nullptr);

                for (std::size_t j = 0; j < length; ++j) {
                    const bool inside = j >= guard && j < guard + std::size_t(count);
                    const double expected =
                        inside ? squared_distance(float(pixel[0][j]), float(pixel[1][j]),
                                                  float(pixel[2][j]), model[0][j], model[1][j],
                                                  model[2][j])
                               : guard_double;
                    ASSERT_TRUE(same_bits(out[j], expected)) << "distance " << j;
                    for (int q = 0; q < plane_count; ++q)
                        ASSERT_TRUE(
                            same_bits(copied[q][j], inside && copy ? model[q][j] : guard_float))
                            << "copy plane " << q << " element " << j;
                }
            }
        }
    }
}

// ---- best_positions -----------------------------------------------------------------

// find_best_match's chain over the distances of one block, written plainly.
int plain_best_position(const std::vector<double>& d, Index model_cols, int n, Index c, double e)
{
    float best = 100.0f;
    int found = -1;
    for (int a = 0; a < n; ++a)
        for (int b = 0; b < n; ++b) {
            const double v = d[static_cast<std::size_t>(a * model_cols + c * n + b)];
            if (v < static_cast<double>(best)) {
                best = static_cast<float>(v);
                if (v <= e)
                    found = a * n + b;
            }
        }
    const double centre = d[static_cast<std::size_t>((n / 2) * model_cols + c * n + n / 2)];
    if (centre <= static_cast<double>(best) && centre <= e)
        found = (n / 2) * n + n / 2;
    return found;
}

TEST(Kernels, BestPositionsFollowTheChainThroughTiesAtFloatRounding)
{
    // Distances around the threshold 0.03f and the float grid: equal pairs,
    // doubles just above and below a float (which round to it), the float
    // itself, and the threshold exactly; NaN and infinity, which a model
    // made by infinite settings gives.
    const double e = static_cast<double>(0.03f);
    const double grid = static_cast<double>(0.02f);
    const double ulp = static_cast<double>(std::nextafter(0.02f, 1.0f)) - grid;
    const double palette[] = {
        e,
        std::nextafter(e, 1.0),
        std::nextafter(e, 0.0),
        grid,
        grid + ulp / 4,  // rounds down to grid
        grid - ulp / 4,  // rounds up to grid
        grid + ulp / 2,  // halfway: rounds to even
        grid + ulp * 3 / 4,
        0.0,
        0.5,
        100.0,
        std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::infinity(),
    };
    std::mt19937 random(5);
    for (const Unit& u : units_here()) {
        for (int n : {1, 3, 5, 7, 9}) {
            for (int W : {1, 3, 4, 5, 7, 8, 9, 12, 16, 17, 19}) {
                SCOPED_TRACE(std::string(vector_unit_name(u.unit)) + " n " + std::to_string(n) +
                             " W " + std::to_string(W));
                const Index model_cols = Index(n) * W;
                for (int trial = 0; trial < 8; ++trial) {
                    // Few distinct values per trial, so that ties are common.
                    const std::size_t kinds = 2 + random() % 4;
                    std::vector<double> chosen;
                    for (std::size_t k = 0; k < kinds; ++k)
                        chosen.push_back(palette[random() % std::size(palette)]);
                    std::vector<double> d(static_cast<std::size_t>(n * model_cols));
                    for (double& v : d)
                        v = chosen[random() % kinds];
                    std::vector<int> found(static_cast<std::size_t>(W + guard), -7);
                    u.code.best_positions(d.data(), model_cols, n, W, e, found.data());
                    for (Index c = 0; c < W; ++c)
                        ASSERT_EQ(found[static_cast<std::size_t>(c)],
                                  plain_best_position(d, model_cols, n, c, e))
                            << "pixel " << c << " trial " << trial;
                    ASSERT_EQ(found[static_cast<std::size_t>(W)], -7) << "written past the row";
                }
            }
        }
    }
}

// ---- match_row ----------------------------------------------------------------------

TEST(Kernels, MatchRowFindsEachPixelsBestMatchAndCopiesItsBlockRowExactly)
{
    // Colours from a few dyadic values, so that distances tie within a block
    // and land exactly on the threshold; rows with tails past the last whole
    // group of pixels; a model row stride wider than the row; NaN and
    // infinite elements, as infinite settings leave them.
    const float values[] = {0.0f, 0.125f, 0.25f, 0.5f, -0.25f, std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity()};
    const double e = 0.0625;
    std::mt19937 random(7);
    for (const Unit& u : units_here()) {
        for (int n : {1, 3, 5}) {
            for (int W : {1, 3, 4, 7, 8, 9, 13, 16, 17, 21}) {
                for (bool copy : {false, true}) {
                    SCOPED_TRACE(std::string(vector_unit_name(u.unit)) + " n " + std::to_string(n) +
                                 " W " + std::to_string(W) + (copy ? " with copy" : ""));
                    const Index stride = Index(n) * W + 5;
                    const std::size_t length = static_cast<std::size_t>(n * stride);
                    std::vector<float> model[plane_count], pixels[plane_count], copied[plane_count];
                    std::vector<double> expanded[plane_count];
                    for (int q = 0; q < plane_count; ++q) {
                        for (std::size_t k = 0; k < length; ++k)
                            model[q].push_back(values[random() % std::size(values)]);
                        for (int c = 0; c < W; ++c)
                            pixels[q].push_back(values[random() % std::size(values)]);
                        copied[q].assign(length, guard_float);
                        expanded[q].assign(static_cast<std::size_t>(n * W), 0.0);
                    }
                    std::vector<double> distances(static_cast<std::size_t>(n * n * W));
                    std::vector<int> found(static_cast<std::size_t>(W + guard), -7);
                    fast::BlockRow m;
                    for (int q = 0; q < plane_count; ++q) {
                        m.model[q] = model[q].data();
                        m.pixels[q] = pixels[q].data();
                        m.copy[q] = copy ? copied[q].data() : nullptr;
                        m.expanded[q] = expanded[q].data();
                    }
                    m.model_cols = stride;
                    m.W = W;
                    m.n = n;
                    m.e = e;
                    m.found = found.data();
                    m.distances = distances.data();
                    u.code.match_row(m);

                    for (Index c = 0; c < W; ++c) {
                        std::vector<double> d;
                        for (int a = 0; a < n; ++a)
                            for (int b = 0; b < n; ++b) {
                                const std::size_t k =
                                    static_cast<std::size_t>(a * stride + n * c + b);
                                d.push_back(squared_distance(pixels[0][c], pixels[1][c],
                                                             pixels[2][c], model[0][k], model[1][k],
                                                             model[2][k]));
                            }
                        ASSERT_EQ(found[static_cast<std::size_t>(c)],
                                  plain_best_position(d, n, n, 0, e))
                            << "pixel " << c;
                    }
                    ASSERT_EQ(found[static_cast<std::size_t>(W)], -7) << "written past the row";
                    for (int q = 0; q < plane_count; ++q)
                        for (std::size_t k = 0; k < length; ++k) {
                            const bool in_row = Index(k) % stride < Index(n) * W;
                            ASSERT_TRUE(
                                same_bits(copied[q][k], copy && in_row ? model[q][k] : guard_float))
                                << "copy plane " << q << " element " << k;
                        }
                }
            }
        }
    }
}

// ---- blend_window and blend_interior ------------------------------------------------

// Random learning weights in [0, 1].
BlendWeights random_weights(std::mt19937& random)
{
    std::uniform_real_distribution<float> weight(0.0f, 1.0f);
    BlendWeights weights{};
    for (int a = 0; a < max_block_side; ++a)
        for (int b = 0; b < max_block_side; ++b) {
            const double w = weight(random);
            weights.keep[a][b] = 1.0 - w;
            weights.take[a][b] = w;
        }
    return weights;
}

TEST(Kernels, BlendWindowWritesExactlyTheLanesSetFromTheOldValuesWithTheBlendFormedInDouble)
{
    std::mt19937 random(3);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    for (const Unit& u : units_here()) {
        for (int trial = 0; trial < 3000; ++trial) {
            // A model of up to 12 x 20 elements; a window of up to 9 x 9 inside
            // it, often against the right edge, with some rows outside the band.
            // Its old values sit in rows of their own, in any order.
            const Index model_cols = 1 + Index(random() % 20);
            const Index model_rows = 1 + Index(random() % 12);
            Window win{};
            win.rows = 1 + int(random() % std::min<Index>(max_block_side, model_rows));
            win.cols = 1 + int(random() % std::min<Index>(max_block_side, model_cols));
            win.row0 = Index(random() % std::size_t(model_rows - win.rows + 1));
            win.col0 = random() % 2 ? model_cols - win.cols
                                    : Index(random() % std::size_t(model_cols - win.cols + 1));
            win.band_begin = int(random() % std::size_t(win.rows));
            win.band_end =
                win.band_begin + 1 + int(random() % std::size_t(win.rows - win.band_begin));
            for (double& p : win.p)
                p = static_cast<double>(value(random));
            for (int a = 0; a < win.rows; ++a) {
                const bool in_band = a >= win.band_begin && a < win.band_end;
                win.lanes[a] = std::uint16_t(in_band ? random() & ((1u << win.cols) - 1u) : 0u);
                win.old_at[a] = Index(random() % std::size_t(model_rows)) * model_cols + win.col0;
            }
            const BlendWeights weights = random_weights(random);
            const std::size_t length = static_cast<std::size_t>(model_rows * model_cols);
            std::vector<float> old[plane_count], model[plane_count];
            for (int q = 0; q < plane_count; ++q) {
                for (std::size_t i = 0; i < length + guard; ++i)
                    old[q].push_back(value(random));
                model[q].assign(length + guard, guard_float);
            }
            const std::vector<float> old_before[plane_count] = {old[0], old[1], old[2]};
            const float* o[plane_count] = {old[0].data(), old[1].data(), old[2].data()};
            float* m[plane_count] = {model[0].data(), model[1].data(), model[2].data()};
            u.code.blend_window(win, model_cols, o, m, weights);

            for (Index i = 0; i < model_rows; ++i)
                for (Index j = 0; j < model_cols + (i + 1 == model_rows ? guard : 0); ++j) {
                    const Index a = i - win.row0, b = j - win.col0;
                    const bool set = a >= 0 && a < win.rows && b >= 0 && b < win.cols &&
                                     (win.lanes[a] >> b & 1u);
                    const std::size_t k = static_cast<std::size_t>(i * model_cols + j);
                    for (int q = 0; q < plane_count; ++q) {
                        const float expected =
                            set ? static_cast<float>(
                                      weights.keep[a][b] *
                                          static_cast<double>(
                                              old[q][static_cast<std::size_t>(win.old_at[a] + b)]) +
                                      weights.take[a][b] * win.p[q])
                                : guard_float;
                        ASSERT_TRUE(same_bits(model[q][k], expected))
                            << vector_unit_name(u.unit) << " trial " << trial << " element (" << i
                            << ", " << j << ") plane " << q;
                    }
                }
            for (int q = 0; q < plane_count; ++q)
                ASSERT_EQ(old[q], old_before[q]) << "old values written, plane " << q;
        }
    }
}

TEST(Kernels, BlendInteriorIsTheWholeWindowBlendOfTheLanesSet)
{
    constexpr int n = fast::default_side;
    std::mt19937 random(9);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    for (const Unit& u : units_here()) {
        for (int trial = 0; trial < 2000; ++trial) {
            // Three window rows in a model of 5 rows of 8, their old values in
            // rows of a copy of 9 rows, as a ring would have them.
            constexpr Index cols = 8, rows = 5, old_rows = 9;
            const Index j0 = Index(random() % std::size_t(cols - n));  // a fourth element to read
            Index model_at[n], old_at[n];
            for (int a = 0; a < n; ++a) {
                model_at[a] = Index(random() % rows) * cols + j0;
                old_at[a] = Index(random() % old_rows) * cols + j0;
            }
            if (model_at[0] == model_at[1] || model_at[1] == model_at[2] ||
                model_at[0] == model_at[2])
                continue;  // three distinct rows, as in a window
            const unsigned lanes = random() & 0x777u;
            const double p[plane_count] = {value(random), value(random), value(random)};
            const BlendWeights weights = random_weights(random);
            std::vector<float> old[plane_count], model[plane_count];
            for (int q = 0; q < plane_count; ++q) {
                for (Index i = 0; i < old_rows * cols; ++i)
                    old[q].push_back(value(random));
                model[q].assign(static_cast<std::size_t>(rows * cols), guard_float);
            }
            const float* o[plane_count] = {old[0].data(), old[1].data(), old[2].data()};
            float* m[plane_count] = {model[0].data(), model[1].data(), model[2].data()};
            u.code.blend_interior(o, old_at, m, model_at, lanes, p, weights);

            std::vector<float> expected[plane_count] = {
                std::vector<float>(model[0].size(), guard_float),
                std::vector<float>(model[0].size(), guard_float),
                std::vector<float>(model[0].size(), guard_float)};
            for (int a = 0; a < n; ++a)
                for (int b = 0; b < n; ++b)
                    if (lanes >> (4 * a + b) & 1u)
                        for (int q = 0; q < plane_count; ++q)
                            expected[q][static_cast<std::size_t>(model_at[a] + b)] =
                                static_cast<float>(
                                    weights.keep[a][b] *
                                        static_cast<double>(
                                            old[q][static_cast<std::size_t>(old_at[a] + b)]) +
                                    weights.take[a][b] * p[q]);
            for (int q = 0; q < plane_count; ++q)
                for (std::size_t k = 0; k < model[q].size(); ++k)
                    ASSERT_TRUE(same_bits(model[q][k], expected[q][k]))
                        << vector_unit_name(u.unit) << " trial " << trial << " element " << k
                        << " plane " << q;
        }
    }
}

// ---- plan_group ------------------------------------------------------------------------

TEST(Kernels, PlanGroupGivesThePlainPlanForEveryMatchAndNeighbourhood)
{
    // Three mask rows of 24 bytes around a group of 8, background or not at
    // random; matches anywhere in the block or none.
    constexpr Index W = 24;
    std::mt19937 random(13);
    for (const Unit& u : units_here()) {
        for (int trial = 0; trial < 4000; ++trial) {
            std::vector<std::uint8_t> mask(static_cast<std::size_t>(3 * W));
            for (auto& m : mask)
                m = random() % 3 == 0 ? 255 : 0;
            int found[fast::group_width];
            unsigned background = 0;
            for (int l = 0; l < fast::group_width; ++l) {
                found[l] = int(random() % 10) - 1;
                if (found[l] >= 0 || random() % 4 == 0)
                    background |= 1u << l;
            }
            const std::uint8_t* before = mask.data() + W + 3;
            fast::GroupPlan plain{}, plan{};
            fast::plan_group_plain(found, background, before, W, fast::group_width, plain);
            u.code.plan_group(found, background, before, W, plan);
            for (int l = 0; l < fast::group_width; ++l) {
                if (found[l] < 0)
                    continue;
                ASSERT_EQ(plan.lanes_at[l], plain.lanes_at[l])
                    << vector_unit_name(u.unit) << " trial " << trial << " pixel " << l;
                ASSERT_EQ(plan.row[l], plain.row[l]) << vector_unit_name(u.unit) << " pixel " << l;
                ASSERT_EQ(plan.col[l], plain.col[l]) << vector_unit_name(u.unit) << " pixel " << l;
            }
        }
    }
}

}  // namespace
}  // namespace zemb

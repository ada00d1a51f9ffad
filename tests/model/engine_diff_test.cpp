// The fast engine against the reference functions: identical masks and
// identical model bytes after every frame, on real frames and on frames made
// to hit ties, thresholds, model edges and shadows; on one thread and on
// several, in row bands.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "color/color.h"
#include "model/model.h"
#include "model_fixture.h"
#include "support/support.h"

namespace zemb {
namespace {

using test::make_planes;

// First differing element of two plane sets, or "" when all bytes agree.
std::string first_difference(const FloatPlanes& a, const FloatPlanes& b, std::size_t length)
{
    for (int k = 0; k < plane_count; ++k)
        if (std::memcmp(a[k], b[k], length * sizeof(float)) != 0)
            for (std::size_t i = 0; i < length; ++i)
                if (std::memcmp(&a[k][i], &b[k][i], sizeof(float)) != 0)
                    return "plane " + std::to_string(k) + " element " + std::to_string(i) + ": " +
                           std::to_string(a[k][i]) + " vs " + std::to_string(b[k][i]);
    return "";
}

// Thread counts the threaded engine is tried with; 0 stands for one per core.
constexpr int thread_counts[] = {1, 2, 3, 4, 5, 0};

int threads_for(int count)
{
    return count > 0 ? count : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// The reference (segment_frame into a copy, copied back) and the fast engine
// (its one model updated in place), run side by side. With threads = 0 the
// fast engine runs alone; otherwise its threaded form, in that many bands.
class SideBySide {
public:
    SideBySide(int H, int W, int n, VectorUnit unit, int threads = 0)
        : H_(H), W_(W), n_(n), N_(std::size_t(H) * std::size_t(W)),
          length_(std::size_t(n) * std::size_t(n) * N_), ref_cur_(make_planes(length_)),
          ref_upd_(make_planes(length_)), fast_(make_planes(length_)), ref_mask_(N_, 0),
          fast_mask_(N_, 0), engine_({H, W, n}, unit)
    {
        if (threads > 0)
            threaded_ = std::make_unique<ThreadedEngine>(ModelShape{H, W, n}, threads, unit);
    }

    void init(const FloatPlanes& pixels)
    {
        init_model(ref_cur_, pixels, {H_, W_, n_});
        copy_planes(ref_cur_, length_, ref_upd_);
        init_model(fast_, pixels, {H_, W_, n_});
    }

    // Only the pixels whose byte is not 0 are segmented in later frames; the
    // others hold a mask value that is not background, as a run gives them.
    void limit_to(const std::vector<std::uint8_t>& inside)
    {
        inside_ = inside;
        region_ = make_region(inside.data(), H_, W_);
    }

    // One frame through both; the masks and the models must agree.
    ::testing::AssertionResult step(const FloatPlanes& pixels, const WeightMatrix& weights, float e,
                                    const ShadowSettings& shadow)
    {
        const Region* region = region_ ? &*region_ : nullptr;
        segment_frame(pixels, {H_, W_, n_}, ref_cur_, ref_mask_.data(),
                      {weights, e, shadow, region}, ref_upd_);
        copy_planes(ref_upd_, length_, ref_cur_);
        if (threaded_)
            threaded_->segment_frame(pixels, fast_, fast_mask_.data(), {weights, e, shadow, region});
        else
            engine_.segment_frame(pixels, fast_, fast_mask_.data(), {weights, e, shadow, region});
        for (std::size_t i = 0; region != nullptr && i < N_; ++i)
            if (inside_[i] == 0 && (ref_mask_[i] != outside || fast_mask_[i] != outside))
                return ::testing::AssertionFailure() << "outside pixel " << i << " written";
        if (ref_mask_ != fast_mask_) {
            for (std::size_t i = 0; i < N_; ++i)
                if (ref_mask_[i] != fast_mask_[i])
                    return ::testing::AssertionFailure()
                           << "mask differs at pixel " << i << ": " << int(ref_mask_[i]) << " vs "
                           << int(fast_mask_[i]);
        }
        const std::string diff = first_difference(ref_cur_, fast_, length_);
        if (!diff.empty())
            return ::testing::AssertionFailure() << "model differs at " << diff;
        return ::testing::AssertionSuccess();
    }

    // The same mask in both before the next frame (as a filter would leave it).
    template <typename F>
    void set_masks(F value_of_pixel)
    {
        for (std::size_t i = 0; i < N_; ++i)
            ref_mask_[i] = fast_mask_[i] = region_ && inside_[i] == 0 ? outside : value_of_pixel(i);
    }

private:
    int H_, W_, n_;
    std::size_t N_, length_;
    FloatPlanes ref_cur_, ref_upd_, fast_;
    std::vector<std::uint8_t> ref_mask_, fast_mask_;
    FastEngine engine_;
    std::unique_ptr<ThreadedEngine> threaded_;
    static constexpr std::uint8_t outside = 255;
    std::vector<std::uint8_t> inside_;
    std::optional<Region> region_;
};

float scaled_rate(float c, int n) { return static_cast<float>(c * (1.0 / (n + 1))); }

WeightMatrix weights_for(int n, float rate)
{
    return scaled_weights(weight_kernel(n, spread_for_block_side(n)), n, rate);
}

// ---- Real frames ----------------------------------------------------------------

class SampleFrames {
public:
    static constexpr int count = 40;

    SampleFrames()
    {
        std::string unpack = std::string("cd '") + dir_.path() + "' && '" + ZEMB_CMAKE +
                             "' -E tar xf '" + ZEMB_SAMPLES_DIR + "/walk-160x120.tar.xz'";
        if (std::system(unpack.c_str()) != 0)
            return;
        const PpmRead size = read_ppm_size((dir_ / "walk.1.ppm").c_str());
        if (!size.ok())
            return;
        H = size.rows;
        W = size.cols;
        BytePlanes bytes = alloc_byte_planes(plane_count, std::size_t(H) * std::size_t(W));
        for (int k = 1; k <= count; ++k) {
            const std::string name = dir_ / ("walk." + std::to_string(k) + ".ppm");
            if (!read_ppm_frame(name.c_str(), H, W, bytes).ok())
                return;
            frames.push_back(alloc_float_planes(plane_count, std::size_t(H) * std::size_t(W)));
            rgb_to_cone_planes(bytes, static_cast<std::ptrdiff_t>(H) * W, frames.back());
        }
    }

    int H = 0, W = 0;
    std::vector<FloatPlanes> frames;

private:
    test::TempDir dir_;
};

const SampleFrames& sample()
{
    static const SampleFrames frames;
    return frames;
}

// A short run: model from frame 1, calibration with the falling rate over
// frames 2..K, then the online rate; masks changed between online frames as
// the filter would change them.
void run_sample(int n, bool shadows, int K, int frames, VectorUnit unit, int threads = 0)
{
    const SampleFrames& s = sample();
    ASSERT_EQ(s.frames.size(), std::size_t(SampleFrames::count)) << "sample frames missing";
    ShadowSettings shadow;
    shadow.enabled = shadows;
    SideBySide run(s.H, s.W, n, unit, threads);
    run.init(s.frames[0]);
    // The default rates and thresholds of a run.
    const float c1 = scaled_rate(1.0f, n);
    const float c2 = scaled_rate(0.05f, n);
    const float e1 = 0.1f;
    const float e2 = 0.03f;
    const float step = static_cast<float>(static_cast<double>(c1) - c2);
    for (int k = 1; k < frames; ++k) {
        const bool calibration = k < K;
        const float rate =
            calibration ? static_cast<float>(c1 - (double(k) * step) / double(K - 1)) : c2;
        if (!calibration && k % 3 == 0)  // an opened-up mask: owners after the pixel see 0
            run.set_masks([](std::size_t) { return std::uint8_t(0); });
        ASSERT_TRUE(run.step(s.frames[static_cast<std::size_t>(k)], weights_for(n, rate),
                             calibration ? e1 : e2, shadow))
            << vector_unit_name(unit) << " n=" << n << " shadows=" << shadows
            << " threads=" << threads << " frame " << k + 1;
    }
}

TEST(FastEngine, MatchesTheReferenceOnSampleFramesWithEveryVectorUnit)
{
    for (VectorUnit unit : available_vector_units()) {
        run_sample(3, false, 20, SampleFrames::count, unit);
        run_sample(3, true, 8, 16, unit);
        run_sample(5, true, 6, 10, unit);
    }
    run_sample(9, false, 5, 9, best_vector_unit());
}

// ---- Made-up frames --------------------------------------------------------------
// Colours from a small palette, so that ties are everywhere: dyadic points
// whose squared distances are exact floats (some exactly the threshold),
// converted colours whose distances round either way when stored, black,
// greys, and darker copies of colours (shadows).

std::vector<test::Point> palette()
{
    std::vector<test::Point> p = {
        {0.0f, 0.0f, 0.0f},
        {0.0f, 0.0f, 0.5f},
        {0.0f, 0.0f, 1.0f},
        {0.25f, 0.0f, 0.5f},
        {0.5f, 0.0f, 0.5f},
        {0.25f, 0.25f, 0.75f},
        {0.0f, 0.25f, 0.5f},
        {-0.25f, 0.0f, 0.5f},
        {0.5f, 0.25f, 0.75f},
        {0.5f, 0.5f, 1.0f},
        {0.0f, 0.0f, 0.25f},
        {0.25f, 0.0f, 0.25f},
        // Same value as a colour above, hue and saturation a little off: a
        // value ratio of exactly 1 for the shadow test.
        {0.24f, 0.01f, 0.5f},
        {0.48f, 0.26f, 0.75f},
        // Darker copies (value ratio 0.8 and 0.7).
        {0.4f, 0.2f, 0.6f},
        {0.35f, 0.175f, 0.525f},
    };
    const std::uint8_t colours[][3] = {{200, 100, 50}, {180, 90, 45},   {140, 70, 35},
                                       {10, 20, 30},   {9, 18, 27},     {255, 0, 1},
                                       {0, 255, 255},  {128, 128, 128}, {90, 90, 90},
                                       {30, 200, 90},  {21, 140, 63},   {250, 250, 240}};
    for (const auto& c : colours) {
        test::Point q{};
        rgb_to_cone(c[0], c[1], c[2], q.x, q.y, q.z);
        p.push_back(q);
    }
    return p;
}

struct SyntheticCase {
    int H, W, n;
    float e;
};

// With `region`, runs of inside pixels of random lengths, some rows empty.
void run_synthetic(const SyntheticCase& tc, bool shadows, VectorUnit unit, unsigned seed,
                   int threads = 0, bool region = false)
{
    ShadowSettings shadow;
    shadow.enabled = shadows;
    const std::vector<test::Point> colours = palette();
    std::mt19937 random(seed);
    // Mostly a fixed background, so that matches happen; a few pixels change.
    std::vector<std::size_t> background(std::size_t(tc.H) * std::size_t(tc.W));
    for (auto& b : background)
        b = random() % colours.size();

    auto frame = [&](int changed_per_mille) {
        test::TestFrame f(tc.H, tc.W);
        for (int r = 0; r < tc.H; ++r)
            for (int c = 0; c < tc.W; ++c) {
                std::size_t pick = background[std::size_t(r) * tc.W + c];
                if (int(random() % 1000) < changed_per_mille)
                    pick = random() % colours.size();
                f.set(r, c, colours[pick]);
            }
        return f;
    };

    SideBySide run(tc.H, tc.W, tc.n, unit, threads);
    run.init(frame(0).planes);
    if (region) {
        std::vector<std::uint8_t> inside(background.size());
        bool in = random() % 2 != 0;
        for (std::size_t i = 0; i < inside.size(); ++i) {
            in = random() % 10 < 3 ? !in : in;
            inside[i] = in;
        }
        run.limit_to(inside);
    }
    const float rates[] = {0.25f, 0.125f, 1.0f, 0.0125f, 0.5f};
    for (int k = 0; k < 12; ++k) {
        // Masks before the frame: all background, all foreground, a
        // checkerboard, or random, so that owners after the pixel answer
        // differently from owners before it.
        switch (k % 4) {
        case 0: run.set_masks([](std::size_t) { return std::uint8_t(0); }); break;
        case 1: run.set_masks([](std::size_t) { return std::uint8_t(255); }); break;
        case 2:
            run.set_masks(
                [&](std::size_t i) { return std::uint8_t((i + i / tc.W) % 2 ? 255 : 0); });
            break;
        default: break;  // as the frame before left it
        }
        const WeightMatrix w = weights_for(tc.n, rates[k % 5]);
        ASSERT_TRUE(run.step(frame(k % 3 == 0 ? 400 : 60).planes, w, tc.e, shadow))
            << vector_unit_name(unit) << " " << tc.H << "x" << tc.W << " n=" << tc.n
            << " e=" << tc.e << " shadows=" << shadows << " threads=" << threads
            << " region=" << region << " frame " << k;
    }
}

TEST(ThreadedEngine, MatchesTheReferenceOnSampleFramesWithAnyThreadCount)
{
    for (int count : thread_counts) {
        run_sample(3, false, 12, 30, best_vector_unit(), threads_for(count));
        run_sample(5, true, 6, 10, best_vector_unit(), threads_for(count));
    }
    for (VectorUnit unit : available_vector_units())
        run_sample(3, true, 6, 12, unit, 2);
}

// Bands of one row and of several, rows shared unevenly, frames of one row or
// column and with fewer rows than threads, every block side; windows clipped
// at the model's edges and crossing band edges; n = 3 rows with whole groups
// of 8 interior pixels and partial ones. e = 0.0625: exactly the squared
// distance of dyadic neighbours; 0 and 9: only identical elements, and every
// element.
const SyntheticCase synthetic_cases[] = {
    {6, 7, 1, 0.0625f}, {5, 9, 3, 0.0625f}, {4, 11, 3, 0.03f},   {3, 5, 5, 0.125f},
    {2, 3, 9, 0.0625f}, {7, 6, 7, 0.1f},    {1, 13, 3, 0.0625f}, {13, 1, 3, 0.0625f},
    {1, 1, 5, 0.0625f}, {1, 17, 9, 0.1f},   {9, 1, 1, 0.0f},     {3, 19, 3, 9.0f},
    {5, 5, 3, 0.0f},    {2, 2, 1, 0.0625f}, {9, 5, 3, 0.0625f},  {11, 4, 5, 0.125f},
    {7, 3, 9, 0.1f},    {10, 6, 3, 0.03f},  {2, 9, 3, 0.0625f},  {3, 4, 9, 0.0625f},
    {4, 5, 5, 0.0f},    {8, 4, 3, 9.0f},    {6, 26, 3, 0.0625f}, {7, 20, 3, 0.03f},
    {3, 3, 3, 0.0625f}, {12, 10, 3, 9.0f},  {4, 5, 3, 0.1f},     {6, 9, 3, 0.1f},
};

TEST(FastEngine, MatchesTheReferenceOnTiesThresholdsEdgesAndShadowsWithEveryVectorUnit)
{
    unsigned seed = 1;
    for (VectorUnit unit : available_vector_units())
        for (bool shadows : {false, true})
            for (bool region : {false, true})
                for (const SyntheticCase& tc : synthetic_cases)
                    run_synthetic(tc, shadows, unit, seed++, 0, region);
}

TEST(ThreadedEngine, MatchesTheReferenceOnTiesEdgesShadowsAndShortFramesInEveryBandShape)
{
    unsigned seed = 1000;
    for (VectorUnit unit : available_vector_units())
        for (int count : thread_counts)
            for (bool shadows : {false, true})
                for (bool region : {false, true})
                    for (const SyntheticCase& tc : synthetic_cases)
                        run_synthetic(tc, shadows, unit, seed++, threads_for(count), region);
}

TEST(ThreadedEngine, UsesAFewBandsPerThreadButNeverMoreThreadsOrBandsThanRows)
{
    EXPECT_EQ(threads_for_rows(120, 4), 4);
    EXPECT_EQ(threads_for_rows(3, 5), 3);
    EXPECT_EQ(threads_for_rows(1, 2), 1);
    EXPECT_EQ(threads_for_rows(10, 0), 1);
    EXPECT_EQ(ThreadedEngine({2, 4, 3}, 5).threads(), 2);
    EXPECT_EQ(work_band_count(120, 1), 1);
    EXPECT_EQ(work_band_count(120, 2), 4);
    EXPECT_EQ(work_band_count(3, 2), 3);
}

}  // namespace
}  // namespace zemb

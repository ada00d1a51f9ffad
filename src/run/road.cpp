#include "run/road.h"

#include <algorithm>
#include <system_error>
#include <thread>

#include "color/color.h"
#include "files/stop.h"
#include "postproc/postproc.h"

namespace zemb {

// The two implementations of a frame's work: both leave the same masks and
// models. The core owns the model.
class Road::Core {
public:
    virtual ~Core() = default;
    virtual void convert(const BytePlanes& frame, FloatPlanes& pixels) = 0;
    // The model from the frame `pixels`: each pixel fills its own block.
    virtual void init(const FloatPlanes& pixels) = 0;
    // Classifies `pixels` into `mask` (the previous frame's mask on entry)
    // and works out the model's update.
    virtual void segment(const FloatPlanes& pixels, std::uint8_t* mask,
                         const WeightMatrix& weights, float e, const Region* region) = 0;
    // Makes the update the current model.
    virtual void commit() = 0;
    // After commit(), on this thread: the model from `pixels` (the blocks
    // of the region's pixels only, when there is one), or pixel (r, c)
    // taught its colour in them (recovery.h).
    virtual void reinit(const FloatPlanes& pixels, const Region* region) = 0;
    virtual void teach(const FloatPlanes& pixels, int r, int c) = 0;
    virtual const FloatPlanes& model() const = 0;
    // The model to write a saved one into, and the call once it is written.
    virtual FloatPlanes& model_to_fill() = 0;
    virtual void model_filled() {}
    virtual int threads() const = 0;
};

namespace {

std::size_t model_elements(int H, int W, int n)
{
    return std::size_t(n) * std::size_t(n) * std::size_t(H) * std::size_t(W);
}

// The straightforward functions: segment_frame blends into a copy of the
// model, which is copied back after the frame.
class ReferenceCore final : public Road::Core {
public:
    ReferenceCore(int H, int W, int n, const ShadowSettings& shadow)
        : H_(H), W_(W), n_(n), pixels_(std::size_t(H) * std::size_t(W)),
          length_(model_elements(H, W, n)), shadow_(shadow),
          current_(alloc_float_planes(plane_count, length_)),
          update_(alloc_float_planes(plane_count, length_))
    {
    }
    static std::uint64_t bytes(int H, int W, int n)
    {
        return saturating_product(2, plane_set_bytes<float>(model_elements(H, W, n)));
    }
    void convert(const BytePlanes& frame, FloatPlanes& pixels) override
    {
        rgb_to_cone_planes(frame, static_cast<std::ptrdiff_t>(pixels_), pixels);
    }
    void init(const FloatPlanes& pixels) override
    {
        init_model(current_, pixels, {H_, W_, n_});
        copy_planes(current_, length_, update_);
    }
    void segment(const FloatPlanes& pixels, std::uint8_t* mask, const WeightMatrix& weights,
                 float e, const Region* region) override
    {
        segment_frame(pixels, {H_, W_, n_}, current_, mask, {weights, e, shadow_, region},
                      update_);
    }
    void commit() override { copy_planes(update_, length_, current_); }
    void reinit(const FloatPlanes& pixels, const Region* region) override
    {
        if (region == nullptr) {
            init(pixels);
            return;
        }
        init_model_region(current_, pixels, W_, n_, *region);
        copy_planes(current_, length_, update_);
    }
    void teach(const FloatPlanes& pixels, int r, int c) override
    {
        teach_pixel(current_, pixels, {H_, W_, n_}, r, c);
        teach_pixel(update_, pixels, {H_, W_, n_}, r, c);
    }
    const FloatPlanes& model() const override { return current_; }
    FloatPlanes& model_to_fill() override { return current_; }
    void model_filled() override { copy_planes(current_, length_, update_); }
    int threads() const override { return 1; }

private:
    const int H_, W_, n_;
    const std::size_t pixels_, length_;
    const ShadowSettings shadow_;
    FloatPlanes current_, update_;
};

// The fast engine on its threads, and the colour table. The engine updates
// its one model in place, so a frame's update is the current model as soon
// as segment() returns.
class FastCore final : public Road::Core {
public:
    FastCore(int H, int W, int n, const ShadowSettings& shadow, int threads, VectorUnit unit,
             bool spare_core)
        // Unfilled: init_model writes every element before anything reads one,
        // and a 1080p model is 224 MB to fill.
        : H_(H), W_(W), n_(n), pixels_(std::size_t(H) * std::size_t(W)), shadow_(shadow),
          model_(alloc_unfilled_float_planes(plane_count, model_elements(H, W, n))),
          engine_({H, W, n}, threads, unit), spare_core_(spare_core)
    {
    }
    static std::uint64_t bytes(int H, int W, int n, int threads)
    {
        return saturating_sum({plane_set_bytes<float>(model_elements(H, W, n)),
                               ThreadedEngine::scratch_bytes({H, W, n}, threads),
                               ConeConverter::table_bytes});
    }
    // Only the converting thread uses the colour table.
    void convert(const BytePlanes& frame, FloatPlanes& pixels) override
    {
        converter_.convert(frame, static_cast<std::ptrdiff_t>(pixels_), pixels);
    }
    // The model's first writes fault in its memory, which on a virtual
    // machine whose host backs fresh memory on first touch took 0.3 s of a
    // 1080p run's start here. With a core free beside the engine, a helper
    // writes the lower half of the model meanwhile; the two halves share no
    // element, so the model is the same.
    void init(const FloatPlanes& pixels) override
    {
        const int half = H_ / 2;
        std::thread lower;
        if (spare_core_ && half > 0) {
            try {
                const StopSignalsBlocked quiet;  // stops are the calling thread's to handle
                lower = std::thread([&] { init_model_rows(model_, pixels, W_, n_, half, H_); });
            } catch (const std::system_error&) {
                // No thread: this one writes the whole model.
            }
        }
        init_model_rows(model_, pixels, W_, n_, 0, lower.joinable() ? half : H_);
        if (lower.joinable())
            lower.join();
    }
    void segment(const FloatPlanes& pixels, std::uint8_t* mask, const WeightMatrix& weights,
                 float e, const Region* region) override
    {
        engine_.segment_frame(pixels, model_, mask, {weights, e, shadow_, region});
    }
    void commit() override {}
    void reinit(const FloatPlanes& pixels, const Region* region) override
    {
        if (region == nullptr)
            init_model_rows(model_, pixels, W_, n_, 0, H_);
        else
            init_model_region(model_, pixels, W_, n_, *region);
    }
    void teach(const FloatPlanes& pixels, int r, int c) override
    {
        teach_pixel(model_, pixels, {H_, W_, n_}, r, c);
    }
    const FloatPlanes& model() const override { return model_; }
    FloatPlanes& model_to_fill() override { return model_; }
    int threads() const override { return engine_.threads(); }

private:
    const int H_, W_, n_;
    const std::size_t pixels_;
    const ShadowSettings shadow_;
    FloatPlanes model_;
    ThreadedEngine engine_;
    ConeConverter converter_;
    const bool spare_core_;
};

}  // namespace

Road::Road(int height, int width, const RoadSettings& settings, Engine engine, int threads,
           VectorUnit unit, bool spare_core)
    : H_(height), W_(width), pixels_(std::size_t(height) * std::size_t(width)), s_(settings),
      kernel_(weight_kernel(s_.n, spread_for_block_side(s_.n))),
      c1_scaled_(scaled_learning_rate(s_.c1, s_.n)),
      c2_scaled_(scaled_learning_rate(s_.c2, s_.n)),
      online_weights_(scaled_weights(kernel_, s_.n, c2_scaled_)),
      unit_(engine == Engine::reference ? VectorUnit::scalar : unit),
      ghosts_(pixels_, settings.ghost_frames)
{
    if (engine == Engine::reference)
        core_ = std::make_unique<ReferenceCore>(H_, W_, s_.n, s_.shadow);
    else
        core_ = std::make_unique<FastCore>(H_, W_, s_.n, s_.shadow, threads, unit, spare_core);
    mask_ = alloc_zeroed_buffer<std::uint8_t>(pixels_);
}

Road::~Road() = default;

std::uint64_t Road::bytes(int height, int width, int n, Engine engine, int threads,
                          int ghost_frames)
{
    const std::uint64_t core = engine == Engine::reference
                                   ? ReferenceCore::bytes(height, width, n)
                                   : FastCore::bytes(height, width, n, threads);
    const std::uint64_t pixels = std::uint64_t(height) * std::uint64_t(width);
    return saturating_sum({core, buffer_bytes(pixels), GhostCounter::bytes(pixels, ghost_frames)});
}

void Road::convert(const BytePlanes& frame, FloatPlanes& pixels) { core_->convert(frame, pixels); }

Road::Phase Road::phase() const
{
    if (frames_ == 0)
        return Phase::first_frame;
    if (frames_ < s_.K || frames_ - relearn_start_ < relearn_frames(s_.K))
        return Phase::calibration;
    return Phase::online;
}

void Road::segment(const FloatPlanes& pixels, const WeightMatrix& weights, float e,
                   SegmentClock* clock)
{
    const std::int64_t start = clock != nullptr ? clock->read() : 0;
    const Region* region = region_ ? &*region_ : nullptr;
    // Outside pixels pass as foreground while the frame is segmented: every
    // window's owner test then leaves their maps alone, in each engine.
    if (region != nullptr)
        fill_outside(outside_in_segmentation);
    core_->segment(pixels, mask_.get(), weights, e, region);
    if (region != nullptr)
        fill_outside(0);
    if (clock != nullptr)
        clock->ticks += clock->read() - start;
    core_->commit();
}

void Road::step(const FloatPlanes& pixels, SegmentClock* clock, bool learn)
{
    switch (phase()) {
    case Phase::first_frame: core_->init(pixels); break;
    // Without learning, every weight is 0: each blend gives back the
    // element's own value (a -0 may come back +0), in every engine alike.
    case Phase::calibration:
        segment(pixels,
                learn ? scaled_weights(kernel_, s_.n,
                                       calibration_rate(c1_scaled_, c2_scaled_, calibration_step(),
                                                        calibration_frames()))
                      : WeightMatrix{},
                s_.e1, clock);
        break;
    case Phase::online:
        segment(pixels, learn ? online_weights_ : WeightMatrix{}, s_.e2, clock);
        // The next frame's segmentation reads this filtered mask.
        filter_mask(mask_.get(), W_, pixels_, mask_.get());
        // The filter sees the outside as background; its result there is
        // background again.
        if (region_)
            fill_outside(0);
        recover(pixels);
        break;
    }
    ++frames_;
}

void Road::recover(const FloatPlanes& pixels)
{
    const std::size_t judged = region_ ? region_->inside : pixels_;
    if (scene_changed(mask_.get(), pixels_, s_.relearn_fraction, judged)) {
        // Like a first frame: the model is this frame, the mask empty.
        core_->reinit(pixels, region_ ? &*region_ : nullptr);
        std::fill_n(mask_.get(), pixels_, std::uint8_t(0));
        ghosts_.reset();
        relearn_start_ = frames_;
        return;
    }
    ghosts_.count(mask_.get(), [&](std::size_t i) {
        core_->teach(pixels, static_cast<int>(i / std::size_t(W_)),
                            static_cast<int>(i % std::size_t(W_)));
    });
}

void Road::limit_to(const std::uint8_t* inside)
{
    region_ = make_region(inside, H_, W_);
}

std::uint64_t Road::region_bytes(int height, int width)
{
    // At most a span for every other pixel of a row, and a start per row.
    const std::uint64_t spans = std::uint64_t(height) * ((std::uint64_t(width) + 1) / 2);
    return saturating_sum({saturating_product(spans, sizeof(Span)),
                           saturating_product(std::uint64_t(height) + 1, sizeof(std::size_t))});
}

void Road::fill_outside(std::uint8_t value)
{
    std::uint8_t* mask = mask_.get();
    for (int r = 0; r < H_; ++r) {
        std::uint8_t* row = mask + std::size_t(r) * std::size_t(W_);
        int from = 0;
        for (const Span* s = region_->row_begin(r); s != region_->row_end(r); ++s) {
            std::fill(row + from, row + s->begin, value);
            from = s->end;
        }
        std::fill(row + from, row + W_, value);
    }
}

const FloatPlanes& Road::model() const { return core_->model(); }
FloatPlanes& Road::model_to_fill() { return core_->model_to_fill(); }

void Road::resume(long long frames)
{
    core_->model_filled();
    frames_ = frames;
}
std::size_t Road::model_length() const { return model_elements(H_, W_, s_.n); }
int Road::threads() const { return core_->threads(); }

std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b)
{
    return a != 0 && b > UINT64_MAX / a ? UINT64_MAX : a * b;
}

std::uint64_t saturating_sum(std::initializer_list<std::uint64_t> parts)
{
    std::uint64_t total = 0;
    for (std::uint64_t part : parts)
        total = part > UINT64_MAX - total ? UINT64_MAX : total + part;
    return total;
}

void split_channels(const std::uint8_t* pixels, int height, int width, std::ptrdiff_t row_stride,
                    ChannelOrder order, BytePlanes& frame)
{
    const int red = order == ChannelOrder::rgb ? 0 : 2, blue = 2 - red;
    std::uint8_t* r = frame[0];
    std::uint8_t* g = frame[1];
    std::uint8_t* b = frame[2];
    for (int row = 0; row < height; ++row) {
        const std::uint8_t* p = pixels + row * row_stride;
        for (int col = 0; col < width; ++col, p += 3, ++r, ++g, ++b) {
            *r = p[red];
            *g = p[1];
            *b = p[blue];
        }
    }
}

void write_model_image(const FloatPlanes& model, std::size_t length, ChannelOrder order,
                       std::uint8_t* out)
{
    const int red = order == ChannelOrder::rgb ? 0 : 2, blue = 2 - red;
    for (std::size_t i = 0; i < length; ++i, out += 3)
        cone_to_rgb(model[0][i], model[1][i], model[2][i], out[red], out[1], out[blue]);
}

}  // namespace zemb

// The two implementations of a run's per-frame work behind RunEngine.
#include <utility>

#include "app/app.h"
#include "color/color.h"

namespace zemb {

namespace {

// Sizes every engine of a run shares.
struct RunShape {
    explicit RunShape(const RunConfig& config)
        : H(config.height), W(config.width), n(config.params.n), pixels(config.pixels),
          model_length(std::size_t(n) * std::size_t(n) * pixels)
    {
    }
    int H, W, n;
    std::size_t pixels;
    std::size_t model_length;
};

// The straightforward functions: segment_frame blends into a copy of the
// model, which is copied back after the frame.
class ReferenceEngine final : public RunEngine {
public:
    explicit ReferenceEngine(const RunConfig& config)
        : shape_(config), shadow_(config.params.shadow),
          pixels_(alloc_float_planes(plane_count, shape_.pixels)),
          current_(alloc_float_planes(plane_count, shape_.model_length)),
          update_(alloc_float_planes(plane_count, shape_.model_length))
    {
    }
    // What the constructor allocates, member by member.
    static std::uint64_t bytes(const RunConfig& config)
    {
        const RunShape shape(config);
        return saturating_sum({plane_set_bytes<float>(shape.pixels),
                               plane_set_bytes<float>(shape.model_length),
                               plane_set_bytes<float>(shape.model_length)});
    }
    void convert(const BytePlanes& frame) override
    {
        rgb_to_cone_planes(frame, static_cast<std::ptrdiff_t>(shape_.pixels), pixels_);
    }
    void init() override
    {
        init_model(current_, pixels_, shape_.H, shape_.W, shape_.n);
        copy_planes(current_, shape_.model_length, update_);
    }
    void segment(std::uint8_t* mask, const WeightMatrix& weights, float e) override
    {
        segment_frame(pixels_, shape_.H, shape_.W, current_, mask, weights, shape_.n, e, shadow_,
                      update_);
    }
    void commit() override { copy_planes(update_, shape_.model_length, current_); }
    const FloatPlanes& model() const override { return current_; }

private:
    RunShape shape_;
    ShadowSettings shadow_;
    FloatPlanes pixels_, current_, update_;
};

// The fast engine (on as many threads as the run asks for) and the run's
// colour table. The engine writes every element of the update model, so the
// two models trade places after a frame instead of being copied.
class FastRunEngine final : public RunEngine {
public:
    explicit FastRunEngine(const RunConfig& config)
        : shape_(config), shadow_(config.params.shadow),
          pixels_(alloc_float_planes(plane_count, shape_.pixels)),
          current_(alloc_float_planes(plane_count, shape_.model_length)),
          update_(alloc_float_planes(plane_count, shape_.model_length)),
          engine_(shape_.H, shape_.W, shape_.n, config.threads)
    {
    }
    // What the constructor allocates, member by member.
    static std::uint64_t bytes(const RunConfig& config)
    {
        const RunShape shape(config);
        return saturating_sum({plane_set_bytes<float>(shape.pixels),
                               plane_set_bytes<float>(shape.model_length),
                               plane_set_bytes<float>(shape.model_length),
                               ThreadedEngine::scratch_bytes(shape.H, shape.W, shape.n, config.threads),
                               ConeConverter::table_bytes});
    }
    void convert(const BytePlanes& frame) override
    {
        converter_.convert(frame, static_cast<std::ptrdiff_t>(shape_.pixels), pixels_);
    }
    void init() override { init_model(current_, pixels_, shape_.H, shape_.W, shape_.n); }
    void segment(std::uint8_t* mask, const WeightMatrix& weights, float e) override
    {
        engine_.segment_frame(pixels_, current_, mask, weights, e, shadow_, update_);
    }
    void commit() override { std::swap(current_, update_); }
    const FloatPlanes& model() const override { return current_; }

private:
    RunShape shape_;
    ShadowSettings shadow_;
    FloatPlanes pixels_, current_, update_;
    ThreadedEngine engine_;
    ConeConverter converter_;
};

}  // namespace

std::unique_ptr<RunEngine> make_run_engine(Engine kind, const RunConfig& config)
{
    if (kind == Engine::reference)
        return std::make_unique<ReferenceEngine>(config);
    return std::make_unique<FastRunEngine>(config);
}

std::uint64_t run_engine_bytes(Engine kind, const RunConfig& config)
{
    if (kind == Engine::reference)
        return ReferenceEngine::bytes(config);
    return FastRunEngine::bytes(config);
}

}  // namespace zemb

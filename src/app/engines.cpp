// The two implementations of a run's per-frame work behind RunEngine.
#include <utility>

#include "app/app.h"
#include "color/color.h"

namespace zemb {

namespace {

// What both engines hold: the run's sizes and shadow settings and the two
// models.
struct EngineBuffers {
    explicit EngineBuffers(const RunConfig& config)
        : H(config.height), W(config.width), n(config.params.n), pixel_count(config.pixels),
          model_length(std::size_t(n) * std::size_t(n) * pixel_count), shadow(config.params.shadow),
          current(alloc_float_planes(plane_count, model_length)),
          update(alloc_float_planes(plane_count, model_length))
    {
    }
    // What the constructor allocates, buffer by buffer.
    static std::uint64_t bytes(const RunConfig& config)
    {
        const std::size_t model_length =
            std::size_t(config.params.n) * std::size_t(config.params.n) * config.pixels;
        return saturating_sum(
            {plane_set_bytes<float>(model_length), plane_set_bytes<float>(model_length)});
    }
    int H, W, n;
    std::size_t pixel_count;
    std::size_t model_length;
    ShadowSettings shadow;
    FloatPlanes current, update;
};

// The straightforward functions: segment_frame blends into a copy of the
// model, which is copied back after the frame.
class ReferenceEngine final : public RunEngine {
public:
    explicit ReferenceEngine(const RunConfig& config) : b_(config) {}
    // What the constructor allocates.
    static std::uint64_t bytes(const RunConfig& config) { return EngineBuffers::bytes(config); }
    void convert(const BytePlanes& frame, FloatPlanes& pixels) override
    {
        rgb_to_cone_planes(frame, static_cast<std::ptrdiff_t>(b_.pixel_count), pixels);
    }
    void init(const FloatPlanes& pixels) override
    {
        init_model(b_.current, pixels, b_.H, b_.W, b_.n);
        copy_planes(b_.current, b_.model_length, b_.update);
    }
    void segment(const FloatPlanes& pixels, std::uint8_t* mask, const WeightMatrix& weights,
                 float e) override
    {
        segment_frame(pixels, b_.H, b_.W, b_.current, mask, weights, b_.n, e, b_.shadow, b_.update);
    }
    void commit() override { copy_planes(b_.update, b_.model_length, b_.current); }
    const FloatPlanes& model() const override { return b_.current; }

private:
    EngineBuffers b_;
};

// The fast engine (on as many threads as the run asks for) and the run's
// colour table. The engine writes every element of the update model, so the
// two models trade places after a frame instead of being copied.
class FastRunEngine final : public RunEngine {
public:
    explicit FastRunEngine(const RunConfig& config)
        : b_(config), engine_(b_.H, b_.W, b_.n, config.threads)
    {
    }
    // What the constructor allocates, member by member.
    static std::uint64_t bytes(const RunConfig& config)
    {
        return saturating_sum({EngineBuffers::bytes(config),
                               ThreadedEngine::scratch_bytes(config.height, config.width,
                                                             config.params.n, config.threads),
                               ConeConverter::table_bytes});
    }
    // Only the reading thread uses the colour table.
    void convert(const BytePlanes& frame, FloatPlanes& pixels) override
    {
        converter_.convert(frame, static_cast<std::ptrdiff_t>(b_.pixel_count), pixels);
    }
    void init(const FloatPlanes& pixels) override
    {
        init_model(b_.current, pixels, b_.H, b_.W, b_.n);
    }
    void segment(const FloatPlanes& pixels, std::uint8_t* mask, const WeightMatrix& weights,
                 float e) override
    {
        engine_.segment_frame(pixels, b_.current, mask, weights, e, b_.shadow, b_.update);
    }
    void commit() override { std::swap(b_.current, b_.update); }
    const FloatPlanes& model() const override { return b_.current; }

private:
    EngineBuffers b_;
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

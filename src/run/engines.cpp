// The two implementations of a run's per-frame work behind RunEngine.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "run/engine.h"

#include "color/color.h"
#include "files/stop.h"
#include "run/driver.h"
#include "run/resources.h"

namespace zemb {

namespace {

// Sizes and shadow settings every engine of a run shares.
struct RunShape {
    explicit RunShape(const RunConfig& config)
        : H(config.height), W(config.width), n(config.params.n), pixel_count(config.pixels),
          model_length(std::size_t(n) * std::size_t(n) * pixel_count), shadow(config.params.shadow)
    {
    }
    int H, W, n;
    std::size_t pixel_count;
    std::size_t model_length;
    ShadowSettings shadow;
};

// The straightforward functions: segment_frame blends into a copy of the
// model, which is copied back after the frame.
class ReferenceEngine final : public RunEngine {
public:
    explicit ReferenceEngine(const RunConfig& config)
        : s_(config), current_(alloc_float_planes(plane_count, s_.model_length)),
          update_(alloc_float_planes(plane_count, s_.model_length))
    {
    }
    // What the constructor allocates: two models.
    static std::uint64_t bytes(const RunConfig& config)
    {
        const RunShape s(config);
        return saturating_sum(
            {plane_set_bytes<float>(s.model_length), plane_set_bytes<float>(s.model_length)});
    }
    void convert(const BytePlanes& frame, FloatPlanes& pixels) override
    {
        rgb_to_cone_planes(frame, static_cast<std::ptrdiff_t>(s_.pixel_count), pixels);
    }
    void init(const FloatPlanes& pixels) override
    {
        init_model(current_, pixels, {s_.H, s_.W, s_.n});
        copy_planes(current_, s_.model_length, update_);
    }
    void segment(const FloatPlanes& pixels, std::uint8_t* mask, const WeightMatrix& weights,
                 float e) override
    {
        segment_frame(pixels, {s_.H, s_.W, s_.n}, current_, mask, {weights, e, s_.shadow},
                      update_);
    }
    void commit() override { copy_planes(update_, s_.model_length, current_); }
    const FloatPlanes& model() const override { return current_; }

private:
    RunShape s_;
    FloatPlanes current_, update_;
};

// The fast engine (on as many threads as the run asks for) and the run's
// colour table. The engine updates its one model in place, so a frame's
// update is the current model as soon as segment() returns.
class FastRunEngine final : public RunEngine {
public:
    FastRunEngine(const RunConfig& config, VectorUnit unit)
        // Unfilled: init_model writes every element before anything reads one,
        // and a 1080p model is 224 MB to fill.
        : s_(config), model_(alloc_unfilled_float_planes(plane_count, s_.model_length)),
          engine_({s_.H, s_.W, s_.n}, config.threads, unit),
          core_free_(run_helper_threads(Engine::fast, config) > 0)
    {
    }
    // What the constructor allocates: one model, the engine's scratch and
    // the colour table.
    static std::uint64_t bytes(const RunConfig& config)
    {
        const RunShape s(config);
        return saturating_sum({plane_set_bytes<float>(s.model_length),
                               ThreadedEngine::scratch_bytes({s.H, s.W, s.n}, config.threads),
                               ConeConverter::table_bytes});
    }
    // Only the reading thread uses the colour table.
    void convert(const BytePlanes& frame, FloatPlanes& pixels) override
    {
        converter_.convert(frame, static_cast<std::ptrdiff_t>(s_.pixel_count), pixels);
    }
    // The model's first writes fault in its memory, which on a virtual
    // machine whose host backs fresh memory on first touch took 0.3 s of a
    // 1080p run's start here. With a core free beside the engine, a helper
    // writes the lower half of the model meanwhile; the two halves share no
    // element, so the model is the same.
    void init(const FloatPlanes& pixels) override
    {
        const int half = s_.H / 2;
        std::thread lower;
        if (core_free_ && half > 0) {
            try {
                const StopSignalsBlocked quiet;  // stops are the main thread's to handle
                lower =
                    std::thread([&] { init_model_rows(model_, pixels, s_.W, s_.n, half, s_.H); });
            } catch (const std::system_error&) {
                // No thread: this one writes the whole model.
            }
        }
        init_model_rows(model_, pixels, s_.W, s_.n, 0, lower.joinable() ? half : s_.H);
        if (lower.joinable())
            lower.join();
    }
    void segment(const FloatPlanes& pixels, std::uint8_t* mask, const WeightMatrix& weights,
                 float e) override
    {
        engine_.segment_frame(pixels, model_, mask, {weights, e, s_.shadow});
    }
    void commit() override {}
    const FloatPlanes& model() const override { return model_; }

private:
    RunShape s_;
    FloatPlanes model_;
    ThreadedEngine engine_;
    ConeConverter converter_;
    bool core_free_;
};

}  // namespace

RunFault run_vector_unit(VectorUnit& unit)
{
    RunFault fault;
    const char* name = std::getenv(vector_unit_variable);
    if (name == nullptr || *name == '\0') {
        unit = best_vector_unit();
        return fault;
    }
    if (!vector_unit_named(name, unit))
        fault.fault = StartFault::vector_unit_unknown;
    else if (!vector_unit_available(unit))
        fault.fault = StartFault::vector_unit_missing;
    if (!fault.ok())
        fault.detail = name;
    return fault;
}

std::uint64_t run_engine_bytes(Engine kind, const RunConfig& config)
{
    if (kind == Engine::reference)
        return ReferenceEngine::bytes(config);
    return FastRunEngine::bytes(config);
}

std::unique_ptr<RunEngine> make_run_engine(Engine kind, const RunConfig& config, RunFault& fault)
{
    if (kind == Engine::reference)
        return std::make_unique<ReferenceEngine>(config);
    VectorUnit unit = VectorUnit::scalar;
    fault = run_vector_unit(unit);
    if (!fault.ok())
        return nullptr;
    const StopSignalsBlocked quiet;  // the engine's workers leave stops to this thread
    return std::make_unique<FastRunEngine>(config, unit);
}

}  // namespace zemb

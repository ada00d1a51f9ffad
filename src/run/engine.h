// The engines of a run: its per-frame work behind one face, the fast engine
// for users and the straightforward reference for the comparisons.
#pragma once

#include <cstdint>
#include <memory>

#include "model/model.h"
#include "run/config.h"
#include "run/fault.h"

namespace zemb {

// Which implementation does the per-frame work. Users always get the fast
// one; the straightforward reference is built into a second, internal
// executable for the benchmark and the whole-run comparisons of the tests.
enum class Engine { fast, reference };

// A run's per-frame work behind one face: both implementations leave the
// same masks and models. The engine owns the model; the driver owns the
// frame in cone coordinates and the mask, which carries over between frames.
class RunEngine {
public:
    virtual ~RunEngine() = default;
    // The frame's bytes (R, G, B planes) to cone coordinates in `pixels`. The
    // driver calls it on its reading thread while segment() runs on another:
    // it touches nothing the other calls use.
    virtual void convert(const BytePlanes& frame, FloatPlanes& pixels) = 0;
    // The model from the frame `pixels`: each pixel fills its own block.
    virtual void init(const FloatPlanes& pixels) = 0;
    // Classifies the frame `pixels` into `mask` (the previous frame's mask on
    // entry) and works out the model's update: the span the timing reports.
    virtual void segment(const FloatPlanes& pixels, std::uint8_t* mask, const WeightMatrix& weights,
                         float e) = 0;
    // Makes the update the current model.
    virtual void commit() = 0;
    // The current model, for model images.
    virtual const FloatPlanes& model() const = 0;
};

// The engine of a run of this configuration, its buffers allocated. Throws
// std::bad_alloc, or std::system_error when worker threads cannot start;
// returns null, with the fault, when run_vector_unit refuses.
std::unique_ptr<RunEngine> make_run_engine(Engine kind, const RunConfig& config, RunFault& fault);
// Bytes that engine allocates: its models, scratch and tables.
std::uint64_t run_engine_bytes(Engine kind, const RunConfig& config);

// Names the vector unit the tests force, so that every unit's code runs on a
// machine that has them all; users never set it.
constexpr const char* vector_unit_variable = "ZEMB_VECTOR_UNIT";

// The fast engine's vector unit: the widest the processor has, or the one the
// environment variable vector_unit_variable names (scalar, avx2, avx512). A
// fault for a name that is no unit or a unit this processor lacks.
RunFault run_vector_unit(VectorUnit& unit);

}  // namespace zemb

// The engine of a run: the frame road (run/road.h) made for a run's
// configuration, with the fast engine for users and the straightforward
// reference for the comparisons.
#pragma once

#include <cstdint>
#include <memory>

#include "model/model.h"
#include "run/config.h"
#include "run/fault.h"
#include "run/road.h"

namespace zemb {

// The road of a run of this configuration, its buffers allocated. Throws
// std::bad_alloc, or std::system_error when worker threads cannot start;
// returns null, with the fault, when run_vector_unit refuses.
std::unique_ptr<Road> make_run_road(Engine kind, const RunConfig& config, RunFault& fault);
// Bytes that road allocates: its models, scratch, tables and the mask.
std::uint64_t run_engine_bytes(Engine kind, const RunConfig& config);

// Names the vector unit the tests force, so that every unit's code runs on a
// machine that has them all; users never set it.
constexpr const char* vector_unit_variable = "ZEMB_VECTOR_UNIT";

// The fast engine's vector unit: the widest the processor has, or the one the
// environment variable vector_unit_variable names (scalar, avx2, avx512). A
// fault for a name that is no unit or a unit this processor lacks.
RunFault run_vector_unit(VectorUnit& unit);

}  // namespace zemb

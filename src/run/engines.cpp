// The run's road: the fast engine on the run's threads, or the reference.
#include <cstdlib>

#include "run/engine.h"

#include "files/stop.h"
#include "run/driver.h"

namespace zemb {

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
    const std::uint64_t road = Road::bytes(config.height, config.width, config.params.n, kind,
                                           config.threads, config.params.ghost_frames);
    if (config.region_path.empty())
        return road;
    return saturating_sum({road, Road::region_bytes(config.height, config.width),
                           std::uint64_t(config.pixels)});
}

std::unique_ptr<Road> make_run_road(Engine kind, const RunConfig& config, RunFault& fault)
{
    const RoadSettings& settings = config.params;
    if (kind == Engine::reference)
        return std::make_unique<Road>(config.height, config.width, settings, kind, 1,
                                      VectorUnit::scalar, false);
    VectorUnit unit = VectorUnit::scalar;
    fault = run_vector_unit(unit);
    if (!fault.ok())
        return nullptr;
    const StopSignalsBlocked quiet;  // the engine's workers leave stops to this thread
    // With a second core, a helper faults in half the model.
    return std::make_unique<Road>(config.height, config.width, settings, kind, config.threads, unit,
                                  run_helper_threads(Engine::fast) > 0);
}

}  // namespace zemb

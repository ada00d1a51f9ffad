// The memory check: what a run will hold, as each part that allocates it
// reports it, against what this process can get.

#include <cstdio>

#include "run/resources.h"

#include "run/driver.h"

namespace zemb {

namespace {

// Room for what the program holds beyond its run's buffers and what it
// holds already when the check is made: the C library's stream buffers, the
// allocator's own records and rounding, the stacks as they grow.
constexpr std::uint64_t program_slack_bytes = 16u << 20;

// What the program holds now: its code, its libraries and its heap so far.
std::uint64_t held_now()
{
    std::uint64_t size = 0, resident = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm != nullptr) {
        if (std::fscanf(statm, "%lu %lu", &size, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return saturating_product(resident, std::uint64_t(sysconf(_SC_PAGESIZE)));
}


}  // namespace

std::uint64_t run_memory_bytes(const RunConfig& config, Engine engine, std::uint64_t source_bytes)
{
    return saturating_sum({run_engine_bytes(engine, config), run_buffer_bytes(config, engine),
                           source_bytes, held_now(), program_slack_bytes});
}

RunFault check_run_memory(const RunConfig& config, Engine engine, std::uint64_t source_bytes)
{
    RunFault fault;
    const std::uint64_t needed = run_memory_bytes(config, engine, source_bytes);
    const std::uint64_t workers = std::uint64_t(
        threads_for_rows(config.height, config.threads) - 1 + run_helper_threads(engine));
    const MemoryLimit limit = memory_limit(saturating_product(workers, thread_stack_bytes()));
    if (needed <= limit.bytes)
        return fault;
    fault.fault = StartFault::memory;
    fault.path = config.first_frame_name;
    fault.width = config.width;
    fault.height = config.height;
    fault.n = config.params.n;
    fault.needed_bytes = needed;
    fault.limit_bytes = limit.bytes;
    fault.limit_what = limit.what;
    return fault;
}

}  // namespace zemb

// The memory check: what a run will hold, as each part that allocates it
// reports it, against what this process can get.
#include <pthread.h>

#include <cstdio>

#include "app/app.h"

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

// Address space each worker thread's stack reserves.
std::uint64_t thread_stack_bytes()
{
    pthread_attr_t attributes;
    std::size_t stack = 0, guard = 0;
    if (pthread_getattr_default_np(&attributes) == 0) {
        pthread_attr_getstacksize(&attributes, &stack);
        pthread_attr_getguardsize(&attributes, &guard);
        pthread_attr_destroy(&attributes);
    }
    return stack + guard;
}

std::uint64_t mebibytes_rounded_up(std::uint64_t bytes) { return bytes / (1u << 20) + (bytes % (1u << 20) != 0); }

}  // namespace

std::uint64_t run_memory_bytes(const RunConfig& config, Engine engine, std::uint64_t source_bytes)
{
    return saturating_sum({run_engine_bytes(engine, config), run_buffer_bytes(config, engine),
                           source_bytes, held_now(), program_slack_bytes});
}

bool check_run_memory(const RunConfig& config, Engine engine, std::uint64_t source_bytes,
                      const char* first_frame)
{
    const std::uint64_t needed = run_memory_bytes(config, engine, source_bytes);
    const std::uint64_t workers = std::uint64_t(band_count(config.height, config.threads) - 1 +
                                                run_helper_threads(engine, config));
    const MemoryLimit limit = memory_limit(saturating_product(workers, thread_stack_bytes()));
    if (needed <= limit.bytes)
        return true;
    std::fprintf(stderr,
                 "zemb: %s: a run on %d x %d frames with n = %d needs %llu MiB, more than the %llu "
                 "MiB this process can get (%s)\n",
                 first_frame, config.width, config.height, config.params.n,
                 static_cast<unsigned long long>(mebibytes_rounded_up(needed)),
                 static_cast<unsigned long long>(limit.bytes >> 20), limit.what);
    return false;
}

}  // namespace zemb

// What the machine lets a run use (cores, memory) against what the run will
// hold, as each part that allocates reports it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "run/config.h"
#include "run/engine.h"
#include "run/fault.h"

namespace zemb {

// Limits of the cgroup this process is in (v2, or v1's memory and cpu
// controllers), the tightest on its path up to each hierarchy's root.
// `root` is put before every system path read (/proc, /sys): empty for this
// system, a folder of its own for a test.
struct CgroupLimits {
    std::uint64_t memory_bytes = UINT64_MAX;  // UINT64_MAX: no limit
    double cpus = 0;                          // CPU quota over its period; 0: no quota
};
CgroupLimits read_cgroup_limits(const std::string& root = "");

// Cores this process may run on (-j 0): its CPU affinity, capped by its
// cgroup's CPU quota rounded up; at least 1.
int usable_cores();

// The most memory this process can get, and what says so: the smallest of
// the memory available on the machine (MemAvailable), its cgroup's memory
// limit, and its address-space limit less what the process reserves beyond
// what it holds (its libraries) and `reserved_bytes` more (thread stacks).
struct MemoryLimit {
    std::uint64_t bytes = UINT64_MAX;
    const char* what = "";
};
MemoryLimit memory_limit(std::uint64_t reserved_bytes, const std::string& root = "");

// Address space each worker thread's stack reserves.
std::uint64_t thread_stack_bytes();
// Bytes in whole MiB, rounded up, as messages give them.
std::uint64_t mebibytes_rounded_up(std::uint64_t bytes);

// Bytes a run of this configuration holds at its peak, as each part that
// allocates reports it: the engine (run_engine_bytes), the driver's buffers
// (run_buffer_bytes), the frame source's `source_bytes`, and the program
// itself (what it holds when asked, and room to spare).
std::uint64_t run_memory_bytes(const RunConfig& config, Engine engine, std::uint64_t source_bytes);

// Compares run_memory_bytes with memory_limit: the fault when the run would
// not fit.
RunFault check_run_memory(const RunConfig& config, Engine engine, std::uint64_t source_bytes);

}  // namespace zemb

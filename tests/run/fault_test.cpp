#include <gtest/gtest.h>

#include <string>

#include "run/fault.h"

namespace zemb {
namespace {

// The faults no command line can bring about here (the system refusing
// memory or threads); the others are worded in whole runs (startup_test).
TEST(RunFaults, AllocationAndThreadFaultsAreWordedWithTheRunsSize)
{
    RunFault buffers;
    buffers.fault = StartFault::buffers;
    buffers.width = 1920;
    buffers.height = 1080;
    buffers.n = 9;
    RunFault workers;
    workers.fault = StartFault::workers;
    workers.threads = 4;
    workers.detail = "Resource temporarily unavailable";  // EAGAIN
    RunFault helpers = workers;
    helpers.fault = StartFault::helpers;
    const std::string busy = "Resource temporarily unavailable";
    EXPECT_EQ(message(buffers),
              "zemb: cannot allocate the buffers for 1920 x 1080 frames with n = 9");
    EXPECT_EQ(message(workers), "zemb: cannot start 4 worker threads: " + busy);
    EXPECT_EQ(message(helpers), "zemb: cannot start the threads that read and write: " + busy);
    EXPECT_EQ(message(RunFault{}), "");
    for (const RunFault& f : {buffers, workers, helpers, RunFault{}})
        EXPECT_EQ(announce_path(f), "");
}

}  // namespace
}  // namespace zemb

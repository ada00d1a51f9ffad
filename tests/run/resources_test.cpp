// What the machine lets a run use: cgroup limits read from fake system
// trees (v2, v1, a container's view), and the smallest limit winning.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "run/resources.h"
#include "support/support.h"

namespace zemb {
namespace {

using test::TempDir;

constexpr std::uint64_t GiB = std::uint64_t(1) << 30;
constexpr std::uint64_t no_limit = UINT64_MAX;

const char* const v2_mount = "30 25 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw\n";
const char* const v1_mounts =
    "31 25 0:27 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"
    "32 25 0:28 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n";

// A system tree: file path (under the root) and content.
using Tree = std::vector<std::pair<std::string, std::string>>;

void plant(const TempDir& root, const Tree& tree)
{
    for (const auto& [path, text] : tree) {
        std::filesystem::create_directories(std::filesystem::path(root / path).parent_path());
        test::write_file(root / path, text);
    }
}

TEST(Cgroups, TheTightestLimitOnThePathToTheRootApplies)
{
    struct Case {
        const char* what;
        Tree tree;
        std::uint64_t memory;
        double cpus;
    };
    const Case cases[] = {
        {"no cgroup file system", {}, no_limit, 0},
        {"v2 at its root, no limits", {{"proc/self/mountinfo", v2_mount}, {"proc/self/cgroup", "0::/\n"}},
         no_limit, 0},
        {"v2, the parent's memory and the job's CPUs",
         {{"proc/self/mountinfo", v2_mount},
          {"proc/self/cgroup", "0::/batch/job1\n"},
          {"sys/fs/cgroup/batch/memory.max", "2147483648\n"},
          {"sys/fs/cgroup/batch/cpu.max", "max 100000\n"},
          {"sys/fs/cgroup/batch/job1/memory.max", "max\n"},
          {"sys/fs/cgroup/batch/job1/cpu.max", "150000 100000\n"}},
         2 * GiB, 1.5},
        {"v1, memory and cpu,cpuacct",
         {{"proc/self/mountinfo", v1_mounts},
          {"proc/self/cgroup", "4:memory:/slurm/job7\n3:cpu,cpuacct:/slurm/job7\n0::/\n"},
          {"sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n"},
          {"sys/fs/cgroup/memory/slurm/job7/memory.limit_in_bytes", "1073741824\n"},
          {"sys/fs/cgroup/cpu,cpuacct/slurm/job7/cpu.cfs_quota_us", "200000\n"},
          {"sys/fs/cgroup/cpu,cpuacct/slurm/job7/cpu.cfs_period_us", "100000\n"},
          {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1\n"},
          {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"}},
         GiB, 2},
        {"v1 seen from inside a container",
         {{"proc/self/mountinfo", "40 35 0:27 /docker/abc /sys/fs/cgroup/memory ro - cgroup cgroup rw,memory\n"},
          {"proc/self/cgroup", "5:memory:/docker/abc\n"},
          {"sys/fs/cgroup/memory/memory.limit_in_bytes", "536870912\n"}},
         GiB / 2, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir root;
        plant(root, c.tree);
        const CgroupLimits limits = read_cgroup_limits(root.path());
        EXPECT_EQ(limits.memory_bytes, c.memory);
        EXPECT_DOUBLE_EQ(limits.cpus, c.cpus);
    }
}

TEST(MemoryLimits, TheSmallestOfAvailableMemoryAndTheCgroupLimitWins)
{
    const Tree cgroup = {{"proc/self/mountinfo", v2_mount},
                         {"proc/self/cgroup", "0::/job\n"},
                         {"sys/fs/cgroup/job/memory.max", "1073741824\n"}};
    struct Case {
        const char* meminfo;
        std::uint64_t bytes;
        const char* what;
    };
    for (const Case& c : {
             Case{"MemTotal: 8000000 kB\nMemAvailable: 4194304 kB\n", GiB,
                  "the memory limit of its cgroup"},
             Case{"MemTotal: 8000000 kB\nMemAvailable: 102400 kB\n", 100u << 20,
                  "the memory available on this machine"},
         }) {
        SCOPED_TRACE(c.meminfo);
        TempDir root;
        plant(root, cgroup);
        test::write_file(root / "proc/meminfo", c.meminfo);
        const MemoryLimit limit = memory_limit(0, root.path());
        EXPECT_EQ(limit.bytes, c.bytes);
        EXPECT_STREQ(limit.what, c.what);
    }
}

TEST(MemoryNeed, SaturatesForAbsurdSizes)
{
    // The largest frame model images allow with n = 9.
    RunConfig config;
    config.params.n = 9;
    config.width = config.height = 2147483647 / 9;
    config.pixels = std::size_t(config.width) * std::size_t(config.height);
    EXPECT_EQ(run_memory_bytes(config, Engine::fast, 0), UINT64_MAX);
    EXPECT_EQ(run_memory_bytes(config, Engine::reference, 0), UINT64_MAX);
}

}  // namespace
}  // namespace zemb

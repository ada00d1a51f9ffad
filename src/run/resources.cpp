// What the machine lets this process use: the cores of its CPU affinity and
// its cgroup's CPU quota; the memory the machine has available, its cgroup's
// memory limit and its address-space limit.
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "run/resources.h"

namespace zemb {

namespace {

// Largest CPU set asked for: far beyond any machine.
constexpr int most_cpus = 1 << 16;
// Bytes per kB in /proc/meminfo.
constexpr std::uint64_t kilobyte = 1024;

std::string read_text(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator))
        parts.push_back(part);
    return parts;
}

// A whole unsigned decimal number, or false.
bool parse_number(const std::string& text, std::uint64_t& value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return errno == 0;
}

// The first line of a cgroup file, without its line end.
std::string first_line(const std::string& path)
{
    const std::string text = read_text(path);
    return text.substr(0, text.find('\n'));
}

// mountinfo writes blanks and a few other characters in names as \ooo.
std::string unescape(const std::string& field)
{
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            out += static_cast<char>(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

// A cgroup hierarchy this process is in: where it is mounted and the
// process's folder in it.
struct Hierarchy {
    bool found = false;
    std::string mount;   // mount point, under the root
    std::string folder;  // the process's cgroup folder, under the mount point
};

// Finds the hierarchy of cgroup v2 (`controller` empty) or of a v1
// controller ("memory", "cpu") from /proc/self/mountinfo and
// /proc/self/cgroup.
Hierarchy find_hierarchy(const std::string& root, const std::string& controller)
{
    Hierarchy h;
    std::string mount_root;
    for (const std::string& line : split(read_text(root + "/proc/self/mountinfo"), '\n')) {
        const std::vector<std::string> f = split(line, ' ');
        const auto dash = std::find(f.begin(), f.end(), "-");
        if (f.size() < 5 || dash == f.end() || f.end() - dash < 4)
            continue;
        const std::string& type = dash[1];
        const std::vector<std::string> options = split(dash[3], ',');
        const bool wanted = controller.empty()
                                ? type == "cgroup2"
                                : type == "cgroup" && std::find(options.begin(), options.end(),
                                                                controller) != options.end();
        if (wanted) {
            mount_root = unescape(f[3]);
            h.mount = root + unescape(f[4]);
            h.found = true;
            break;
        }
    }
    if (!h.found)
        return h;
    for (const std::string& line : split(read_text(root + "/proc/self/cgroup"), '\n')) {
        const std::size_t first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos)
            continue;
        const std::vector<std::string> controllers =
            split(line.substr(first + 1, second - first - 1), ',');
        const bool wanted =
            controller.empty()
                ? line.compare(0, first, "0") == 0 && controllers.empty()
                : std::find(controllers.begin(), controllers.end(), controller) != controllers.end();
        if (!wanted)
            continue;
        std::string path = line.substr(second + 1);
        // Mounted from inside the hierarchy (a container): the path is
        // counted from the mount's own root.
        if (mount_root != "/")
            path = path.compare(0, mount_root.size(), mount_root) == 0 ? path.substr(mount_root.size())
                                                                      : "";
        h.folder = h.mount + (path == "/" ? "" : path);
        return h;
    }
    h.found = false;
    return h;
}

// Calls `read` with every folder from the process's cgroup up to the
// hierarchy's root: a limit anywhere on the way applies.
template <typename Read>
void each_level(const Hierarchy& h, Read read)
{
    if (!h.found)
        return;
    std::string folder = h.folder;
    for (;;) {
        read(folder);
        if (folder.size() <= h.mount.size())
            return;
        folder.erase(folder.rfind('/'));
    }
}

std::uint64_t affinity_cores()
{
    for (int cpus = 1024; cpus <= most_cpus; cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr)
            return 1;
        const std::size_t size = CPU_ALLOC_SIZE(cpus);
        const int status = sched_getaffinity(0, size, set);
        const int count = status == 0 ? CPU_COUNT_S(size, set) : 0;
        CPU_FREE(set);
        if (status == 0)
            return std::uint64_t(std::max(count, 1));
        if (errno != EINVAL)
            break;
    }
    return std::uint64_t(std::max(sysconf(_SC_NPROCESSORS_ONLN), 1L));
}

// Pages of address space the process has and of memory it holds, from
// /proc/self/statm; false when unreadable.
bool process_pages(const std::string& root, std::uint64_t& size, std::uint64_t& resident)
{
    std::istringstream in(read_text(root + "/proc/self/statm"));
    return static_cast<bool>(in >> size >> resident);
}

std::uint64_t page_bytes() { return std::uint64_t(std::max(sysconf(_SC_PAGESIZE), 1L)); }

}  // namespace

CgroupLimits read_cgroup_limits(const std::string& root)
{
    CgroupLimits limits;
    auto lower_memory = [&](const std::string& file) {
        std::uint64_t bytes;
        if (parse_number(first_line(file), bytes))  // "max", or no file: no limit here
            limits.memory_bytes = std::min(limits.memory_bytes, bytes);
    };
    auto lower_cpus = [&](const std::string& quota_text, const std::string& period_text) {
        std::uint64_t quota, period;
        if (parse_number(quota_text, quota) && parse_number(period_text, period) && period > 0) {
            const double cpus = double(quota) / double(period);
            limits.cpus = limits.cpus > 0 ? std::min(limits.cpus, cpus) : cpus;
        }
    };
    const Hierarchy v2 = find_hierarchy(root, "");
    each_level(v2, [&](const std::string& folder) {
        lower_memory(folder + "/memory.max");
        const std::vector<std::string> cpu = split(first_line(folder + "/cpu.max"), ' ');
        if (cpu.size() == 2)
            lower_cpus(cpu[0], cpu[1]);
    });
    each_level(find_hierarchy(root, "memory"), [&](const std::string& folder) {
        lower_memory(folder + "/memory.limit_in_bytes");
    });
    each_level(find_hierarchy(root, "cpu"), [&](const std::string& folder) {
        lower_cpus(first_line(folder + "/cpu.cfs_quota_us"), first_line(folder + "/cpu.cfs_period_us"));
    });
    return limits;
}

int usable_cores()
{
    std::uint64_t cores = affinity_cores();
    const CgroupLimits limits = read_cgroup_limits();
    if (limits.cpus > 0)
        cores = std::min(cores, std::uint64_t(std::max(1.0, std::ceil(limits.cpus))));
    return static_cast<int>(std::clamp<std::uint64_t>(cores, 1, INT_MAX));
}

MemoryLimit memory_limit(std::uint64_t reserved_bytes, const std::string& root)
{
    MemoryLimit limit;
    auto lower = [&](std::uint64_t bytes, const char* what) {
        if (bytes < limit.bytes) {
            limit.bytes = bytes;
            limit.what = what;
        }
    };
    for (const std::string& line : split(read_text(root + "/proc/meminfo"), '\n')) {
        std::istringstream in(line);
        std::string key;
        std::uint64_t kilobytes;
        if (in >> key >> kilobytes && key == "MemAvailable:")
            lower(saturating_product(kilobytes, kilobyte), "the memory available on this machine");
    }
    if (limit.bytes == UINT64_MAX) {  // a kernel without MemAvailable
        const long pages = sysconf(_SC_PHYS_PAGES);
        if (pages > 0)
            lower(saturating_product(std::uint64_t(pages), page_bytes()), "this machine's memory");
    }
    lower(read_cgroup_limits(root).memory_bytes, "the memory limit of its cgroup");
    struct rlimit address_space;
    if (getrlimit(RLIMIT_AS, &address_space) == 0 && address_space.rlim_cur != RLIM_INFINITY) {
        // Address space the program reserves without holding it (its
        // libraries, the threads' stacks) counts against this limit too.
        std::uint64_t size = 0, resident = 0;
        std::uint64_t unheld = reserved_bytes;
        if (process_pages(root, size, resident) && size > resident)
            unheld = saturating_sum({unheld, saturating_product(size - resident, page_bytes())});
        const std::uint64_t cap = address_space.rlim_cur;
        lower(cap > unheld ? cap - unheld : 0, "its address-space limit, ulimit -v");
    }
    return limit;
}

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

std::uint64_t mebibytes_rounded_up(std::uint64_t bytes)
{
    return bytes / (1u << 20) + (bytes % (1u << 20) != 0);
}

}  // namespace zemb

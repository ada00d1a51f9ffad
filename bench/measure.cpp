// Runs a program several times and reports what one run costs: the
// calibration and online figures the program prints ("... msecs/frame"), the
// wall time of the whole process, and its peak resident memory (the
// children's maxrss from the kernel, read with wait4 per run), and the CPU
// time it took (user and system, its threads and children included).
//
//   zemb_measure <repeats> <folder to run in> <program> [arguments...]
//
// Prints one line: "calibration_ms online_ms wall_s maxrss_kb cpu_s", each
// the median of the runs ("-" for a figure the program did not print).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Run {
    double calibration_ms = -1.0;  // per frame, as the program reports it
    double online_ms = -1.0;
    double wall_s = 0.0;
    long maxrss_kb = 0;
    double cpu_s = 0.0;
};

// The figure before "msecs/frame" on the first report line after `header`.
double figure_after(const std::string& out, const std::string& header)
{
    std::size_t at = out.find(header);
    if (at == std::string::npos)
        return -1.0;
    std::size_t line = out.find("msecs\t(", at);
    if (line == std::string::npos)
        return -1.0;
    return std::atof(out.c_str() + line + 7);
}

bool run_once(const std::string& folder, char** argv, Run& run)
{
    const std::string out_path = folder + "/.measure-stdout";
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || chdir(folder.c_str()) != 0)
            _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        execv(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid)
        return false;
    run.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.maxrss_kb = usage.ru_maxrss;
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
    run.cpu_s = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    std::ifstream in(out_path);
    std::stringstream text;
    text << in.rdbuf();
    std::remove(out_path.c_str());
    run.calibration_ms = figure_after(text.str(), "Times for calibration phase");
    run.online_ms = figure_after(text.str(), "Times for online phase");
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

template <typename T>
T median(std::vector<T> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <repeats> <folder> <program> [arguments...]\n", argv[0]);
        return 2;
    }
    const int repeats = std::max(1, std::atoi(argv[1]));
    const std::string folder = argv[2];
    std::vector<Run> runs;
    for (int i = 0; i < repeats; ++i) {
        Run run;
        if (!run_once(folder, argv + 3, run)) {
            std::fprintf(stderr, "zemb_measure: %s failed\n", argv[3]);
            return 1;
        }
        runs.push_back(run);
    }
    std::vector<double> calibration, online, wall, cpu;
    std::vector<long> rss;
    for (const Run& r : runs) {
        calibration.push_back(r.calibration_ms);
        online.push_back(r.online_ms);
        wall.push_back(r.wall_s);
        rss.push_back(r.maxrss_kb);
        cpu.push_back(r.cpu_s);
    }
    auto show = [](double v) {
        if (v < 0)
            std::printf("- ");
        else
            std::printf("%.4f ", v);
    };
    show(median(calibration));
    show(median(online));
    std::printf("%.4f %ld %.4f\n", median(wall), median(rss), median(cpu));
    return 0;
}

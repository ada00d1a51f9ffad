#include "support/support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zemb::test {

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "zemb-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary folder");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

bool file_exists(const std::string& path) { return std::filesystem::exists(path); }

std::string make_ppm(int width, int height, const std::function<Rgb(int, int)>& colour)
{
    std::string bytes = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c) {
            Rgb p = colour(r, c);
            bytes += static_cast<char>(p.r);
            bytes += static_cast<char>(p.g);
            bytes += static_cast<char>(p.b);
        }
    return bytes;
}

RunResult run_zemb(const std::string& dir, const std::vector<std::string>& args,
                   unsigned timeout_seconds)
{
    return run_program(ZEMB_EXE, dir, args, timeout_seconds);
}

RunResult run_program(const std::string& program, const std::string& dir,
                      const std::vector<std::string>& args, unsigned timeout_seconds)
{
    return finish_program(start_program(program, dir, args, timeout_seconds), dir);
}

RunResult run_zemb_measured(const std::string& dir, const std::vector<std::string>& args,
                            std::uint64_t& peak_bytes)
{
    const std::string report = dir + "/.peak";
    std::vector<std::string> measured = {report, ZEMB_EXE};
    measured.insert(measured.end(), args.begin(), args.end());
    RunResult result = run_program(ZEMB_PEAK_MEMORY_EXE, dir, measured);
    peak_bytes = std::stoull(read_file(report)) * 1024;
    std::remove(report.c_str());
    return result;
}

void reset_signals()
{
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        std::signal(s, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

int start_program(const std::string& program, const std::string& dir,
                  const std::vector<std::string>& args, unsigned timeout_seconds)
{
    std::string out_path = dir + "/.stdout", err_path = dir + "/.stderr";
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || chdir(dir.c_str()) != 0)
            _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> argv;
        std::string exe = program;
        argv.push_back(exe.data());
        std::vector<std::string> copies(args);
        for (auto& a : copies)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        reset_signals();
        alarm(timeout_seconds);  // outlives exec
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

RunResult finish_program(int pid, const std::string& dir)
{
    std::string out_path = dir + "/.stdout", err_path = dir + "/.stderr";
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    RunResult result;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    std::remove(out_path.c_str());
    std::remove(err_path.c_str());
    return result;
}

std::string find_tool(const std::string& name)
{
    std::stringstream path(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(path, folder, ':')) {
        const std::string candidate = folder + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0 && std::filesystem::is_regular_file(candidate))
            return candidate;
    }
    return "";
}

}  // namespace zemb::test

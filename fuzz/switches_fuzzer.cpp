// Fuzz target: argument vectors typed by hand. The input is split on NUL bytes
// into arguments after the program's name, and goes (1) through start-up's
// reading of the positional arguments, the thirteen switches, -j, -o and -O,
// in a folder holding a few ready frames, and (2) through the switch cores
// one by one, with multi-value reads too.
//
// Checked beyond "no crash": a read removes exactly the switch and its values
// and keeps the order of the rest, a fault changes nothing, and a run that
// start-up lets through has settings that the run can use.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/startup.h"

namespace {

using namespace zemb;

// More arguments than this are not typed by hand; the tail is dropped.
constexpr std::size_t largest_argument_count = 64;

// Every switch start-up reads, with its kind, in start-up's order.
struct SwitchSpec {
    const char* name;
    char kind;  // 'i' integer, 'r' real, 'f' flag, 't' text
};
constexpr SwitchSpec switches[] = {
    {"-n", 'i'},  {"-e1", 'r'}, {"-e2", 'r'}, {"-K", 'i'}, {"-c1", 'r'},
    {"-c2", 'r'}, {"-g", 'r'},  {"-b", 'r'},  {"-tS", 'r'}, {"-tH", 'r'},
    {"-s", 'f'},  {"-m", 'f'},  {"-l", 'f'},  {"-j", 'i'}, {"-o", 't'}, {"-O", 't'},
};

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "switches_fuzzer: invariant broken: %s\n", what);
    std::abort();
}

std::vector<std::string> split_arguments(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> args;
    std::string current;
    for (std::size_t i = 0; i < size && args.size() < largest_argument_count; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (!current.empty() && args.size() < largest_argument_count)
        args.push_back(current);
    return args;
}

// An argv over owned copies: argv[0] is the program, argv[argc] is null.
struct ArgVector {
    explicit ArgVector(const std::vector<std::string>& args) : texts(args)
    {
        texts.insert(texts.begin(), "zemb");
        for (std::string& t : texts)
            pointers.push_back(t.data());
        pointers.push_back(nullptr);
        argc = static_cast<int>(texts.size());
    }
    std::vector<char*> snapshot() const { return {pointers.begin(), pointers.begin() + argc}; }
    std::vector<std::string> texts;
    std::vector<char*> pointers;
    int argc;
};

// After a read that removed `removed` entries starting at `at`, the live part
// of argv must be the one given, without them, order kept.
void check_removal(const std::vector<char*>& before, const ArgVector& v, int at, int removed)
{
    if (v.argc != static_cast<int>(before.size()) - removed)
        fail("argument count not lowered by the entries removed");
    for (int j = 0; j < v.argc; ++j) {
        std::size_t from = j < at ? std::size_t(j) : std::size_t(j + removed);
        if (v.pointers[std::size_t(j)] != before[from])
            fail("remaining arguments moved out of order");
    }
}

int first_position(const std::vector<char*>& argv, const char* name)
{
    for (std::size_t i = 1; i < argv.size(); ++i)
        if (std::strcmp(argv[i], name) == 0)
            return static_cast<int>(i);
    return -1;
}

void check_cores(const std::vector<std::string>& args)
{
    ArgVector v(args);
    for (const SwitchSpec& s : switches) {
        std::vector<char*> before = v.snapshot();
        int at = first_position(before, s.name);
        const int n = s.kind == 'f' ? 0 : 1;
        SwitchFault fault = SwitchFault::none;
        const char* text = nullptr;
        if (s.kind == 'i')
            take_int_switch(v.argc, v.pointers.data(), s.name, 3, fault);
        else if (s.kind == 'r')
            take_real_switch(v.argc, v.pointers.data(), s.name, 0.5, fault);
        else
            text = take_switch(v.argc, v.pointers.data(), s.name, n == 1, nullptr, fault);

        bool enough = at > 0 && at + n < static_cast<int>(before.size());
        if (at < 0) {
            if (fault != SwitchFault::none || text != nullptr)
                fail("absent switch reported a fault or a value");
            check_removal(before, v, 0, 0);
        } else if (!enough) {
            if (fault != SwitchFault::missing_value)
                fail("switch without its values not reported as missing them");
            check_removal(before, v, 0, 0);
        } else {
            if (fault == SwitchFault::missing_value)
                fail("switch with its values reported as missing them");
            check_removal(before, v, at, n + 1);
            if (s.kind == 'f' && (text == nullptr || std::strcmp(text, s.name) != 0))
                fail("present flag did not yield its own text");
            if (s.kind == 't' &&
                (text == nullptr || std::strcmp(text, before[std::size_t(at) + 1]) != 0))
                fail("present switch did not yield its value");
        }
        if (fault != SwitchFault::none)
            return;  // start-up stops at the first fault
    }
}

void check_configure(const std::vector<std::string>& args)
{
    ArgVector v(args);
    std::vector<char*> original = v.snapshot();
    RunConfig config;
    StartUp outcome = configure_run(v.argc, v.pointers.data(), config);
    if (v.argc < 1 || v.argc > static_cast<int>(original.size()))
        fail("argument count grew or vanished");
    for (int j = 0; j < v.argc; ++j)
        if (std::find(original.begin(), original.end(), v.pointers[std::size_t(j)]) ==
            original.end())
            fail("argv holds a pointer it was not given");
    if ((outcome == StartUp::usage) != (original.size() < 4))
        fail("usage text not shown exactly when arguments are missing");
    if (outcome != StartUp::run)
        return;
    const RunParameters& p = config.params;
    if (p.n < 1 || p.n > 9 || p.n % 2 == 0)
        fail("run allowed with an unusable -n");
    if (p.K < 1 || static_cast<long long>(p.first_frame) + p.K - 1 > INT_MAX)
        fail("run allowed with an unusable -K");
    if (config.threads < 1)
        fail("run allowed without a worker thread");
    if (config.width <= 0 || config.height <= 0 ||
        config.pixels != std::size_t(config.width) * std::size_t(config.height))
        fail("run allowed without a usable image size");
    if (config.base.empty())
        fail("empty base name");
    print_settings_echo(config);
    FileNames names(config.directory, config.base);
    names.frame(p.last_frame);
    names.mask(p.first_frame);
    names.model(INT_MIN);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Start-up reads the first frame's header from the current folder: give
    // it a folder of its own with frames of several kinds.
    char pattern[] = "/tmp/zemb-switches-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr || chdir(pattern) != 0)
        std::abort();
    static std::string folder = pattern;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    });
    auto write = [](const char* name, const std::string& bytes) {
        std::FILE* f = std::fopen(name, "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    };
    write("seq.1.ppm", "P6\n4 3\n255\n" + std::string(36, '\x40'));
    write("seq.0.ppm", "P6\n1 1\n255\nabc");
    write("seq.2.ppm", "P5\n4 3\n255\n" + std::string(12, '\x40'));
    write("seq.3.ppm", "P6\n0 3\n255\n");
    write("seq.4.ppm", "P6\n100000 100000\n255\n");
    write("seq.5.ppm", "P6\n2147483647 2147483647\n255\n");
    std::filesystem::create_directory("d");
    write("d/L0.1.ppm", "P6\n2 2\n255\n" + std::string(12, '\x10'));
    // Standard output carries only the echo; nobody reads it here.
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0)
        dup2(null_fd, STDOUT_FILENO);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> args = split_arguments(data, size);
    // Start-up makes the -o folder: keep it inside the fuzzer's own folder.
    for (std::size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "-o" && (args[i + 1].rfind('/', 0) == 0 || args[i + 1].find("..") != std::string::npos))
            return -1;
    check_configure(args);
    check_cores(args);
    return 0;
}

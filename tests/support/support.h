// Helpers shared by the test programs: temporary folders, files made of
// bytes, PPM frames, and runs of the real executable.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "imagedata/imagedata.h"

namespace zemb::test {

// A plane set of `length` elements per plane, every element `fill`.
template <typename T>
PlaneSet<T> planes_of(std::size_t length, T fill)
{
    PlaneSet<T> set;
    if constexpr (sizeof(T) == 1)
        set = alloc_byte_planes(plane_count, length);
    else
        set = alloc_float_planes(plane_count, length);
    for (int k = 0; k < plane_count; ++k)
        std::fill(set[k], set[k] + length, fill);
    return set;
}

// A fresh folder under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);  // empty when missing
bool file_exists(const std::string& path);

struct Rgb {
    std::uint8_t r, g, b;
};

// A binary PPM ("P6\n<w> <h>\n255\n" and the raster) of colour(row, col).
std::string make_ppm(int width, int height, const std::function<Rgb(int, int)>& colour);

struct RunResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs the zemb executable in `dir` with standard input from /dev/null. A
// run still going after `timeout_seconds` (0: no limit) is ended by SIGALRM
// (status 142), so that a hang fails a test instead of stopping it.
RunResult run_zemb(const std::string& dir, const std::vector<std::string>& args,
                   unsigned timeout_seconds = 0);

// The same for any program, given by its path.
RunResult run_program(const std::string& exe, const std::string& dir,
                      const std::vector<std::string>& args, unsigned timeout_seconds = 0);

// run_zemb, and the peak of the run's resident memory in bytes.
RunResult run_zemb_measured(const std::string& dir, const std::vector<std::string>& args,
                            std::uint64_t& peak_bytes);

// Signals as a terminal gives them, whatever this test inherited: a script's
// background job has SIGINT ignored, and zemb keeps an ignored stop signal
// ignored. For a child about to run a program or a stop handler.
void reset_signals();

// run_program in two steps, for a test that acts while the program runs.
int start_program(const std::string& exe, const std::string& dir,
                  const std::vector<std::string>& args, unsigned timeout_seconds = 0);
RunResult finish_program(int pid, const std::string& dir);

// Full path of a program on PATH, empty when it is not installed.
std::string find_tool(const std::string& name);

}  // namespace zemb::test

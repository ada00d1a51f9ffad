// Fuzz target: zemb-eval's readers over arbitrary bytes stored in a file,
// read both as a temporalROI.txt and as an image (ROI, mask or ground truth:
// the readers pick the format from the first bytes, not the name).
//
// Checked beyond "no crash": a refused file throws EvalError naming it with a
// reason; an accepted range has first <= last; an accepted image has a size
// within the cap and decodes to exactly the size its header gave.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "eval/eval.h"

namespace {

using namespace zemb;

// zemb-eval's cap on a picture's pixels, whatever its format.
constexpr std::uint64_t pixel_cap = 1 << 28;
// Headers that claim more are decoded by zemb-eval too, but a small input
// making a large picture is the decompression question, not a reader fault.
constexpr std::uint64_t decode_cap = 1 << 22;

std::string folder, range_path, image_path;

[[noreturn]] void fail(const char* what, const std::string& detail = "")
{
    std::fprintf(stderr, "eval_fuzzer: invariant broken: %s %s\n", what, detail.c_str());
    std::abort();
}

void check_refusal(const eval::EvalError& error, const std::string& path)
{
    if (error.file() != path || std::string(error.what()).empty())
        fail("refusal without the file or a reason:", error.file() + ": " + error.what());
}

void write_file(const std::string& path, const std::uint8_t* data, std::size_t size)
{
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr)
        std::abort();
    if (size > 0 && std::fwrite(data, 1, size, out) != size)
        std::abort();
    std::fclose(out);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char pattern[] = "/tmp/zemb-eval-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        std::abort();
    folder = pattern;
    range_path = folder + "/temporalROI.txt";
    image_path = folder + "/gt000001.png";
    std::atexit([] { std::filesystem::remove_all(folder); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    write_file(range_path, data, size);
    try {
        const eval::FrameRange range = eval::read_temporal_roi(range_path);
        if (range.first > range.last)
            fail("range accepted backwards");
    } catch (const eval::EvalError& error) {
        check_refusal(error, range_path);
    }
    write_file(image_path, data, size);
    try {
        eval::GreyFile image(image_path);
        const int w = image.width(), h = image.height();
        if (w <= 0 || h <= 0 || std::uint64_t(w) * std::uint64_t(h) > pixel_cap)
            fail("header accepted outside the cap:", std::to_string(w) + " x " + std::to_string(h));
        if (std::uint64_t(w) * std::uint64_t(h) > decode_cap)
            return 0;
        const eval::GreyImage grey = image.decode();
        if (grey.width != w || grey.height != h || grey.pixels.size() != std::size_t(w) * std::size_t(h))
            fail("decoded size differs from the header's");
    } catch (const eval::EvalError& error) {
        check_refusal(error, image_path);
    }
    return 0;
}

// Fuzz target: the PPM header scanner and raster reader over arbitrary bytes,
// and the file-level readers over the same bytes stored in a file.
//
// Checked beyond "no crash": an accepted header is a P6 with a maxval of 1 to
// 255 and non-negative sizes; the raster read reports exactly the bytes that
// were missing and copies the ones that were there; a file-level read that
// refuses a frame leaves every sample as it was, and the readers agree.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "imagedata/imagedata.h"

namespace {

using namespace zemb;

// Frames larger than this are scanned but their raster is not read into
// memory: the fuzzer's inputs are a few kilobytes.
constexpr std::size_t largest_read_pixels = 1 << 16;
// Plane length of the fixed-size set the file-level readers fill.
constexpr std::size_t file_plane_length = 64;
// Sample value that no read ever writes when nothing is there to read.
constexpr std::uint8_t untouched = 0xA5;

std::string temp_frame_path;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "ppm_fuzzer: invariant broken: %s\n", what);
    std::abort();
}

// fmemopen of zero bytes is refused by some C libraries; an empty stream of
// one buffer byte opened for reading at size 0 is what we want.
std::FILE* open_bytes(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& copy)
{
    copy.assign(data, data + size);
    copy.push_back(0);
    return fmemopen(copy.data(), size, "rb");
}

void check_stream(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::uint8_t> copy;
    std::FILE* in = open_bytes(data, size, copy);
    if (in == nullptr)
        return;
    PpmHeader header{-7, -7, -7};
    PpmFault fault = scan_ppm_header(in, header);
    if (fault != PpmFault::none) {
        if (header.width != -7 || header.height != -7 || header.maxval != -7)
            fail("refused header changed its out-parameter");
        std::fclose(in);
        return;
    }
    if (header.width < 0 || header.height < 0)
        fail("negative size accepted");
    if (header.maxval < 1 || header.maxval > 255)
        fail("maxval outside 1..255 accepted");
    long offset = std::ftell(in);
    if (offset < 0 || static_cast<std::size_t>(offset) > size)
        fail("stream position past the input");

    std::size_t pixels = std::size_t(header.width) * std::size_t(header.height);
    if (pixels <= largest_read_pixels) {
        BytePlanes frame = alloc_byte_planes(plane_count, pixels);
        for (int k = 0; k < plane_count; ++k)
            std::memset(frame[k], untouched, pixels);
        std::size_t missing = read_ppm_raster(in, header, frame);
        std::size_t available = size - static_cast<std::size_t>(offset);
        std::size_t expected_missing = pixels * 3 > available ? pixels * 3 - available : 0;
        if (missing != expected_missing)
            fail("raster read miscounted the missing bytes");
        std::size_t present = pixels * 3 - missing;
        for (std::size_t s = 0; s < pixels * 3; ++s) {
            std::uint8_t sample = frame[int(s % 3)][s / 3];
            if (s < present && sample != data[std::size_t(offset) + s])
                fail("raster sample differs from the input byte");
            if (s >= present && sample != untouched)
                fail("sample past the end of a short raster was changed");
        }
    }
    std::fclose(in);
}

bool planes_untouched(const BytePlanes& frame)
{
    for (int k = 0; k < plane_count; ++k)
        for (std::size_t i = 0; i < file_plane_length; ++i)
            if (frame[k][i] != untouched)
                return false;
    return true;
}

void check_file(const std::uint8_t* data, std::size_t size)
{
    std::FILE* out = std::fopen(temp_frame_path.c_str(), "wb");
    if (out == nullptr)
        return;
    if (size > 0)
        std::fwrite(data, 1, size, out);
    std::fclose(out);
    const char* path = temp_frame_path.c_str();

    const PpmRead sized = read_ppm_size(path);
    if (sized.ok() && (sized.rows < 0 || sized.cols < 0 || sized.missing != 0))
        fail("header-only read gave a negative size or missing bytes");

    BytePlanes frame = alloc_byte_planes(plane_count, file_plane_length);
    for (int k = 0; k < plane_count; ++k)
        std::memset(frame[k], untouched, file_plane_length);
    const PpmRead read = read_ppm(path, frame);
    if (read.ok() && std::size_t(read.rows) * std::size_t(read.cols) > file_plane_length)
        fail("frame larger than the plane set accepted");
    if (read.ok() && read.missing > read.raster_bytes())
        fail("more bytes missing than the raster has");
    if (!read.ok() && !planes_untouched(frame))
        fail("refused frame changed the samples");
    if (read.ok() && !(sized.ok() && sized.rows == read.rows && sized.cols == read.cols))
        fail("read_ppm accepted a header that read_ppm_size refused or sized otherwise");

    // The run's reader: only an 8 x 8 frame may change anything.
    for (int k = 0; k < plane_count; ++k)
        std::memset(frame[k], untouched, file_plane_length);
    const PpmRead exact = read_ppm_frame(path, 8, 8, frame);
    if (exact.ok() && !(sized.ok() && sized.rows == 8 && sized.cols == 8))
        fail("frame of another size accepted");
    if (!exact.ok() && !planes_untouched(frame))
        fail("refused frame changed the samples");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char pattern[] = "/tmp/zemb-ppm-fuzz-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0)
        std::abort();
    close(fd);
    temp_frame_path = pattern;
    std::atexit([] { std::remove(temp_frame_path.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    check_stream(data, size);
    check_file(data, size);
    return 0;
}

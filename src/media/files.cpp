// Safe input files and the row store: what every decoder reads and writes
// through, in zemb and in the FFmpeg module alike.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "imagedata/imagedata.h"
#include "media/decoders.h"

namespace zemb::media {

Result open_regular_file(const char* path, int& fd)
{
    Result result;
    fd = open_input_file(path, result.error, result.file_mode);
    if (fd < 0)
        result.fault = result.file_mode != 0 ? Fault::not_regular : Fault::cannot_open;
    return result;
}

namespace detail {

bool Input::fill()
{
    begin = end = 0;
    for (;;) {
        const ssize_t got = ::read(fd, block.get(), input_block_bytes);
        if (got >= 0) {
            end = std::size_t(got);
            return got > 0;
        }
        if (errno != EINTR) {
            read_error = errno;
            return false;
        }
    }
}

std::size_t read_bytes(Input& in, std::uint8_t* out, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        if (in.begin == in.end && !in.fill())
            break;
        const std::size_t count = std::min(size - done, in.end - in.begin);
        std::memcpy(out + done, in.block.get() + in.begin, count);
        in.begin += count;
        done += count;
    }
    return done;
}

namespace {

const bool have_ssse3 = [] {
    __builtin_cpu_init();  // this may run before the library's own initialisers
    return __builtin_cpu_supports("ssse3") != 0;
}();

}  // namespace

void store_row(const std::uint8_t* samples, int channels, int width, int row, BytePlanes& frame)
{
    const std::size_t offset = std::size_t(row) * std::size_t(width);
    std::uint8_t* red = frame[0] + offset;
    std::uint8_t* green = frame[1] + offset;
    std::uint8_t* blue = frame[2] + offset;
    if (channels == 1) {
        std::memcpy(red, samples, std::size_t(width));
        std::memcpy(green, samples, std::size_t(width));
        std::memcpy(blue, samples, std::size_t(width));
        return;
    }
    const int done = have_ssse3 ? split_rgb_ssse3(samples, width, red, green, blue) : 0;
    for (int c = done; c < width; ++c) {
        red[c] = samples[3 * c];
        green[c] = samples[3 * c + 1];
        blue[c] = samples[3 * c + 2];
    }
}

bool RowBuffer::reserve(std::size_t size)
{
    if (size <= capacity)
        return true;
    bytes.reset(new (std::nothrow) std::uint8_t[size]);
    capacity = bytes ? size : 0;
    return bytes != nullptr;
}

}  // namespace detail

}  // namespace zemb::media

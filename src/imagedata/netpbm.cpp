#include "imagedata/imagedata.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace zemb {

namespace {

// The only magic word accepted: binary colour with one byte per sample.
constexpr char binary_ppm_magic[] = "P6";
// Largest maxval whose samples fit one byte.
constexpr int largest_byte_maxval = 255;
// Raster bytes moved per block read or write: whole pixels, small enough for
// the stack so that no frame allocates.
constexpr std::size_t io_block_bytes = 3 * 4096;

bool is_c_space(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads the magic word: leading white space skipped, then the run of
// characters up to the next white space (left in the stream).
PpmFault scan_magic(std::FILE* in)
{
    int c;
    do
        c = std::getc(in);
    while (is_c_space(c));
    if (c == EOF)
        return PpmFault::ends_early;
    std::size_t length = 0;
    bool matches = true;
    while (c != EOF && !is_c_space(c)) {
        if (length >= sizeof binary_ppm_magic - 1 || c != binary_ppm_magic[length])
            matches = false;
        ++length;
        c = std::getc(in);
    }
    if (c != EOF)
        std::ungetc(c, in);
    return matches && length == sizeof binary_ppm_magic - 1 ? PpmFault::none : PpmFault::not_p6;
}

// Between the magic and the width: blanks, tabs, line ends and comment lines
// that run from "#" to the next LF or CR. End of file here ends the header.
PpmFault skip_separators(std::FILE* in)
{
    for (;;) {
        int c = std::getc(in);
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r')
            continue;
        if (c == '#') {
            do
                c = std::getc(in);
            while (c != '\n' && c != '\r' && c != EOF);
            if (c == EOF)
                return PpmFault::ends_early;
            continue;
        }
        if (c == EOF)
            return PpmFault::ends_early;
        std::ungetc(c, in);
        return PpmFault::none;
    }
}

// A decimal number as "%d" reads it (white space, optional sign, digits up
// to the first other character), without its undefined behaviour on overflow:
// a value outside int is refused, and so is a negative one.
PpmFault scan_number(std::FILE* in, int& value)
{
    int c;
    do
        c = std::getc(in);
    while (is_c_space(c));
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = std::getc(in);
    }
    if (c == EOF)
        return PpmFault::ends_early;
    if (c < '0' || c > '9')
        return PpmFault::bad_number;
    long long magnitude = 0;
    bool too_large = false;
    for (; c >= '0' && c <= '9'; c = std::getc(in)) {
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > INT_MAX) {
            too_large = true;
            magnitude = INT_MAX;  // keep scanning the digits, without overflow
        }
    }
    if (c != EOF)
        std::ungetc(c, in);
    if (too_large)
        return PpmFault::too_large;
    if (negative && magnitude != 0)
        return PpmFault::bad_number;
    value = static_cast<int>(magnitude);
    return PpmFault::none;
}

// The header scan and raster read shared by the readers. `frame` is null for
// a header-only read; `required` (rows, columns) is null unless the frame
// must have exactly that size.
PpmRead read_ppm_file(const char* path, BytePlanes* frame, const int* required)
{
    PpmRead result;
    if (required != nullptr) {
        result.wanted_rows = required[0];
        result.wanted_cols = required[1];
    }
    std::FILE* in = std::fopen(path, "rb");
    if (in == nullptr) {
        result.fault = PpmFault::cannot_open;
        result.error = errno;
        return result;
    }
    PpmHeader header;
    result.fault = scan_ppm_header(in, header);
    if (result.ok()) {
        result.rows = header.height;
        result.cols = header.width;
    }
    if (result.ok() && frame != nullptr) {
        const std::size_t pixels = std::size_t(header.width) * std::size_t(header.height);
        if (required != nullptr && (header.height != required[0] || header.width != required[1]))
            result.fault = PpmFault::other_size;
        else if (pixels > frame->length || (pixels > 0 && frame->empty()))
            result.fault = PpmFault::larger_than_planes;
        else
            result.missing = read_ppm_raster(in, header, *frame);
    }
    std::fclose(in);
    return result;
}

// Ends a write: flushes and closes and, when anything failed, removes the
// partial file so that no truncated image stands under `path`.
FileWrite finish_write(std::FILE* out, const char* path)
{
    bool failed = std::ferror(out) != 0;
    int error = failed ? errno : 0;
    if (std::fflush(out) != 0 && !failed) {
        failed = true;
        error = errno;
    }
    if (std::fclose(out) != 0 && !failed) {
        failed = true;
        error = errno;
    }
    FileWrite result;
    if (!failed)
        return result;
    result.fault = WriteFault::failed;
    result.error = error != 0 ? error : EIO;
    // Only a regular file is removed: a name that leads to a device (such as
    // a link to /dev/full) is left as it stands.
    struct stat status;
    result.removed = stat(path, &status) == 0 && S_ISREG(status.st_mode) && unlink(path) == 0;
    return result;
}

FileWrite cannot_create()
{
    FileWrite result;
    result.fault = WriteFault::cannot_open;
    result.error = errno;
    return result;
}

}  // namespace

PpmFault scan_ppm_header(std::FILE* in, PpmHeader& header)
{
    PpmFault fault = scan_magic(in);
    if (fault == PpmFault::none)
        fault = skip_separators(in);
    PpmHeader scanned;
    if (fault == PpmFault::none)
        fault = scan_number(in, scanned.width);
    if (fault == PpmFault::none)
        fault = scan_number(in, scanned.height);
    if (fault == PpmFault::none)
        fault = scan_number(in, scanned.maxval);
    if (fault != PpmFault::none)
        return fault;
    if (scanned.maxval < 1 || scanned.maxval > largest_byte_maxval)
        return PpmFault::bad_maxval;
    // Exactly one character ends the header, whatever it is: after a CR LF
    // the LF is the first raster byte.
    std::getc(in);
    header = scanned;
    return PpmFault::none;
}

std::size_t read_ppm_raster(std::FILE* in, const PpmHeader& header, BytePlanes& frame)
{
    std::size_t pixels = std::size_t(header.width) * std::size_t(header.height);
    std::uint8_t* red = frame[0];
    std::uint8_t* green = frame[1];
    std::uint8_t* blue = frame[2];
    unsigned char block[io_block_bytes];
    std::size_t done = 0;  // pixels read whole
    while (done < pixels) {
        std::size_t want = std::min(pixels - done, io_block_bytes / 3) * 3;
        std::size_t got = std::fread(block, 1, want, in);
        std::size_t whole = got / 3;
        for (std::size_t p = 0; p < whole; ++p) {
            red[done + p] = block[3 * p];
            green[done + p] = block[3 * p + 1];
            blue[done + p] = block[3 * p + 2];
        }
        if (got < want) {
            // A raster that stops inside a pixel still delivers the samples
            // it has, in order; everything after them keeps its old value.
            std::size_t partial = got % 3;
            if (partial >= 1)
                red[done + whole] = block[3 * whole];
            if (partial >= 2)
                green[done + whole] = block[3 * whole + 1];
            return (pixels - done) * 3 - got;
        }
        done += whole;
    }
    return 0;
}

PpmRead read_ppm_size(const char* path) { return read_ppm_file(path, nullptr, nullptr); }

PpmRead read_ppm(const char* path, BytePlanes& frame)
{
    return read_ppm_file(path, &frame, nullptr);
}

PpmRead read_ppm_frame(const char* path, int rows, int cols, BytePlanes& frame)
{
    const int required[2] = {rows, cols};
    return read_ppm_file(path, &frame, required);
}

FileWrite write_pgm(int rows, int cols, const std::uint8_t* mask, const char* path)
{
    std::FILE* out = std::fopen(path, "wb");
    if (out == nullptr)
        return cannot_create();
    std::fprintf(out, "P5\n%d %d\n%d\n", cols, rows, largest_byte_maxval);
    if (rows > 0 && cols > 0)
        std::fwrite(mask, 1, std::size_t(rows) * std::size_t(cols), out);
    return finish_write(out, path);
}

FileWrite write_ppm(int rows, int cols, const BytePlanes& image, const char* path)
{
    std::FILE* out = std::fopen(path, "wb");
    if (out == nullptr)
        return cannot_create();
    std::fprintf(out, "P6\n%d %d\n%d\n", cols, rows, largest_byte_maxval);
    std::size_t samples = rows > 0 && cols > 0 ? std::size_t(rows) * std::size_t(cols) : 0;
    unsigned char block[io_block_bytes];
    for (std::size_t done = 0; done < samples;) {
        std::size_t count = std::min(samples - done, io_block_bytes / 3);
        for (std::size_t p = 0; p < count; ++p) {
            block[3 * p] = image[0][done + p];
            block[3 * p + 1] = image[1][done + p];
            block[3 * p + 2] = image[2][done + p];
        }
        if (std::fwrite(block, 1, 3 * count, out) != 3 * count)
            break;
        done += count;
    }
    return finish_write(out, path);
}

const char* describe(PpmFault fault)
{
    switch (fault) {
    case PpmFault::ends_early: return "header ends before width, height and maxval";
    case PpmFault::not_p6: return "not a binary colour PPM (magic word is not P6)";
    case PpmFault::bad_number:
        return "width, height or maxval is not a non-negative decimal number";
    case PpmFault::too_large: return "width, height or maxval is too large";
    case PpmFault::bad_maxval: return "maxval is not 1 to 255 (only 8-bit samples are read)";
    case PpmFault::larger_than_planes:
        return "frame is larger than the buffers sized from the first frame";
    case PpmFault::none:
    case PpmFault::cannot_open:
    case PpmFault::other_size: break;
    }
    return "unknown fault";
}

}  // namespace zemb

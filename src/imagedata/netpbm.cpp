#include "imagedata/imagedata.h"

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

// The header's bytes, counted: past ppm_header_limit the stream reads as
// ended and the scan says why. A put-back byte is not counted twice.
class HeaderBytes {
public:
    explicit HeaderBytes(std::FILE* in) : in_(in) {}
    int get()
    {
        if (left_ == 0) {
            exhausted_ = true;
            return EOF;
        }
        --left_;
        return std::getc(in_);
    }
    void unget(int c)
    {
        if (c != EOF && std::ungetc(c, in_) != EOF)
            ++left_;
    }
    bool exhausted() const { return exhausted_; }

private:
    std::FILE* in_;
    std::size_t left_ = ppm_header_limit;
    bool exhausted_ = false;
};

// Reads the magic word after leading white space: two characters, which
// must be "P6" and be followed by white space (left in the stream) or the
// end of the file.
PpmFault scan_magic(HeaderBytes& in)
{
    int c;
    do
        c = in.get();
    while (is_c_space(c));
    if (c == EOF)
        return PpmFault::ends_early;
    const int second = in.get();
    if (c != binary_ppm_magic[0] || second != binary_ppm_magic[1])
        return PpmFault::not_p6;
    const int after = in.get();
    in.unget(after);
    return after == EOF || is_c_space(after) ? PpmFault::none : PpmFault::not_p6;
}

// Between the magic and the width: blanks, tabs, line ends and comment lines
// that run from "#" to the next LF or CR. End of file here ends the header.
PpmFault skip_separators(HeaderBytes& in)
{
    for (;;) {
        int c = in.get();
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r')
            continue;
        if (c == '#') {
            do
                c = in.get();
            while (c != '\n' && c != '\r' && c != EOF);
            if (c == EOF)
                return PpmFault::ends_early;
            continue;
        }
        if (c == EOF)
            return PpmFault::ends_early;
        in.unget(c);
        return PpmFault::none;
    }
}

// A decimal number as "%d" reads it (white space, optional sign, digits up
// to the first other character), without its undefined behaviour on overflow:
// a value outside int is refused, and so is a negative one.
PpmFault scan_number(HeaderBytes& in, int& value)
{
    int c;
    do
        c = in.get();
    while (is_c_space(c));
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = in.get();
    }
    if (c == EOF)
        return PpmFault::ends_early;
    if (c < '0' || c > '9')
        return PpmFault::bad_number;
    long long magnitude = 0;
    bool too_large = false;
    for (; c >= '0' && c <= '9'; c = in.get()) {
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > INT_MAX) {
            too_large = true;
            magnitude = INT_MAX;  // keep scanning the digits, without overflow
        }
    }
    in.unget(c);
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
    const int fd = open_input_file(path, result.error, result.file_mode);
    if (fd < 0) {
        result.fault = result.file_mode != 0 ? PpmFault::not_regular : PpmFault::cannot_open;
        return result;
    }
    std::FILE* in = fdopen(fd, "rb");
    if (in == nullptr) {
        result.fault = PpmFault::cannot_open;
        result.error = errno;
        close(fd);
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

}  // namespace

PpmFault scan_ppm_header(std::FILE* in, PpmHeader& header)
{
    HeaderBytes bytes(in);
    PpmFault fault = scan_magic(bytes);
    if (fault == PpmFault::none)
        fault = skip_separators(bytes);
    PpmHeader scanned;
    if (fault == PpmFault::none)
        fault = scan_number(bytes, scanned.width);
    if (fault == PpmFault::none)
        fault = scan_number(bytes, scanned.height);
    if (fault == PpmFault::none)
        fault = scan_number(bytes, scanned.maxval);
    // Exactly one character ends the header, whatever it is: after a CR LF
    // the LF is the first raster byte.
    if (fault == PpmFault::none)
        bytes.get();
    // The limit cut whatever was being read: a number may have been cut short.
    if (bytes.exhausted())
        return PpmFault::header_too_long;
    if (fault != PpmFault::none)
        return fault;
    if (scanned.maxval < 1 || scanned.maxval > largest_byte_maxval)
        return PpmFault::bad_maxval;
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
    OutputFile file;
    const FileWrite created = file.create(path);
    if (!created.ok())
        return created;
    std::FILE* out = file.stream();
    std::fprintf(out, "P5\n%d %d\n%d\n", cols, rows, largest_byte_maxval);
    if (rows > 0 && cols > 0)
        std::fwrite(mask, 1, std::size_t(rows) * std::size_t(cols), out);
    return file.commit();
}

FileWrite write_ppm(int rows, int cols, const BytePlanes& image, const char* path)
{
    OutputFile file;
    const FileWrite created = file.create(path);
    if (!created.ok())
        return created;
    std::FILE* out = file.stream();
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
    return file.commit();
}

const char* describe(PpmFault fault)
{
    switch (fault) {
    case PpmFault::ends_early: return "header ends before width, height and maxval";
    case PpmFault::header_too_long:
        static_assert(ppm_header_limit == 32768, "the message names the limit");
        return "header runs past 32768 bytes without width, height and maxval";
    case PpmFault::not_p6: return "not a binary colour PPM (magic word is not P6)";
    case PpmFault::bad_number:
        return "width, height or maxval is not a non-negative decimal number";
    case PpmFault::too_large: return "width, height or maxval is too large";
    case PpmFault::bad_maxval: return "maxval is not 1 to 255 (only 8-bit samples are read)";
    case PpmFault::larger_than_planes:
        return "frame is larger than the buffers sized from the first frame";
    case PpmFault::none:
    case PpmFault::cannot_open:
    case PpmFault::not_regular:
    case PpmFault::other_size: break;
    }
    return "unknown fault";
}

}  // namespace zemb

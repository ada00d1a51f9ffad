#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "eval/eval.h"
#include "media/media.h"

namespace zemb::eval {

namespace {

// Largest side and pixel count accepted; bigger headers are damaged files,
// not video frames, and must not drive an allocation.
constexpr long max_side = 1L << 16;
constexpr long max_pixels = 1L << 28;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Skips white space and '#' comments between header fields.
void skip_blanks(std::FILE* in)
{
    int ch;
    while ((ch = std::fgetc(in)) != EOF) {
        if (ch == '#') {
            while ((ch = std::fgetc(in)) != EOF && ch != '\n' && ch != '\r') {
            }
        } else if (ch != ' ' && ch != '\t' && ch != '\n' && ch != '\r' && ch != '\v' && ch != '\f') {
            std::ungetc(ch, in);
            return;
        }
    }
}

long read_header_number(std::FILE* in, const std::string& path, const char* field, bool last_field)
{
    skip_blanks(in);
    long value = 0;
    int digits = 0, ch;
    while ((ch = std::fgetc(in)) != EOF && ch >= '0' && ch <= '9') {
        if (value > max_pixels)
            throw EvalError(path, std::string("PGM ") + field + " is far too large");
        value = value * 10 + (ch - '0');
        ++digits;
    }
    if (digits == 0)
        throw EvalError(path, std::string("PGM header: no ") + field);
    // Width and height may be followed by a comment; maxval only by the one
    // white-space byte that ends the header.
    const bool blank = ch == EOF || ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r';
    if (!blank && !(ch == '#' && !last_field))
        throw EvalError(path, std::string("PGM header: ") + field + " is not a plain number");
    if (ch == '#')
        std::ungetc(ch, in);
    return value;
}

// The stream is positioned after the magic word "P5"; reads the header.
void read_pgm_header(std::FILE* in, const std::string& path, int& width, int& height)
{
    const long w = read_header_number(in, path, "width", false);
    const long h = read_header_number(in, path, "height", false);
    // The single white-space byte after maxval was taken by read_header_number.
    const long maxval = read_header_number(in, path, "maxval", true);
    if (w == 0 || h == 0)
        throw EvalError(path, "the image has no pixels");
    if (w > max_side || h > max_side || w * h > max_pixels)
        throw EvalError(path, "the image is far too large (" + std::to_string(w) + " x " +
                                  std::to_string(h) + ")");
    if (maxval < 1 || maxval > 255)
        throw EvalError(path, "maxval " + std::to_string(maxval) + ": only 8-bit PGM is read");
    width = static_cast<int>(w);
    height = static_cast<int>(h);
}

GreyImage read_pgm_raster(std::FILE* in, const std::string& path, int width, int height)
{
    GreyImage image;
    image.width = width;
    image.height = height;
    // A header that claims more than the file holds allocates nothing.
    const long start = std::ftell(in);
    std::fseek(in, 0, SEEK_END);
    const long available = std::max(0L, std::ftell(in) - start);
    std::fseek(in, start, SEEK_SET);
    const std::size_t size = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    if (static_cast<std::size_t>(available) < size)
        throw EvalError(path, "the raster ends after " + std::to_string(available) + " of " +
                                  std::to_string(size) + " bytes");
    image.pixels.resize(size);
    const std::size_t got = std::fread(image.pixels.data(), 1, size, in);
    if (got != size)
        throw EvalError(path, "the raster ends after " + std::to_string(got) + " of " + std::to_string(size) +
                                  " bytes");
    return image;
}

void throw_fault(const std::string& path, const media::Result& result)
{
    if (result.fault == media::Fault::cannot_open || result.fault == media::Fault::not_regular)
        throw EvalError(path, media::describe(result));
    throw EvalError(path, "cannot decode the image: " + media::describe(result));
}

}  // namespace

GreyFile::GreyFile(const std::string& path) : path_(path)
{
    int fd = -1;
    const media::Result opened = media::open_regular_file(path.c_str(), fd);
    if (opened.fault != media::Fault::none)
        throw EvalError(path, media::describe(opened));
    File in(fdopen(fd, "rb"));
    if (!in) {
        ::close(fd);
        throw EvalError(path, "cannot open: out of memory");
    }
    const int first = std::fgetc(in.get());
    const int second = std::fgetc(in.get());
    if (first == 'P' && second == '5') {
        read_pgm_header(in.get(), path, width_, height_);
        pgm_ = in.release();
        return;
    }
    in.reset();
    // Everything that is no PGM goes through the decoders zemb reads frames with.
    const media::Result result = reader_.open(path.c_str(), max_pixels);
    if (result.fault != media::Fault::none)
        throw_fault(path, result);
    // The frame decoders accept an empty PPM; a picture with no pixels scores nothing.
    if (result.width <= 0 || result.height <= 0)
        throw EvalError(path, "the image has no pixels");
    width_ = result.width;
    height_ = result.height;
}

GreyFile::~GreyFile()
{
    if (pgm_ != nullptr)
        std::fclose(pgm_);
}

GreyImage GreyFile::decode()
{
    if (pgm_ != nullptr) {
        File in(pgm_);
        pgm_ = nullptr;
        return read_pgm_raster(in.get(), path_, width_, height_);
    }
    GreyImage image;
    image.width = width_;
    image.height = height_;
    const std::size_t pixels = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    BytePlanes planes = alloc_byte_planes(plane_count, pixels);
    const media::Result result = reader_.decode(planes);
    if (result.fault != media::Fault::none)
        throw_fault(path_, result);
    // Colour ground truth repeats the class value in every channel; the first one is taken.
    image.pixels.assign(planes[0], planes[0] + pixels);
    return image;
}

}  // namespace zemb::eval

#include <fcntl.h>
#include <unistd.h>

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

// The stream is positioned after the magic word "P5".
GreyImage read_pgm(std::FILE* in, const std::string& path, const GreyImage* expected)
{
    const long width = read_header_number(in, path, "width", false);
    const long height = read_header_number(in, path, "height", false);
    // The single white-space byte after maxval was taken by read_header_number.
    const long maxval = read_header_number(in, path, "maxval", true);
    if (width == 0 || height == 0)
        throw EvalError(path, "the image has no pixels");
    if (width > max_side || height > max_side || width * height > max_pixels)
        throw EvalError(path, "the image is far too large (" + std::to_string(width) + " x " +
                                  std::to_string(height) + ")");
    if (maxval < 1 || maxval > 255)
        throw EvalError(path, "maxval " + std::to_string(maxval) + ": only 8-bit PGM is read");
    GreyImage image;
    image.width = static_cast<int>(width);
    image.height = static_cast<int>(height);
    if (expected != nullptr && (image.width != expected->width || image.height != expected->height))
        return image;
    // A header that claims more than the file holds allocates nothing.
    const long start = std::ftell(in);
    std::fseek(in, 0, SEEK_END);
    const long available = std::max(0L, std::ftell(in) - start);
    std::fseek(in, start, SEEK_SET);
    const std::size_t size = static_cast<std::size_t>(width * height);
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

// Everything that is no PGM goes through the decoders zemb reads frames with.
GreyImage decode(const std::string& path, const GreyImage* expected)
{
    media::ImageReader reader;
    media::Result result = reader.open(path.c_str(), max_pixels);
    GreyImage image;
    image.width = result.width;
    image.height = result.height;
    if (result.fault == media::Fault::none &&
        (expected == nullptr || (image.width == expected->width && image.height == expected->height))) {
        const std::size_t pixels = static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height);
        BytePlanes planes = alloc_byte_planes(plane_count, pixels);
        result = reader.decode(planes);
        // Colour ground truth repeats the class value in every channel; the first one is taken.
        image.pixels.assign(planes[0], planes[0] + pixels);
    } else if (result.fault == media::Fault::none) {
        return image;  // another size: the caller names both files
    }
    if (result.fault == media::Fault::cannot_open || result.fault == media::Fault::not_regular)
        throw EvalError(path, media::describe(result));
    if (result.fault != media::Fault::none)
        throw EvalError(path, "cannot decode the image: " + media::describe(result));
    return image;
}

}  // namespace

GreyImage read_grey_image(const std::string& path, const GreyImage* expected)
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
    if (first == 'P' && second == '5')
        return read_pgm(in.get(), path, expected);
    in.reset();
    return decode(path, expected);
}

}  // namespace zemb::eval

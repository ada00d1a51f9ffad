#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "eval/eval.h"

// The one place that compiles the decoder. Only the formats ground truth and
// regions of interest come in are kept.
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_BMP
#define STBI_ONLY_JPEG
#define STBI_ONLY_PNM
#include "stb_image.h"

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

GreyImage read_pgm(std::FILE* in, const std::string& path)
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
    image.pixels.resize(static_cast<std::size_t>(width * height));
    const std::size_t got = std::fread(image.pixels.data(), 1, image.pixels.size(), in);
    if (got != image.pixels.size())
        throw EvalError(path, "the raster ends after " + std::to_string(got) + " of " +
                                  std::to_string(image.pixels.size()) + " bytes");
    return image;
}

GreyImage decode(std::FILE* in, const std::string& path)
{
    int width = 0, height = 0, channels = 0;
    std::unique_ptr<stbi_uc, void (*)(void*)> data(stbi_load_from_file(in, &width, &height, &channels, 0),
                                                  stbi_image_free);
    if (!data)
        throw EvalError(path, std::string("cannot decode the image: ") + stbi_failure_reason());
    GreyImage image;
    image.width = width;
    image.height = height;
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    image.pixels.resize(pixels);
    // Colour ground truth repeats the class value in every channel; the first one is taken.
    for (std::size_t i = 0; i < pixels; ++i)
        image.pixels[i] = data.get()[i * static_cast<std::size_t>(channels)];
    return image;
}

}  // namespace

GreyImage read_grey_image(const std::string& path)
{
    File in(std::fopen(path.c_str(), "rb"));
    if (!in)
        throw EvalError(path, std::string("cannot open: ") + std::strerror(errno));
    const int first = std::fgetc(in.get());
    const int second = std::fgetc(in.get());
    if (first == 'P' && second == '5')
        return read_pgm(in.get(), path);
    std::rewind(in.get());
    return decode(in.get(), path);
}

}  // namespace zemb::eval

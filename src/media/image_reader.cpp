// The image reader, which picks a decoder from each file's first bytes.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "media/decoders.h"

namespace zemb::media {

namespace {

// Samples of an RGB row: the widest row any decoder hands over.
constexpr std::size_t rgb_samples = 3;

// Which decoder the first bytes of a file ask for. A PPM may start with
// white space, so anything that is no other format and could begin a PPM
// header goes to the PPM reader, whose faults say what is wrong with it.
Format sniff(const std::uint8_t* bytes, std::size_t size)
{
    static const std::uint8_t jpeg[] = {0xFF, 0xD8, 0xFF};
    static const std::uint8_t png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    auto starts_with = [&](const std::uint8_t* magic, std::size_t length) {
        return size >= length && std::memcmp(bytes, magic, length) == 0;
    };
    if (starts_with(jpeg, sizeof jpeg))
        return Format::jpeg;
    if (starts_with(png, sizeof png))
        return Format::png;
    if (size >= 2 && bytes[0] == 'B' && bytes[1] == 'M')
        return Format::bmp;
    if (size == 0 || bytes[0] == 'P' || std::strchr(" \t\n\v\f\r", bytes[0]) != nullptr)
        return Format::ppm;
    return Format::unknown;
}

}  // namespace

struct ImageReader::State {
    detail::Input in;
    std::FILE* ppm = nullptr;  // the PPM reader works on a stream
    PpmHeader ppm_header;
    Format format = Format::unknown;
    int width = 0, height = 0;
    detail::RowBuffer row;
    // Made on first use, then kept for every later file.
    std::unique_ptr<detail::JpegDecoder, detail::DecoderDeleter> jpeg;
    std::unique_ptr<detail::PngDecoder, detail::DecoderDeleter> png;
    std::unique_ptr<detail::BmpDecoder, detail::DecoderDeleter> bmp;

    Result fail(Result result)
    {
        result.path = in.path;
        if (result.format == Format::unknown)
            result.format = format;
        close();
        return result;
    }

    void close()
    {
        if (format == Format::jpeg && jpeg)
            detail::jpeg_abandon(*jpeg);
        if (format == Format::png && png)
            detail::png_abandon(*png);
        if (ppm != nullptr)
            std::fclose(ppm);  // closes the descriptor too
        else if (in.fd >= 0)
            ::close(in.fd);
        ppm = nullptr;
        in.fd = -1;
        in.begin = in.end = 0;
        in.read_error = 0;
        format = Format::unknown;
    }

    Result read_header(std::uint64_t pixel_cap, bool ppm_only);
};

Result ImageReader::State::read_header(std::uint64_t pixel_cap, bool ppm_only)
{
    Result result;
    if (!in.fill() && in.read_error != 0) {
        result.fault = Fault::read_failed;
        result.error = in.read_error;
        return result;
    }
    format = ppm_only ? Format::ppm : sniff(in.block.get(), in.end);
    result.format = format;
    switch (format) {
    case Format::ppm: {
        in.begin = in.end = 0;
        if (lseek(in.fd, 0, SEEK_SET) != 0 || (ppm = fdopen(in.fd, "rb")) == nullptr) {
            result.fault = Fault::read_failed;
            result.error = errno;
            return result;
        }
        result.ppm = scan_ppm_header(ppm, ppm_header);
        if (result.ppm != PpmFault::none) {
            result.fault = Fault::ppm_header;
            return result;
        }
        width = ppm_header.width;
        height = ppm_header.height;
        break;
    }
    case Format::jpeg:
        if (!jpeg)
            jpeg = detail::make_jpeg_decoder();
        result = detail::jpeg_read_header(*jpeg, in);
        break;
    case Format::png:
        if (!png)
            png = detail::make_png_decoder();
        result = detail::png_read_header(*png, in, pixel_cap);
        break;
    case Format::bmp:
        if (!bmp)
            bmp = detail::make_bmp_decoder(result);
        if (bmp)
            result = detail::bmp_read_header(*bmp, in, pixel_cap);
        break;
    case Format::unknown:
    case Format::video:
        result.fault = Fault::unknown_format;
        return result;
    }
    if (result.fault != Fault::none)
        return result;
    if (format != Format::ppm) {
        width = result.width;
        height = result.height;
    }
    result.width = width;
    result.height = height;
    if (std::uint64_t(width) * std::uint64_t(height) > pixel_cap) {
        result.fault = Fault::too_large;
        result.pixel_cap = pixel_cap;
    }
    return result;
}

ImageReader::ImageReader() : state_(std::make_unique<State>())
{
    state_->in.block = std::make_unique<std::uint8_t[]>(detail::input_block_bytes);
}

ImageReader::~ImageReader() { state_->close(); }

bool ImageReader::reserve(int width) { return state_->row.reserve(rgb_samples * std::size_t(width)); }

Result ImageReader::open(const char* path, std::uint64_t pixel_cap, bool ppm_only)
{
    State& s = *state_;
    s.close();
    s.in.path = path;
    Result result = open_regular_file(path, s.in.fd);
    if (result.fault == Fault::none)
        result = s.read_header(pixel_cap, ppm_only);
    if (result.fault != Fault::none)
        return s.fail(result);
    return result;
}

Result ImageReader::decode(BytePlanes& frame)
{
    State& s = *state_;
    Result result;
    result.format = s.format;
    result.width = s.width;
    result.height = s.height;
    const std::size_t pixels = std::size_t(s.width) * std::size_t(s.height);
    if (pixels > frame.length || (pixels > 0 && frame.empty())) {
        result.fault = Fault::ppm_header;
        result.ppm = PpmFault::larger_than_planes;
        return s.fail(result);
    }
    switch (s.format) {
    case Format::ppm: {
        const std::size_t missing = read_ppm_raster(s.ppm, s.ppm_header, frame);
        if (missing > 0) {
            result.fault = Fault::short_raster;
            result.missing_bytes = missing;
            result.raster_bytes = pixels * rgb_samples;
        }
        break;
    }
    case Format::jpeg:
    case Format::png:
        if (!s.row.reserve(rgb_samples * std::size_t(s.width)))
            result.fault = Fault::no_memory;
        else if (s.format == Format::jpeg)
            result = detail::jpeg_decode(*s.jpeg, s.row, frame);
        else
            result = detail::png_decode(*s.png, s.row, frame);
        break;
    case Format::bmp:
        result = detail::bmp_decode(*s.bmp, frame);
        break;
    case Format::unknown:
    case Format::video:
        result.fault = Fault::unknown_format;
        break;
    }
    if (result.fault != Fault::none)
        return s.fail(result);
    s.close();
    return result;
}

void ImageReader::close() { state_->close(); }

}  // namespace zemb::media

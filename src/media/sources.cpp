// Frame sources made of files (numbered PPM frames and frame patterns), the
// choice of a source from a sequence name, and what this build decodes.
#include <sys/stat.h>

#include <cstring>
#include <new>

#include "media/decoders.h"

namespace zemb::media {

namespace {

// Room the decoders of a pattern may take per pixel beyond the staging
// planes: a progressive JPEG keeps every coefficient (2 bytes per sample,
// 3 samples), a BMP file and FFmpeg's picture of it 4 bytes each.
constexpr std::uint64_t decoder_bytes_per_pixel = 8;

// One file per frame, named by a pattern. Every file is read as a PPM on
// the numbered-PPM route; a pattern picks each file's decoder from its
// first bytes and decodes into staging planes, which are copied only when
// the whole frame decoded, so that a damaged file leaves the frame as it was.
class FileFrames final : public FrameSource {
public:
    FileFrames(SourceKind kind, FramePattern pattern, std::string base)
        : FrameSource(kind, std::move(base)), pattern_(std::move(pattern)),
          name_(new char[pattern_.name_capacity()])
    {
    }

    Result open(long long first, std::uint64_t pixel_cap)
    {
        pixel_cap_ = pixel_cap;
        pattern_.format(first, name_.get());
        Result result = reader_.open(name_.get(), pixel_cap, ppm_only());
        reader_.close();
        result.frame = first;
        if (result.fault != Fault::none)
            return result;
        rows_ = result.height;
        cols_ = result.width;
        const std::size_t pixels = std::size_t(rows_) * std::size_t(cols_);
        try {
            if (!ppm_only())
                staging_ = alloc_byte_planes(plane_count, pixels);
        } catch (const std::bad_alloc&) {
            result.fault = Fault::no_memory;
        }
        if (!ppm_only() && !reader_.reserve(cols_))
            result.fault = Fault::no_memory;
        if (result.fault != Fault::none) {
            result.path = name_.get();
            return result;
        }
        // A first image that does not decode would start a run on a black
        // frame of its declared size: it stops the run instead.
        if (!ppm_only()) {
            Result decoded = reader_.open(name_.get(), pixel_cap);
            if (decoded.fault == Fault::none)
                decoded = reader_.decode(staging_);
            if (!decoded.frame_read()) {
                decoded.frame = first;
                return decoded;
            }
        }
        return result;
    }

    std::uint64_t buffer_bytes() const override
    {
        const std::uint64_t pixels = std::uint64_t(rows_) * std::uint64_t(cols_);
        return ppm_only() ? detail::input_block_bytes
                          : detail::input_block_bytes + 3 * std::uint64_t(cols_) +
                                (plane_count + decoder_bytes_per_pixel) * pixels;
    }

    Result read(long long number, BytePlanes& frame) override
    {
        pattern_.format(number, name_.get());
        Result result = reader_.open(name_.get(), pixel_cap_, ppm_only());
        result.frame = number;
        if (result.fault != Fault::none)
            return result;
        if (result.width != cols_ || result.height != rows_) {
            reader_.close();
            result.fault = Fault::wrong_size;
            result.expected_width = cols_;
            result.expected_height = rows_;
            result.path = name_.get();
            return result;
        }
        // A PPM keeps its old behaviour: read in place, a short raster counts.
        if (result.format == Format::ppm)
            return reader_.decode(frame);
        result = reader_.decode(staging_);
        result.frame = number;
        if (result.fault == Fault::none)
            for (int k = 0; k < plane_count; ++k)
                std::memcpy(frame[k], staging_[k], std::size_t(rows_) * std::size_t(cols_));
        return result;
    }

private:
    bool ppm_only() const { return kind_ == SourceKind::ppm_frames; }

    FramePattern pattern_;
    std::unique_ptr<char[]> name_;  // the current frame's file name
    ImageReader reader_;
    BytePlanes staging_;
    std::uint64_t pixel_cap_ = no_pixel_cap;
};

std::unique_ptr<FrameSource> open_files(SourceKind kind, FramePattern pattern, std::string base,
                                        long long first, std::uint64_t pixel_cap, Result& result)
{
    auto source = std::make_unique<FileFrames>(kind, std::move(pattern), std::move(base));
    result = source->open(first, pixel_cap);
    if (result.fault != Fault::none)
        return nullptr;
    return source;
}

}  // namespace

std::unique_ptr<FrameSource> open_ppm_frames(const std::string& directory, const std::string& base,
                                             long long first, std::uint64_t pixel_cap, Result& result)
{
    FramePattern pattern;
    FramePattern::parse(pattern_literal(directory + base) + ".%d.ppm", pattern);
    return open_files(SourceKind::ppm_frames, std::move(pattern), base, first, pixel_cap, result);
}

std::unique_ptr<FrameSource> open_frame_pattern(const FramePattern& pattern, long long first,
                                                std::uint64_t pixel_cap, Result& result)
{
    return open_files(SourceKind::frame_pattern, pattern, pattern_base_name(pattern), first, pixel_cap,
                      result);
}

std::unique_ptr<FrameSource> open_video(const std::string& path, long long first, std::uint64_t pixel_cap,
                                        Result& result, const LiveInput& live)
{
    return detail::open_video_file(path, first, pixel_cap, result, live);
}

LiveKind live_kind(std::string_view name)
{
    if (name == "-")
        return LiveKind::standard_input;
    for (const char* scheme : {"rtsp://", "rtsps://", "http://", "https://", "udp://", "tcp://", "srt://"})
        if (name.substr(0, std::strlen(scheme)) == scheme)
            return LiveKind::network;
    // A camera is a character device named like one: a FIFO or a file
    // called video0 reads as it always did.
    constexpr std::string_view device = "/dev/video";
    if (name.substr(0, device.size()) == device && name.size() > device.size() &&
        name.find_first_not_of("0123456789", device.size()) == std::string_view::npos) {
        struct stat status;
        if (stat(std::string(name).c_str(), &status) == 0 && S_ISCHR(status.st_mode))
            return LiveKind::camera;
    }
    return LiveKind::none;
}

SourceKind choose_source(const std::string& name, const char* first_ppm_frame, FramePattern& pattern,
                         PatternFault& fault)
{
    fault = PatternFault::none;
    struct stat status;
    if (stat(first_ppm_frame, &status) == 0)
        return SourceKind::ppm_frames;
    if (live_kind(name) != LiveKind::none)
        return SourceKind::video;
    const std::size_t separator = name.find_last_of("/\\");
    if (name.find('%', separator == std::string::npos ? 0 : separator + 1) != std::string::npos) {
        fault = FramePattern::parse(name, pattern);
        return SourceKind::frame_pattern;
    }
    if (stat(name.c_str(), &status) == 0 && S_ISREG(status.st_mode))
        return SourceKind::video;
    return SourceKind::ppm_frames;
}

bool is_video_name(std::string_view name)
{
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || name.find_first_of("/\\", dot) != std::string_view::npos)
        return false;
    std::string extension(name.substr(dot + 1));
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    for (const char* known : {"mkv", "mp4", "avi", "nut"})
        if (extension == known)
            return true;
    return false;
}

bool has_decoder(Format format)
{
    switch (format) {
    case Format::ppm:
        return true;
    case Format::jpeg:
        return ZEMB_HAVE_JPEG != 0;
    case Format::png:
        return ZEMB_HAVE_PNG != 0;
    case Format::bmp:
    case Format::video:
        return detail::ffmpeg_module_loads();
    case Format::unknown:
        break;
    }
    return false;
}

}  // namespace zemb::media

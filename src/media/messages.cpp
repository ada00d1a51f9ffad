// The wording of every message about frame files, videos and PNG masks.
#include <cstring>
#include <string>

#include "media/media.h"

namespace zemb::media {

namespace {

const char* format_name(Format format)
{
    switch (format) {
    case Format::ppm:
        return "PPM";
    case Format::jpeg:
        return "JPEG";
    case Format::png:
        return "PNG";
    case Format::bmp:
        return "BMP";
    case Format::video:
        return "video";
    case Format::unknown:
        break;
    }
    return "image";
}

// What a build without the decoder lacks, and the Debian packages that bring it.
const char* missing_library(Format format)
{
    switch (format) {
    case Format::jpeg:
        return "libjpeg-turbo (Debian package libjpeg62-turbo-dev)";
    case Format::png:
        return "libpng (Debian package libpng-dev)";
    case Format::bmp:
        return "FFmpeg's libavcodec (Debian package libavcodec-dev)";
    case Format::video:
        return "FFmpeg's libraries (Debian packages libavformat-dev libavcodec-dev libavfilter-dev "
               "libswscale-dev libavutil-dev)";
    case Format::ppm:
    case Format::unknown:
        break;
    }
    return "a decoder";
}

std::string size_text(int width, int height)
{
    return std::to_string(width) + " x " + std::to_string(height);
}

}  // namespace

std::string describe(const Result& r)
{
    switch (r.fault) {
    case Fault::none:
        return "";
    case Fault::cannot_open:
        return std::string("cannot open: ") + (r.error != 0 || r.detail.empty() ? std::strerror(r.error) : r.detail);
    case Fault::not_regular:
        return std::string("is ") + describe_file_kind(r.file_mode) + ", not a frame file";
    case Fault::read_failed:
        return std::string("read failed: ") + std::strerror(r.error);
    case Fault::ppm_header:
        return describe(r.ppm);
    case Fault::short_raster:
        return "raster is " + std::to_string(r.missing_bytes) + " of " + std::to_string(r.raster_bytes) +
               " bytes short; the samples past its end keep their previous values";
    case Fault::unknown_format:
        return "not a binary PPM, JPEG, PNG or BMP image";
    case Fault::missing_decoder:
        // `detail` says what stands in the way of a module this build has.
        if (!r.detail.empty())
            return std::string(format_name(r.format)) + " files need the FFmpeg module zemb-ffmpeg.so: " +
                   r.detail;
        return std::string(format_name(r.format)) + " files need " + missing_library(r.format) +
               ", which this build of zemb lacks: install it and build zemb again";
    case Fault::unsupported:
    case Fault::damaged:
        return std::string(r.fault == Fault::damaged ? "damaged " : "") + format_name(r.format) +
               (r.fault == Fault::damaged ? ": " : " not read: ") + r.detail;
    case Fault::wrong_size:
        return "frame is " + size_text(r.width, r.height) + ", not " +
               size_text(r.expected_width, r.expected_height) + " like the first frame";
    case Fault::too_large:
        return size_text(r.width, r.height) + " pixels: more than the " + std::to_string(r.pixel_cap) +
               " this run can hold";
    case Fault::no_memory:
        return "cannot allocate the decoder's buffers";
    case Fault::not_video:
        return "not a video that FFmpeg reads" + (r.detail.empty() ? "" : ": " + r.detail);
    case Fault::before_start:
        return "no frame " + std::to_string(r.frame) + ": the frames of a video are numbered from 1";
    case Fault::past_end:
        return "no frame " + std::to_string(r.frame) + ": the video ends after frame " +
               std::to_string(r.frames_decoded) +
               (r.detail.empty() ? "" : ", where the file is cut short or damaged: " + r.detail);
    case Fault::out_of_order:
        return "frame " + std::to_string(r.frame) + " asked for after a later one: a video is read forwards";
    case Fault::refused:
        return std::string(format_name(r.format)) + " refused: " + r.detail;
    case Fault::write_failed:
        return std::string("write failed: ") + std::strerror(r.error != 0 ? r.error : EIO) +
               (r.detail.empty() ? "" : "; " + r.detail);
    case Fault::stalled: {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", r.stall_seconds);
        return std::string("nothing came for ") + seconds + " s (--stall): the input ends here";
    }
    case Fault::cannot_write:
        return "cannot write the video" + (r.detail.empty() ? "" : ": " + r.detail);
    }
    return "unknown fault";
}

std::string message(const Result& result)
{
    if (result.fault == Fault::none)
        return "";
    return "zemb: " + result.path + ": " + describe(result);
}

std::string hint_message(const std::string& missing_path, const std::string& pattern)
{
    return "zemb: " + missing_path + ": not found, but the frames seem to be numbered as " + pattern +
           ": give that as the sequence name";
}

}  // namespace zemb::media

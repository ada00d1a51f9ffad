// The FFmpeg module, zemb-ffmpeg.so: video files and BMP images, read through
// FFmpeg's libraries in a library of its own. FFmpeg brings over a hundred
// shared libraries with it; media loads the module (loader.cpp) only when a
// run meets a video or a BMP, so that every other run starts without them.
//
// The module exports one C function, which returns a table of the functions
// below. Both sides pass media's own types (Result, BytePlanes, FrameSource),
// so they must be built from the same headers: the table opens with the
// stamp of those headers, and a module from another build is refused before
// anything else in it is used.
#pragma once

#include <cstdint>
#include <string>

#include "media/decoders.h"

namespace zemb::media::detail {

// The module's file name and its one exported function.
constexpr const char* ffmpeg_module_file = "zemb-ffmpeg.so";
constexpr const char* ffmpeg_module_entry = "zemb_ffmpeg_module";

// The stamp of the headers both sides are built from (the build sets it).
constexpr const char* ffmpeg_module_interface = ZEMB_MODULE_INTERFACE;

struct FfmpegModule {
    // Stays the first member in every build, so that any module's stamp can
    // be read and compared.
    const char* interface;
    // The video source, opened at frame `first` with base name `base`;
    // null with the fault in `result` when it cannot be.
    FrameSource* (*open_video)(const std::string& path, const std::string& base, long long first,
                               std::uint64_t pixel_cap, Result& result, const LiveInput& live);
    // The BMP decoder, as decoders.h describes it.
    BmpDecoder* (*make_bmp_decoder)();
    void (*free_bmp_decoder)(BmpDecoder* d);
    Result (*bmp_read_header)(BmpDecoder& d, Input& in, std::uint64_t pixel_cap);
    Result (*bmp_decode)(BmpDecoder& d, BytePlanes& frame);
    // The video writer, as media.h describes it.
    VideoWriter* (*open_video_writer)(const std::string& path, const VideoSettings& settings,
                                      Result& result);
};

using FfmpegModuleEntry = const FfmpegModule* (*)();

}  // namespace zemb::media::detail

// Inside the module only: the functions of its table, and what they share.
namespace zemb::media::ffmpeg {

// FFmpeg's log kept from standard error; the error text of a code, with the
// last error FFmpeg logged.
void quiet_log();
std::string error_text(int code);

FrameSource* open_video(const std::string& path, const std::string& base, long long first,
                        std::uint64_t pixel_cap, Result& result, const LiveInput& live);

VideoWriter* open_video_writer(const std::string& path, const VideoSettings& settings,
                               Result& result);

detail::BmpDecoder* make_bmp_decoder();
void free_bmp_decoder(detail::BmpDecoder* d);
Result bmp_read_header(detail::BmpDecoder& d, detail::Input& in, std::uint64_t pixel_cap);
Result bmp_decode(detail::BmpDecoder& d, BytePlanes& frame);

}  // namespace zemb::media::ffmpeg

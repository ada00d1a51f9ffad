// Inside media only: the input file every decoder reads from, the shared
// row store (files.cpp, which the FFmpeg module shares), and each format's
// decoder. A decoder whose library this build lacks compiles to stubs that
// answer Fault::missing_decoder.
#pragma once

#include <csetjmp>
#include <cstdint>
#include <memory>

#include "media/media.h"

namespace zemb::media::detail {

// Bytes read from a file per read(2): large enough that a frame takes few
// calls, allocated once per reader.
constexpr std::size_t input_block_bytes = 64 * 1024;

// An open input file and its read-ahead block.
struct Input {
    int fd = -1;
    const char* path = nullptr;  // the caller's text, valid while the file is open
    std::unique_ptr<std::uint8_t[]> block;
    std::size_t begin = 0, end = 0;  // unread bytes of the block
    int read_error = 0;              // errno of a failed read, 0 when none failed
    // Refills the block; false at the end of the file or on a read error.
    bool fill();
};

// Reads up to `size` bytes, through the block; returns how many were read.
std::size_t read_bytes(Input& in, std::uint8_t* out, std::size_t size);

// Stores one decoded row of `width` pixels of `channels` (1 grey, 3 RGB)
// interleaved samples as row `row` of the planes; grey becomes R = G = B.
void store_row(const std::uint8_t* samples, int channels, int width, int row, BytePlanes& frame);
// store_row's SSSE3 kernel: splits the first whole 16 pixels of RGB samples
// into the planes and returns how many pixels it did (a multiple of 16).
int split_rgb_ssse3(const std::uint8_t* samples, int width, std::uint8_t* red,
                    std::uint8_t* green, std::uint8_t* blue);

// A growing buffer of interleaved samples; grows only when asked for more.
struct RowBuffer {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t capacity = 0;
    bool reserve(std::size_t size);  // false when the memory is not there
};

// Runs `step` with a C decoder's fatal errors caught: its error handler
// jumps to `on_error`, and this returns false. Nothing with a destructor may
// live between here and the decoder.
template <typename Step>
bool guarded(std::jmp_buf& on_error, Step step)
{
    if (setjmp(on_error) != 0)
        return false;
    step();
    return true;
}

// The answer of a decoder this build lacks.
inline Result missing_decoder(Format format)
{
    Result result;
    result.fault = Fault::missing_decoder;
    result.format = format;
    return result;
}

// The header read fills format, width and height of `result`; the decode
// writes width x height pixels into the planes. Both return faults with
// everything but the path filled in.
struct JpegDecoder;
struct PngDecoder;
struct BmpDecoder;

struct DecoderDeleter {
    void operator()(JpegDecoder* d) const;
    void operator()(PngDecoder* d) const;
    void operator()(BmpDecoder* d) const;
};

std::unique_ptr<JpegDecoder, DecoderDeleter> make_jpeg_decoder();
Result jpeg_read_header(JpegDecoder& d, Input& in);
Result jpeg_decode(JpegDecoder& d, RowBuffer& row, BytePlanes& frame);
void jpeg_abandon(JpegDecoder& d);

std::unique_ptr<PngDecoder, DecoderDeleter> make_png_decoder();
Result png_read_header(PngDecoder& d, Input& in, std::uint64_t pixel_cap);
Result png_decode(PngDecoder& d, RowBuffer& row, BytePlanes& frame);
void png_abandon(PngDecoder& d);

// BMP images and video files are read by the FFmpeg module, which these
// load on first use. When it cannot be had (a build without FFmpeg, or no
// usable module) the maker returns null and the opener fails, both with
// Fault::missing_decoder saying why.
std::unique_ptr<BmpDecoder, DecoderDeleter> make_bmp_decoder(Result& result);
Result bmp_read_header(BmpDecoder& d, Input& in, std::uint64_t pixel_cap);
Result bmp_decode(BmpDecoder& d, BytePlanes& frame);
std::unique_ptr<FrameSource> open_video_file(const std::string& path, long long first,
                                             std::uint64_t pixel_cap, Result& result,
                                             const LiveInput& live);
// Whether the module is there and loads (it loads it).
bool ffmpeg_module_loads();

}  // namespace zemb::media::detail

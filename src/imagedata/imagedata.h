// Image data: the plane sets that hold every picture-sized buffer of a run,
// and the binary netpbm files (PPM frames in, PGM masks and PPM model
// images out).
//
// Sizes go rows first, columns second (height, then width) in every
// function here, while the files carry the width first.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "files/buffer.h"
#include "files/files.h"

namespace zemb {

// Every plane set of the system has three planes: R, G, B or x, y, z.
constexpr int plane_count = 3;

// Three parallel, separately allocated, row-major planes of equal length.
// The set owns its planes; moving it moves the ownership.
template <typename T>
struct PlaneSet {
    std::array<Buffer<T>, plane_count> planes;
    std::size_t length = 0;  // elements per plane; readers refuse what would not fit

    T* operator[](int k) { return planes[static_cast<std::size_t>(k)].get(); }
    const T* operator[](int k) const { return planes[static_cast<std::size_t>(k)].get(); }
    bool empty() const { return !planes[0]; }
};

using BytePlanes = PlaneSet<std::uint8_t>;
using FloatPlanes = PlaneSet<float>;

// Zero-filled sets of `count` (at most three) planes of `length` elements.
// Throw std::bad_alloc when the memory is not there.
BytePlanes alloc_byte_planes(int count, std::size_t length);
FloatPlanes alloc_float_planes(int count, std::size_t length);
// The same, unfilled: for a set whose first use writes every element.
FloatPlanes alloc_unfilled_float_planes(int count, std::size_t length);

// Bytes such a set of three planes takes; UINT64_MAX when that overflows.
template <typename T>
constexpr std::uint64_t plane_set_bytes(std::size_t length)
{
    if (length > UINT64_MAX / sizeof(T))
        return UINT64_MAX;
    const std::uint64_t plane = buffer_bytes(std::uint64_t(length) * sizeof(T));
    return plane > UINT64_MAX / plane_count ? UINT64_MAX : plane_count * plane;
}

// Copies elements 0 .. length-1 of all three planes, source first.
void copy_planes(const FloatPlanes& src, std::size_t length, FloatPlanes& dst);

// ---- Files ---------------------------------------------------------------

// Nothing here prints: every read and write returns what it found, with all
// a caller needs to word the message (the path is the caller's). The results
// are plain values, so a read done on one thread can be reported on another.

// Bytes a PPM header may take, comments included: far more than any real
// header, and the scan of an unending comment or number ends there.
constexpr std::size_t ppm_header_limit = 32 * 1024;

// Why a frame file or its header was refused; `none` when it was accepted.
enum class PpmFault {
    none,
    cannot_open,         // the file could not be opened (errno in PpmRead::error)
    not_regular,         // a folder, FIFO, device or socket (st_mode in PpmRead::file_mode)
    ends_early,          // end of file before width, height and maxval were read
    header_too_long,     // no width, height and maxval within ppm_header_limit bytes
    not_p6,              // the magic word is not "P6" (text, grey or other formats)
    bad_number,          // width, height or maxval is not a plain decimal number
    too_large,           // a number does not fit an int, or width x height x 3 overflows
    bad_maxval,          // maxval 0 or above 255: not 8-bit samples
    larger_than_planes,  // the frame has more pixels than the plane set holds
    other_size,          // the frame is not the size asked for
};

// What a read of a frame file found.
struct PpmRead {
    PpmFault fault = PpmFault::none;
    int error = 0;           // errno of cannot_open
    unsigned file_mode = 0;  // st_mode of not_regular
    int rows = 0;            // the header's height and width, once the header was read
    int cols = 0;
    int wanted_rows = 0;  // the size asked for (read_ppm_frame), for other_size
    int wanted_cols = 0;
    // Raster bytes the file lacked. A short raster still counts as read: the
    // samples past its end keep their old values.
    std::size_t missing = 0;

    bool ok() const { return fault == PpmFault::none; }
    std::size_t raster_bytes() const { return std::size_t(rows) * std::size_t(cols) * 3; }
};

// Reads only the header of a frame.
[[nodiscard]] PpmRead read_ppm_size(const char* path);

// Reads a whole frame into `frame`. A frame with more pixels than the plane
// set holds is refused before any sample changes.
[[nodiscard]] PpmRead read_ppm(const char* path, BytePlanes& frame);

// As read_ppm, but the frame must have exactly `rows` x `cols` pixels; a
// frame of any other size is refused before any sample of `frame` changes.
[[nodiscard]] PpmRead read_ppm_frame(const char* path, int rows, int cols, BytePlanes& frame);

// Writers: P5 mask / P6 image, header "width height\n255\n", written as an
// OutputFile (files/files.h).
[[nodiscard]] FileWrite write_pgm(int rows, int cols, const std::uint8_t* mask, const char* path);
[[nodiscard]] FileWrite write_ppm(int rows, int cols, const BytePlanes& image, const char* path);

// ---- Stream cores (for tests and fuzzers: no file system needed) ---------

struct PpmHeader {
    int width = 0;
    int height = 0;
    int maxval = 0;
};

// Scans a PPM header from `in`, leaving the stream at the first raster byte.
// Reads at most ppm_header_limit bytes, and at most two for the magic word.
// Returns none or one of the header faults (ends_early .. bad_maxval).
PpmFault scan_ppm_header(std::FILE* in, PpmHeader& header);

// Reads width x height pixels of interleaved RGB into the three planes.
// Returns the number of raster bytes that were missing (0 for a whole raster);
// samples past the end of a short raster keep their values.
std::size_t read_ppm_raster(std::FILE* in, const PpmHeader& header, BytePlanes& frame);

// What follows "zemb: <path>: " for a header fault (ends_early ..
// larger_than_planes); the other faults are worded by their callers.
const char* describe(PpmFault fault);

}  // namespace zemb

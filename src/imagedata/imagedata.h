// Image data: the plane sets that hold every picture-sized buffer of a run,
// and the binary netpbm files (PPM frames in, PGM masks and PPM model
// images out).
//
// Sizes go rows first, columns second (height, then width) in every
// function here, while the files carry the width first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

namespace zemb {

// Every plane set of the system has three planes: R, G, B or x, y, z.
constexpr int plane_count = 3;

// Three parallel, separately allocated, row-major planes of equal length.
// The set owns its planes; moving it moves the ownership.
template <typename T>
struct PlaneSet {
    std::array<std::unique_ptr<T[]>, plane_count> planes;
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

// Releases the planes and empties the handle; harmless on an empty handle.
template <typename T>
void free_planes(PlaneSet<T>& set, int count)
{
    for (int k = 0; k < count && k < plane_count; ++k)
        set.planes[static_cast<std::size_t>(k)].reset();
    set.length = 0;
}

// Copies elements 0 .. length-1 of all three planes, source first.
void copy_planes(const FloatPlanes& src, std::size_t length, FloatPlanes& dst);

// ---- Files ---------------------------------------------------------------

// File operations return 1 for success and 0 for failure. A file that cannot
// be opened is reported as "Errore apertura file <path>" on standard output;
// every other failure is explained on standard error as "zemb: <path>: ...".

// Reads only the header of a frame: height into rows, width into cols.
int read_ppm_size(const char* path, int& rows, int& cols);

// Reads a whole frame into `frame`. A frame with more pixels than the plane
// set holds is refused before any sample changes. A raster shorter than the
// header announces keeps the old samples past its end, is reported, and
// still counts as read.
int read_ppm(const char* path, int& rows, int& cols, BytePlanes& frame);

// As read_ppm, but the frame must have exactly `rows` x `cols` pixels; a
// frame of any other size is refused, with both sizes named, before any
// sample of `frame` changes.
int read_ppm_frame(const char* path, int rows, int cols, BytePlanes& frame);

// Writers: P5 mask / P6 image, header "width height\n255\n". A write that
// fails is reported and leaves no partial file under `path`.
int write_pgm(int rows, int cols, const std::uint8_t* mask, const char* path);
int write_ppm(int rows, int cols, const BytePlanes& image, const char* path);

// ---- Stream cores (for tests and fuzzers: no file system needed) ---------

// Why a header or raster was refused; `none` when it was accepted.
enum class PpmFault {
    none,
    ends_early,     // end of file before width, height and maxval were read
    not_p6,         // the magic word is not "P6" (text, grey or other formats)
    bad_number,     // width, height or maxval is not a plain decimal number
    too_large,      // a number does not fit an int, or width x height x 3 overflows
    bad_maxval,     // maxval 0 or above 255: not 8-bit samples
    wrong_size,     // the frame does not fit the plane set, or not the size asked for
};

struct PpmHeader {
    int width = 0;
    int height = 0;
    int maxval = 0;
};

// Scans a PPM header from `in`, leaving the stream at the first raster byte.
PpmFault scan_ppm_header(std::FILE* in, PpmHeader& header);

// Reads width x height pixels of interleaved RGB into the three planes.
// Returns the number of raster bytes that were missing (0 for a whole raster);
// samples past the end of a short raster keep their values.
std::size_t read_ppm_raster(std::FILE* in, const PpmHeader& header, BytePlanes& frame);

// Text for a fault, as it appears after "zemb: <path>: ".
const char* describe(PpmFault fault);

}  // namespace zemb

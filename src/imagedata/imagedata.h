// Image data: the plane sets that hold every picture-sized buffer of a run,
// and the binary netpbm files (PPM frames in, PGM masks and PPM model
// images out).
//
// Sizes go rows first, columns second (height, then width) in every
// function here, while the files carry the width first.
#pragma once

#include <signal.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

namespace zemb {

// Every plane set of the system has three planes: R, G, B or x, y, z.
constexpr int plane_count = 3;

// Transparent huge pages, where the kernel gives them on request.
constexpr std::size_t huge_page_bytes = std::size_t(1) << 21;
// Buffers of at least this size are rounded up to whole huge pages.
constexpr std::size_t huge_buffer_bytes = huge_page_bytes / 2;

// Releases what alloc_buffer allocated, with the alignment it was given.
struct FreeBuffer {
    std::size_t alignment = 0;
    void operator()(void* data) const;
};
template <typename T>
using Buffer = std::unique_ptr<T[], FreeBuffer>;

// Memory for `count` elements of a trivial type, left unfilled. Buffers of
// huge_buffer_bytes or more take whole huge pages and ask the system to back
// them so: on this kind of virtual machine the first write to each 4 KiB
// page costs a trap (about 4 us), so an 8 MB model took 9 ms to fault in
// and under 1 ms on huge pages, and a 224 MB one over a second. Only speed
// depends on it. Throws std::bad_alloc when the memory is not there.
void* alloc_buffer_bytes(std::size_t count, std::size_t size, FreeBuffer& release);
template <typename T>
Buffer<T> alloc_buffer(std::size_t count)
{
    FreeBuffer release;
    T* data = static_cast<T*>(alloc_buffer_bytes(count, sizeof(T), release));
    return Buffer<T>(data, release);
}

// The same, zero-filled.
template <typename T>
Buffer<T> alloc_zeroed_buffer(std::size_t count)
{
    Buffer<T> buffer = alloc_buffer<T>(count);
    std::fill_n(buffer.get(), count, T{});
    return buffer;
}

// Bytes alloc_buffer takes for `bytes`; UINT64_MAX when that overflows.
constexpr std::uint64_t buffer_bytes(std::uint64_t bytes)
{
    if (bytes < huge_buffer_bytes)
        return bytes;
    return bytes > UINT64_MAX - huge_page_bytes
               ? UINT64_MAX
               : (bytes + huge_page_bytes - 1) / huge_page_bytes * huge_page_bytes;
}

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

// Opens `path` for reading without blocking, and only when it is a regular
// file, so that a FIFO, a device or a folder ends a read at once instead of
// hanging it. Returns the descriptor, or -1 with `error` set (errno) when
// nothing could be opened, or `mode` set (its st_mode) when it is no
// regular file.
int open_input_file(const char* path, int& error, unsigned& mode);

// What an input that is no regular file is, for messages: "a folder",
// "a FIFO", "a device", "a socket".
const char* describe_file_kind(unsigned mode);

// Reads only the header of a frame.
[[nodiscard]] PpmRead read_ppm_size(const char* path);

// Reads a whole frame into `frame`. A frame with more pixels than the plane
// set holds is refused before any sample changes.
[[nodiscard]] PpmRead read_ppm(const char* path, BytePlanes& frame);

// As read_ppm, but the frame must have exactly `rows` x `cols` pixels; a
// frame of any other size is refused before any sample of `frame` changes.
[[nodiscard]] PpmRead read_ppm_frame(const char* path, int rows, int cols, BytePlanes& frame);

// Why a file could not be written; `none` when it was.
enum class WriteFault {
    none,
    cannot_open,  // the file could not be created under its name (errno in FileWrite::error)
    failed,       // a write, flush or close failed (errno in FileWrite::error)
};

// What a write of a mask or an image found. Whatever failed, nothing
// changed under the file's name.
struct FileWrite {
    WriteFault fault = WriteFault::none;
    int error = 0;  // errno of the failure; EIO when the stream kept none

    bool ok() const { return fault == WriteFault::none; }
};

// Writers: P5 mask / P6 image, header "width height\n255\n", written as an
// OutputFile (below).
[[nodiscard]] FileWrite write_pgm(int rows, int cols, const std::uint8_t* mask, const char* path);
[[nodiscard]] FileWrite write_ppm(int rows, int cols, const BytePlanes& image, const char* path);

// ---- Output files -----------------------------------------------------------

// An output file is written under a temporary name in the folder of its
// final name (".zemb-<process>-<count>") and renamed onto the final name only
// when it is complete. So no cut or empty file ever stands under a final
// name, whatever stops the write (a full disk, a signal, a killed process),
// and a file of an earlier run stays whole until the new one replaces it.
// Whatever stands under the final name (a link, a FIFO, a device) is
// replaced, never followed or written through; only a folder and a file this
// process may not write are refused, as opening them always was.
//
// Masks are not flushed to the disk (fsync) before the rename: that guards
// only against a crash of the whole machine and costs several times a
// frame's work (see the README).
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();  // a file neither committed nor abandoned is abandoned
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the temporary file for `path`, which must stay valid until
    // commit() or abandon(), and opens stream() on it.
    [[nodiscard]] FileWrite create(const char* path);
    std::FILE* stream() const { return stream_; }
    // Closes the stream and renames the file onto its final name. After any
    // failure the temporary file is gone and the final name is as it was.
    [[nodiscard]] FileWrite commit();
    // Removes the temporary file; nothing changes under the final name.
    void abandon();

private:
    const char* path_ = nullptr;
    std::FILE* stream_ = nullptr;
    int slot_ = -1;  // in the table of unfinished outputs
};

// Removes the temporary file of every output still being written, on any
// thread, and refuses every output begun after it (the process is ending,
// and another thread may be writing). Safe in a signal handler: it reads a
// fixed table and calls unlink.
void remove_unfinished_outputs();

// The signals that stop a run: an interrupt, a scheduler's time limit or
// preemption, a closed terminal.
inline constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Threads started while one of these is in scope never take a stop signal:
// the stop handler then runs on the thread that runs the frames, once, and
// never on a helper in the middle of its work. It blocks the stop signals of
// the calling thread (new threads inherit its mask) and restores them after.
class StopSignalsBlocked {
public:
    StopSignalsBlocked();
    ~StopSignalsBlocked();
    StopSignalsBlocked(const StopSignalsBlocked&) = delete;
    StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

private:
    sigset_t previous_;
};

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

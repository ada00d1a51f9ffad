// Why a run cannot start: a plain value that start-up and the driver return,
// and the one place that words it. Nothing in run/ prints a start-up fault;
// the program prints message() (and, for a frame file that cannot be
// opened, announce_path() on standard output first).
#pragma once

#include <cstdint>
#include <string>

#include "media/media.h"

namespace zemb {

enum class StartFault {
    none,
    first_frame,          // the first frame cannot be read: `read`, and `not_video`
    no_pixels,            // the first frame is width x height = 0
    too_large_for_model,  // n x a side of the frame does not fit an int
    png_unwritable,       // PNG masks asked for, and this build has no PNG library
    output_not_folder,    // the output folder's name is something else's
    output_folder,        // the output folder cannot be made: `detail`
    output_file,          // an output written as the run goes cannot be made: `detail`
    output_video,         // an output video cannot be begun: `read`
    output_unwritable,    // no file can be made in the output folder: `detail`
    memory,               // the run needs more memory than it can get
    vector_unit_unknown,  // ZEMB_VECTOR_UNIT names no unit: `detail`
    vector_unit_missing,  // the processor lacks the unit ZEMB_VECTOR_UNIT names: `detail`
    buffers,              // the run's buffers cannot be allocated
    workers,              // the engine's worker threads cannot start: `detail`
    helpers,              // the threads that read and write cannot start: `detail`
    model_file,           // the model file `path` cannot be used: `detail`
};

struct RunFault {
    StartFault fault = StartFault::none;
    std::string path;    // the file or folder it concerns
    std::string detail;  // the system's words, or the name ZEMB_VECTOR_UNIT gave
    // first_frame: what the read found, by which route, and why a file given
    // as a video was read as PPM frames after all.
    media::Result read;
    media::SourceKind kind = media::SourceKind::ppm_frames;
    media::Result not_video;
    // The run's size: for no_pixels, too_large_for_model, memory, buffers.
    int width = 0, height = 0, n = 0;
    int threads = 0;  // workers: how many would start
    // memory: what the run needs and what the process can get, and what says so.
    std::uint64_t needed_bytes = 0, limit_bytes = 0;
    const char* limit_what = "";

    bool ok() const { return fault == StartFault::none; }
};

// The fault's lines for standard error, without the last line end.
std::string message(const RunFault& fault);

// A frame file that could not be opened is also announced on standard output
// ("Errore apertura file <path>"): its path, or empty.
std::string announce_path(const RunFault& fault);

}  // namespace zemb

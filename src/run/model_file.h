// Model files: the state a road carries from one frame to the next (its
// model, the mask the next frame reads, the frames it has taken and the
// settings that shaped them), saved so that a run resumes exactly where
// another stopped. The format is described in docs/model-file.md.
//
// Nothing here prints: every call returns what it found, worded by
// model_file_message().
#pragma once

#include <cstdint>
#include <string>

#include "run/road.h"

namespace zemb {

// The format version this code writes and the only one it reads.
constexpr std::uint32_t model_file_version = 1;

// What a model file says about itself, read before anything else.
struct ModelFileHeader {
    int width = 0, height = 0;
    RoadSettings settings;
    long long frames = 0;      // frames the road had taken (phase and schedule position)
    long long last_frame = 0;  // the number of the last of them in the run that saved it
    std::uint64_t file_bytes = 0;
};

enum class ModelFileFault {
    none,
    cannot_open,   // error: errno
    not_file,      // a folder, FIFO, device or socket (number: its st_mode)
    cannot_read,   // error: errno
    not_model,     // no magic string
    version,       // number: the file's version
    cut,           // shorter than its header says (number: its size)
    long_file,     // longer than its header says
    bad_header,    // sizes or settings no run can have
    corrupt,       // the checksum does not match
    other_size,    // the frames' size differs (number: width, other: height)
    other_n,       // number: the file's n
    other_K,       // number: the file's K
    nothing_yet,   // saving a road that has taken no frame
    cannot_write,  // error: errno
};

struct ModelFileResult {
    ModelFileFault fault = ModelFileFault::none;
    int error = 0;
    long long number = 0, other = 0;
    bool ok() const { return fault == ModelFileFault::none; }
};

// What went wrong, for "zemb: FILE: <message>"; `width`, `height`, `n` and
// `K` are those of the run that refused the file.
// Recovery from ghosts and scene changes keeps per-pixel counts that a model
// file does not hold, so a run split there would not be the whole run.
constexpr const char* model_file_recovery_refusal =
    "-G and --relearn keep per-pixel counts that a model file does not hold: they cannot be "
    "used with a saved or loaded model";

std::string model_file_message(const ModelFileResult& result, const ModelFileHeader& file,
                               int width, int height, int n, int K);

// Reads and checks the header of `path` and the checksum of the whole file,
// with a buffer of fixed size: nothing is allocated from the file's sizes.
ModelFileResult read_model_header(const char* path, ModelFileHeader& header);

// Whether a run of these frames and settings can take the file's state:
// the same frame size, n and K.
ModelFileResult match_model_file(const ModelFileHeader& header, int width, int height,
                                 const RoadSettings& settings);

// Fills the road (whose size, n and K match the header's) from the file and
// sets its frame count. A file changed since its header was read may leave
// the road half filled: the fault says so, and the road starts over.
ModelFileResult load_model(const char* path, const ModelFileHeader& header, Road& road);

// Saves the road's state, through a temporary file renamed onto `path`.
// `last_frame` is the number of the last frame it took.
ModelFileResult save_model(const char* path, const Road& road, long long last_frame);

// The size of the file of a road of these sizes.
std::uint64_t model_file_bytes(int width, int height, int n);

}  // namespace zemb

// The configuration of one run: its settings, its frames and where its
// outputs go, and the names of its files.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "media/media.h"
#include "model/model.h"
#include "run/model_file.h"
#include "run/road.h"

namespace zemb {

// The settings of one run: those that affect masks and models (with their
// defaults, those of a switch that is not given), then what the run does.
struct RunParameters : RoadSettings {
    bool save_models = false;     // write a model image for every processed frame
    bool last_mask_only = false;  // write only the last frame's mask
    int first_frame = 0;
    int last_frame = 0;
    // "end" as the last frame: the run goes on until the input ends, and
    // last_frame is the largest number a name can carry.
    bool to_end = false;
    // Frames the model loaded with --load-model had taken: the run goes on
    // from that place in its phases.
    long long resumed_frames = 0;
    // A run that saves its model is a piece of a longer one: its
    // calibration, too, ends at the last frame.
    bool piece = false;
};

// Everything the phase driver needs.
struct RunConfig {
    RunParameters params;
    std::string directory;  // the sequence name up to and including its last separator
    std::string base;       // the rest of the sequence name, "L0" when empty
    int width = 0;          // of the first frame
    int height = 0;
    std::size_t pixels = 0;  // width x height
    // Threads that segment each frame (-j; 0 there means one per core). Not
    // a run parameter: any number gives the same result.
    int threads = 1;

    // Outputs: <output_base>Mask.<k>.pgm and <output_base>Model.<k>.ppm in
    // the output folder, or masks named by the mask pattern.
    std::string output_base;    // `base` for PPM frames, the stem of a pattern or a video
    std::string output_folder;  // -o as typed; empty: the current folder
    std::string mask_pattern;   // -O as typed; empty: <output_base>Mask.<k>.pgm
    std::optional<media::FramePattern> mask_names;  // -O parsed, inside the output folder
    bool png_masks = false;     // the mask pattern ends in .png
    std::string mask_video;     // -O naming a video (.mkv, .mp4, .avi, .nut): its path
    std::string overlay_video;  // --overlay: the input with the foreground tinted, as typed
    std::string stats_path;     // --stats: one line of figures per online frame, as typed
    media::LiveInput live;      // how a stream, a pipe or a camera is read (--stall, --reconnect)

    // Where the frames come from, open at the first frame. Shared so that
    // the configuration stays a plain value; only the driver reads frames.
    std::shared_ptr<media::FrameSource> frames;
    // --estimate-memory: print the bytes the run would hold instead of running.
    bool estimate_memory = false;
    // --no-wait: no key wait at the end of the run.
    bool no_wait = false;
    // The output folders start-up made, deepest first.
    std::vector<std::string> made_folders;
    // --report: the file the run's account is kept in (JSON); empty: none.
    std::string report_path;
    // The file that names the first frame in messages.
    std::string first_frame_name;

    // Model files: the state to start from (its header read at start-up)
    // and the settings taken from it, named for the echo; the file the
    // state goes to at the end, and every `checkpoint` frames on the way.
    std::string load_model;
    std::optional<ModelFileHeader> loaded;
    std::string from_model_file;
    std::string save_model;
    int checkpoint = 0;
    // --freeze-after: frames from this number on leave the model alone.
    std::optional<int> freeze_after;
    // --roi: the image as typed, its size, and a byte per pixel, 1 inside.
    std::string region_path;
    int region_width = 0, region_height = 0;
    std::vector<std::uint8_t> region;
};

// Composes the run's file names into one buffer reserved up front, so that
// naming a frame allocates nothing. The pointer stays valid until the next
// call.
class FileNames {
public:
    // Outputs in the current folder, as <base>Mask and <base>Model.
    FileNames(const std::string& directory, const std::string& base);
    // Outputs as the configuration says (folder, base name, mask pattern).
    explicit FileNames(const RunConfig& config);
    const char* frame(int number);  // <directory><base>.<number>.ppm
    const char* mask(int number);   // [<folder>/]<base>Mask.<number>.pgm, or the mask pattern's name
    const char* model(int number);  // [<folder>/]<base>Model.<number>.ppm

private:
    const char* compose(const std::string& head, const char* middle, int number, const char* tail);
    std::string directory_and_base_;
    std::string output_head_;  // output folder and base name
    std::optional<media::FramePattern> mask_pattern_;
    std::string name_;
};

// `name` inside the output folder `folder` (empty: the current folder).
std::string output_path(const std::string& folder, const std::string& name);

}  // namespace zemb

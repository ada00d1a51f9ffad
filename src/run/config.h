// The configuration of one run: its settings, its frames and where its
// outputs go, and the names of its files.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "media/media.h"
#include "model/model.h"

namespace zemb {

// The settings of one run. The defaults here are those of a switch that is
// not given.
struct RunParameters {
    int n = 3;                    // side of each pixel's map: n x n weight vectors
    float e1 = 0.1f;              // squared-distance threshold, calibration phase
    float e2 = 0.03f;             // squared-distance threshold, online phase
    int K = 200;                  // calibration frames, counting the first frame
    float c1 = 1.0f;              // learning rate of the calibration phase, before scaling
    float c2 = 0.05f;             // learning rate of the online phase, before scaling
    ShadowSettings shadow;        // -s and the test's gamma, beta, tau_S, tau_H
    int ghost_frames = 0;         // -G: foreground frames in a row that teach a pixel; 0 off
    float relearn_fraction = 0;   // --relearn: foreground share that relearns the scene; 0 off
    bool save_models = false;     // write a model image for every processed frame
    bool last_mask_only = false;  // write only the last frame's mask
    int first_frame = 0;
    int last_frame = 0;
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

    // Where the frames come from, open at the first frame. Shared so that
    // the configuration stays a plain value; only the driver reads frames.
    std::shared_ptr<media::FrameSource> frames;
    // --estimate-memory: print the bytes the run would hold instead of running.
    bool estimate_memory = false;
    // The file that names the first frame in messages.
    std::string first_frame_name;
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

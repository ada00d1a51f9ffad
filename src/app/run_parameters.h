// The run parameters: the settings of one run, filled once by start-up from
// the command line and read-only afterwards. This is the one piece of run
// control that the model and the filter read.
#pragma once

#include <cstdint>

namespace zemb {

struct RunParameters {
    int n = 3;             // side of each pixel's map: n x n weight vectors
    float e1 = 0.1f;       // squared-distance threshold, calibration phase
    float e2 = 0.03f;      // squared-distance threshold, online phase
    int K = 200;           // calibration frames, counting the first frame
    float c1 = 1.0f;       // learning rate of the calibration phase, before scaling
    float c2 = 0.05f;      // learning rate of the online phase, before scaling
    float gamma = 0.7f;    // shadow test: lowest ratio V pixel / V element
    float beta = 1.0f;     // shadow test: highest ratio V pixel / V element
    float tau_S = 0.1f;    // shadow test: saturation difference must be below this
    float tau_H = 10.0f;   // shadow test: hue distance (degrees) must be below this
    int shadow_removal = 0;  // 1: unmatched pixels that pass the shadow test are background
    int save_models = 0;     // 1: write a model image for every processed frame
    int last_mask_only = 0;  // 1: write only the last frame's mask
    int first_frame = 0;
    int last_frame = 0;
    int filter_low = 3;   // mask filter: a count of at most this clears the pixel
    int filter_high = 6;  // mask filter: a count of at least this sets the pixel
};

// The process-wide record. Start-up sets it once; tests set it per case.
const RunParameters& run_parameters();
void set_run_parameters(const RunParameters& parameters);

}  // namespace zemb

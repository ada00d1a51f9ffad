// Recovery from a model that no longer fits the scene, both opt-in:
// - ghosts: a pixel that the online segmentation has called foreground for
//   `ghost_frames` frames in a row gets its n x n map re-initialised from its
//   current coordinates (as the first frame initialises it), so a ghost or an
//   object that stopped fades into the background within that many frames,
//   while anything that covers a pixel for fewer frames is never learnt;
// - whole-scene changes: when more than `relearn_fraction` of an online
//   frame is foreground, the caller re-initialises the whole model from it
//   and calibrates again for relearn_frames(K) frames.
// Both touch only the committed model, in pixel order, in plain code: the
// result is the same on every engine, vector unit and thread count.
#pragma once

#include <cstdint>

#include "imagedata/imagedata.h"
#include "model/model.h"

namespace zemb {

// Frames of the re-calibration after a whole-scene change, the
// re-initialising frame included: a quarter of K, at least 2.
long long relearn_frames(int K);

// Re-initialises pixel (r, c)'s block of `model` from `frame`.
void init_pixel_block(FloatPlanes& model, const FloatPlanes& frame, const ModelShape& shape, int r,
                      int c);

class GhostCounter {
public:
    // ghost_frames 0: off, nothing allocated.
    GhostCounter(std::size_t pixels, int ghost_frames);
    static std::uint64_t bytes(std::size_t pixels, int ghost_frames);

    // Counts the online mask `mask` (255 foreground); for each pixel whose
    // run of foreground frames reaches the limit, calls absorb(index) and
    // starts its count again.
    template <typename Absorb>
    void count(const std::uint8_t* mask, Absorb absorb)
    {
        if (limit_ == 0)
            return;
        std::uint32_t* counts = counts_.get();
        for (std::size_t i = 0; i < pixels_; ++i) {
            if (mask[i] == 0) {
                counts[i] = 0;
            } else if (++counts[i] >= limit_) {
                counts[i] = 0;
                absorb(i);
            }
        }
    }
    void reset();

private:
    const std::size_t pixels_;
    const std::uint32_t limit_;
    Buffer<std::uint32_t> counts_;
};

// True when more than `fraction` of the `pixels` mask bytes are foreground;
// never for fraction 0 (the guard is off).
bool scene_changed(const std::uint8_t* mask, std::size_t pixels, float fraction);

}  // namespace zemb

// Recovery from a model that no longer fits the scene, both opt-in:
// - ghosts: a pixel that the online segmentation has called foreground for
//   `ghost_frames` frames in a row gets its current coordinates written into
//   the centre of its n x n map, so a ghost or an object that stopped fades
//   into the background within that many frames, while anything that covers
//   a pixel for fewer frames is never learnt. The rest of the map keeps what
//   it learnt: a pixel taught a passing car's colour still knows its road's;
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

// Writes pixel (r, c)'s coordinates in `frame` into the centre of its block
// of `model`.
void teach_pixel(FloatPlanes& model, const FloatPlanes& frame, const ModelShape& shape, int r,
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

// True when more than `fraction` of `judged` pixels (all `pixels` when 0)
// are foreground among the `pixels` mask bytes; never for fraction 0 (the
// guard is off).
bool scene_changed(const std::uint8_t* mask, std::size_t pixels, float fraction,
                   std::size_t judged = 0);

}  // namespace zemb

// The frame road: what happens to one frame once it is read, shared by the
// program and the library so that both give the same masks and model images.
// A frame's bytes go to cone coordinates (convert); then step() takes it
// through its phase: the first frame initialises the model, the next K-1
// calibrate it with a learning rate falling from c1 towards c2 and threshold
// e1, every later frame is segmented online with c2 and e2 and its mask
// cleaned by the 3x3 filter. The road owns the model and the mask (which
// carries over from frame to frame); the caller owns the frames.
//
// Nothing here prints. Constructors throw std::bad_alloc or
// std::system_error (threads); check the memory with bytes() first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>

#include "imagedata/imagedata.h"
#include "model/model.h"
#include "run/recovery.h"

namespace zemb {

// Which implementation does the per-frame work. Users always get the fast
// one; the straightforward reference serves the comparison tests and the
// benchmark.
enum class Engine { fast, reference };

// Every setting that affects masks and models; the defaults are the
// program's.
struct RoadSettings {
    int n = 3;          // side of each pixel's map: n x n weight vectors
    float e1 = 0.1f;    // squared-distance threshold, calibration phase
    float e2 = 0.03f;   // squared-distance threshold, online phase
    int K = 200;        // calibration frames, counting the first frame
    float c1 = 1.0f;    // learning rate of the calibration phase, before scaling
    float c2 = 0.05f;   // learning rate of the online phase, before scaling
    ShadowSettings shadow;
    int ghost_frames = 0;           // foreground frames in a row that teach a pixel; 0 off
    float relearn_fraction = 0.0f;  // foreground share that starts a relearning; 0 off
};

// Byte order of the pixels of an interleaved frame.
enum class ChannelOrder { rgb, bgr };

// Adds the ticks of each frame's segmentation (the span the timing reports
// cover) read from `read`, a performance counter.
struct SegmentClock {
    std::int64_t (*read)() = nullptr;
    std::int64_t ticks = 0;
};

class Road {
public:
    // What the road does with a frame, by its place in the sequence.
    enum class Phase { first_frame, calibration, online };
    class Core;  // the engine behind the road (road.cpp)

    // Frames of height x width pixels (at least 1 x 1; n x height and
    // n x width must fit an int: the caller checks), segmented on `threads`
    // threads (at least 1). `spare_core`: a core is free beside the bands,
    // so that a helper may fault in the model's lower half as the first
    // frame initialises it. A unit this processor lacks falls back to plain
    // code: the caller checks it.
    Road(int height, int width, const RoadSettings& settings, Engine engine, int threads,
         VectorUnit unit, bool spare_core);
    ~Road();
    Road(const Road&) = delete;
    Road& operator=(const Road&) = delete;

    // Bytes the constructor allocates: the engine's models, scratch and
    // tables, and the mask.
    static std::uint64_t bytes(int height, int width, int n, Engine engine, int threads,
                               int ghost_frames = 0);

    // A frame's R, G, B planes to cone coordinates in `pixels`. It touches
    // nothing step() uses, so one thread may convert the next frame while
    // another steps this one; two conversions at once are not allowed.
    void convert(const BytePlanes& frame, FloatPlanes& pixels);

    // One frame in cone coordinates through the phase of its place; a clock,
    // when given, adds the segmentation's ticks. Without `learn`, a frame
    // after the first is segmented with a learning rate of 0: its mask is
    // the same, and the model keeps every value (the phase still counts the
    // frame).
    void step(const FloatPlanes& pixels, SegmentClock* clock = nullptr, bool learn = true);

    // A saved state goes back in through these: the model and the mask are
    // filled in place, then resume() says how many frames made them.
    FloatPlanes& model_to_fill();
    std::uint8_t* mask_to_fill() { return mask_.get(); }
    void resume(long long frames);
    const RoadSettings& settings() const { return s_; }

    // Segments only the pixels whose byte in `inside` (height x width,
    // row-major) is not 0, from the next frame on; call it before the first.
    // Outside pixels are background in every mask, the 3x3 filter's result
    // included, and their maps stay as the first frame made them: no
    // window of an inside pixel blends into them, and a relearning
    // re-initialises the inside blocks only and counts the region's share.
    // Throws std::bad_alloc; region_bytes() bounds what it allocates.
    void limit_to(const std::uint8_t* inside);
    static std::uint64_t region_bytes(int height, int width);
    bool has_region() const { return region_.has_value(); }

    // The phase the next step() works in, and the frames stepped so far.
    Phase phase() const;
    long long frames() const { return frames_; }
    // The last frame stepped changed the whole scene (relearn_fraction): the
    // model was initialised from it and calibrates again.
    bool relearned() const { return relearn_start_ == frames_ - 1; }

    // The mask of the last frame stepped: 0 background, 255 foreground,
    // filtered after an online frame (what the program writes).
    const std::uint8_t* mask() const { return mask_.get(); }
    // The current model (n*height rows of n*width elements).
    const FloatPlanes& model() const;
    // Elements of the model, and so pixels of its image.
    std::size_t model_length() const;
    int height() const { return H_; }
    int width() const { return W_; }
    int threads() const;  // threads that segment, the calling one included
    VectorUnit unit() const { return unit_; }

private:
    void segment(const FloatPlanes& pixels, const WeightMatrix& weights, float e,
                 SegmentClock* clock);
    // After an online frame's filter: the whole-scene guard and the ghosts'
    // counts (recovery.h).
    void recover(const FloatPlanes& pixels);
    // Sets the mask bytes of the pixels outside the region.
    void fill_outside(std::uint8_t value);
    // What they hold while a frame is segmented: not background.
    static constexpr std::uint8_t outside_in_segmentation = 255;
    // Where a calibration frame stands in its calibration: the first over K
    // frames, a relearning's over relearn_frames(K).
    long long calibration_step() const { return frames_ < s_.K ? frames_ : frames_ - relearn_start_; }
    long long calibration_frames() const { return frames_ < s_.K ? s_.K : relearn_frames(s_.K); }

    const int H_, W_;
    const std::size_t pixels_;
    const RoadSettings s_;
    const WeightMatrix kernel_;
    const float c1_scaled_, c2_scaled_;
    const WeightMatrix online_weights_;
    const VectorUnit unit_;
    std::unique_ptr<Core> core_;
    Buffer<std::uint8_t> mask_;
    long long frames_ = 0;
    GhostCounter ghosts_;
    long long relearn_start_ = -2;  // the frame of the last relearning
    std::optional<Region> region_;
};

// Byte arithmetic that saturates at UINT64_MAX instead of overflowing.
std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b);
std::uint64_t saturating_sum(std::initializer_list<std::uint64_t> parts);

// Interleaved 8-bit pixels (3 bytes each, rows `row_stride` bytes apart) to
// R, G, B planes of height x width elements.
void split_channels(const std::uint8_t* pixels, int height, int width, std::ptrdiff_t row_stride,
                    ChannelOrder order, BytePlanes& frame);

// The model image (as the program writes it with -m) interleaved: 3 bytes a
// pixel in `order`, rows of n*width pixels one after the other.
void write_model_image(const FloatPlanes& model, std::size_t length, ChannelOrder order,
                       std::uint8_t* out);

}  // namespace zemb

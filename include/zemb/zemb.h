// ZEMB as a library: foreground masks from a video, one frame at a time.
//
// Every pixel keeps an n x n self-organising map of colours. The first frame
// given to a Subtractor initialises the maps, the next K-1 frames train them
// (calibration), and every later frame is classified against them (online):
// its mask, cleaned by a 3x3 filter, is what the zemb program writes for it,
// byte for byte, and the background image is the program's model image.
//
//     zemb::Subtractor subtractor(width, height);        // the program's defaults
//     std::vector<std::uint8_t> mask(width * height);
//     for (each frame)
//         subtractor.apply(rgb, width, height, 3 * width, zemb::PixelOrder::rgb, mask.data());
//
// Link with zemb::zemb (CMake: find_package(zemb)) or `pkg-config --libs zemb`.
// Nothing here prints or ends the process: faults are thrown as zemb::Error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>

namespace zemb {

// What the library refuses, in the zemb program's words (without the
// program's "zemb: " prefix).
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    ~Error() override;
};

// Which vector instructions the segmentation uses. Every unit gives the same
// masks; `best` is the widest this processor has.
enum class Vectors { best, scalar, avx2, avx512 };

// The settings of a run; the defaults are those of the zemb program, whose
// switch each one mirrors.
struct Settings {
    int n = 3;           // -n: side of each pixel's map (1, 3, 5, 7 or 9)
    int K = 200;         // -K: calibration frames, counting the first (at least 1)
    float e1 = 0.1f;     // -e1: distance threshold in calibration
    float e2 = 0.03f;    // -e2: distance threshold online
    float c1 = 1.0f;     // -c1: learning rate in calibration
    float c2 = 0.05f;    // -c2: learning rate online
    bool shadow = false;  // -s: unmatched pixels that are a darker copy of their map are background
    float gamma = 0.7f;   // -g: lowest value ratio of a shadow
    float beta = 1.0f;    // -b: highest value ratio of a shadow
    float tau_S = 0.1f;   // -tS: saturation difference of a shadow below this
    float tau_H = 10.0f;  // -tH: hue distance (degrees) of a shadow below this
    int threads = 1;      // -j: threads that segment a frame; 0 = one per usable core
    int ghost_frames = 0;  // -G: frames a pixel stays foreground before it is learnt; 0 never
    float relearn = 0.0f;  // --relearn: foreground share (0-1) of a frame that relearns; 0 never
    Vectors vector_unit = Vectors::best;  // for tests and comparisons; any gives the same masks
};

// The byte order of a pixel: rgb, or bgr as OpenCV hands frames out.
enum class PixelOrder { rgb, bgr };

// Where a Subtractor stands in its sequence.
enum class Phase { first_frame, calibration, online };

class Subtractor {
public:
    // Frames of width x height pixels. Throws zemb::Error for a setting or
    // size a run cannot use, or when the run would need more memory than this
    // process can get; std::bad_alloc or std::system_error if memory or
    // threads fail all the same.
    Subtractor(int width, int height, const Settings& settings = Settings());
    ~Subtractor();
    // A Subtractor moved from may only be assigned to or destroyed.
    Subtractor(Subtractor&&) noexcept;
    Subtractor& operator=(Subtractor&&) noexcept;

    // Takes the next frame: height rows of width pixels, 3 bytes each in
    // `order`, rows `row_stride` bytes apart (at least 3 * width). Writes
    // width x height bytes to `mask_out` (rows packed): 255 foreground, 0
    // background. Until the online phase the model is still learning and the
    // mask is all 0. Throws zemb::Error when width or height is not the
    // Subtractor's or the stride is too short. Allocates nothing. One
    // Subtractor serves one thread at a time; separate ones run in parallel.
    // With `learn` false, a frame after the first is classified against the
    // model as it stands and leaves it unchanged (a frozen model); the
    // frame still counts towards the phases.
    void apply(const std::uint8_t* pixels, int width, int height, std::ptrdiff_t row_stride,
               PixelOrder order, std::uint8_t* mask_out, bool learn = true);

    // Segments only the pixels whose byte in `inside` (width x height bytes,
    // rows packed) is not 0: the program's --roi. Outside pixels are 0 in
    // every mask and their maps stay as the first frame made them. Give it
    // before the first frame. A Subtractor with a region neither saves nor
    // loads (a model file does not keep the region). Throws zemb::Error for
    // a null or empty region, or once a frame was taken.
    void set_region(const std::uint8_t* inside);
    bool has_region() const;

    // Saves everything the next frame starts from (the model, the mask it
    // reads, the frames taken and the settings that shaped them) to `path`,
    // written under a temporary name and renamed onto it: the zemb program's
    // --save-model file. Needs one frame taken. Throws zemb::Error.
    void save(const char* path) const;
    // Goes on from a saved state, as if its frames had been given here: the
    // program's --load-model. The file's width, height and n must be this
    // Subtractor's; its K, thresholds, rates and shadow settings replace
    // this one's (threads and vector unit stay). A file of another version,
    // cut or damaged is refused with zemb::Error, and this Subtractor is
    // left as it was (loading holds a second model for a moment).
    void load(const char* path);

    // The phase the next frame goes through, and the frames taken so far.
    Phase phase() const;
    long long frames() const;
    // The last frame taken turned more than Settings::relearn of the scene
    // foreground: its mask is all 0, the model restarts from it and
    // calibrates again for a quarter of K frames (at least 2).
    bool relearned() const;

    // The background model as an image of n*height rows of n*width pixels
    // (each pixel's n x n map), 3 bytes a pixel in `order`: the program's -m
    // model image. Writes background_bytes() bytes; needs one frame taken.
    void background(std::uint8_t* out, PixelOrder order = PixelOrder::rgb) const;
    int background_width() const;
    int background_height() const;
    std::size_t background_bytes() const;

    int width() const;
    int height() const;
    const Settings& settings() const;  // threads and vector unit as resolved
    Vectors vector_unit() const;       // the unit in use
    int threads() const;               // threads in use, the calling one included

private:
    struct State;
    static std::unique_ptr<State> make_state(int width, int height, const Settings& settings);
    std::unique_ptr<State> state_;
};

// The name of a vector unit: "best", "scalar", "avx2", "avx512".
const char* vector_unit_name(Vectors unit);

}  // namespace zemb

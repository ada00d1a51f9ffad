// Accuracy measurement: scores foreground masks against a ground-truth
// sequence the way the changedetection.net benchmark does, for the
// zemb-eval tool. It owns the scoring rules (which ground-truth and mask
// values count as what), the pixel counts and the scores made from them,
// frame-number file patterns, the benchmark's folder layout, and reading
// grey images (its own strict binary PGM reader for masks, zemb's own frame
// decoders for PPM, PNG, BMP and JPEG).
//
// Nothing here prints or exits: faults come back as EvalError with the
// file and what is wrong, and the tool's main decides what to do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "media/media.h"

namespace zemb::eval {

// A file that cannot be used; `what()` says what is wrong with `file`.
class EvalError : public std::runtime_error {
public:
    EvalError(std::string file, const std::string& message)
        : std::runtime_error(message), file_(std::move(file))
    {
    }
    const std::string& file() const { return file_; }

private:
    std::string file_;
};

// ---- Scoring rules ---------------------------------------------------------

// Ground-truth values of the benchmark.
constexpr std::uint8_t truth_static = 0;      // background
constexpr std::uint8_t truth_shadow = 50;     // hard shadow: counted as background
constexpr std::uint8_t truth_outside = 85;    // outside the region of interest: ignored
constexpr std::uint8_t truth_unknown = 170;   // motion blur at object borders: ignored
constexpr std::uint8_t truth_moving = 255;    // foreground

enum class Truth { negative, positive, ignored };

// The benchmark's own comparison counts every value up to the shadow value as
// negative, exactly 255 as positive and anything else as ignored; for the
// five values it publishes that is 0 and 50 negative, 255 positive, 85 and
// 170 ignored.
constexpr Truth classify_truth(std::uint8_t value)
{
    if (value <= truth_shadow)
        return Truth::negative;
    if (value == truth_moving)
        return Truth::positive;
    return Truth::ignored;
}

struct Counts {
    std::uint64_t tp = 0, fp = 0, fn = 0, tn = 0;
    Counts& operator+=(const Counts& other);
};

// Adds one frame: a mask pixel is foreground when non-zero; pixels whose
// ground truth is ignored, or whose `roi` value is zero (when a region of
// interest is given), are not counted. All three buffers hold `pixels` bytes.
void count_frame(const std::uint8_t* mask, const std::uint8_t* truth, const std::uint8_t* roi,
                 std::size_t pixels, Counts& counts);

// The benchmark's scores. A score whose denominator is zero is undefined and
// held as NaN (F-measure too when precision or recall is undefined or both are
// zero); the printers show it as "nan", JSON as null.
struct Scores {
    double recall, specificity, fpr, fnr, pwc, precision, f_measure;
};
Scores compute_scores(const Counts& counts);

// ---- Frame-number patterns -------------------------------------------------

// The patterns zemb reads frames with: %d, %i, or %0Nd / %Nd with a width of
// 1..9; %% stands for a percent sign; the number sits in the file name.
using media::FramePattern;

// Parses `text`, or throws std::invalid_argument with the reason.
FramePattern parse_pattern(const std::string& text);

// Frame numbers of the files that exist, ascending; a name only counts
// when it is exactly what the pattern makes of its number.
std::vector<int> frames_present(const FramePattern& pattern);

// The masks in `folder`: zemb's "<base>Mask.<k>.pgm" (or .png) or the
// benchmark's "bin000001.png". Throws EvalError when there are none (naming
// the pattern of the folder's numbered images when they are of one kind),
// std::invalid_argument when masks of several kinds are mixed in the folder
// (the caller must then name one as a pattern).
FramePattern mask_pattern_in_folder(const std::string& folder);

// ---- Ground-truth sequences ------------------------------------------------

struct FrameRange {
    int first = 0, last = 0;
};

// Where the ground truth of a sequence is. For a benchmark folder the
// pattern is <folder>/groundtruth/gt%06d.png, and ROI.bmp and
// temporalROI.txt are taken when they exist.
struct TruthSource {
    std::string pattern;
    std::string roi_file;           // empty: every pixel is in the region of interest
    std::string temporal_roi_file;  // empty: no temporal region of interest
};
TruthSource truth_in_folder(const std::string& folder);

// The two frame numbers of a temporalROI.txt ("470 1700"), read as zemb
// reads frames (a regular file, without blocking) and from a short prefix.
FrameRange read_temporal_roi(const std::string& path);

// ---- Grey images -----------------------------------------------------------

struct GreyImage {
    int width = 0, height = 0;
    std::vector<std::uint8_t> pixels;  // row-major, width x height
};

// A grey image file opened and its header read, so that sizes can be
// compared before either file is decoded. A binary PGM is read strictly
// (maxval up to 255, whole raster), any other file through zemb's PPM / PNG /
// BMP / JPEG decoders, keeping the first channel of colour images. Files are
// opened as zemb opens frames (regular files only, without blocking), and a
// declared size above a cap is refused before anything is allocated. Throws
// EvalError naming the file.
class GreyFile {
public:
    explicit GreyFile(const std::string& path);
    ~GreyFile();
    GreyFile(const GreyFile&) = delete;
    GreyFile& operator=(const GreyFile&) = delete;

    const std::string& path() const { return path_; }
    int width() const { return width_; }
    int height() const { return height_; }
    // Reads the pixels, once.
    GreyImage decode();

private:
    std::string path_;
    std::FILE* pgm_ = nullptr;  // a PGM, positioned at its raster
    media::ImageReader reader_;  // any other format, open
    int width_ = 0, height_ = 0;
};

}  // namespace zemb::eval

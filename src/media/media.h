// Media: everything between a sequence name and a frame in three byte
// planes, and the PNG mask writer. It owns
//  - frame-number patterns: parsing and checking them, naming a frame
//    without allocating, the output base name of a pattern or a video, and
//    the hint for a frame file that is missing but has a numbered neighbour;
//  - safe input: frame files must be regular files, opened without blocking,
//    with declared sizes checked before anything is decoded;
//  - the image reader, which picks the decoder from each file's magic bytes:
//    binary PPM through imagedata's header scan and raster reader, JPEG
//    through libjpeg-turbo, PNG through libpng, BMP through FFmpeg's decoder;
//  - the frame sources: numbered PPM files, frame patterns and video files
//    (FFmpeg, converted to RGB the way the ffmpeg tool converts to PPM);
//  - the wording of every message about these files;
//  - writing a mask as an 8-bit grey PNG.
//
// Nothing here prints or exits. Every read and write returns a Result that
// carries the fault, the file and the sizes; message() words it, on any thread.
// Each decoder is optional at build time: without it a read that needs it
// returns Fault::missing_decoder, whose message names the package to install.
// Everything that needs FFmpeg (video, BMP) sits in a module of its own,
// zemb-ffmpeg.so beside the program, loaded the first time it is needed so
// that other runs never map FFmpeg's libraries; without the module such a
// read returns Fault::missing_decoder too, saying why.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "imagedata/imagedata.h"

namespace zemb::media {

// ---- Frame-number patterns ---------------------------------------------------

// Why a text is no frame-number pattern; `none` when it is one.
enum class PatternFault {
    none,
    no_conversion,           // no %d: not a pattern
    several_conversions,     // more than one conversion
    conversion_in_folder,    // the number must be in the file name
    unsupported_conversion,  // %s, %x, %ld, %.3d, ...: only %d and %i
    unsupported_flag,        // %-d, %+d, % d, %#d: only 0 (zero padding)
    bad_width,               // %0d or a width above max_pattern_width
};

// Widest field a pattern may ask for (the benchmark's in%06d.jpg needs 6).
constexpr int max_pattern_width = 9;

// A file name with one printf integer conversion for the frame number: %d or
// %i, with an optional 0 flag and a width of 1..max_pattern_width (%06d, %6d);
// %% stands for a percent sign anywhere. The conversion must sit in the file
// name, after the last '/' or '\'.
class FramePattern {
public:
    // Fills `pattern` and returns none, or returns the fault and leaves it.
    static PatternFault parse(std::string_view text, FramePattern& pattern);

    // Bytes format() may write, the terminating NUL included.
    std::size_t name_capacity() const;
    // Writes the file name of frame `number` into `out` (name_capacity()
    // bytes at least) and returns its length. Allocates nothing.
    std::size_t format(long long number, char* out) const;
    std::string name(long long number) const;  // the same, as a string

    const std::string& text() const { return text_; }
    const std::string& folder() const { return folder_; }  // up to the last separator, may be empty
    const std::string& head() const { return head_; }      // file-name text before the number
    const std::string& tail() const { return tail_; }      // and after it, %% undone
    int width() const { return width_; }
    bool zero_pad() const { return zero_pad_; }

private:
    std::string text_, folder_, head_, tail_;
    int width_ = 0;
    bool zero_pad_ = false;
};

const char* describe(PatternFault fault);

// `text` with every '%' doubled, so that a pattern reads it literally.
std::string pattern_literal(std::string_view text);

// Base name of the masks and model images of a pattern or a video: the file
// name's stem before the conversion (pattern) or before the last '.' (video),
// with trailing '.', '_' and '-' removed: in%06d.jpg gives "in", street.mp4
// gives "street". When nothing is left the base is empty_base_fallback, the
// name the PPM route gives a sequence name that ends in a separator.
constexpr const char* empty_base_fallback = "L0";
std::string pattern_base_name(const FramePattern& pattern);
std::string video_base_name(std::string_view path);

// For a frame file that could not be opened: a file in the same folder that
// holds frame `number` under another numbering (walk.0001.ppm, walk_1.ppm,
// walk.1.jpg for walk.1.ppm), as the pattern to type instead
// ("walk.%04d.ppm"); empty when there is none. Lists the folder: call it
// once, when reporting, never per frame.
std::string suggest_pattern(const std::string& missing_path, long long number);

// ---- Results and their messages -------------------------------------------

enum class Format { unknown, ppm, jpeg, png, bmp, video };

enum class Fault {
    none,
    cannot_open,      // open(2) failed; `error` says why
    not_regular,      // a FIFO, device, socket or folder; `file_mode` says which
    read_failed,      // read(2) failed; `error` says why
    ppm_header,       // `ppm` says what is wrong with the header
    short_raster,     // a PPM raster `missing_bytes` short: still counts as read
    unknown_format,   // no PPM, JPEG, PNG or BMP magic bytes
    missing_decoder,  // this build has no decoder for `format`
    unsupported,      // a kind of image that is not read; `detail` says which
    damaged,          // the decoder's own words in `detail`
    wrong_size,       // not expected_width x expected_height like the first frame
    too_large,        // more than `pixel_cap` pixels: the run could not hold it
    no_memory,        // the decoder's buffers could not be allocated
    not_video,        // no demuxer recognises the file, or it holds no video
    before_start,     // a video frame number below 1
    past_end,         // a video frame after the last of `frames_decoded`
    out_of_order,     // a video frame number not above the one read before
    write_failed,     // writing an output failed; `error` says why
    refused,          // read no further, for what `detail` says (a playlist, a scan bomb, a stall)
    stalled,          // a live input sent nothing for `stall_seconds`
    cannot_write,     // an output video cannot be made; `detail` says why
};

// A frame's presentation time, in its source's time_base(); none for files.
constexpr std::int64_t no_timestamp = INT64_MIN;

struct Result {
    Fault fault = Fault::none;
    Format format = Format::unknown;
    int error = 0;                  // errno of cannot_open, read_failed
    unsigned file_mode = 0;         // st_mode of not_regular
    PpmFault ppm = PpmFault::none;  // of ppm_header
    long long frame = 0;            // the frame number asked for
    int width = 0, height = 0;      // declared by the file (wrong_size, too_large)
    int expected_width = 0, expected_height = 0;
    std::uint64_t pixel_cap = 0;
    std::uint64_t missing_bytes = 0, raster_bytes = 0;  // of short_raster
    long long frames_decoded = 0;                       // of past_end
    double stall_seconds = 0;                           // of stalled
    std::int64_t timestamp = no_timestamp;              // of a frame read from a video
    // Filled only when something is wrong, so a good read allocates nothing.
    std::string path;
    std::string detail;

    // The frame is in the planes (a short PPM raster counts, as it always has).
    bool frame_read() const { return fault == Fault::none || fault == Fault::short_raster; }
};

// The line to print on standard error, "zemb: <file>: <what is wrong>",
// without the newline; empty for Fault::none. A frame that cannot be opened
// on the PPM route is also announced on standard output, in the program's
// own wording, by the caller.
std::string message(const Result& result);
// Only the part after "<file>: ", for tools with their own prefix.
std::string describe(const Result& result);

// The line that points a user at the pattern suggest_pattern() found.
std::string hint_message(const std::string& missing_path, const std::string& pattern);

// ---- Images ---------------------------------------------------------------------

// Opens `path` for reading without blocking and insists on a regular file,
// so that a FIFO, a device or a folder ends the read at once (cannot_open or
// not_regular, `fd` -1). On success the caller owns `fd`.
Result open_regular_file(const char* path, int& fd);

// Reads one image file after another, reusing its decoders and buffers:
// open() identifies the file and reads its declared size, the caller checks
// it, then decode() fills the planes. Not for use on two threads at once.
class ImageReader {
public:
    ImageReader();
    ~ImageReader();
    ImageReader(const ImageReader&) = delete;
    ImageReader& operator=(const ImageReader&) = delete;

    // Sizes the row buffers for images up to `width` pixels wide, so that
    // reading them allocates nothing more. False when the memory is not there.
    bool reserve(int width);

    // Opens `path` (a regular file, opened without blocking), picks the
    // format from its first bytes and reads the header: format, width and
    // height land in `result`. An image of more than `pixel_cap` pixels is
    // refused (too_large). On success the file stays open for decode().
    // `ppm_only` reads every file as a PPM, whatever its first bytes (the
    // numbered-PPM route, whose messages stay as they are).
    Result open(const char* path, std::uint64_t pixel_cap, bool ppm_only = false);

    // Decodes the open image into `frame` (width x height elements per plane
    // at least; a grey image becomes R = G = B) and closes the file. After a
    // fault the planes may hold part of the image.
    Result decode(BytePlanes& frame);

    // Closes the open file, if any, without decoding it.
    void close();

    struct State;

private:
    std::unique_ptr<State> state_;
};

// ---- Frame sources ---------------------------------------------------------------

enum class SourceKind { ppm_frames, frame_pattern, video };

// Inputs that are no file: each is read only when its name asks for it, and
// only then are pipes, network protocols or devices reached.
enum class LiveKind {
    none,            // a file
    standard_input,  // "-": a stream FFmpeg probes from the pipe, never seeking
    network,         // rtsp://, rtsps://, http(s)://, udp://, tcp://, srt://
    camera,          // /dev/video<N>, a character device: V4L2
};
LiveKind live_kind(std::string_view name);

// How a live input is read.
struct LiveInput {
    LiveKind kind = LiveKind::none;
    double stall_seconds = 10;  // a read that brings nothing for this long ends the input
    int reconnect = 3;          // attempts to connect again to a network stream
    int (*stopped)() = nullptr;  // non-zero when the run is asked to stop: a read gives up
};

struct Rational {
    int num = 0, den = 1;
};

// Every frame of a run comes from one source. Open it (which reads the first
// frame's size and allocates what decoding needs), then read() frames in
// increasing order. A read fills `frame` whole or leaves it as it was, apart
// from a short PPM raster, which keeps the old samples past its end and
// counts as read. A frame of another size than the first is refused before
// any sample changes. Not for use on two threads at once.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    SourceKind kind() const { return kind_; }
    int rows() const { return rows_; }  // of the first frame
    int cols() const { return cols_; }
    // The base name of the run's masks and model images.
    const std::string& base_name() const { return base_; }
    // Bytes the source holds for decoding on top of the run's own buffers
    // (an estimate that errs high for video, whose decoder keeps frames).
    virtual std::uint64_t buffer_bytes() const = 0;

    // The unit of the timestamps its reads give, and its frames per second;
    // 0/1 when it has none (files).
    virtual Rational time_base() const { return {0, 1}; }
    virtual Rational frame_rate() const { return {0, 1}; }

    // Reads frame `number` into `frame`, which holds rows() x cols() elements
    // per plane. Numbers go up from call to call (a video decodes and drops
    // the frames in between; file sources take any order).
    virtual Result read(long long number, BytePlanes& frame) = 0;

protected:
    FrameSource(SourceKind kind, std::string base) : kind_(kind), base_(std::move(base)) {}
    SourceKind kind_;
    std::string base_;
    int rows_ = 0, cols_ = 0;
};

// No pixel cap: the caller checks the memory itself.
constexpr std::uint64_t no_pixel_cap = UINT64_MAX;

// Each opener reads the first frame's header and refuses more than
// `pixel_cap` pixels; on a fault it returns null and says why in `result`.

// <directory><base>.<k>.ppm, as the sequence name splits for the PPM route.
std::unique_ptr<FrameSource> open_ppm_frames(const std::string& directory, const std::string& base,
                                             long long first, std::uint64_t pixel_cap,
                                             Result& result);
std::unique_ptr<FrameSource> open_frame_pattern(const FramePattern& pattern, long long first,
                                                std::uint64_t pixel_cap, Result& result);
// Fault::not_video when no demuxer recognises the file or it has no video
// stream: the caller then takes the name as a PPM sequence after all. The
// video is decoded up to frame `first`, so that a run never starts from a
// frame the video does not have (before_start, past_end).
std::unique_ptr<FrameSource> open_video(const std::string& path, long long first,
                                        std::uint64_t pixel_cap, Result& result,
                                        const LiveInput& live = LiveInput{});

// How a sequence name is read, in this order, so that every name that reads
// PPM frames today still does:
//  1. the file `first_ppm_frame` (<directory><base>.<first>.ppm) exists: PPM;
//  2. the name is a live input (live_kind()): a video, read live;
//  3. the file name holds a '%': a frame pattern (`pattern` filled, or
//     `fault` says why the text is none);
//  4. the name is an existing regular file: a video (when open_video()
//     says not_video, the PPM route after all);
//  5. otherwise: PPM.
SourceKind choose_source(const std::string& name, const char* first_ppm_frame,
                         FramePattern& pattern, PatternFault& fault);

// ---- Mask writer ------------------------------------------------------------------

// Writes a mask of rows x cols bytes (0 and 255) as an 8-bit grey PNG with
// fixed compression settings and no time chunk, so the same mask always
// gives the same bytes. The core writes to an open stream and leaves closing
// it to the caller; the path form writes an OutputFile (imagedata.h), which
// appears under `path` only when whole, and says why in the result when not.
Result write_png_mask(std::FILE* out, int rows, int cols, const std::uint8_t* mask);
Result write_png_mask(int rows, int cols, const std::uint8_t* mask, const char* path);

// ---- Results as video ---------------------------------------------------------------

// The names written as one video: mkv, mp4, avi, nut (any case).
bool is_video_name(std::string_view name);

enum class VideoKind {
    masks,    // the masks as grey frames, losslessly (FFV1, or PNG where the container lacks it)
    overlay,  // the input frames with the foreground tinted (H.264 where there is an encoder)
};

struct VideoSettings {
    VideoKind kind = VideoKind::masks;
    int width = 0, height = 0;
    Rational time_base;   // of the timestamps handed over; 0/1: one tick per frame
    Rational frame_rate;  // 0/1 when unknown
};

// One video written frame by frame through FFmpeg's libraries, under a
// temporary name renamed onto its own by finish(). Not for two threads at once.
class VideoWriter {
public:
    virtual ~VideoWriter() = default;  // a video not finished is removed
    // Appends the frame of `mask` (rows x cols bytes of 0 and 255); an overlay
    // tints `frame` where the mask is set (in place; no mask: untinted) and
    // appends it.
    // `timestamp` in the settings' time base, or no_timestamp.
    virtual Result write(BytePlanes* frame, const std::uint8_t* mask, std::int64_t timestamp) = 0;
    // Ends the video so that it plays to its last frame, and renames it.
    virtual Result finish() = 0;
};

// Null with the fault in `result` when the video cannot be begun.
std::unique_ptr<VideoWriter> open_video_writer(const std::string& path, const VideoSettings& settings,
                                               Result& result);

// ---- What this build reads ----------------------------------------------------------

// Asked of BMP or video, this loads the FFmpeg module: true when it loads.
bool has_decoder(Format format);

}  // namespace zemb::media

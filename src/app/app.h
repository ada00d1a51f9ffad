// Run control: the command-line switches, the run configuration and file
// names, the run's frame source and output folder, the warnings about command
// lines and ranges, the messages for file faults, the platform services
// (performance counter, key wait, stop signals), the console's progress line,
// the phase driver that runs a whole sequence through one engine interface
// (reading ahead and writing behind on stages of their own), and what the
// machine lets a run use (cores, memory) against what it will hold.
//
// Nothing here ends the process: every part reports to its caller, so that
// tests and fuzzers can drive each of them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "imagedata/imagedata.h"
#include "media/media.h"
#include "model/model.h"
#include "run/road.h"

namespace zemb {

// Exit statuses of the program.
constexpr int exit_complete = 0;      // a complete run, or the usage text
constexpr int exit_failed = 1;        // a run that could not start, lost output or input
constexpr int exit_command_line = 2;  // a faulty command line

// ---- Switches -------------------------------------------------------------

// A switch is an argument equal to its text, followed by its value
// arguments. A read removes the switch and its values from argv and lowers
// argc; the search starts at position 1 and takes the first match.
enum class SwitchFault {
    none,
    missing_value,  // fewer value arguments follow the switch than it needs
    not_integer,    // the value of an integer switch is not wholly a number
    not_real,       // the value of a real switch is not wholly a number
};

// Cores: report a fault through `fault` (left alone when all is well).
const char* take_switch(int& argc, char** argv, const char* name, int n, const char* absent,
                        SwitchFault& fault);
int take_int_switch(int& argc, char** argv, const char* name, int fallback, SwitchFault& fault);
double take_real_switch(int& argc, char** argv, const char* name, double fallback,
                        SwitchFault& fault);

// The message for a fault of switch `name`, as printed on standard error.
void print_switch_fault(SwitchFault fault, const char* name);

// A switch the command line knows: its text and how many values follow it.
struct KnownSwitch {
    const char* name;
    int values;
};
// The switches as the start-up reads them, noted by the reads themselves, so
// that a new switch is known everywhere as soon as it is read.
using SwitchTable = std::vector<KnownSwitch>;

// ---- Run configuration ----------------------------------------------------

// The settings of one run, read once by start-up from the command line. The
// defaults here are those of a switch that is not given.
struct RunParameters {
    int n = 3;                    // side of each pixel's map: n x n weight vectors
    float e1 = 0.1f;              // squared-distance threshold, calibration phase
    float e2 = 0.03f;             // squared-distance threshold, online phase
    int K = 200;                  // calibration frames, counting the first frame
    float c1 = 1.0f;              // learning rate of the calibration phase, before scaling
    float c2 = 0.05f;             // learning rate of the online phase, before scaling
    ShadowSettings shadow;        // -s and the test's gamma, beta, tau_S, tau_H
    bool save_models = false;     // write a model image for every processed frame
    bool last_mask_only = false;  // write only the last frame's mask
    int first_frame = 0;
    int last_frame = 0;
};

// Everything start-up hands to the phase driver.
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

// Splits a sequence name at its last "/" or "\\" into directory (keeping the
// separator) and base name ("L0" when nothing follows the separator).
void split_sequence_name(const char* name, std::string& directory, std::string& base);

// The C library's atoi, saturating at the int range instead of overflowing.
int parse_frame_number(const char* text);

// Outcome of reading the command line.
enum class StartUp {
    run,           // config is complete: print the echo and run
    usage,         // fewer than three arguments
    command_line,  // a faulty switch or a value the run cannot use (exit 2)
    cannot_start,  // the first frame cannot give the run a size (exit 1)
};

// Reads the positional arguments, the thirteen switches, -j, -o and -O into
// `config` (whose values stand for the switches not given: a
// default-constructed config holds the defaults), checks the values a run
// cannot use, makes the output folder and opens the frames at the first one.
// Prints only the messages of the faults it finds (on standard error, and the
// file-open message on standard output) and the warnings below. Consumes the
// switches from argv.
StartUp configure_run(int& argc, char** argv, RunConfig& config);

// Checks -o and -O (null when absent) and stores them in `config`; says
// what is wrong with them and returns false for a faulty command line.
bool take_output_switches(const char* folder, const char* mask_pattern, RunConfig& config);
// Makes the output folder with its parents, and checks that this build
// writes the masks asked for; says why not and returns false.
bool prepare_outputs(const RunConfig& config);

// Opens the run's frames at the first one by the route choose_source() gave;
// a file that no demuxer recognises as a video is read as PPM frames after
// all. `pixel_cap` bounds the images of patterns and videos (PPM frames are
// checked by the caller, as they always were). On failure prints why and
// that the run cannot start, and returns null. `first_name` is the file
// that names the first frame in messages.
std::shared_ptr<media::FrameSource> open_frames(media::SourceKind kind, const std::string& name,
                                                const media::FramePattern& pattern,
                                                const RunConfig& config, std::uint64_t pixel_cap,
                                                std::string& first_name);

void print_usage();
void print_settings_echo(const RunConfig& config);

// ---- Warnings -------------------------------------------------------------

// What a run goes on with but its user should know, one line each on
// standard error at start-up. Nothing here changes what the run does.

// A frame-number argument that is not a plain decimal number of the int
// range: `role` is "first frame" or "last frame", `value` what it reads as.
void warn_frame_number(const char* role, const char* text, int value);

// Every argument after the three positional ones that no switch read took:
// `before` is argv as it was before the reads, argc and argv as they left
// it. Names the switch meant where the argument is close to one.
void warn_unread_arguments(const std::vector<char*>& before, int argc, char* const* argv,
                           const SwitchTable& known);

// A range that gives no online frame, so no mask at all.
void warn_range(const RunParameters& params);

// ---- File messages --------------------------------------------------------

// Prints what the reads of one source's frames found, in media's wording,
// and nothing when all went well. A frame file that cannot be opened is
// also announced as "Errore apertura file <path>" on standard output
// (flushed at once); the first one of a run looks for a neighbour numbered
// otherwise and names the pattern to type.
class FrameReports {
public:
    explicit FrameReports(media::SourceKind kind) : kind_(kind) {}
    void report(const media::Result& read);

private:
    media::SourceKind kind_;
    bool hint_sought_ = false;
};

// Print what a write found, and nothing when all went well: a file that
// cannot be created as "Errore apertura file <path>" on standard output
// (flushed at once) and the reason on standard error; a failed write on
// standard error as "zemb: <path>: ...".
void report_write(const char* path, const FileWrite& write);
void report_write(const media::Result& write);

// ---- Input frames that could not be used ------------------------------------

// How much of an input frame a read delivered.
enum class FrameUse {
    whole,
    in_part,  // a short raster: the samples past its end are the previous frame's
    none,     // nothing: the previous frame stands in for it
};
FrameUse frame_use(const media::Result& read);

// The run's account of the input frames it could not use, each replaced by
// the frame before it (in part, for a short raster; by black for the first
// frame). Counting allocates nothing: only the first few numbers are kept,
// for the closing line.
class UnusableFrames {
public:
    explicit UnusableFrames(long long first_frame);
    void count(long long number, FrameUse use);
    long long total() const { return total_; }
    // The closing line on standard error; nothing when every frame was used.
    void report() const;

private:
    static constexpr int listed = 5;  // frame numbers the closing line names
    long long numbers_[listed] = {};
    bool in_part_[listed] = {};
    int kept_ = 0;
    long long total_ = 0;
    long long total_in_part_ = 0;
    long long first_frame_;
    bool first_counted_ = false;
};

// ---- Platform ---------------------------------------------------------------

// Performance counter: ticks of a monotonic clock and their frequency.
// The query fails (returns false) where no such clock exists.
bool query_counter_frequency(std::int64_t& ticks_per_second);
std::int64_t read_counter();

// Waits for one key press, without echo and without Enter, when standard
// input and standard output are both terminals and this process is in the
// terminal's foreground process group; otherwise returns at once. Restores
// the terminal on every way out, Ctrl-C included.
void wait_for_key();

// ---- Progress line ------------------------------------------------------------

// One self-overwriting line on standard error while frames go by: phase,
// frame k of N, frames per second and time left for the whole run. Shown
// only when standard error is a terminal, and then for the whole run: every
// other message is printed between hide() and show(), so that it starts on
// a clean line and the progress line comes back under it. Redrawn at most
// every redraw_interval as frames go by. The driver owns the one object and
// feeds it the time, so that nothing else needs a clock or writes the line.
class ProgressLine {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration redraw_interval = std::chrono::milliseconds(100);

    // `run_frames`: the frames all phases will count, for the time left.
    ProgressLine(std::FILE* terminal, bool enabled, long long run_frames, Clock::time_point now);

    // A phase of `frames` frames begins; the line shows it at once (an empty
    // phase shows none).
    void start_phase(const char* phase, long long frames, Clock::time_point now);
    // Frame k (1-based) of the phase is done.
    void frame_done(long long k, Clock::time_point now);
    // Before any other message; after one, show() draws the line again.
    void hide();
    void show(Clock::time_point now);
    // The run is over: the line goes for good.
    void finish();

private:
    void draw(Clock::time_point now);

    std::FILE* out_;
    bool enabled_;
    bool visible_ = false;
    const char* phase_ = "";
    long long phase_frames_ = 0, k_ = 0;
    long long run_frames_, done_before_phase_ = 0;
    Clock::time_point started_, drawn_;
};

// Ends the run cleanly on SIGINT, SIGTERM and SIGHUP: the temporary files of
// unfinished outputs are removed, the terminal is restored, "zemb: stopped by
// <signal> at frame <k>" goes to standard error, and the process ends as the
// signal would have (status 128 + its number). A signal the process was
// started with ignored stays ignored.
void install_stop_handlers();

// The frame the run is working on, for that message; any thread may note it.
void note_frame(long long number);

// ---- Phase driver ---------------------------------------------------------

// A run's per-frame work behind one face: both implementations leave the
// same masks and models. The engine owns the model; the driver owns the
// frame in cone coordinates and the mask, which carries over between frames.
class RunEngine {
public:
    virtual ~RunEngine() = default;
    // The frame's bytes (R, G, B planes) to cone coordinates in `pixels`. The
    // driver calls it on its reading thread while segment() runs on another:
    // it touches nothing the other calls use.
    virtual void convert(const BytePlanes& frame, FloatPlanes& pixels) = 0;
    // The model from the frame `pixels`: each pixel fills its own block.
    virtual void init(const FloatPlanes& pixels) = 0;
    // Classifies the frame `pixels` into `mask` (the previous frame's mask on
    // entry) and works out the model's update: the span the timing reports.
    virtual void segment(const FloatPlanes& pixels, std::uint8_t* mask, const WeightMatrix& weights,
                         float e) = 0;
    // Makes the update the current model.
    virtual void commit() = 0;
    // The current model, for model images.
    virtual const FloatPlanes& model() const = 0;
};

// The engine of a run of this configuration, its buffers allocated. Throws
// std::bad_alloc, or std::system_error when worker threads cannot start;
// returns null, having said why, when run_vector_unit refuses.
std::unique_ptr<RunEngine> make_run_engine(Engine kind, const RunConfig& config);
// Bytes that engine allocates: its models, scratch and tables.
std::uint64_t run_engine_bytes(Engine kind, const RunConfig& config);

// Bytes the driver allocates beside the engine: the frame as read, the
// frames in cone coordinates and the outputs in its rings (see Stage), the
// mask.
std::uint64_t run_buffer_bytes(const RunConfig& config, Engine engine);
// Threads the driver starts beside the engine's: one reads, one writes; none
// on the sequential road (the reference, or no core left beside the bands).
int run_helper_threads(Engine engine, const RunConfig& config);

// ---- Stages of the frame road ---------------------------------------------------

// Jobs 0, 1, 2, ... done in order by one helper thread beside the main
// thread, job j in slot j % slots, so that reading the next frame and
// writing the last one's outputs overlap its segmentation. The main thread
// adds jobs, takes each one's slot once it is done, and releases it; a slot
// is reused only after that, so the slots, allocated before the frame loop,
// are all the memory the stage needs. Without a thread (`threaded` false) a
// job is done on the main thread when it is first asked about: the
// sequential road through the same code.
//
// Only the main thread prints: a job stores what it found in its slot, and
// the main thread words it when it takes the slot. See stage.cpp for why.
class Stage {
public:
    using Work = std::function<void(long long job, int slot)>;
    // Throws std::system_error when the thread cannot start.
    Stage(int slots, bool threaded, Work work);
    ~Stage();  // after the job in hand, if any
    Stage(const Stage&) = delete;
    Stage& operator=(const Stage&) = delete;

    int slots() const { return slots_; }
    // Allows `jobs` more jobs; the helper starts on them as slots come free.
    void add(long long jobs = 1);
    // Jobs added and not yet released.
    long long pending();
    // The slot of the next job add() allows; free while pending() < slots().
    int next_slot();
    // Whether the oldest job not yet released is done (without a thread: does
    // it now). Needs pending() > 0.
    bool oldest_done();
    // Waits until it is done and returns its slot. Needs pending() > 0.
    int wait_oldest();
    // Frees its slot for a later job.
    void release_oldest();

private:
    void serve();
    int slot_of(long long job) const { return static_cast<int>(job % slots_); }

    const int slots_;
    const Work work_;
    std::mutex mutex_;
    std::condition_variable helper_wakes_, main_wakes_;
    long long added_ = 0, done_ = 0, released_ = 0;
    bool stopping_ = false;
    std::thread helper_;  // last: it starts once everything above is set
};

// The fast engine's vector unit: the widest the processor has, or the one the
// environment variable ZEMB_VECTOR_UNIT names (scalar, avx2, avx512; for the
// tests). False, with a message on standard error, for a name that is no unit
// or a unit this processor lacks.
bool run_vector_unit(VectorUnit& unit);

// Runs the whole sequence: model from the first frame, calibration, online
// phase with masks (and model images with -m), timing reports. Returns the
// exit status: 0 when every input frame was used and every output written,
// 1 when any was not or the buffers could not be allocated.
int run_sequence(const RunConfig& config, Engine engine = Engine::fast);

// ---- Resources and memory ---------------------------------------------------

// Limits of the cgroup this process is in (v2, or v1's memory and cpu
// controllers), the tightest on its path up to each hierarchy's root.
// `root` is put before every system path read (/proc, /sys): empty for this
// system, a folder of its own for a test.
struct CgroupLimits {
    std::uint64_t memory_bytes = UINT64_MAX;  // UINT64_MAX: no limit
    double cpus = 0;                          // CPU quota over its period; 0: no quota
};
CgroupLimits read_cgroup_limits(const std::string& root = "");

// Cores this process may run on (-j 0): its CPU affinity, capped by its
// cgroup's CPU quota rounded up; at least 1.
int usable_cores();

// The most memory this process can get, and what says so: the smallest of
// the memory available on the machine (MemAvailable), its cgroup's memory
// limit, and its address-space limit less what the process reserves beyond
// what it holds (its libraries) and `reserved_bytes` more (thread stacks).
struct MemoryLimit {
    std::uint64_t bytes = UINT64_MAX;
    const char* what = "";
};
MemoryLimit memory_limit(std::uint64_t reserved_bytes, const std::string& root = "");

// Bytes a run of this configuration holds at its peak, as each part that
// allocates reports it: the engine (run_engine_bytes), the driver's buffers
// (run_buffer_bytes), the frame source's `source_bytes`, and the program
// itself (what it holds when asked, and room to spare).
std::uint64_t run_memory_bytes(const RunConfig& config, Engine engine, std::uint64_t source_bytes);

// Compares run_memory_bytes with memory_limit; says why on standard error
// and returns false when the run would not fit.
bool check_run_memory(const RunConfig& config, Engine engine, std::uint64_t source_bytes,
                      const char* first_frame);

// The whole program, from the command line to the exit status.
int zemb_main(int argc, char** argv, Engine engine);

}  // namespace zemb

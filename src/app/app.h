// Run control: the command-line switches, the run configuration and file
// names, the platform services (performance counter, key wait), and the phase
// driver that runs a whole sequence.
//
// The parts report faults to their callers; only zemb_main decides the exit
// status, so that tests and fuzzers can drive every part.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "imagedata/imagedata.h"
#include "model/model.h"

namespace zemb {

// Exit statuses of the program.
constexpr int exit_complete = 0;      // a complete run, or the usage text
constexpr int exit_failed = 1;        // a run that could not start or lost output
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

// ---- Run configuration ----------------------------------------------------

// The settings of one run, read once by start-up from the command line. The
// defaults here are those of a switch that is not given.
struct RunParameters {
    int n = 3;             // side of each pixel's map: n x n weight vectors
    float e1 = 0.1f;       // squared-distance threshold, calibration phase
    float e2 = 0.03f;      // squared-distance threshold, online phase
    int K = 200;           // calibration frames, counting the first frame
    float c1 = 1.0f;       // learning rate of the calibration phase, before scaling
    float c2 = 0.05f;      // learning rate of the online phase, before scaling
    ShadowSettings shadow;       // -s and the test's gamma, beta, tau_S, tau_H
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
};

// Composes the run's file names into one buffer reserved up front, so that
// naming a frame allocates nothing. The pointer stays valid until the next
// call.
class FileNames {
public:
    FileNames(const std::string& directory, const std::string& base);
    const char* frame(int number);  // <directory><base>.<number>.ppm
    const char* mask(int number);   // <base>Mask.<number>.pgm
    const char* model(int number);  // <base>Model.<number>.ppm

private:
    const char* compose(const std::string& head, const char* middle, int number, const char* tail);
    std::string directory_and_base_;
    std::string base_;
    std::string name_;
};

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

// Reads the positional arguments, the thirteen switches and -j into `config`
// (whose values stand for the switches not given: a default-constructed
// config holds the defaults), checks the values a run cannot use, and reads
// the first frame's header.
// Prints only the messages of the faults it finds (on standard error, and the
// file-open message on standard output). Consumes the switches from argv.
StartUp configure_run(int& argc, char** argv, RunConfig& config);

// Bytes a run of this configuration allocates; saturates instead of
// overflowing.
std::uint64_t run_memory_bytes(const RunParameters& params, std::size_t pixels);

void print_usage();
void print_settings_echo(const RunConfig& config);

// ---- File messages --------------------------------------------------------

// Print what a read or write found, and nothing when all went well: a file
// that cannot be opened as "Errore apertura file <path>" on standard output
// (flushed at once) and the reason on standard error; every other finding,
// a short raster included, on standard error as "zemb: <path>: ...".
void report_read(const char* path, const PpmRead& read);
void report_write(const char* path, const FileWrite& write);

// ---- Platform ---------------------------------------------------------------

// Performance counter: ticks of a monotonic clock and their frequency.
// The query fails (returns false) where no such clock exists.
bool query_counter_frequency(std::int64_t& ticks_per_second);
std::int64_t read_counter();

// Waits for one key press, without echo and without Enter, when standard
// input is a terminal and this process is in its foreground; otherwise
// returns at once. Restores the terminal on every way out, Ctrl-C included.
void wait_for_key();

// ---- Phase driver ---------------------------------------------------------

// Which implementation does the per-frame work. Users always get the fast
// one; the straightforward reference is built into a second, internal
// executable for the benchmark and the whole-run comparisons of the tests.
enum class Engine { fast, reference };

// A run's per-frame work behind one face: both implementations leave the
// same masks and models. The engine owns the frame in cone coordinates and
// the model; the driver owns the mask, which carries over between frames.
class RunEngine {
public:
    virtual ~RunEngine() = default;
    // The frame's bytes (R, G, B planes) to the cone coordinates in hand.
    virtual void convert(const BytePlanes& frame) = 0;
    // The model from the frame in hand: each pixel fills its own block.
    virtual void init() = 0;
    // Classifies the frame in hand into `mask` (the previous frame's mask on
    // entry) and works out the model's update: the span the timing reports.
    virtual void segment(std::uint8_t* mask, const WeightMatrix& weights, float e) = 0;
    // Makes the update the current model.
    virtual void commit() = 0;
    // The current model, for model images.
    virtual const FloatPlanes& model() const = 0;
};

// The engine of a run of this configuration, its buffers allocated. Throws
// std::bad_alloc, or std::system_error when worker threads cannot start;
// returns null, having said why, when run_vector_unit refuses.
std::unique_ptr<RunEngine> make_run_engine(Engine kind, const RunConfig& config);

// Bytes make_run_engine allocates for this configuration: the engine's
// models, its frame in cone coordinates and its scratch.
std::uint64_t run_engine_bytes(Engine kind, const RunConfig& config);

// The fast engine's vector unit: the widest the processor has, or the one the
// environment variable ZEMB_VECTOR_UNIT names (scalar, avx2, avx512; for the
// tests). False, with a message on standard error, for a name that is no unit
// or a unit this processor lacks.
bool run_vector_unit(VectorUnit& unit);

// Runs the whole sequence: model from the first frame, calibration, online
// phase with masks (and model images with -m), timing reports. Returns the
// exit status: 0 when every output was written, 1 when any was lost or the
// buffers could not be allocated.
int run_sequence(const RunConfig& config, Engine engine = Engine::fast);

// The whole program, from the command line to the exit status.
int zemb_main(int argc, char** argv, Engine engine);

}  // namespace zemb

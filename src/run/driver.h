// The phase driver: runs a whole sequence through one engine, reading ahead
// and writing behind on stages of their own, and says how it went.
#pragma once

#include <cstdint>
#include <string>

#include "files/files.h"
#include "run/config.h"
#include "run/engine.h"
#include "run/fault.h"
#include "run/reports.h"

namespace zemb {

// Exit statuses of a run.
constexpr int exit_complete = 0;  // every input frame used, every output written
constexpr int exit_failed = 1;    // a run that could not start, lost output or input

// A phase's segmentation time, as its timing report gives it.
struct PhaseTime {
    bool clocked = true;    // false: the machine has no steady clock
    bool measured = false;  // false: no clock, or no frame segmented
    long long frames = 0;   // the frames the report divides by
    double total_ms = 0.0, ms_per_frame = 0.0, fps = 0.0;
};

// What a run did, counted while frames go by.
struct RunAccount {
    PhaseTime calibration, online;
    long long frames_read = 0;      // frames taken in, each number once
    long long frames_unusable = 0;  // of those, replaced (in whole or part) by the frame before
    long long masks_written = 0;
    long long outputs_lost = 0;  // masks and model images that could not be written
};

// What shows a run's progress while frames go by; the driver calls it on its
// own thread. Every call may be left empty.
class RunWatcher {
public:
    virtual ~RunWatcher() = default;
    // A phase of `frames` frames (unknown_frames: until the input ends)
    // begins; it spans the frame numbers first to last, as the run's settings
    // name the phase (the calibration phase's first frame is the model's,
    // done before the phase counts any).
    virtual void start_phase(const char* /*phase*/, long long /*frames*/, long long /*first*/,
                             long long /*last*/)
    {
    }
    // Frame k (1-based) of the phase is done: frame number first + k - 1 online.
    virtual void frame_done(long long /*k*/) {}
    // The frames are done; the run's closing lines follow.
    virtual void frames_done() {}
    // The closing lines are printed; `status` is the run's exit status.
    virtual void accounted(const RunAccount& /*account*/, int /*status*/) {}
    // The run ends when this returns.
    virtual void run_ended() {}
};

// A count not known before the input ends.
constexpr long long unknown_frames = -1;

// A phase as its timing report announces it: `frames` frames numbered first
// to last, or from first up to the end of the input.
struct PhaseSpan {
    const char* phase;  // "calibration" or "online"
    long long frames, first, last;
    bool to_end;
};

// What a run has to say while frames go by; the program words and prints it
// (the driver prints nothing). Each call comes on the driver's thread, in the
// order the run meets it; every call may be left empty.
class RunMessages {
public:
    virtual ~RunMessages() = default;
    // The machine has no steady clock: no timing figures.
    virtual void no_clock() {}
    virtual void phase_begins(const PhaseSpan& /*span*/) {}
    virtual void phase_timed(const PhaseTime& /*time*/) {}
    // Up to the end: the frames the run took, numbered first to last.
    virtual void frames_counted(long long /*count*/, long long /*first*/, long long /*last*/) {}
    // A frame's read found something wrong (a frame file missing, a short
    // raster, a live input gone quiet).
    virtual void read_fault(const media::Result& /*read*/) {}
    // An output could not be written: a file of zemb's own, or one media/ wrote.
    virtual void write_fault(const char* /*path*/, const FileWrite& /*write*/) {}
    virtual void write_fault(const media::Result& /*write*/) {}
    // Up to the end, the input ended after frame `last_read`, within calibration.
    virtual void input_ended_in_calibration(long long /*last_read*/) {}
    // --relearn: the scene changed at frame `number` and the model starts again.
    virtual void scene_changed(long long /*number*/) {}
    // --save-model's file could not be written; `why` is worded.
    virtual void model_not_saved(const std::string& /*path*/, const std::string& /*why*/) {}
    // The run's closing account of what it lost, when it lost anything.
    virtual void outputs_lost(long long /*count*/) {}
    virtual void frames_unusable(const UnusableFrames& /*frames*/) {}
};

// Frames a run's phases count: calibration after the first frame, then the
// online phase; unknown_frames up to the end.
long long run_progress_frames(const RunParameters& p);

// Bytes the driver allocates beside the engine: the frame as read, the
// frames in cone coordinates and the outputs in its rings (see Stage), the
// mask.
std::uint64_t run_buffer_bytes(const RunConfig& config, Engine engine);
// Threads the driver starts beside the engine's: one reads, one writes; none
// on the sequential road (the reference, or a single usable core).
int run_helper_threads(Engine engine);

// Runs the whole sequence: model from the first frame, calibration, online
// phase with masks (and model images with -m), timing figures. Returns the
// exit status: 0 when every input frame was used and every output written,
// 1 when any was not, or when the run could not start (`fault` says why;
// nothing was printed then).
int run_sequence(const RunConfig& config, Engine engine, RunWatcher& watcher,
                 RunMessages& messages, RunFault& fault);

// Performance counter: ticks of a monotonic clock and their frequency.
// The query fails (returns false) where no such clock exists.
bool query_counter_frequency(std::int64_t& ticks_per_second);
std::int64_t read_counter();

}  // namespace zemb

// The program's terminal: the key wait, the progress line, and the stop
// handlers that put the terminal back and say where a run stopped.
#pragma once

#include <chrono>
#include <cstdio>

namespace zemb {

// Waits for one key press, without echo and without Enter, when standard
// input and standard output are both terminals and this process is in the
// terminal's foreground process group; otherwise returns at once. Restores
// the terminal on every way out, Ctrl-C included.
void wait_for_key();

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

    // A count not known before the input ends: the line shows no time left.
    static constexpr long long unknown_count = -1;

    // `run_frames`: the frames all phases will count, for the time left, or
    // unknown_count.
    ProgressLine(std::FILE* terminal, bool enabled, long long run_frames, Clock::time_point now);

    // A phase of `frames` frames (or unknown_count) begins; the line shows
    // it at once (an empty phase shows none).
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

// After a run that deferred its stop (files/stop.h) has closed its outputs:
// says where it stopped and ends as the signal would have.
[[noreturn]] void end_stopped_run();

}  // namespace zemb

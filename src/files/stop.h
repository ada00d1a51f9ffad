// Stop signals: which signals stop a run, keeping them off the threads a run
// starts, and the frame a stop message names. Installing the handler is the
// program's choice (app/); a library that starts threads only keeps them off.
#pragma once

#include <signal.h>

#include <climits>

namespace zemb {

// The signals that stop a run: an interrupt, a scheduler's time limit or
// preemption, a closed terminal.
inline constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Threads started while one of these is in scope never take a stop signal:
// the stop handler then runs on the thread that runs the frames, once, and
// never on a helper in the middle of its work. It blocks the stop signals of
// the calling thread (new threads inherit its mask) and restores them after.
class StopSignalsBlocked {
public:
    StopSignalsBlocked();
    ~StopSignalsBlocked();
    StopSignalsBlocked(const StopSignalsBlocked&) = delete;
    StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

private:
    sigset_t previous_;
};

// A run that writes a video ends it properly when stopped: the program
// defers stops, the handler then only notes the first stop signal, and the
// run ends at the next frame and closes its outputs. Safe in a signal handler.
void defer_stops();
bool stops_deferred();
void note_stop(int signal_number);
int noted_stop();  // 0 while no stop is noted

// No frame noted yet: the run stopped while it was starting.
constexpr long long no_frame = LLONG_MIN;

// The frame the run is working on, for the stop message; any thread may note
// it, and a signal handler may read it.
void note_frame(long long number);
long long noted_frame();

}  // namespace zemb

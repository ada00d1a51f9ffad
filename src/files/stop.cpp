#include "files/stop.h"

#include <pthread.h>

#include <atomic>

namespace zemb {

namespace {

std::atomic<long long> current_frame{no_frame};
std::atomic<bool> deferred{false};
std::atomic<int> stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop handler writes it");
static_assert(std::atomic<long long>::is_always_lock_free, "the stop handler reads it");

}  // namespace

StopSignalsBlocked::StopSignalsBlocked()
{
    sigset_t stops;
    sigemptyset(&stops);
    for (int s : stop_signals)
        sigaddset(&stops, s);
    pthread_sigmask(SIG_BLOCK, &stops, &previous_);
}

StopSignalsBlocked::~StopSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

void note_frame(long long number) { current_frame.store(number, std::memory_order_relaxed); }

long long noted_frame() { return current_frame.load(); }

void defer_stops() { deferred.store(true); }
bool stops_deferred() { return deferred.load(); }
void note_stop(int signal_number) { stop_signal.store(signal_number); }
int noted_stop() { return stop_signal.load(); }

}  // namespace zemb

#include "files/stop.h"

#include <pthread.h>

#include <atomic>

namespace zemb {

namespace {

std::atomic<long long> current_frame{no_frame};
static_assert(std::atomic<long long>::is_always_lock_free, "the stop handler reads it");
std::atomic<bool> stops_deferred{false};
std::atomic<int> waiting_stop{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop handler writes it");

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

void defer_stops() { stops_deferred.store(true); }

bool defer_stop(int signal_number)
{
    if (!stops_deferred.load() || waiting_stop.load() != 0)
        return false;
    waiting_stop.store(signal_number);
    return true;
}

int pending_stop() { return waiting_stop.load(std::memory_order_relaxed); }

void end_deferred_stop()
{
    const int signal_number = waiting_stop.load();
    stops_deferred.store(false);
    if (signal_number != 0)
        raise(signal_number);
}

}  // namespace zemb

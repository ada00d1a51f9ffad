// A stage of the frame road: jobs done in order on a helper thread, through
// a fixed ring of slots.
//
// Why the console cannot change with it: scripts and the tests compare a
// run's standard output and error byte for byte, and a person reads a bad
// frame's message next to the frames around it. So a helper never prints.
// The reader leaves each frame's read result in its slot and the writer each
// write's result in its; the main thread prints them, in the order the
// sequential road prints them, when it takes the slots (the driver says
// where it waits for that). The timing of the threads then decides only
// when a line appears, never which line comes first.
#include "run/stage.h"

#include "files/stop.h"

namespace zemb {

Stage::Stage(int slots, bool threaded, Work work) : slots_(slots), work_(std::move(work))
{
    if (threaded) {
        const StopSignalsBlocked quiet;  // stops are the main thread's to handle
        helper_ = std::thread([this] { serve(); });
    }
}

Stage::~Stage()
{
    if (!helper_.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    helper_wakes_.notify_one();
    helper_.join();
}

void Stage::serve()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        // A job waits for the slot of the job `slots_` before it to be released.
        helper_wakes_.wait(
            lock, [this] { return stopping_ || (done_ < added_ && done_ - released_ < slots_); });
        if (stopping_)
            return;
        const long long job = done_;
        lock.unlock();
        work_(job, slot_of(job));
        lock.lock();
        ++done_;
        main_wakes_.notify_one();
    }
}

void Stage::add(long long jobs)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        added_ += jobs;
    }
    helper_wakes_.notify_one();
}

long long Stage::pending()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return added_ - released_;
}

int Stage::next_slot()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return slot_of(added_);
}

bool Stage::oldest_done()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!helper_.joinable() && done_ == released_ && done_ < added_) {
        work_(done_, slot_of(done_));
        ++done_;
    }
    return done_ > released_;
}

int Stage::wait_oldest()
{
    if (!helper_.joinable()) {
        oldest_done();
        return slot_of(released_);
    }
    std::unique_lock<std::mutex> lock(mutex_);
    main_wakes_.wait(lock, [this] { return done_ > released_; });
    return slot_of(released_);
}

void Stage::release_oldest()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++released_;
    }
    helper_wakes_.notify_one();
}

}  // namespace zemb

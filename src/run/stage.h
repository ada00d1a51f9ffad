// A stage of the frame road: jobs done in order on a helper thread beside
// the main thread, through a fixed ring of slots.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace zemb {

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

}  // namespace zemb

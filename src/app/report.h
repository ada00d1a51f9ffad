// --report FILE: the run's account in JSON, for a program that watches or
// gathers runs (zemb-batch reads it). The file is only ever seen whole: each
// version is written under a temporary name and renamed onto it.
//
// While frames go by it is rewritten at most once a second with "state":
// "running", the phase, the frame reached and the rate; at the end "state"
// is "complete" or "failed", with the exit status, the timing figures as the
// timing report prints them, the counts and the settings. A stop signal
// leaves "stopped", the phase and frame the run was at and the signal,
// written by the stop handler (write_stopped_report).
#pragma once

#include <chrono>
#include <string>

#include "run/config.h"
#include "run/driver.h"
#include "run/fault.h"

namespace zemb {

class RunReport final : public RunWatcher {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration rewrite_interval = std::chrono::seconds(1);

    explicit RunReport(const RunConfig& config);
    ~RunReport() override;
    RunReport(const RunReport&) = delete;
    RunReport& operator=(const RunReport&) = delete;

    // Writes the first report, before any frame is read; prints why and
    // returns false when it cannot be written.
    bool start();
    void start_phase(const char* phase, long long frames, long long first, long long last) override;
    void frame_done(long long k) override;
    // Writes the last report: complete or failed.
    void accounted(const RunAccount& account, int status) override;
    // The run could not start after all: a failed report with the reason.
    void not_started(const RunFault& fault);
    // The program's exit status: a failure when the last report was lost.
    int exit_status(int run_status) const;

private:
    void append_progress(std::string& out) const;
    void write_running();
    bool write(const std::string& text, bool say_why);

    std::string path_, temporary_;  // the stop handler's temporary name
    std::string settings_;          // the "settings" object
    long long first_frame_, frames_total_;
    const char* phase_ = "starting";
    long long done_before_phase_ = 0, k_ = 0;
    Clock::time_point started_, written_;
    std::string text_;     // the report being written, reserved once
    std::string stopped_;  // what the stop handler writes before the fields it adds
    bool lost_ = false;    // the last report could not be written
};

// From a stop handler: writes the report of a run stopped by `signal_name`,
// the process then ending with `status`, at the frame noted last. Only calls
// a signal handler may make; nothing when no run keeps a report.
void write_stopped_report(const char* signal_name, int status);

}  // namespace zemb

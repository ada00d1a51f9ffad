// The program: start-up, the memory check, the run shown on the terminal.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/program.h"
#include "app/report.h"
#include "app/run_lines.h"
#include "app/startup.h"
#include "app/terminal.h"
#include "files/stop.h"
#include "run/driver.h"
#include "run/frames.h"
#include "run/resources.h"

namespace zemb {

namespace {

// The settings echo and the timing reports are the run's account of itself:
// when they could not be written (a full disk, a closed pipe), the run must
// not claim success.
int check_standard_output(int status)
{
    bool flushed = std::fflush(stdout) == 0;
    int error = errno;
    if (flushed && std::ferror(stdout) == 0)
        return status;
    if (flushed)
        std::fprintf(stderr, "zemb: standard output: write failed\n");
    else
        std::fprintf(stderr, "zemb: standard output: write failed: %s\n", std::strerror(error));
    return status == exit_complete ? exit_failed : status;
}

static_assert(unknown_frames == ProgressLine::unknown_count, "the driver's count is the line's");

// The run as the terminal shows it: its lines, the progress line on
// standard error, and the key wait at its end. Every line printed while
// frames go by goes through say(), so that the progress line makes way for
// it and comes back under it.
class TerminalWatcher final : public RunWatcher, public RunMessages {
public:
    using Clock = ProgressLine::Clock;
    explicit TerminalWatcher(const RunConfig& config)
        : config_(config),
          line_(stderr, isatty(STDERR_FILENO) == 1, run_progress_frames(config.params),
                Clock::now()),
          reads_(config.frames->kind())
    {
    }
    void start_phase(const char* phase, long long frames, long long first, long long last) override
    {
        line_.start_phase(phase, frames, first, last, Clock::now());
    }
    void frame_done(long long k) override { line_.frame_done(k, Clock::now()); }
    void frames_done() override { line_.finish(); }
    void run_ended() override
    {
        if (config_.no_wait)
            return;
        std::printf("\nHit any key to continue...\n");
        wait_for_key();
    }

    void no_clock() override { say([] { print_no_clock(); }); }
    void phase_begins(const PhaseSpan& span) override { say([&] { print_phase_begins(span); }); }
    void phase_timed(const PhaseTime& time) override { say([&] { print_phase_time(time); }); }
    void frames_counted(long long count, long long first, long long last) override
    {
        say([&] { print_frames_counted(count, first, last); });
    }
    void read_fault(const media::Result& read) override { say([&] { reads_.report(read); }); }
    void write_fault(const char* path, const FileWrite& write) override
    {
        say([&] { report_write(path, write); });
    }
    void write_fault(const media::Result& write) override { say([&] { report_write(write); }); }
    void input_ended_in_calibration(long long last_read) override
    {
        say([&] {
            std::fprintf(stderr,
                         "zemb: %s: the input ends after frame %lld, before the %d "
                         "frames of calibration (-K) are read: no masks\n",
                         config_.first_frame_name.c_str(), last_read, config_.params.K);
        });
    }
    void scene_changed(long long number) override
    {
        say([&] { std::fprintf(stderr, "zemb: the scene changed at frame %lld: relearning\n", number); });
    }
    void model_not_saved(const std::string& path, const std::string& why) override
    {
        say([&] { std::fprintf(stderr, "zemb: %s: %s\n", path.c_str(), why.c_str()); });
    }
    // The closing lines come once the progress line has gone.
    void outputs_lost(long long count) override { print_outputs_lost(count); }
    void frames_unusable(const UnusableFrames& frames) override { print_unusable_frames(frames); }

private:
    template <typename Print>
    void say(Print print)
    {
        line_.hide();
        print();
        line_.show(Clock::now());
    }

    const RunConfig& config_;
    ProgressLine line_;
    FrameReports reads_;
};

// The terminal's watcher, and the report's beside it when there is one.
class BothWatchers final : public RunWatcher {
public:
    BothWatchers(RunWatcher& first, RunWatcher& second) : first_(first), second_(second) {}
    void start_phase(const char* phase, long long frames, long long first, long long last) override
    {
        first_.start_phase(phase, frames, first, last);
        second_.start_phase(phase, frames, first, last);
    }
    void frame_done(long long k) override
    {
        first_.frame_done(k);
        second_.frame_done(k);
    }
    void frames_done() override { first_.frames_done(); }
    void accounted(const RunAccount& account, int status) override
    {
        first_.accounted(account, status);
        second_.accounted(account, status);
    }
    void run_ended() override { first_.run_ended(); }

private:
    RunWatcher &first_, &second_;
};

int run(int argc, char** argv, Engine engine)
{
    RunConfig config;
    switch (configure_run(argc, argv, config)) {
    case StartUp::usage:
        print_usage();
        if (!asks_no_wait(argc, argv)) {
            std::printf("Hit any key to continue...\n");
            wait_for_key();
        }
        return exit_complete;
    case StartUp::help: print_help(); return exit_complete;
    case StartUp::command_line: return exit_command_line;
    case StartUp::cannot_start: return exit_failed;
    case StartUp::run: break;
    }
    // What the frame source holds beside the run's buffers: its decoder and
    // read buffers.
    const std::uint64_t source_bytes = config.frames->buffer_bytes();
    if (config.estimate_memory) {
        std::printf("%llu\n",
                    static_cast<unsigned long long>(run_memory_bytes(config, engine, source_bytes)));
        remove_made_folders(config);
        return exit_complete;
    }
    // A run that cannot start leaves nothing behind, not even its folder.
    const RunFault memory = check_run_memory(config, engine, source_bytes);
    if (!memory.ok()) {
        print_fault(memory);
        remove_made_folders(config);
        return exit_failed;
    }
    // A video is ended properly, and a model saved, when the run is stopped:
    // the stop waits for the frame in hand.
    if (!config.mask_video.empty() || !config.overlay_video.empty() || !config.save_model.empty())
        defer_stops();
    install_stop_handlers();
    // Written before the first frame, so that a report that cannot be
    // written stops the run before it does any work.
    std::unique_ptr<RunReport> report;
    if (!config.report_path.empty()) {
        report = std::make_unique<RunReport>(config);
        if (!report->start()) {
            remove_made_folders(config);
            return exit_failed;
        }
    }
    print_settings_echo(config);
    TerminalWatcher terminal(config);
    RunWatcher no_report;
    BothWatchers watcher(terminal, report ? *report : no_report);
    RunFault fault;
    const int status = run_sequence(config, engine, watcher, terminal, fault);
    print_fault(fault);
    if (!fault.ok())
        remove_made_folders(config);
    if (noted_stop() != 0) {
        std::fflush(stdout);
        end_stopped_run();
    }
    if (!report)
        return status;
    if (!fault.ok())
        report->not_started(fault);
    return report->exit_status(status);
}

}  // namespace

int zemb_main(int argc, char** argv, Engine engine)
{
    // A file-size limit or a closed pipe makes a write fail (and be
    // reported) instead of killing the process halfway through its outputs.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    return check_standard_output(run(argc, argv, engine));
}

}  // namespace zemb

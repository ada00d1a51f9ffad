// The program: start-up, the memory check, the run shown on the terminal.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "app/program.h"
#include "app/startup.h"
#include "app/terminal.h"
#include "files/stop.h"
#include "run/driver.h"
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

// The run as the terminal shows it: the progress line on standard error, and
// the key wait at its end.
class TerminalWatcher final : public RunWatcher {
public:
    using Clock = ProgressLine::Clock;
    explicit TerminalWatcher(const RunParameters& p)
        : line_(stderr, isatty(STDERR_FILENO) == 1, run_progress_frames(p), Clock::now())
    {
    }
    void start_phase(const char* phase, long long frames) override
    {
        line_.start_phase(phase, frames, Clock::now());
    }
    void frame_done(long long k) override { line_.frame_done(k, Clock::now()); }
    void before_message() override { line_.hide(); }
    void after_message() override { line_.show(Clock::now()); }
    void frames_done() override { line_.finish(); }
    void run_ended() override
    {
        std::printf("\nHit any key to continue...\n");
        wait_for_key();
    }

private:
    ProgressLine line_;
};

int run(int argc, char** argv, Engine engine)
{
    RunConfig config;
    switch (configure_run(argc, argv, config)) {
    case StartUp::usage:
        print_usage();
        std::printf("Hit any key to continue...\n");
        wait_for_key();
        return exit_complete;
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
        return exit_complete;
    }
    const RunFault memory = check_run_memory(config, engine, source_bytes);
    if (!memory.ok()) {
        print_fault(memory);
        return exit_failed;
    }
    // A saved model is saved when the run is stopped: the stop waits for
    // the frame in hand.
    if (!config.save_model.empty())
        defer_stops();
    install_stop_handlers();
    print_settings_echo(config);
    TerminalWatcher watcher(config.params);
    RunFault fault;
    const int status = run_sequence(config, engine, watcher, fault);
    print_fault(fault);
    if (noted_stop() != 0) {
        std::fflush(stdout);
        end_stopped_run();
    }
    return status;
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

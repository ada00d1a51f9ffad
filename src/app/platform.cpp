#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>

#include "app/app.h"

namespace zemb {

namespace {

using Clock = std::chrono::steady_clock;

// Signals that end the process while the terminal is in single-key mode;
// each restores the terminal first.
constexpr int restoring_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

struct termios saved_terminal;
volatile std::sig_atomic_t terminal_changed = 0;

void restore_terminal()
{
    if (terminal_changed) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
        terminal_changed = 0;
    }
}

// Puts the terminal back, then lets the signal do what it would have done.
extern "C" void restore_and_reraise(int signal_number)
{
    restore_terminal();
    std::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

}  // namespace

bool query_counter_frequency(std::int64_t& ticks_per_second)
{
    using Period = Clock::period;
    if (!Clock::is_steady || Period::num != 1)
        return false;
    ticks_per_second = Period::den;
    return ticks_per_second > 0;
}

std::int64_t read_counter() { return Clock::now().time_since_epoch().count(); }

void wait_for_key()
{
    std::fflush(stdout);
    // Only a person at a terminal we are in the foreground of sees the prompt
    // and has a key to press: scripts, pipes, logs, CI and background jobs go
    // straight on.
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO) || tcgetpgrp(STDIN_FILENO) != getpgrp())
        return;
    if (tcgetattr(STDIN_FILENO, &saved_terminal) != 0)
        return;

    struct sigaction restoring = {};
    restoring.sa_handler = restore_and_reraise;
    sigemptyset(&restoring.sa_mask);
    struct sigaction previous[std::size(restoring_signals)];
    for (std::size_t k = 0; k < std::size(restoring_signals); ++k)
        sigaction(restoring_signals[k], &restoring, &previous[k]);

    struct termios single_key = saved_terminal;
    single_key.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    single_key.c_cc[VMIN] = 1;
    single_key.c_cc[VTIME] = 0;
    terminal_changed = 1;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &single_key) == 0) {
        char key;
        while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
        }
    }
    restore_terminal();

    for (std::size_t k = 0; k < std::size(restoring_signals); ++k)
        sigaction(restoring_signals[k], &previous[k], nullptr);
}

}  // namespace zemb

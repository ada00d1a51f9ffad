// The terminal: the key wait, and the stop handlers that put it back.
#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>

#include "app/terminal.h"
#include "files/files.h"
#include "files/stop.h"

namespace zemb {

namespace {

// Signals that end the process while the terminal is in single-key mode;
// each restores the terminal first.
constexpr int restoring_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

struct termios saved_terminal;
volatile std::sig_atomic_t terminal_changed = 0;
// Standard error shows the progress line: the stop message clears it first.
volatile std::sig_atomic_t progress_shown = 0;

void restore_terminal()
{
    if (terminal_changed) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
        terminal_changed = 0;
    }
}

// Ends the process as the signal would have (the status shows 128 + its
// number), from inside its handler.
[[noreturn]] void end_as(int signal_number)
{
    std::signal(signal_number, SIG_DFL);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, signal_number);
    raise(signal_number);
    pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
    _exit(128 + signal_number);  // not reached
}

// Puts the terminal back, then lets the signal do what it would have done.
extern "C" void restore_and_reraise(int signal_number)
{
    restore_terminal();
    end_as(signal_number);
}

// "zemb: stopped by SIGTERM at frame 205" on standard error, with nothing
// a signal handler may not call.
void report_stop(int signal_number)
{
    char line[96];
    std::size_t length = 0;
    auto append = [&](const char* text) {
        while (*text != '\0' && length < sizeof line)
            line[length++] = *text++;
    };
    if (progress_shown)
        append("\r\033[K");
    append("zemb: stopped by ");
    append(signal_number == SIGINT ? "SIGINT" : signal_number == SIGTERM ? "SIGTERM" : "SIGHUP");
    const long long frame = noted_frame();
    if (frame == no_frame) {
        append(" before the first frame");
    } else {
        append(" at frame ");
        char digits[24];
        const auto converted = std::to_chars(digits, digits + sizeof digits - 1, frame);
        *converted.ptr = '\0';
        append(digits);
    }
    append("\n");
    while (write(STDERR_FILENO, line, length) < 0 && errno == EINTR) {
    }
}

// Leaves no temporary output behind, puts the terminal back, says where the
// run stopped and ends as the signal would have.
extern "C" void stop_run(int signal_number)
{
    // A run writing a video ends at the next frame; a second stop is at once.
    if (stops_deferred() && noted_stop() == 0) {
        note_stop(signal_number);
        return;
    }
    remove_unfinished_outputs();
    restore_terminal();
    report_stop(signal_number);
    end_as(signal_number);
}

}  // namespace

void end_stopped_run()
{
    restore_terminal();
    report_stop(noted_stop());
    end_as(noted_stop());
}

void install_stop_handlers()
{
    progress_shown = isatty(STDERR_FILENO);
    struct sigaction stop = {};
    stop.sa_handler = stop_run;
    sigemptyset(&stop.sa_mask);
    for (int s : stop_signals)
        sigaddset(&stop.sa_mask, s);  // one stop at a time
    for (int s : stop_signals) {
        // A signal the process was started with ignored (nohup, a
        // background job of a script) stays ignored.
        struct sigaction previous;
        if (sigaction(s, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
            continue;
        sigaction(s, &stop, nullptr);
    }
}

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

// The progress line: drawn on a terminal only, and kept up for the whole run.
#include <chrono>
#include <cstdio>

#include "app/terminal.h"

namespace zemb {

namespace {

// Longest line drawn: phase, two frame counts, rate and time left fit easily.
constexpr std::size_t line_capacity = 160;

}  // namespace

ProgressLine::ProgressLine(std::FILE* terminal, bool enabled, long long run_frames,
                           Clock::time_point now)
    : out_(terminal), enabled_(enabled), run_frames_(run_frames), started_(now), drawn_(now)
{
}

void ProgressLine::start_phase(const char* phase, long long frames, Clock::time_point now)
{
    done_before_phase_ += k_;
    phase_ = phase;
    phase_frames_ = frames > 0 || frames == unknown_count ? frames : 0;
    k_ = 0;
    if (phase_frames_ != 0)
        draw(now);
    else
        hide();
}

void ProgressLine::frame_done(long long k, Clock::time_point now)
{
    k_ = k;
    if (now - drawn_ >= redraw_interval)
        draw(now);
}

void ProgressLine::hide()
{
    if (!visible_)
        return;
    std::fflush(stdout);
    std::fputs("\r\033[K", out_);
    std::fflush(out_);
    visible_ = false;
}

void ProgressLine::show(Clock::time_point now)
{
    if (phase_frames_ != 0)
        draw(now);
}

void ProgressLine::finish()
{
    hide();
    enabled_ = false;
}

void ProgressLine::draw(Clock::time_point now)
{
    if (!enabled_)
        return;
    char line[line_capacity];
    int length = phase_frames_ == unknown_count
                     ? std::snprintf(line, sizeof line, "\rzemb: %s frame %lld", phase_, k_)
                     : std::snprintf(line, sizeof line, "\rzemb: %s frame %lld of %lld", phase_,
                                     k_, phase_frames_);
    // The rate over the whole run so far; no figure until there is one.
    const long long done = done_before_phase_ + k_;
    const double seconds = std::chrono::duration<double>(now - started_).count();
    if (done > 0 && seconds > 0.0 && length > 0 && std::size_t(length) < sizeof line &&
        run_frames_ == unknown_count) {
        length += std::snprintf(line + length, sizeof line - std::size_t(length),
                                ", %.1f frames/s", static_cast<double>(done) / seconds);
    } else if (done > 0 && seconds > 0.0 && length > 0 && std::size_t(length) < sizeof line) {
        const double rate = static_cast<double>(done) / seconds;
        const long long frames_left = run_frames_ > done ? run_frames_ - done : 0;
        const long long left = static_cast<long long>(static_cast<double>(frames_left) / rate + 0.5);
        length += std::snprintf(line + length, sizeof line - std::size_t(length),
                                ", %.1f frames/s, %lld:%02lld left", rate, left / 60, left % 60);
    }
    std::fflush(stdout);  // whatever went before is out before the line
    std::fputs(line, out_);
    std::fputs("\033[K", out_);  // clears what a longer line left behind
    std::fflush(out_);
    visible_ = true;
    drawn_ = now;
}

}  // namespace zemb

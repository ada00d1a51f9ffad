// The run's report file: JSON composed by hand into buffers reserved once,
// so that the rewrites while frames go by allocate nothing.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "app/report.h"

#include "files/files.h"
#include "files/stop.h"
#include "model/model.h"

namespace zemb {

namespace {

// Room for the fields beside the settings, whatever their numbers, so that
// composing a report while frames go by never grows its buffer.
constexpr std::size_t fields_capacity = 2048;

// What the stop handler reads, set before `kept` says it may.
struct StoppedReport {
    std::atomic<bool> kept{false};
    const char* text = nullptr;  // all but the fields the handler adds
    std::size_t length = 0;
    const char* path = nullptr;
    const char* temporary = nullptr;
    long long first_frame = 0, first_online = 0;
};
StoppedReport stopped_report;
static_assert(std::atomic<bool>::is_always_lock_free, "the stop handler reads it");

// Length of the UTF-8 sequence that starts `text`, or 0 when it is none.
std::size_t utf8_length(std::string_view text)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(0);
    const std::size_t length = lead >= 0xf0 && lead <= 0xf4 ? 4
                               : lead >= 0xe0               ? 3
                               : lead >= 0xc2 && lead < 0xe0 ? 2
                                                             : 0;
    if (length == 0 || length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k)
        if ((byte(k) & 0xc0) != 0x80)
            return 0;
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((lead == 0xe0 && byte(1) < 0xa0) || (lead == 0xed && byte(1) >= 0xa0) ||
        (lead == 0xf0 && byte(1) < 0x90) || (lead == 0xf4 && byte(1) >= 0x90))
        return 0;
    return length;
}

// A JSON string. A file name need not be UTF-8: any other byte is written
// as the code point of the same number (U+0080..U+00FF), so that the file
// stays valid JSON.
void append_string(std::string& out, std::string_view text)
{
    out += '"';
    for (std::size_t k = 0; k < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[k]);
        char escaped[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else if (c >= 0x80) {
            const std::size_t length = utf8_length(text.substr(k));
            if (length > 0) {
                out.append(text.substr(k, length));
                k += length;
                continue;
            }
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += char(c);
        }
        ++k;
    }
    out += '"';
}

// A setting as the run holds it: the shortest text that reads back as the
// same 32-bit float.
void append_number(std::string& out, float value)
{
    char digits[32];
    const auto converted = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, converted.ptr);
}

void append_number(std::string& out, long long value)
{
    char digits[24];
    const auto converted = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, converted.ptr);
}

// A measured figure with `decimals` decimals, as the timing report prints
// it; null when there is none.
void append_figure(std::string& out, double value, int decimals, bool measured = true)
{
    if (!measured || !std::isfinite(value)) {
        out += "null";
        return;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    out += text;
}

void append_field(std::string& out, const char* name)
{
    out += "  \"";
    out += name;
    out += "\": ";
}

void append_phase_time(std::string& out, const PhaseTime& time)
{
    out += "{\"frames\": ";
    append_number(out, time.frames);
    out += ", \"ms\": ";
    append_figure(out, time.total_ms, 4, time.measured);
    out += ", \"ms_per_frame\": ";
    append_figure(out, time.ms_per_frame, 4, time.measured);
    out += ", \"fps\": ";
    append_figure(out, time.fps, 2, time.measured);
    out += "}";
}

std::string settings_object(const RunConfig& config)
{
    const RunParameters& p = config.params;
    std::string out = "{\"sequence\": ";
    append_string(out, config.directory + config.base);
    const auto number = [&](const char* name, auto value) {
        out += ", \"";
        out += name;
        out += "\": ";
        append_number(out, value);
    };
    const auto flag = [&](const char* name, bool value) {
        out += ", \"";
        out += name;
        out += value ? "\": true" : "\": false";
    };
    number("first", static_cast<long long>(p.first_frame));
    number("last", static_cast<long long>(p.last_frame));
    number("width", static_cast<long long>(config.width));
    number("height", static_cast<long long>(config.height));
    number("n", static_cast<long long>(p.n));
    number("K", static_cast<long long>(p.K));
    number("e1", p.e1);
    number("e2", p.e2);
    number("c1", p.c1);
    number("c2", p.c2);
    flag("shadow", p.shadow.enabled);
    number("gamma", p.shadow.gamma);
    number("beta", p.shadow.beta);
    number("tau_S", p.shadow.tau_S);
    number("tau_H", p.shadow.tau_H);
    flag("save_models", p.save_models);
    flag("last_mask_only", p.last_mask_only);
    number("threads", static_cast<long long>(threads_for_rows(config.height, config.threads)));
    out += ", \"output_folder\": ";
    append_string(out, config.output_folder);
    out += ", \"mask_pattern\": ";
    append_string(out, config.mask_pattern);
    out += "}";
    return out;
}

// The stop handler's temporary file, beside the report: a name no other
// output of this process takes.
std::string stopped_temporary(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    return folder + ".zemb-" + std::to_string(getpid()) + "-stopped";
}

bool write_all(int fd, const char* text, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = ::write(fd, text, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        text += written;
        length -= std::size_t(written);
    }
    return true;
}

}  // namespace

RunReport::RunReport(const RunConfig& config)
    : path_(config.report_path), temporary_(stopped_temporary(config.report_path)),
      settings_(settings_object(config)), first_frame_(config.params.first_frame),
      frames_total_(run_progress_frames(config.params))
{
    text_.reserve(settings_.size() + fields_capacity);
    stopped_ = "{\n";
    append_field(stopped_, "state");
    stopped_ += "\"stopped\",\n";
    append_field(stopped_, "frames_total");
    append_number(stopped_, frames_total_);
    stopped_ += ",\n";
    append_field(stopped_, "settings");
    stopped_ += settings_;
    stopped_ += ",\n";
    stopped_report.first_online = static_cast<long long>(config.params.first_frame) + config.params.K;
}

RunReport::~RunReport() { stopped_report.kept.store(false); }

bool RunReport::start()
{
    started_ = written_ = Clock::now();
    text_ = "{\n";
    append_field(text_, "state");
    text_ += "\"running\",\n";
    append_progress(text_);
    if (!write(text_, true))
        return false;
    stopped_report.text = stopped_.data();
    stopped_report.length = stopped_.size();
    stopped_report.path = path_.c_str();
    stopped_report.temporary = temporary_.c_str();
    stopped_report.first_frame = first_frame_;
    stopped_report.kept.store(true);
    return true;
}

void RunReport::start_phase(const char* phase, long long /*frames*/, long long /*first*/,
                            long long /*last*/)
{
    done_before_phase_ += k_;
    k_ = 0;
    phase_ = phase;
}

void RunReport::frame_done(long long k)
{
    k_ = k;
    if (Clock::now() - written_ >= rewrite_interval)
        write_running();
}

void RunReport::accounted(const RunAccount& account, int status)
{
    // From here on a stop leaves the run's own account in place.
    stopped_report.kept.store(false);
    // The closing lines on standard output are part of the run's account.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
        status = exit_failed;
    text_ = "{\n";
    append_field(text_, "state");
    text_ += status == exit_complete ? "\"complete\",\n" : "\"failed\",\n";
    append_field(text_, "status");
    append_number(text_, static_cast<long long>(status));
    text_ += ",\n";
    append_field(text_, "timings");
    text_ += "{\"calibration\": ";
    append_phase_time(text_, account.calibration);
    text_ += ", \"online\": ";
    append_phase_time(text_, account.online);
    text_ += "},\n";
    append_field(text_, "counts");
    text_ += "{\"frames_read\": ";
    append_number(text_, account.frames_read);
    text_ += ", \"masks_written\": ";
    append_number(text_, account.masks_written);
    text_ += ", \"frames_unusable\": ";
    append_number(text_, account.frames_unusable);
    text_ += ", \"outputs_failed\": ";
    append_number(text_, account.outputs_lost);
    text_ += "},\n";
    append_progress(text_);
    lost_ = !write(text_, true);
}

void RunReport::not_started(const RunFault& fault)
{
    stopped_report.kept.store(false);
    text_ = "{\n";
    append_field(text_, "state");
    text_ += "\"failed\",\n";
    append_field(text_, "status");
    append_number(text_, static_cast<long long>(exit_failed));
    text_ += ",\n";
    append_field(text_, "reason");
    append_string(text_, message(fault));
    text_ += ",\n";
    append_progress(text_);
    lost_ = !write(text_, true);
}

int RunReport::exit_status(int run_status) const
{
    return lost_ && run_status == exit_complete ? exit_failed : run_status;
}

// The fields every state but "stopped" shows, the settings last.
void RunReport::append_progress(std::string& out) const
{
    const Clock::time_point now = Clock::now();
    const long long done = done_before_phase_ + k_;
    const double seconds = std::chrono::duration<double>(now - started_).count();
    append_field(out, "phase");
    append_string(out, phase_);
    out += ",\n";
    // The frame reached: the first is the model's, the next ones count.
    append_field(out, "frame");
    if (done > 0)
        append_number(out, first_frame_ + done);
    else
        out += "null";
    out += ",\n";
    append_field(out, "frames_done");
    append_number(out, done);
    out += ",\n";
    append_field(out, "frames_total");
    append_number(out, frames_total_);
    out += ",\n";
    append_field(out, "fps");
    append_figure(out, seconds > 0.0 ? static_cast<double>(done) / seconds : 0.0, 1,
                  done > 0 && seconds > 0.0);
    out += ",\n";
    append_field(out, "seconds");
    append_figure(out, seconds, 3);
    out += ",\n";
    append_field(out, "settings");
    out += settings_;
    out += "\n}\n";
}

void RunReport::write_running()
{
    written_ = Clock::now();
    text_ = "{\n";
    append_field(text_, "state");
    text_ += "\"running\",\n";
    append_progress(text_);
    // A report that cannot be written now may be at the next try; only the
    // last one counts.
    write(text_, false);
}

bool RunReport::write(const std::string& text, bool say_why)
{
    OutputFile file;
    FileWrite written = file.create(path_.c_str());
    if (written.ok()) {
        std::fwrite(text.data(), 1, text.size(), file.stream());
        written = file.commit();
    }
    if (!written.ok() && say_why)
        std::fprintf(stderr, "zemb: %s: %s: %s\n", path_.c_str(),
                     written.fault == WriteFault::cannot_open ? "cannot open" : "write failed",
                     std::strerror(written.error));
    return written.ok();
}

// The phase, frame and frames done follow from the frame noted last: the
// text written at the last rewrite may be a second behind.
void write_stopped_report(const char* signal_name, int status)
{
    if (!stopped_report.kept.load())
        return;
    char tail[256];
    std::size_t length = 0;
    const auto append = [&](const char* text) {
        while (*text != '\0' && length < sizeof tail)
            tail[length++] = *text++;
    };
    const auto append_number_text = [&](long long value) {
        char digits[24];
        const auto converted = std::to_chars(digits, digits + sizeof digits - 1, value);
        *converted.ptr = '\0';
        append(digits);
    };
    const long long frame = noted_frame();
    const long long first = stopped_report.first_frame;
    append("  \"phase\": \"");
    append(frame == no_frame                       ? "starting"
           : frame < stopped_report.first_online ? "calibration"
                                                 : "online");
    append("\",\n  \"frame\": ");
    if (frame == no_frame)
        append("null");
    else
        append_number_text(frame);
    // The frame noted is the one being worked on.
    append(",\n  \"frames_done\": ");
    append_number_text(frame == no_frame || frame <= first ? 0 : frame - first - 1);
    append(",\n  \"signal\": \"");
    append(signal_name);
    append("\",\n  \"status\": ");
    append_number_text(status);
    append("\n}\n");
    const int fd =
        open(stopped_report.temporary, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return;
    bool written = write_all(fd, stopped_report.text, stopped_report.length) &&
                   write_all(fd, tail, length);
    written = close(fd) == 0 && written;
    if (!written || rename(stopped_report.temporary, stopped_report.path) != 0)
        unlink(stopped_report.temporary);
}

}  // namespace zemb

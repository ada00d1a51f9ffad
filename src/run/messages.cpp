// The wording of every fault that stops a run from starting.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "run/engine.h"
#include "run/fault.h"
#include "run/resources.h"

namespace zemb {

namespace {

[[gnu::format(printf, 1, 2)]] std::string format(const char* pattern, ...)
{
    std::va_list arguments, again;
    va_start(arguments, pattern);
    va_copy(again, arguments);
    const int length = std::vsnprintf(nullptr, 0, pattern, arguments);
    va_end(arguments);
    std::string text(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    std::vsnprintf(text.data(), text.size() + 1, pattern, again);
    va_end(again);
    return text;
}


// What the read of the first frame found, the pattern to type when a frame
// file is missing, and why the run cannot start.
std::string first_frame_message(const RunFault& f)
{
    std::string text = media::message(f.read);
    if (f.read.fault == media::Fault::cannot_open) {
        const std::string pattern = media::suggest_pattern(f.read.path, f.read.frame);
        if (!pattern.empty())
            text.append("\n").append(media::hint_message(f.read.path, pattern));
    }
    text += format("\nzemb: %s: the first frame gives the run its size; cannot start",
                   f.path.c_str());
    if (f.not_video.fault != media::Fault::none)
        text.append("\n").append(media::message(f.not_video));
    return text;
}

}  // namespace

std::string message(const RunFault& f)
{
    const char* path = f.path.c_str();
    switch (f.fault) {
    case StartFault::none: return "";
    case StartFault::first_frame: return first_frame_message(f);
    case StartFault::no_pixels:
        return format("zemb: %s: the first frame has no pixels (%d x %d)", path, f.width, f.height);
    case StartFault::too_large_for_model:
        return format("zemb: %s: %d x %d frames are too large for model images with n = %d", path,
                      f.width, f.height, f.n);
    case StartFault::png_unwritable: return media::message(f.read);
    case StartFault::output_not_folder:
        return format("zemb: %s: is not a folder: the output folder cannot be made", path);
    case StartFault::output_folder:
        return format("zemb: %s: cannot make the output folder: %s", path, f.detail.c_str());
    case StartFault::output_file:
        return format("zemb: %s: cannot write it: %s", path, f.detail.c_str());
    case StartFault::output_video: return media::message(f.read);
    case StartFault::output_unwritable:
        return format("zemb: %s: no output can be written in this folder: %s", path,
                      f.detail.c_str());
    case StartFault::memory:
        return format("zemb: %s: a run on %d x %d frames with n = %d needs %llu MiB, more than "
                      "the %llu MiB this process can get (%s)",
                      path, f.width, f.height, f.n,
                      static_cast<unsigned long long>(mebibytes_rounded_up(f.needed_bytes)),
                      static_cast<unsigned long long>(f.limit_bytes >> 20), f.limit_what);
    case StartFault::vector_unit_unknown:
        return format("zemb: %s: no vector unit called '%s' (scalar, avx2, avx512)",
                      vector_unit_variable, f.detail.c_str());
    case StartFault::vector_unit_missing:
        return format("zemb: %s: this processor has no %s", vector_unit_variable,
                      f.detail.c_str());
    case StartFault::buffers:
        return format("zemb: cannot allocate the buffers for %d x %d frames with n = %d", f.width,
                      f.height, f.n);
    case StartFault::workers:
        return format("zemb: cannot start %d worker threads: %s", f.threads, f.detail.c_str());
    case StartFault::model_file: return "zemb: " + f.path + ": " + f.detail;
    case StartFault::helpers:
        return format("zemb: cannot start the threads that read and write: %s", f.detail.c_str());
    }
    return "";
}

std::string announce_path(const RunFault& f)
{
    // A video is one file: only frame files are announced on standard output.
    if (f.fault == StartFault::first_frame && f.read.fault == media::Fault::cannot_open &&
        f.kind != media::SourceKind::video)
        return f.read.path;
    return "";
}

}  // namespace zemb

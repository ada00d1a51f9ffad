// The module's one exported function, and FFmpeg's log, which the video
// source and the BMP decoder share.
#include "media/ffmpeg/module.h"

#include <cstdarg>
#include <cstring>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace zemb::media::ffmpeg {

namespace {

thread_local char last_log_error[256];

// FFmpeg's log would print on standard error; errors are kept instead, for
// the message of the read that met them.
void keep_errors(void* context, int level, const char* format, va_list args)
{
    if (level > AV_LOG_ERROR)
        return;
    int prefix = 1;
    av_log_format_line2(context, level, format, args, last_log_error, sizeof last_log_error,
                        &prefix);
    const std::size_t length = std::strlen(last_log_error);
    if (length > 0 && last_log_error[length - 1] == '\n')
        last_log_error[length - 1] = '\0';
}

}  // namespace

void quiet_log()
{
    static const bool done = [] {
        av_log_set_callback(keep_errors);
        return true;
    }();
    (void)done;
}

std::string error_text(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    std::string result = text;
    if (last_log_error[0] != '\0')
        result += std::string(" (") + last_log_error + ")";
    last_log_error[0] = '\0';
    return result;
}

}  // namespace zemb::media::ffmpeg

// The module is built with hidden symbols; this one is what zemb looks up.
extern "C" __attribute__((visibility("default"))) const zemb::media::detail::FfmpegModule*
zemb_ffmpeg_module()
{
    namespace ffmpeg = zemb::media::ffmpeg;
    static const zemb::media::detail::FfmpegModule table = {
        zemb::media::detail::ffmpeg_module_interface,
        ffmpeg::open_video,
        ffmpeg::make_bmp_decoder,
        ffmpeg::free_bmp_decoder,
        ffmpeg::bmp_read_header,
        ffmpeg::bmp_decode,
        ffmpeg::open_video_writer,
    };
    return &table;
}

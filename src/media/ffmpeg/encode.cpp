// Results as video through FFmpeg's libraries: the masks as one lossless grey
// video, and the input frames with the foreground tinted. The container is
// chosen by the name's extension; the file is written under a temporary name
// (files.h) through our own descriptor, so that no protocol is ever reached
// through the name, and renamed when its trailer is written.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "files/files.h"
#include "media/ffmpeg/module.h"

namespace zemb::media::ffmpeg {

namespace {

// Bytes the muxer hands to the file at a time.
constexpr int io_buffer_bytes = 64 * 1024;
// Frames per second when the input says none (numbered files).
constexpr int default_frame_rate = 25;
// x264's constant quality for the overlay: visually lossless, a tenth of the
// size of a lossless stream.
constexpr const char* overlay_crf = "18";
constexpr const char* overlay_preset = "veryfast";

int write_packet(void* opaque, std::uint8_t* buffer, int size)
{
    const int fd = *static_cast<int*>(opaque);
    int done = 0;
    while (done < size) {
        const ssize_t put = ::write(fd, buffer + done, std::size_t(size - done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return AVERROR(put < 0 ? errno : EIO);
        done += int(put);
    }
    return size;
}

std::int64_t seek_output(void* opaque, std::int64_t offset, int whence)
{
    const int fd = *static_cast<int*>(opaque);
    if (whence == AVSEEK_SIZE)
        return -1;
    const off_t at = lseek(fd, off_t(offset), whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : std::int64_t(at);
}

class Writer final : public VideoWriter {
public:
    Writer(const std::string& path, const VideoSettings& settings) : path_(path), settings_(settings) {}
    ~Writer() override;

    Result open();
    Result write(BytePlanes* frame, const std::uint8_t* mask, std::int64_t timestamp) override;
    Result finish() override;

private:
    Result fault(Fault kind, const std::string& detail, int error = 0);
    Result ffmpeg_fault(int code) { return fault(Fault::write_failed, error_text(code), EIO); }
    const AVCodec* choose_codec(AVPixelFormat& format) const;
    int send(AVFrame* frame);

    std::string path_;
    VideoSettings settings_;
    OutputFile file_;
    int fd_ = -1;
    AVIOContext* io_ = nullptr;
    AVFormatContext* format_ = nullptr;
    AVCodecContext* codec_ = nullptr;
    AVStream* stream_ = nullptr;
    AVFrame* picture_ = nullptr;
    AVPacket* packet_ = nullptr;
    SwsContext* scale_ = nullptr;
    AVRational time_base_{1, default_frame_rate};
    std::int64_t last_pts_ = AV_NOPTS_VALUE;
    std::int64_t first_pts_ = 0;
    long long frames_ = 0;
    bool failed_ = false;
};

Writer::~Writer()
{
    sws_freeContext(scale_);
    av_packet_free(&packet_);
    av_frame_free(&picture_);
    avcodec_free_context(&codec_);
    avformat_free_context(format_);
    if (io_ != nullptr)
        av_freep(&io_->buffer);
    avio_context_free(&io_);
    file_.abandon();
}

Result Writer::fault(Fault kind, const std::string& detail, int error)
{
    failed_ = true;
    Result result;
    result.fault = kind;
    result.format = Format::video;
    result.path = path_;
    result.detail = detail;
    result.error = error;
    return result;
}

// Masks: FFV1 where the container carries it, PNG frames where it does not
// (mp4): both lossless in grey. Overlay: H.264 where this FFmpeg has x264,
// otherwise FFV1 (PNG in mp4) in RGB.
const AVCodec* Writer::choose_codec(AVPixelFormat& format) const
{
    const AVOutputFormat* container = format_->oformat;
    auto carried = [&](AVCodecID id) { return avformat_query_codec(container, id, FF_COMPLIANCE_NORMAL) == 1; };
    const bool overlay = settings_.kind == VideoKind::overlay;
    if (overlay) {
        const AVCodec* h264 = avcodec_find_encoder_by_name("libx264");
        if (h264 != nullptr && carried(AV_CODEC_ID_H264)) {
            // 4:2:0 needs even sides; odd ones keep every chroma sample.
            const bool even = settings_.width % 2 == 0 && settings_.height % 2 == 0;
            format = even ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_YUV444P;
            return h264;
        }
    }
    if (carried(AV_CODEC_ID_FFV1)) {
        format = overlay ? AV_PIX_FMT_GBRP : AV_PIX_FMT_GRAY8;
        return avcodec_find_encoder(AV_CODEC_ID_FFV1);
    }
    format = overlay ? AV_PIX_FMT_RGB24 : AV_PIX_FMT_GRAY8;
    return carried(AV_CODEC_ID_PNG) ? avcodec_find_encoder(AV_CODEC_ID_PNG) : nullptr;
}

Result Writer::open()
{
    const FileWrite created = file_.create(path_.c_str());
    if (!created.ok())
        return fault(Fault::cannot_write, std::strerror(created.error), created.error);
    fd_ = fileno(file_.stream());
    int code = avformat_alloc_output_context2(&format_, nullptr, nullptr, path_.c_str());
    if (code < 0 || format_ == nullptr)
        return fault(Fault::cannot_write, "no container for this name: " + error_text(code));
    AVPixelFormat pixel_format = AV_PIX_FMT_NONE;
    const AVCodec* encoder = choose_codec(pixel_format);
    if (encoder == nullptr)
        return fault(Fault::cannot_write, std::string("no lossless encoder the ") + format_->oformat->name +
                                              " container carries");
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(io_buffer_bytes));
    if (buffer != nullptr)
        io_ = avio_alloc_context(buffer, io_buffer_bytes, 1, &fd_, nullptr, write_packet, seek_output);
    stream_ = avformat_new_stream(format_, nullptr);
    codec_ = avcodec_alloc_context3(encoder);
    picture_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (io_ == nullptr || stream_ == nullptr || codec_ == nullptr || picture_ == nullptr || packet_ == nullptr) {
        if (io_ == nullptr)
            av_free(buffer);
        return fault(Fault::no_memory, "");
    }
    format_->pb = io_;
    format_->flags |= AVFMT_FLAG_CUSTOM_IO;

    const Rational rate = settings_.frame_rate;
    if (settings_.time_base.num > 0)
        time_base_ = AVRational{settings_.time_base.num, settings_.time_base.den};
    codec_->width = settings_.width;
    codec_->height = settings_.height;
    codec_->pix_fmt = pixel_format;
    codec_->time_base = time_base_;
    codec_->framerate = rate.num > 0 ? AVRational{rate.num, rate.den} : AVRational{default_frame_rate, 1};
    codec_->sample_aspect_ratio = AVRational{1, 1};
    // One thread: the writer runs beside the segmentation's own bands.
    codec_->thread_count = 1;
    if (format_->oformat->flags & AVFMT_GLOBALHEADER)
        codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* options = nullptr;
    if (encoder->id == AV_CODEC_ID_H264) {
        av_dict_set(&options, "crf", overlay_crf, 0);
        av_dict_set(&options, "preset", overlay_preset, 0);
    }
    if (encoder->id == AV_CODEC_ID_FFV1)
        av_dict_set(&options, "level", "3", 0);
    code = avcodec_open2(codec_, encoder, &options);
    av_dict_free(&options);
    if (code < 0)
        return ffmpeg_fault(code);
    code = avcodec_parameters_from_context(stream_->codecpar, codec_);
    if (code < 0)
        return ffmpeg_fault(code);
    stream_->time_base = time_base_;
    stream_->avg_frame_rate = codec_->framerate;
    code = avformat_write_header(format_, nullptr);
    if (code < 0)
        return ffmpeg_fault(code);

    picture_->format = pixel_format;
    picture_->width = settings_.width;
    picture_->height = settings_.height;
    if (settings_.kind == VideoKind::overlay) {
        code = av_frame_get_buffer(picture_, 0);
        if (code < 0)
            return ffmpeg_fault(code);
        if (pixel_format != AV_PIX_FMT_GBRP) {
            scale_ = sws_getContext(settings_.width, settings_.height, AV_PIX_FMT_GBRP, settings_.width,
                                    settings_.height, pixel_format, SWS_BICUBIC | SWS_ACCURATE_RND |
                                    SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr);
            if (scale_ == nullptr)
                return fault(Fault::no_memory, "");
        }
    }
    return Result{};
}

// Hands `frame` (null: the end) to the encoder and writes what comes out.
int Writer::send(AVFrame* frame)
{
    int code = avcodec_send_frame(codec_, frame);
    while (code >= 0) {
        code = avcodec_receive_packet(codec_, packet_);
        if (code == AVERROR(EAGAIN) || code == AVERROR_EOF)
            return 0;
        if (code < 0)
            break;
        packet_->stream_index = stream_->index;
        av_packet_rescale_ts(packet_, time_base_, stream_->time_base);
        code = av_interleaved_write_frame(format_, packet_);
    }
    return code;
}

Result Writer::write(BytePlanes* frame, const std::uint8_t* mask, std::int64_t timestamp)
{
    if (failed_)
        return Result{};  // counted once, when it failed
    const int W = settings_.width, H = settings_.height;
    const std::size_t pixels = std::size_t(W) * std::size_t(H);
    int code = 0;
    if (settings_.kind == VideoKind::masks) {
        picture_->data[0] = const_cast<std::uint8_t*>(mask);
        picture_->linesize[0] = W;
    } else {
        // Foreground halfway to pure red: the picture stays readable under it.
        std::uint8_t* r = (*frame)[0];
        std::uint8_t* g = (*frame)[1];
        std::uint8_t* b = (*frame)[2];
        for (std::size_t i = 0; mask != nullptr && i < pixels; ++i)
            if (mask[i] != 0) {
                r[i] = std::uint8_t((r[i] + 255) / 2);
                g[i] = std::uint8_t(g[i] / 2);
                b[i] = std::uint8_t(b[i] / 2);
            }
        code = av_frame_make_writable(picture_);
        if (code < 0)
            return ffmpeg_fault(code);
        const std::uint8_t* planes[4] = {g, b, r, nullptr};  // GBRP's order
        const int strides[4] = {W, W, W, 0};
        if (scale_ != nullptr) {
            sws_scale(scale_, planes, strides, 0, H, picture_->data, picture_->linesize);
        } else {
            for (int p = 0; p < 3; ++p)
                for (int y = 0; y < H; ++y)
                    std::memcpy(picture_->data[p] + std::ptrdiff_t(y) * picture_->linesize[p],
                                planes[p] + std::ptrdiff_t(y) * W, std::size_t(W));
        }
    }
    // Timestamps go up by at least one tick, whatever the input gave. The
    // masks start at zero, so that no container fills the calibration's
    // time with empty frames.
    std::int64_t pts = timestamp != no_timestamp && settings_.time_base.num > 0 ? timestamp : frames_;
    if (frames_ == 0)
        first_pts_ = settings_.kind == VideoKind::masks ? pts : 0;
    pts -= first_pts_;
    if (last_pts_ != AV_NOPTS_VALUE && pts <= last_pts_)
        pts = last_pts_ + 1;
    last_pts_ = pts;
    picture_->pts = pts;
    ++frames_;
    code = send(picture_);
    if (settings_.kind == VideoKind::masks)
        picture_->data[0] = nullptr;
    return code < 0 ? ffmpeg_fault(code) : Result{};
}

Result Writer::finish()
{
    if (failed_) {
        file_.abandon();
        return Result{};
    }
    int code = send(nullptr);
    if (code >= 0)
        code = av_write_trailer(format_);
    avio_flush(io_);
    if (code < 0) {
        file_.abandon();
        return ffmpeg_fault(code);
    }
    if (io_->error < 0) {
        file_.abandon();
        return ffmpeg_fault(io_->error);
    }
    const FileWrite committed = file_.commit();
    if (!committed.ok())
        return fault(Fault::write_failed, "", committed.error);
    failed_ = true;  // nothing more goes in
    return Result{};
}

}  // namespace

VideoWriter* open_video_writer(const std::string& path, const VideoSettings& settings, Result& result)
{
    quiet_log();
    auto writer = std::make_unique<Writer>(path, settings);
    result = writer->open();
    if (result.fault != Fault::none)
        return nullptr;
    return writer.release();
}

}  // namespace zemb::media::ffmpeg

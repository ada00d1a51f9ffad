// Video files through FFmpeg's libraries. Frame k is the k-th frame the
// decoder returns, decoded once and in order. Each frame is converted to RGB
// through a filter graph set up as the ffmpeg tool sets up its own for
// `ffmpeg -i VIDEO f.%d.ppm`: the same automatic scale filter with the same
// swscale flags, and the same turn for a stream that carries a display
// rotation, so the bytes are the ones it writes.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

extern "C" {
#if ZEMB_HAVE_AVDEVICE
#include <libavdevice/avdevice.h>
#endif
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/avstring.h>
#include <libavutil/opt.h>
}

#include "media/ffmpeg/module.h"

namespace zemb::media::ffmpeg {

namespace {

// The swscale options the ffmpeg tool hands every filter graph it builds;
// the automatically inserted scale filter takes them.
constexpr const char* tool_sws_options = "flags=bicubic";
// Bytes the demuxer reads from the file at a time.
constexpr int io_buffer_bytes = 64 * 1024;
// Decoded frames a decoder may hold at once (references, reordering, one per
// thread): the memory estimate counts this many.
constexpr int held_frames_estimate = 24;
// Frames in a row the decoder may fail to make while its last ones drain
// out before the video counts as ended.
constexpr int max_drain_errors = 64;
// Longest one step of reading may take (opening, probing, one packet) before
// the video counts as stalled: far above what a local file ever needs.
constexpr std::chrono::seconds stall_limit{30};

// The containers a video file may be, by FFmpeg's demuxer names, and raw
// video streams. None of them reads other files; playlists (hls), concat
// lists and image sequences would read files the user never named, so they
// are left out, and a single still image is read as a frame pattern.
constexpr const char* video_containers =
    "mov,matroska,avi,mpegts,mpeg,flv,nut,yuv4mpegpipe,asf,ogg,mxf,dv,gif,h264,hevc,m4v,mpegvideo";

// Where a video comes from. Only a local file the user named exists; other
// kinds (standard input, a URL) are for the user to ask for by name, and
// would choose their own protocols here, never reached through a file's
// content.
enum class InputKind { local_file, standard_input, network, camera };

InputKind input_kind(LiveKind live)
{
    switch (live) {
    case LiveKind::none: break;
    case LiveKind::standard_input: return InputKind::standard_input;
    case LiveKind::network: return InputKind::network;
    case LiveKind::camera: return InputKind::camera;
    }
    return InputKind::local_file;
}

// A stream's protocols follow from the scheme the user typed, and no other:
// what it carries never reaches a protocol of its own choosing.
const char* protocols_for(InputKind kind, const std::string& name)
{
    struct Scheme {
        const char* prefix;
        const char* protocols;
    };
    static constexpr Scheme schemes[] = {
        {"rtsp://", "rtsp,rtp,srtp,udp,tcp"}, {"rtsps://", "rtsp,rtp,srtp,udp,tcp,tls"},
        {"http://", "http,tcp"},              {"https://", "https,http,tcp,tls"},
        {"udp://", "udp"},                    {"tcp://", "tcp"},
        {"srt://", "srt"},
    };
    if (kind == InputKind::network)
        for (const Scheme& s : schemes)
            if (name.compare(0, std::strlen(s.prefix), s.prefix) == 0)
                return s.protocols;
    return kind == InputKind::local_file ? "file" : "";
}

// Containers a network stream may come in: those of files, and RTSP sessions.
constexpr const char* stream_containers =
    "mov,matroska,avi,mpegts,mpeg,flv,nut,yuv4mpegpipe,asf,ogg,mxf,dv,gif,h264,hevc,m4v,mpegvideo,rtsp";
// Longest pause between attempts to connect to a network stream.
constexpr std::chrono::milliseconds reconnect_pause{1000};
// How often a live read looks at the clock and at a stop while it waits.
constexpr int live_poll_ms = 100;

// The demuxer reads through our own descriptor, so that the name is never
// taken for a protocol (http:, concat:, pipe:) and a FIFO is refused before
// any read.
int read_packet(void* opaque, std::uint8_t* buffer, int size)
{
    const int fd = *static_cast<int*>(opaque);
    for (;;) {
        const ssize_t got = ::read(fd, buffer, std::size_t(size));
        if (got > 0)
            return int(got);
        if (got == 0)
            return AVERROR_EOF;
        if (errno != EINTR)
            return AVERROR(errno);
    }
}

std::int64_t seek(void* opaque, std::int64_t offset, int whence)
{
    const int fd = *static_cast<int*>(opaque);
    if (whence == AVSEEK_SIZE) {
        struct stat status;
        return fstat(fd, &status) == 0 ? std::int64_t(status.st_size) : AVERROR(errno);
    }
    const off_t at = lseek(fd, off_t(offset), whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : std::int64_t(at);
}

// The video stream the ffmpeg tool maps by default: the largest picture,
// a default-marked stream ahead, a cover picture last.
int tool_stream_choice(const AVFormatContext& format)
{
    int best = -1;
    long long best_score = 0;
    for (unsigned i = 0; i < format.nb_streams; ++i) {
        const AVStream& s = *format.streams[i];
        if (s.codecpar->codec_type != AVMEDIA_TYPE_VIDEO)
            continue;
        long long score = (long long)s.codecpar->width * s.codecpar->height +
                          100000000LL * !!(s.event_flags & AVSTREAM_EVENT_FLAG_NEW_PACKETS) +
                          5000000LL * !!(s.disposition & AV_DISPOSITION_DEFAULT);
        if (s.disposition & AV_DISPOSITION_ATTACHED_PIC)
            score = 1;
        if (score > best_score) {
            best_score = score;
            best = int(i);
        }
    }
    return best;
}

// The filters the ffmpeg tool puts in front of the others for a stream with
// a display rotation; empty for none.
std::string rotation_filters(const AVStream& stream)
{
    const auto* matrix =
        reinterpret_cast<const std::int32_t*>(av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr));
    if (matrix == nullptr)
        return "";
    double theta = -std::round(av_display_rotation_get(matrix));
    theta -= 360 * std::floor(theta / 360 + 0.9 / 360);
    if (std::fabs(theta - 90) < 1.0)
        return matrix[3] > 0 ? "transpose=cclock_flip," : "transpose=clock,";
    if (std::fabs(theta - 180) < 1.0)
        return std::string(matrix[0] < 0 ? "hflip," : "") + (matrix[4] < 0 ? "vflip," : "");
    if (std::fabs(theta - 270) < 1.0)
        return matrix[3] < 0 ? "transpose=clock_flip," : "transpose=cclock,";
    if (std::fabs(theta) > 1.0) {
        char rotate[64];
        std::snprintf(rotate, sizeof rotate, "rotate=%f*PI/180,", theta);
        return rotate;
    }
    return matrix[4] < 0 ? "vflip," : "";
}

class VideoFrames final : public FrameSource {
public:
    VideoFrames(const std::string& path, const std::string& base, const LiveInput& live)
        : FrameSource(SourceKind::video, base), path_(path), live_(live)
    {
    }
    ~VideoFrames() override;

    Result open(long long first, std::uint64_t pixel_cap);
    Result read(long long number, BytePlanes& frame) override;
    std::uint64_t buffer_bytes() const override { return buffer_bytes_; }
    Rational time_base() const override { return time_base_; }
    Rational frame_rate() const override { return frame_rate_; }

private:
    Result fault(Fault kind, const std::string& detail = "");
    Result ffmpeg_fault(int code);
    Result fault_of(Fault kind, int code);
    Result too_large(int width, int height, std::uint64_t pixel_cap);
    Result open_container(InputKind kind);
    static int interrupted(void* opaque);
    static int read_pipe(void* opaque, std::uint8_t* buffer, int size);
    Result open_stream(InputKind kind);
    static int refuse_nested_open(AVFormatContext* format, AVIOContext** io, const char* url, int flags,
                                  AVDictionary** options);
    void arm()
    {
        deadline_ = std::chrono::steady_clock::now() +
                    (live_.kind == LiveKind::none
                         ? std::chrono::duration_cast<std::chrono::steady_clock::duration>(stall_limit)
                         : std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double>(live_.stall_seconds)));
    }
    // For past_end: why the input ended early (FFmpeg's words), or empty.
    std::string end_error() const;
    bool next_decoded();
    int configure_graph(const AVFrame& decoded);
    int convert();

    std::string path_;
    LiveInput live_;
    int fd_ = -1;
    bool owns_fd_ = true;  // standard input stays open
    AVIOContext* io_ = nullptr;
    AVFormatContext* format_ = nullptr;
    AVCodecContext* codec_ = nullptr;
    AVFilterGraph* graph_ = nullptr;
    AVFilterContext* source_ = nullptr;
    AVFilterContext* sink_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* decoded_ = nullptr;
    AVFrame* converted_ = nullptr;
    int stream_ = -1;
    std::string rotation_;
    // What the graph was set up for; a change of pixel format sets it up
    // anew, as the ffmpeg tool does.
    int graph_format_ = -1, graph_width_ = 0, graph_height_ = 0;
    long long decoded_count_ = 0;  // frames the decoder has returned
    long long last_read_ = 0;
    bool input_ended_ = false, decoder_ended_ = false;
    int input_error_ = 0;  // why the input ended, when not at its end
    bool last_packet_bad_ = false;  // incomplete, or refused by the decoder
    bool packet_pending_ = false;  // packet_ waits for the decoder to take it
    bool first_converted_ = false;  // frame 1, converted by open(), not yet read
    std::uint64_t buffer_bytes_ = 0;
    std::chrono::steady_clock::time_point deadline_;  // of the current step of reading
    bool stalled_ = false;
    std::string nested_;  // a file the container asked to open, refused
    Rational time_base_, frame_rate_;  // of the chosen stream
};

VideoFrames::~VideoFrames()
{
    avfilter_graph_free(&graph_);
    av_frame_free(&converted_);
    av_frame_free(&decoded_);
    av_packet_free(&packet_);
    avcodec_free_context(&codec_);
    avformat_close_input(&format_);
    if (io_ != nullptr)
        av_freep(&io_->buffer);
    avio_context_free(&io_);
    if (fd_ >= 0 && owns_fd_)
        ::close(fd_);
}

Result VideoFrames::fault(Fault kind, const std::string& detail)
{
    Result result;
    result.fault = kind;
    result.format = Format::video;
    result.path = path_;
    result.detail = detail;
    return result;
}

std::string VideoFrames::end_error() const
{
    if (input_error_ != 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(input_error_, text, sizeof text);
        return text;
    }
    return last_packet_bad_ ? "its last video data is incomplete" : "";
}

Result VideoFrames::ffmpeg_fault(int code)
{
    if (stalled_)
        return fault_of(Fault::damaged, code);
    return fault(code == AVERROR(ENOMEM) ? Fault::no_memory : Fault::damaged, error_text(code));
}

Result VideoFrames::too_large(int width, int height, std::uint64_t pixel_cap)
{
    Result size = fault(Fault::too_large);
    size.width = width;
    size.height = height;
    size.pixel_cap = pixel_cap;
    return size;
}

// The fault `kind` with FFmpeg's words for `code`, unless the container
// reached for another file or a step of reading stalled: those say so.
Result VideoFrames::fault_of(Fault kind, int code)
{
    const std::string text = error_text(code);
    if (!nested_.empty())
        return fault(Fault::refused, "it names another file (" + nested_ +
                                         "), and only the file named on the command line is read");
    if (stalled_ && live_.kind != LiveKind::none) {
        Result stall = fault(Fault::stalled);
        stall.stall_seconds = live_.stall_seconds;
        return stall;
    }
    if (stalled_)
        return fault(Fault::refused, "reading stalled: one step made no progress in " +
                                         std::to_string(stall_limit.count()) + " s");
    return fault(kind, text);
}

int VideoFrames::interrupted(void* opaque)
{
    auto& self = *static_cast<VideoFrames*>(opaque);
    if (std::chrono::steady_clock::now() > self.deadline_)
        self.stalled_ = true;
    const bool stopping = self.live_.stopped != nullptr && self.live_.stopped() != 0;
    return self.stalled_ || stopping ? 1 : 0;
}

// Standard input: a pipe that may go quiet. The read waits in short slices,
// giving up when the step's time is out or the run is stopped.
int VideoFrames::read_pipe(void* opaque, std::uint8_t* buffer, int size)
{
    auto& self = *static_cast<VideoFrames*>(opaque);
    for (;;) {
        struct pollfd wait = {self.fd_, POLLIN, 0};
        const int ready = poll(&wait, 1, live_poll_ms);
        if (ready < 0 && errno != EINTR)
            return AVERROR(errno);
        if (ready > 0)
            return read_packet(&self.fd_, buffer, size);
        if (interrupted(opaque))
            return AVERROR_EXIT;
    }
}

// A network stream or a camera, opened by FFmpeg under its own name with the
// protocols of its scheme (or the V4L2 device reader) and nothing else.
// A network stream that cannot be reached is tried again, live_.reconnect
// times.
Result VideoFrames::open_stream(InputKind kind)
{
    const AVInputFormat* container = nullptr;
    if (kind == InputKind::camera) {
#if ZEMB_HAVE_AVDEVICE
        avdevice_register_all();
        container = av_find_input_format("video4linux2");
#endif
        if (container == nullptr)
            return fault(Fault::unsupported, "a camera needs FFmpeg's device library, which this build lacks "
                                             "(Debian: libavdevice-dev; then build zemb again)");
    }
    // The protocol's own timeout is a second later, so that a stall is
    // always told by the deadline, never taken for the stream's end.
    const std::string stall_us = std::to_string(static_cast<long long>((live_.stall_seconds + 1) * 1e6));
    int code = 0;
    for (int attempt = 0;; ++attempt) {
        if (format_ == nullptr)
            format_ = avformat_alloc_context();
        if (format_ == nullptr)
            return fault(Fault::no_memory);
        format_->interrupt_callback = AVIOInterruptCB{interrupted, this};
        AVDictionary* options = nullptr;
        if (kind == InputKind::network) {
            av_dict_set(&options, "protocol_whitelist", protocols_for(kind, path_), 0);
            av_dict_set(&options, "format_whitelist", stream_containers, 0);
            av_dict_set(&options, "rw_timeout", stall_us.c_str(), 0);
            if (path_.compare(0, 4, "http") == 0 && live_.reconnect > 0) {
                // A connection lost while reading is taken up again by
                // FFmpeg; reaching the server at all is this loop's.
                av_dict_set(&options, "reconnect", "1", 0);
                av_dict_set(&options, "reconnect_streamed", "1", 0);
                av_dict_set(&options, "reconnect_delay_max", "4", 0);
            }
        }
        arm();
        code = avformat_open_input(&format_, path_.c_str(), container, &options);
        av_dict_free(&options);
        if (code >= 0)
            return Result{};
        // format_ is freed. Only a stream that could not be reached is tried again.
        const bool stopping = live_.stopped != nullptr && live_.stopped() != 0;
        if (kind != InputKind::network || attempt >= live_.reconnect || stopping ||
            code == AVERROR_INVALIDDATA || code == AVERROR_PROTOCOL_NOT_FOUND)
            break;
        stalled_ = false;
        std::this_thread::sleep_for(reconnect_pause);
    }
    if (stalled_ || !nested_.empty())
        return fault_of(Fault::cannot_open, code);
    Result result = fault(Fault::cannot_open, error_text(code));
    result.error = code < 0 && code > -4096 ? AVUNERROR(code) : 0;
    return result;
}

// The named file is open already, through io_: any other open is a file the
// container's content names, and refused.
int VideoFrames::refuse_nested_open(AVFormatContext* format, AVIOContext**, const char* url, int, AVDictionary**)
{
    auto& self = *static_cast<VideoFrames*>(format->opaque);
    if (self.nested_.empty())
        self.nested_ = url != nullptr ? url : "";
    return AVERROR(EPERM);
}

// Opens the container of the named file: its format must be one of
// video_containers, and it reads nothing but that file.
Result VideoFrames::open_container(InputKind kind)
{
    format_->pb = io_;
    format_->flags |= AVFMT_FLAG_CUSTOM_IO;
    format_->opaque = this;
    format_->io_open = refuse_nested_open;
    format_->interrupt_callback = AVIOInterruptCB{interrupted, this};
    arm();
    const AVInputFormat* container = nullptr;
    int code = av_probe_input_buffer2(io_, &container, path_.c_str(), format_, 0, 0);
    if (code < 0)  // no demuxer recognises it
        return fault_of(Fault::not_video, code);
    if (av_match_list(container->name, video_containers, ',') <= 0)
        return fault(Fault::refused, std::string("a file for FFmpeg's ") + container->name +
                                         " reader, not one of the video containers zemb reads (" +
                                         video_containers + ")");
    // As the ffmpeg tool opens its inputs.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "scan_all_pmts", "1", 0);
    av_dict_set(&options, "format_whitelist", video_containers, 0);
    av_dict_set(&options, "protocol_whitelist", protocols_for(kind, path_), 0);
    code = avformat_open_input(&format_, path_.c_str(), container, &options);
    av_dict_free(&options);
    if (code < 0)  // format_ is freed
        return fault_of(Fault::not_video, code);
    return Result{};
}

Result VideoFrames::open(long long first, std::uint64_t pixel_cap)
{
    const InputKind kind = input_kind(live_.kind);
    const bool own_io = kind == InputKind::local_file || kind == InputKind::standard_input;
    if (kind == InputKind::standard_input) {
        fd_ = STDIN_FILENO;
        owns_fd_ = false;
    } else if (kind == InputKind::local_file) {
        Result result = media::open_regular_file(path_.c_str(), fd_);
        if (result.fault != Fault::none) {
            result.path = path_;
            return result;
        }
    }
    auto* buffer = own_io ? static_cast<std::uint8_t*>(av_malloc(io_buffer_bytes)) : nullptr;
    if (buffer != nullptr && kind == InputKind::local_file)
        io_ = avio_alloc_context(buffer, io_buffer_bytes, 0, &fd_, read_packet, nullptr, seek);
    if (buffer != nullptr && kind == InputKind::standard_input) {
        // A pipe: read as it comes, never sought.
        io_ = avio_alloc_context(buffer, io_buffer_bytes, 0, this, read_pipe, nullptr, nullptr);
        if (io_ != nullptr)
            io_->seekable = 0;
    }
    format_ = avformat_alloc_context();
    packet_ = av_packet_alloc();
    decoded_ = av_frame_alloc();
    converted_ = av_frame_alloc();
    if ((own_io && io_ == nullptr) || format_ == nullptr || packet_ == nullptr || decoded_ == nullptr ||
        converted_ == nullptr) {
        if (io_ == nullptr)
            av_free(buffer);
        return fault(Fault::no_memory);
    }
    Result result = own_io ? open_container(kind) : open_stream(kind);
    if (result.fault != Fault::none)
        return result;
    // The chosen stream's declared size is checked before the probe decodes
    // anything, and the probe's decoders get the same cap, for a container
    // that declares no size.
    if (const int declared = tool_stream_choice(*format_); declared >= 0) {
        const AVCodecParameters& parameters = *format_->streams[declared]->codecpar;
        if (std::uint64_t(parameters.width) * std::uint64_t(parameters.height) > pixel_cap)
            return too_large(parameters.width, parameters.height, pixel_cap);
    }
    std::vector<AVDictionary*> probe_options(format_->nb_streams, nullptr);
    const std::string max_pixels = std::to_string(std::min<std::uint64_t>(pixel_cap, INT_MAX));  // the option's range
    for (AVDictionary*& o : probe_options)
        av_dict_set(&o, "max_pixels", max_pixels.c_str(), 0);
    arm();
    int code = avformat_find_stream_info(format_, probe_options.data());
    for (AVDictionary*& o : probe_options)
        av_dict_free(&o);
    if (code < 0)
        return fault_of(Fault::not_video, code);
    stream_ = tool_stream_choice(*format_);
    if (stream_ < 0)
        return fault(Fault::not_video, "no video stream");
    const AVStream& stream = *format_->streams[stream_];
    const AVCodecParameters& parameters = *stream.codecpar;
    if (std::uint64_t(parameters.width) * std::uint64_t(parameters.height) > pixel_cap)
        return too_large(parameters.width, parameters.height, pixel_cap);
    const AVCodec* decoder = avcodec_find_decoder(parameters.codec_id);
    if (decoder == nullptr)
        return fault(Fault::unsupported, std::string("no decoder for ") + avcodec_get_name(parameters.codec_id));
    codec_ = avcodec_alloc_context3(decoder);
    if (codec_ == nullptr)
        return fault(Fault::no_memory);
    code = avcodec_parameters_to_context(codec_, &parameters);
    if (code < 0)
        return ffmpeg_fault(code);
    codec_->pkt_timebase = stream.time_base;
    codec_->max_pixels = std::int64_t(std::min<std::uint64_t>(pixel_cap, INT64_MAX));
    AVDictionary* codec_options = nullptr;
    av_dict_set(&codec_options, "threads", "auto", 0);  // as the ffmpeg tool decodes
    code = avcodec_open2(codec_, decoder, &codec_options);
    av_dict_free(&codec_options);
    if (code < 0)
        return ffmpeg_fault(code);
    for (unsigned i = 0; i < format_->nb_streams; ++i)
        if (int(i) != stream_)
            format_->streams[i]->discard = AVDISCARD_ALL;
    rotation_ = rotation_filters(stream);
    time_base_ = Rational{stream.time_base.num, stream.time_base.den};
    const AVRational rate = av_guess_frame_rate(format_, const_cast<AVStream*>(&stream), nullptr);
    if (rate.num > 0 && rate.den > 0)
        frame_rate_ = Rational{rate.num, rate.den};

    // The first frame, decoded and converted, gives the size of the run.
    if (!next_decoded())
        return stalled_ ? fault_of(Fault::damaged, AVERROR_EXIT) : fault(Fault::damaged, "no frame could be decoded");
    code = convert();
    if (code < 0)
        return ffmpeg_fault(code);
    first_converted_ = true;
    rows_ = converted_->height;
    cols_ = converted_->width;
    const std::uint64_t held = std::uint64_t(av_image_get_buffer_size(AVPixelFormat(decoded_->format),
                                                                      decoded_->width, decoded_->height, 1));
    buffer_bytes_ = held * held_frames_estimate + std::uint64_t(converted_->linesize[0]) * std::uint64_t(rows_) +
                    std::uint64_t(io_buffer_bytes);

    // Decoded up to the run's first frame, which read() converts: a video
    // without it ends the run before it starts, as a missing first file does.
    if (first < 1) {
        Result before = fault(Fault::before_start);
        before.frame = first;
        return before;
    }
    while (decoded_count_ < first) {
        first_converted_ = false;
        if (!next_decoded()) {
            Result past = fault(Fault::past_end);
            past.frame = first;
            past.frames_decoded = decoded_count_;
            past.detail = end_error();
            return past;
        }
    }
    last_read_ = first - 1;  // frames before it are gone
    return Result{};
}

// Takes the next frame from the decoder into decoded_, feeding it packets of
// the chosen stream. A packet the decoder refuses is passed over, as the
// ffmpeg tool passes over it; the end of the input, or a read error, flushes
// the decoder's last frames out.
bool VideoFrames::next_decoded()
{
    av_frame_unref(decoded_);
    int drain_errors = 0;
    while (!decoder_ended_) {
        int code = avcodec_receive_frame(codec_, decoded_);
        if (code >= 0) {
            ++decoded_count_;
            return true;
        }
        if (code == AVERROR_EOF) {
            decoder_ended_ = true;
            break;
        }
        if (input_ended_) {
            // While the last frames drain out, one the decoder cannot make
            // is passed over like a refused packet.
            if (code == AVERROR(EAGAIN) || ++drain_errors > max_drain_errors)
                decoder_ended_ = true;
            continue;
        }
        if (!packet_pending_) {
            arm();
            if (const int read = av_read_frame(format_, packet_); read < 0) {
                // An end other than the file's own: cut short, or damaged.
                if (read != AVERROR_EOF)
                    input_error_ = read;
                input_ended_ = true;
                avcodec_send_packet(codec_, nullptr);
                continue;
            }
            if (packet_->stream_index != stream_) {
                av_packet_unref(packet_);
                continue;
            }
        }
        // The demuxer marks a packet the file ends inside.
        const bool incomplete = (packet_->flags & AV_PKT_FLAG_CORRUPT) != 0;
        code = avcodec_send_packet(codec_, packet_);
        // A decoder with frames to hand out first takes the packet later.
        packet_pending_ = code == AVERROR(EAGAIN);
        if (!packet_pending_)
            last_packet_bad_ = incomplete || code < 0;
        if (!packet_pending_)
            av_packet_unref(packet_);
    }
    return false;
}

int VideoFrames::configure_graph(const AVFrame& decoded)
{
    avfilter_graph_free(&graph_);
    graph_ = avfilter_graph_alloc();
    if (graph_ == nullptr)
        return AVERROR(ENOMEM);
    graph_->scale_sws_opts = av_strdup(tool_sws_options);
    const AVStream& stream = *format_->streams[stream_];
    const AVRational time_base = stream.time_base;
    AVRational aspect = decoded.sample_aspect_ratio;
    if (aspect.den == 0)
        aspect = AVRational{0, 1};
    char arguments[256];
    std::snprintf(arguments, sizeof arguments, "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d",
                  decoded.width, decoded.height, decoded.format, time_base.num, time_base.den, aspect.num,
                  aspect.den);
    int code = avfilter_graph_create_filter(&source_, avfilter_get_by_name("buffer"), "in", arguments, nullptr,
                                            graph_);
    if (code >= 0)
        code = avfilter_graph_create_filter(&sink_, avfilter_get_by_name("buffersink"), "out", nullptr,
                                            nullptr, graph_);
    // The chain between them: the turn, then the output pixel format, which
    // makes the graph insert its scale filter.
    AVFilterInOut* outputs = avfilter_inout_alloc();
    AVFilterInOut* inputs = avfilter_inout_alloc();
    if (code >= 0 && (outputs == nullptr || inputs == nullptr))
        code = AVERROR(ENOMEM);
    if (code >= 0) {
        outputs->name = av_strdup("in");
        outputs->filter_ctx = source_;
        inputs->name = av_strdup("out");
        inputs->filter_ctx = sink_;
        const std::string chain = rotation_ + "format=rgb24";
        code = avfilter_graph_parse_ptr(graph_, chain.c_str(), &inputs, &outputs, nullptr);
    }
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    if (code >= 0)
        code = avfilter_graph_config(graph_, nullptr);
    if (code < 0) {
        avfilter_graph_free(&graph_);
        return code;
    }
    graph_format_ = decoded.format;
    graph_width_ = decoded.width;
    graph_height_ = decoded.height;
    return 0;
}

// Runs decoded_ through the graph into converted_.
int VideoFrames::convert()
{
    av_frame_unref(converted_);
    if (graph_ == nullptr || decoded_->format != graph_format_ || decoded_->width != graph_width_ ||
        decoded_->height != graph_height_) {
        const int code = configure_graph(*decoded_);
        if (code < 0)
            return code;
    }
    int code = av_buffersrc_add_frame_flags(source_, decoded_, AV_BUFFERSRC_FLAG_KEEP_REF | AV_BUFFERSRC_FLAG_PUSH);
    if (code >= 0)
        code = av_buffersink_get_frame(sink_, converted_);
    return code;
}

Result VideoFrames::read(long long number, BytePlanes& frame)
{
    Result result;
    if (number < 1 || number <= last_read_) {
        result = fault(number < 1 ? Fault::before_start : Fault::out_of_order);
        result.frame = number;
        return result;
    }
    last_read_ = number;
    if (!(number == 1 && first_converted_)) {
        first_converted_ = false;
        while (decoded_count_ < number) {
            if (!next_decoded()) {
                if (stalled_)
                    return fault_of(Fault::damaged, AVERROR_EXIT);
                result = fault(Fault::past_end);
                result.frame = number;
                result.frames_decoded = decoded_count_;
                result.detail = end_error();
                return result;
            }
        }
        // A frame of another size is refused before it is converted.
        if (decoded_->width != graph_width_ || decoded_->height != graph_height_) {
            result = fault(Fault::wrong_size);
            result.width = decoded_->width;
            result.height = decoded_->height;
            result.expected_width = graph_width_;
            result.expected_height = graph_height_;
            result.frame = number;
            return result;
        }
        // The same size through the same graph gives rows_ x cols_ again.
        const int code = convert();
        if (code < 0)
            return ffmpeg_fault(code);
    }
    first_converted_ = false;
    result.timestamp = decoded_->best_effort_timestamp == AV_NOPTS_VALUE ? no_timestamp
                                                                          : decoded_->best_effort_timestamp;
    for (int y = 0; y < rows_; ++y)
        detail::store_row(converted_->data[0] + std::ptrdiff_t(y) * converted_->linesize[0], 3, cols_, y, frame);
    return result;
}

}  // namespace

FrameSource* open_video(const std::string& path, const std::string& base, long long first, std::uint64_t pixel_cap,
                        Result& result, const LiveInput& live)
{
    quiet_log();
    auto source = std::make_unique<VideoFrames>(path, base, live);
    result = source->open(first, pixel_cap);
    if (result.fault != Fault::none)
        return nullptr;
    return source.release();
}

}  // namespace zemb::media::ffmpeg

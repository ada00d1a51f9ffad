// BMP through FFmpeg's decoder. Its declared size is learnt by a first pass
// that stops where the decoder asks for its picture buffer, so a header that
// claims a huge picture is refused before anything that size is allocated.
#include <sys/stat.h>

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixdesc.h>
}

#include "media/ffmpeg/module.h"

namespace zemb::media::detail {

struct BmpDecoder {
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* picture = nullptr;
    RowBuffer file;  // the whole file, with the zeroed padding FFmpeg reads past its end
    bool probing = false;
    int width = 0, height = 0;
};

}  // namespace zemb::media::detail

namespace zemb::media::ffmpeg {

using detail::BmpDecoder;

namespace {

// Answer of the picture-buffer request while only the size is wanted.
constexpr int size_learnt = AVERROR(EAGAIN);

int picture_buffer(AVCodecContext* codec, AVFrame* frame, int flags)
{
    BmpDecoder& d = *static_cast<BmpDecoder*>(codec->opaque);
    if (d.probing) {
        d.width = frame->width;
        d.height = frame->height;
        return size_learnt;
    }
    if (frame->width != d.width || frame->height != d.height)
        return AVERROR_INVALIDDATA;
    return avcodec_default_get_buffer2(codec, frame, flags);
}

Result ffmpeg_fault(int code)
{
    Result result;
    result.format = Format::bmp;
    result.fault = code == AVERROR(ENOMEM) ? Fault::no_memory : Fault::damaged;
    result.detail = error_text(code);
    return result;
}

// Sends the file to the decoder and takes the picture back.
int run_decoder(BmpDecoder& d)
{
    avcodec_flush_buffers(d.codec);
    int code = avcodec_send_packet(d.codec, d.packet);
    if (code >= 0)
        code = avcodec_receive_frame(d.codec, d.picture);
    return code;
}

}  // namespace

BmpDecoder* make_bmp_decoder()
{
    quiet_log();
    auto* d = new BmpDecoder;
    const AVCodec* bmp = avcodec_find_decoder(AV_CODEC_ID_BMP);
    d->codec = bmp != nullptr ? avcodec_alloc_context3(bmp) : nullptr;
    d->packet = av_packet_alloc();
    d->picture = av_frame_alloc();
    if (d->codec != nullptr) {
        d->codec->opaque = d;
        d->codec->get_buffer2 = picture_buffer;
        if (avcodec_open2(d->codec, bmp, nullptr) < 0)
            avcodec_free_context(&d->codec);
    }
    return d;
}

void free_bmp_decoder(BmpDecoder* d)
{
    avcodec_free_context(&d->codec);
    av_packet_free(&d->packet);
    av_frame_free(&d->picture);
    delete d;
}

Result bmp_read_header(BmpDecoder& d, detail::Input& in, std::uint64_t pixel_cap)
{
    Result result;
    result.format = Format::bmp;
    if (d.codec == nullptr || d.packet == nullptr || d.picture == nullptr) {
        result.fault = Fault::no_memory;
        return result;
    }
    struct stat status;
    if (fstat(in.fd, &status) != 0) {
        result.fault = Fault::read_failed;
        result.error = errno;
        return result;
    }
    const std::size_t size = std::size_t(status.st_size);
    if (!d.file.reserve(size + AV_INPUT_BUFFER_PADDING_SIZE)) {
        result.fault = Fault::no_memory;
        return result;
    }
    const std::size_t got = detail::read_bytes(in, d.file.bytes.get(), size);
    if (in.read_error != 0) {
        result.fault = Fault::read_failed;
        result.error = in.read_error;
        return result;
    }
    std::memset(d.file.bytes.get() + got, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    av_packet_unref(d.packet);
    d.packet->data = d.file.bytes.get();
    d.packet->size = int(std::min<std::size_t>(got, INT32_MAX));
    d.codec->max_pixels = std::int64_t(std::min<std::uint64_t>(pixel_cap, INT64_MAX));
    d.probing = true;
    d.width = d.height = 0;
    const int code = run_decoder(d);
    d.probing = false;
    if (code != size_learnt)
        return code < 0 ? ffmpeg_fault(code) : ffmpeg_fault(AVERROR_INVALIDDATA);
    result.width = d.width;
    result.height = d.height;
    return result;
}

Result bmp_decode(BmpDecoder& d, BytePlanes& frame)
{
    const int code = run_decoder(d);
    if (code < 0)
        return ffmpeg_fault(code);
    const AVFrame& p = *d.picture;
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(AVPixelFormat(p.format));
    const bool packed_rgb = desc != nullptr && (desc->flags & AV_PIX_FMT_FLAG_RGB) != 0 &&
                            (desc->flags & (AV_PIX_FMT_FLAG_PLANAR | AV_PIX_FMT_FLAG_BITSTREAM)) == 0 &&
                            desc->nb_components >= 3 && desc->comp[0].depth == 8 &&
                            desc->comp[0].shift == 0 && desc->comp[0].step == desc->comp[2].step;
    const bool palette = p.format == AV_PIX_FMT_PAL8, grey = p.format == AV_PIX_FMT_GRAY8;
    Result result;
    result.format = Format::bmp;
    if (!packed_rgb && !palette && !grey) {
        result.fault = Fault::unsupported;
        result.detail = std::string("pixel format ") + (desc != nullptr ? desc->name : "unknown");
        av_frame_unref(d.picture);
        return result;
    }
    for (int y = 0; y < p.height; ++y) {
        const std::uint8_t* in = p.data[0] + std::ptrdiff_t(y) * p.linesize[0];
        const std::size_t at = std::size_t(y) * std::size_t(p.width);
        for (int x = 0; x < p.width; ++x) {
            std::uint8_t rgb[3];
            if (palette) {
                // Palette entries are native 32-bit words, 0xAARRGGBB.
                std::uint32_t entry;
                std::memcpy(&entry, p.data[1] + 4 * in[x], sizeof entry);
                rgb[0] = std::uint8_t(entry >> 16);
                rgb[1] = std::uint8_t(entry >> 8);
                rgb[2] = std::uint8_t(entry);
            } else if (grey) {
                rgb[0] = rgb[1] = rgb[2] = in[x];
            } else {
                for (int k = 0; k < 3; ++k)
                    rgb[k] = in[x * desc->comp[k].step + desc->comp[k].offset];
            }
            for (int k = 0; k < 3; ++k)
                frame[k][at + std::size_t(x)] = rgb[k];
        }
    }
    av_frame_unref(d.picture);
    return result;
}

}  // namespace zemb::media::ffmpeg

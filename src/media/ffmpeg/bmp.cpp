// BMP through FFmpeg's decoder. Its declared size is learnt by a first pass
// that stops where the decoder asks for its picture buffer, so a header that
// claims a huge picture is refused before anything that size is allocated.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>

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
    RowBuffer file;  // the file up to its raster's end, with the zeroed padding FFmpeg reads past it
    bool probing = false;
    int width = 0, height = 0;
    Result short_raster;  // a file that ends before the raster its header declares
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

// Bytes of a BMP that hold the sizes: the file header and the longest
// information header's fields up to the compression.
constexpr std::size_t bmp_head_bytes = 34;
// Furthest start of the raster a BMP may declare: past the largest headers
// and palette, with room to spare.
constexpr std::uint64_t max_bmp_raster_offset = 1u << 20;

std::uint32_t le(const std::uint8_t* p, int bytes)
{
    std::uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = value << 8 | p[i];
    return value;
}

// What a BMP's header says of its raster, read as FFmpeg's decoder reads it;
// `known` false when it is no header the decoder reads (which then says why).
struct BmpLayout {
    bool known = false;
    std::uint64_t width = 0, height = 0;
    std::uint64_t raster_offset = 0;
    std::uint64_t least_raster_bytes = 0;  // below this the decoder refuses it
    std::uint64_t most_raster_bytes = 0;   // beyond this it reads nothing
    std::uint64_t pixels() const { return width * height; }
};

BmpLayout bmp_layout(const std::uint8_t* head, std::size_t size)
{
    BmpLayout layout;
    if (size < bmp_head_bytes)
        return layout;
    const std::uint32_t info_bytes = le(head + 14, 4);
    std::uint32_t depth = 0, compression = 0;
    std::int64_t height = 0;
    if (info_bytes == 12) {
        layout.width = le(head + 18, 2);
        height = le(head + 20, 2);
        depth = le(head + 24, 2);
    } else if (info_bytes == 40 || info_bytes == 56 || info_bytes == 64 || info_bytes == 108 ||
               info_bytes == 124) {
        layout.width = le(head + 18, 4);
        height = std::int32_t(le(head + 22, 4));
        depth = le(head + 28, 2);
        compression = le(head + 30, 4);
    } else {
        return layout;
    }
    constexpr std::uint32_t rle8 = 1, rle4 = 2;
    layout.height = std::uint64_t(height < 0 ? -height : height);
    layout.raster_offset = le(head + 10, 4);
    if (compression == rle8 || compression == rle4) {
        // Every two bytes give a pixel at least, or end a row or the picture.
        layout.most_raster_bytes = 2 * (layout.pixels() + layout.height + 1);
    } else {
        // Rows padded to 4 bytes; the decoder takes unpadded rows too.
        layout.most_raster_bytes = ((layout.width * depth + 31) / 8 & ~std::uint64_t(3)) * layout.height;
        layout.least_raster_bytes = (layout.width * depth + 7) / 8 * layout.height;
    }
    layout.known = true;
    return layout;
}

Result damaged(const std::string& detail)
{
    Result result;
    result.format = Format::bmp;
    result.fault = Fault::damaged;
    result.detail = detail;
    return result;
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
    // Only the bytes the header implies are read, and only once its size
    // is within the cap: a small picture in a huge file, or a huge picture
    // in a small one, costs no more than its header.
    std::uint8_t head[bmp_head_bytes] = {};
    std::size_t got = detail::read_bytes(in, head, sizeof head);
    if (in.read_error != 0) {
        result.fault = Fault::read_failed;
        result.error = in.read_error;
        return result;
    }
    const BmpLayout layout = bmp_layout(head, got);
    const std::uint64_t file_bytes = std::uint64_t(status.st_size);
    d.short_raster = Result{};
    std::uint64_t wanted = file_bytes;
    if (layout.known) {
        if (layout.pixels() > pixel_cap) {
            result.fault = Fault::too_large;
            result.width = int(std::min<std::uint64_t>(layout.width, INT32_MAX));
            result.height = int(std::min<std::uint64_t>(layout.height, INT32_MAX));
            result.pixel_cap = pixel_cap;
            return result;
        }
        if (layout.raster_offset > max_bmp_raster_offset)
            return damaged("its raster is said to start at byte " + std::to_string(layout.raster_offset));
        // Its sizes stand (a caller may compare them), but the decode will
        // refuse it before FFmpeg allocates the picture.
        if (file_bytes < layout.raster_offset + layout.least_raster_bytes)
            d.short_raster = damaged("the header declares a raster of at least " +
                                     std::to_string(layout.least_raster_bytes) + " bytes from byte " +
                                     std::to_string(layout.raster_offset) + ", but the file has " +
                                     std::to_string(file_bytes) + " bytes");
        wanted = std::min(wanted, layout.raster_offset + layout.most_raster_bytes);
    }
    const std::size_t size = std::size_t(std::min<std::uint64_t>(std::max<std::uint64_t>(wanted, got), INT32_MAX));
    if (!d.file.reserve(size + AV_INPUT_BUFFER_PADDING_SIZE)) {
        result.fault = Fault::no_memory;
        return result;
    }
    std::memcpy(d.file.bytes.get(), head, got);
    got += detail::read_bytes(in, d.file.bytes.get() + got, size - got);
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
    if (d.short_raster.fault != Fault::none)
        return d.short_raster;
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

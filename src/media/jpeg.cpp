// JPEG through libjpeg-turbo with its default decoding settings (accurate
// integer IDCT, fancy upsampling), straight to RGB: the samples are those
// `djpeg -pnm` writes. Any warning (premature end of data, corrupt data)
// makes the frame damaged.
#include "media/decoders.h"

#if ZEMB_HAVE_JPEG

#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>
#include <jerror.h>

namespace zemb::media::detail {

struct JpegDecoder {
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    jpeg_source_mgr source;
    jpeg_progress_mgr progress;
    std::jmp_buf on_error;
    Input* in = nullptr;
    char text[JMSG_LENGTH_MAX] = {};  // the first warning or the error
    bool warned = false;
    bool too_many_scans = false;
    int channels = 0;
};

namespace {

// Most scans a JPEG may have, as djpeg's -maxscans: a progressive JPEG
// needs a few dozen, while each extra scan of a hostile one costs a pass
// over the whole image.
constexpr int max_scans = 500;

JpegDecoder& owner(j_common_ptr info) { return *static_cast<JpegDecoder*>(info->client_data); }

[[noreturn]] void on_error(j_common_ptr info)
{
    JpegDecoder& d = owner(info);
    info->err->format_message(info, d.text);
    std::longjmp(d.on_error, 1);
}

// Warnings are kept, never printed; trace messages are dropped.
void on_message(j_common_ptr info, int level)
{
    JpegDecoder& d = owner(info);
    if (level < 0 && !d.warned) {
        info->err->format_message(info, d.text);
        d.warned = true;
    }
}

// libjpeg reports each scan it starts here, before decoding it.
void count_scans(j_common_ptr info)
{
    JpegDecoder& d = owner(info);
    if (d.info.input_scan_number > max_scans) {
        d.too_many_scans = true;
        std::longjmp(d.on_error, 1);
    }
}

// The source manager reads through the shared input block.
void init_source(j_decompress_ptr) {}
void term_source(j_decompress_ptr) {}

boolean fill_input(j_decompress_ptr info)
{
    static const JOCTET end_of_image[] = {0xFF, JPEG_EOI};
    JpegDecoder& d = owner(reinterpret_cast<j_common_ptr>(info));
    if (!d.in->fill()) {
        if (d.in->read_error != 0)
            ERREXIT(info, JERR_FILE_READ);
        // As libjpeg's own file source does: warn and end the image.
        WARNMS(info, JWRN_JPEG_EOF);
        d.source.next_input_byte = end_of_image;
        d.source.bytes_in_buffer = sizeof end_of_image;
        return TRUE;
    }
    d.source.next_input_byte = d.in->block.get();
    d.source.bytes_in_buffer = d.in->end;
    d.in->begin = d.in->end;
    return TRUE;
}

void skip_input(j_decompress_ptr info, long count)
{
    jpeg_source_mgr& source = *info->src;
    while (count > long(source.bytes_in_buffer)) {
        count -= long(source.bytes_in_buffer);
        fill_input(info);
    }
    if (count > 0) {
        source.next_input_byte += count;
        source.bytes_in_buffer -= std::size_t(count);
    }
}


Result failure(JpegDecoder& d)
{
    Result result;
    result.format = Format::jpeg;
    if (d.in->read_error != 0) {
        result.fault = Fault::read_failed;
        result.error = d.in->read_error;
    } else if (d.too_many_scans) {
        result.fault = Fault::refused;
        result.detail = "more than " + std::to_string(max_scans) + " scans";
    } else {
        result.fault = Fault::damaged;
        result.detail = d.text;
    }
    return result;
}

}  // namespace

std::unique_ptr<JpegDecoder, DecoderDeleter> make_jpeg_decoder()
{
    std::unique_ptr<JpegDecoder, DecoderDeleter> d(new JpegDecoder);
    d->info.err = jpeg_std_error(&d->errors);
    d->errors.error_exit = on_error;
    d->errors.emit_message = on_message;
    d->info.client_data = d.get();
    jpeg_create_decompress(&d->info);
    d->source.init_source = init_source;
    d->source.fill_input_buffer = fill_input;
    d->source.skip_input_data = skip_input;
    d->source.resync_to_restart = jpeg_resync_to_restart;
    d->source.term_source = term_source;
    d->info.src = &d->source;
    d->progress.progress_monitor = count_scans;
    d->info.progress = &d->progress;
    return d;
}

void DecoderDeleter::operator()(JpegDecoder* d) const
{
    jpeg_destroy_decompress(&d->info);
    delete d;
}

Result jpeg_read_header(JpegDecoder& d, Input& in)
{
    d.in = &in;
    d.warned = false;
    d.too_many_scans = false;
    d.source.next_input_byte = in.block.get() + in.begin;
    d.source.bytes_in_buffer = in.end - in.begin;
    in.begin = in.end;
    int status = JPEG_HEADER_OK;
    if (!guarded(d.on_error, [&] { status = jpeg_read_header(&d.info, TRUE); }))
        return failure(d);
    Result result;
    result.format = Format::jpeg;
    if (status != JPEG_HEADER_OK) {
        result.fault = Fault::damaged;
        result.detail = "the file holds tables but no image";
        return result;
    }
    switch (d.info.jpeg_color_space) {
    case JCS_GRAYSCALE:
        d.info.out_color_space = JCS_GRAYSCALE;
        d.channels = 1;
        break;
    case JCS_YCbCr:
    case JCS_RGB:
        d.info.out_color_space = JCS_RGB;
        d.channels = 3;
        break;
    default:
        result.fault = Fault::unsupported;
        result.detail = "only grey and colour (YCbCr or RGB) JPEG is read, not CMYK";
        return result;
    }
    result.width = int(d.info.image_width);
    result.height = int(d.info.image_height);
    return result;
}

Result jpeg_decode(JpegDecoder& d, RowBuffer& row, BytePlanes& frame)
{
    JSAMPROW samples = row.bytes.get();
    const bool decoded = guarded(d.on_error, [&] {
        jpeg_start_decompress(&d.info);
        const int width = int(d.info.output_width);
        while (d.info.output_scanline < d.info.output_height) {
            const int y = int(d.info.output_scanline);
            jpeg_read_scanlines(&d.info, &samples, 1);
            store_row(samples, d.channels, width, y, frame);
        }
        jpeg_finish_decompress(&d.info);
    });
    if (!decoded)
        return failure(d);
    Result result;
    result.format = Format::jpeg;
    if (d.warned) {
        result.fault = Fault::damaged;
        result.detail = d.text;
    }
    return result;
}

void jpeg_abandon(JpegDecoder& d) { jpeg_abort_decompress(&d.info); }

}  // namespace zemb::media::detail

#else  // built without libjpeg-turbo

namespace zemb::media::detail {

struct JpegDecoder {};

std::unique_ptr<JpegDecoder, DecoderDeleter> make_jpeg_decoder()
{
    return std::unique_ptr<JpegDecoder, DecoderDeleter>(new JpegDecoder);
}
void DecoderDeleter::operator()(JpegDecoder* d) const { delete d; }

Result jpeg_read_header(JpegDecoder&, Input&) { return missing_decoder(Format::jpeg); }
Result jpeg_decode(JpegDecoder&, RowBuffer&, BytePlanes&) { return missing_decoder(Format::jpeg); }
void jpeg_abandon(JpegDecoder&) {}

}  // namespace zemb::media::detail

#endif

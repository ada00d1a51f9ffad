// PNG through libpng: 8-bit grey and colour are read (palettes and grey
// below 8 bits expanded, alpha dropped without compositing, no gamma
// handling, 16-bit refused), and masks are written as 8-bit grey.
#include <cerrno>

#include "media/decoders.h"

#if ZEMB_HAVE_PNG

#include <csetjmp>
#include <cstring>

#include <png.h>
#include <zlib.h>

namespace zemb::media::detail {

namespace {

// Largest ancillary chunk libpng may hold in memory (text, ICC profiles):
// far above any real one, far below what a hostile header could ask for.
constexpr png_alloc_size_t max_chunk_bytes = 8u << 20;
// Largest number of ancillary chunks kept.
constexpr png_uint_32 max_kept_chunks = 1000;
// Largest side libpng itself allows.
constexpr std::uint64_t png_max_side = PNG_UINT_31_MAX;

// libpng's errors come back here as text; warnings (such as a known
// incorrect sRGB profile) do not make an image damaged and are dropped.
struct Errors {
    std::jmp_buf on_error;
    char text[200] = {};
    int read_error = 0;
};

[[noreturn]] void on_error(png_structp png, png_const_charp text)
{
    Errors& e = *static_cast<Errors*>(png_get_error_ptr(png));
    std::snprintf(e.text, sizeof e.text, "%s", text);
    std::longjmp(e.on_error, 1);
}

void on_warning(png_structp, png_const_charp) {}

}  // namespace

struct PngDecoder {
    Errors errors;
    png_structp png = nullptr;
    png_infop info = nullptr;
    Input* in = nullptr;
    int width = 0, height = 0, channels = 0, passes = 1;
};

namespace {

void read_input(png_structp png, png_bytep out, png_size_t size)
{
    PngDecoder& d = *static_cast<PngDecoder*>(png_get_io_ptr(png));
    if (read_bytes(*d.in, out, size) != size) {
        d.errors.read_error = d.in->read_error;
        png_error(png, "the file ends early");
    }
}

Result failure(PngDecoder& d)
{
    Result result;
    result.format = Format::png;
    if (d.errors.read_error != 0) {
        result.fault = Fault::read_failed;
        result.error = d.errors.read_error;
    } else {
        result.fault = Fault::damaged;
        result.detail = d.errors.text;
    }
    return result;
}

// Chooses the transformations that leave 8-bit grey or RGB rows.
void set_transformations(PngDecoder& d)
{
    const int type = png_get_color_type(d.png, d.info);
    if (type == PNG_COLOR_TYPE_PALETTE)
        png_set_palette_to_rgb(d.png);
    if (type == PNG_COLOR_TYPE_GRAY && png_get_bit_depth(d.png, d.info) < 8)
        png_set_expand_gray_1_2_4_to_8(d.png);
    // Alpha, and the alpha a palette's transparency turns into, is dropped.
    png_set_strip_alpha(d.png);
    d.passes = png_set_interlace_handling(d.png);
    png_read_update_info(d.png, d.info);
    d.channels = png_get_channels(d.png, d.info);
}

}  // namespace

std::unique_ptr<PngDecoder, DecoderDeleter> make_png_decoder()
{
    return std::unique_ptr<PngDecoder, DecoderDeleter>(new PngDecoder);
}

void png_abandon(PngDecoder& d)
{
    if (d.png != nullptr)
        png_destroy_read_struct(&d.png, &d.info, nullptr);
    d.png = nullptr;
    d.info = nullptr;
}

void DecoderDeleter::operator()(PngDecoder* d) const
{
    png_abandon(*d);
    delete d;
}

Result png_read_header(PngDecoder& d, Input& in, std::uint64_t pixel_cap)
{
    png_abandon(d);
    d.in = &in;
    d.errors.read_error = 0;
    Result result;
    result.format = Format::png;
    // libpng keeps no state from one image to the next: one pair per file.
    d.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &d.errors, on_error, on_warning);
    if (d.png != nullptr)
        d.info = png_create_info_struct(d.png);
    if (d.png == nullptr || d.info == nullptr) {
        result.fault = Fault::no_memory;
        return result;
    }
    const png_uint_32 side = png_uint_32(std::min(pixel_cap, png_max_side));
    png_set_user_limits(d.png, side, side);
    png_set_chunk_malloc_max(d.png, max_chunk_bytes);
    png_set_chunk_cache_max(d.png, max_kept_chunks);
    png_set_read_fn(d.png, &d, read_input);
    int depth = 0;
    std::uint64_t width = 0, height = 0;
    if (!guarded(d.errors.on_error, [&] {
            png_read_info(d.png, d.info);
            depth = png_get_bit_depth(d.png, d.info);
            width = png_get_image_width(d.png, d.info);
            height = png_get_image_height(d.png, d.info);
            // The cap holds before libpng sizes its row buffers.
            if (depth <= 8 && width * height <= pixel_cap)
                set_transformations(d);
        }))
        return failure(d);
    if (width * height > pixel_cap) {
        result.fault = Fault::too_large;
        result.width = int(width);
        result.height = int(height);
        result.pixel_cap = pixel_cap;
        return result;
    }
    if (depth > 8) {
        result.fault = Fault::unsupported;
        result.detail = "16-bit samples (only 8-bit PNG is read)";
        return result;
    }
    if (d.channels != 1 && d.channels != 3) {
        result.fault = Fault::unsupported;
        result.detail = std::to_string(d.channels) + " channels after expansion";
        return result;
    }
    d.width = int(png_get_image_width(d.png, d.info));
    d.height = int(png_get_image_height(d.png, d.info));
    result.width = d.width;
    result.height = d.height;
    return result;
}

Result png_decode(PngDecoder& d, RowBuffer& row, BytePlanes& frame)
{
    std::uint8_t* samples = row.bytes.get();
    const bool decoded = guarded(d.errors.on_error, [&] {
        for (int pass = 0; pass < d.passes; ++pass) {
            for (int y = 0; y < d.height; ++y) {
                // An interlaced image fills each row over several passes:
                // the row carries what the earlier passes put there.
                if (pass > 0) {
                    const std::size_t at = std::size_t(y) * std::size_t(d.width);
                    for (int x = 0; x < d.width; ++x)
                        for (int k = 0; k < d.channels; ++k)
                            samples[std::size_t(x) * d.channels + k] = frame[k][at + x];
                }
                png_read_row(d.png, samples, nullptr);
                store_row(samples, d.channels, d.width, y, frame);
            }
        }
        png_read_end(d.png, nullptr);
    });
    Result result;
    if (!decoded)
        result = failure(d);
    result.format = Format::png;
    png_abandon(d);
    return result;
}

}  // namespace zemb::media::detail

namespace zemb::media {

namespace {

// Fixed so that a mask always gives the same bytes. Masks are long runs of
// 0 and 255: zlib's run-length strategy with no row filter writes a 720p
// mask in under half the time of the default strategy (1.5 against 3.4 ms)
// for files 3 % larger; filters and other levels were slower or larger
// (docs/performance.md).
constexpr int mask_compression_level = 6;
constexpr int mask_compression_strategy = Z_RLE;

}  // namespace

Result write_png_mask(std::FILE* out, int rows, int cols, const std::uint8_t* mask)
{
    Result result;
    result.format = Format::png;
    detail::Errors errors;
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, &errors, detail::on_error, detail::on_warning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (png == nullptr || info == nullptr) {
        png_destroy_write_struct(&png, &info);
        result.fault = Fault::no_memory;
        return result;
    }
    const bool written = detail::guarded(errors.on_error, [&] {
        png_init_io(png, out);
        png_set_IHDR(png, info, png_uint_32(cols), png_uint_32(rows), 8, PNG_COLOR_TYPE_GRAY,
                     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_set_compression_level(png, mask_compression_level);
        png_set_compression_strategy(png, mask_compression_strategy);
        png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
        png_write_info(png, info);
        for (int r = 0; r < rows; ++r)
            png_write_row(png, mask + std::size_t(r) * std::size_t(cols));
        png_write_end(png, nullptr);
    });
    png_destroy_write_struct(&png, &info);
    if (!written || std::ferror(out)) {
        result.fault = Fault::write_failed;
        result.error = errno;
        if (!written && std::ferror(out) == 0)
            result.detail = errors.text;
    }
    return result;
}

}  // namespace zemb::media

#else  // built without libpng

namespace zemb::media::detail {

struct PngDecoder {};

std::unique_ptr<PngDecoder, DecoderDeleter> make_png_decoder()
{
    return std::unique_ptr<PngDecoder, DecoderDeleter>(new PngDecoder);
}
void DecoderDeleter::operator()(PngDecoder* d) const { delete d; }
Result png_read_header(PngDecoder&, Input&, std::uint64_t) { return missing_decoder(Format::png); }
Result png_decode(PngDecoder&, RowBuffer&, BytePlanes&) { return missing_decoder(Format::png); }
void png_abandon(PngDecoder&) {}

}  // namespace zemb::media::detail

namespace zemb::media {

Result write_png_mask(std::FILE*, int, int, const std::uint8_t*)
{
    return detail::missing_decoder(Format::png);
}

}  // namespace zemb::media

#endif

namespace zemb::media {

Result write_png_mask(int rows, int cols, const std::uint8_t* mask, const char* path)
{
    Result result;
    OutputFile file;
    FileWrite created;
    if (!has_decoder(Format::png)) {
        result = detail::missing_decoder(Format::png);
    } else if (created = file.create(path); !created.ok()) {
        result.fault = Fault::cannot_open;
        result.error = created.error;
    } else {
        result = write_png_mask(file.stream(), rows, cols, mask);
        if (result.fault == Fault::none) {
            if (const FileWrite done = file.commit(); !done.ok()) {
                result.fault = done.fault == WriteFault::cannot_open ? Fault::cannot_open
                                                                     : Fault::write_failed;
                result.error = done.error;
            }
        }
    }
    if (result.fault != Fault::none)
        result.path = path;
    return result;
}

}  // namespace zemb::media

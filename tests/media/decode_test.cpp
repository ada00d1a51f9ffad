// Still images: JPEG against djpeg, PNG and BMP kinds, damaged and unsafe
// files, the frame sources made of files, and the PNG mask writer.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#if ZEMB_HAVE_PNG
#include <png.h>
#endif

#include "media/decoders.h"
#include "media/media.h"
#include "support/support.h"
#include "tools.h"

namespace zemb::media {
namespace {

using test::Picture;

// A picture with smooth and sharp parts, so that chroma subsampling and the
// upsampling filter both show.
std::string test_ppm(int width, int height)
{
    return test::make_ppm(width, height, [](int r, int c) {
        return test::Rgb{std::uint8_t(7 * c + 3 * r), std::uint8_t((r * c) % 251),
                         std::uint8_t((c / 3 + r / 2) % 2 ? 230 : 20)};
    });
}

Picture rgb(int width, int height, std::vector<std::uint8_t> r, std::vector<std::uint8_t> g,
            std::vector<std::uint8_t> b)
{
    return Picture{width, height, std::move(r), std::move(g), std::move(b)};
}

TEST(RowStore, SplitsRgbAndGreyRowsIntoPlanesAtEveryWidth)
{
    for (int width : {1, 15, 16, 17, 31, 32, 33, 48, 100}) {
        for (int channels : {1, 3}) {
            std::vector<std::uint8_t> samples(std::size_t(width * channels));
            for (std::size_t k = 0; k < samples.size(); ++k)
                samples[k] = std::uint8_t(k * 37 + 11);
            BytePlanes frame = alloc_byte_planes(plane_count, std::size_t(2 * width));
            detail::store_row(samples.data(), channels, width, 1, frame);
            for (int c = 0; c < width; ++c)
                for (int k = 0; k < plane_count; ++k)
                    ASSERT_EQ(frame[k][width + c], samples[std::size_t(c * channels + (channels == 3 ? k : 0))])
                        << "width " << width << ", channels " << channels << ", pixel " << c;
        }
        if (!__builtin_cpu_supports("ssse3"))
            continue;
        // The kernel alone, which store_row uses where the processor has it.
        std::vector<std::uint8_t> rgb(std::size_t(3 * width)), planes(std::size_t(3 * width), 0);
        for (std::size_t k = 0; k < rgb.size(); ++k)
            rgb[k] = std::uint8_t(k * 53 + 7);
        const int done = detail::split_rgb_ssse3(rgb.data(), width, planes.data(),
                                                 planes.data() + width, planes.data() + 2 * width);
        ASSERT_EQ(done, width / 16 * 16) << width;
        for (int c = 0; c < done; ++c)
            for (int k = 0; k < 3; ++k)
                ASSERT_EQ(planes[std::size_t(k * width + c)], rgb[std::size_t(3 * c + k)]) << width;
    }
}

TEST(Jpeg, DecodesLikeDjpegForEverySamplingAndOddSizes)
{
    const std::string cjpeg = test::find_tool("cjpeg"), djpeg = test::find_tool("djpeg");
    if (!has_decoder(Format::jpeg) || cjpeg.empty() || djpeg.empty())
        GTEST_SKIP() << "needs libjpeg-turbo and its tools cjpeg, djpeg (libjpeg-turbo-progs)";
    test::TempDir dir;
    const struct {
        int width, height;
        std::vector<std::string> options;
    } cases[] = {
        {33, 17, {"-sample", "2x2"}},  // 4:2:0
        {31, 20, {"-sample", "2x1"}},  // 4:2:2
        {16, 9, {"-sample", "1x1"}},   // 4:4:4
        {21, 13, {"-grayscale"}},
        {37, 29, {"-progressive", "-sample", "2x2"}},
    };
    for (const auto& c : cases) {
        test::write_file(dir / "in.ppm", test_ppm(c.width, c.height));
        std::vector<std::string> args = c.options;
        for (const char* a : {"-quality", "85", "-outfile", "in.jpg", "in.ppm"})
            args.push_back(a);
        ASSERT_EQ(test::run_program(cjpeg, dir.path(), args).status, 0);
        const test::RunResult reference = test::run_program(djpeg, dir.path(), {"-pnm", "in.jpg"});
        ASSERT_EQ(reference.status, 0);
        Picture ours;
        const Result r = test::decode_file(dir / "in.jpg", ours);
        EXPECT_EQ(r.fault, Fault::none) << message(r);
        EXPECT_TRUE(ours == test::parse_pnm(reference.out)) << c.width << " x " << c.height;
    }
}

#if ZEMB_HAVE_PNG
// A PNG written by libpng itself: rows of packed samples as the format has them.
void write_png_file(const std::string& path, int width, int height, int type, int depth, bool interlaced,
                    const std::vector<std::uint8_t>& rows, const std::vector<png_color>& palette = {},
                    const std::vector<std::uint8_t>& transparency = {})
{
    std::FILE* out = std::fopen(path.c_str(), "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, out);
    png_set_IHDR(png, info, width, height, depth, type, interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!palette.empty())
        png_set_PLTE(png, info, palette.data(), int(palette.size()));
    if (!transparency.empty())
        png_set_tRNS(png, info, transparency.data(), int(transparency.size()), nullptr);
    png_write_info(png, info);
    std::vector<png_bytep> pointers;
    const std::size_t stride = rows.size() / std::size_t(height);
    for (int y = 0; y < height; ++y)
        pointers.push_back(const_cast<png_bytep>(rows.data() + y * stride));
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(out);
}

TEST(Png, ReadsGreyColourPaletteAndAlphaAsRgbAndRefuses16Bit)
{
    test::TempDir dir;
    const std::vector<png_color> palette = {{10, 20, 30}, {200, 100, 50}, {0, 255, 0}};
    const struct {
        const char* what;
        int width, height, type, depth;
        bool interlaced;
        std::vector<std::uint8_t> rows;
        std::vector<png_color> palette;
        std::vector<std::uint8_t> transparency;
        Picture expected;
    } cases[] = {
        {"grey", 3, 1, PNG_COLOR_TYPE_GRAY, 8, false, {0, 128, 255}, {}, {},
         rgb(3, 1, {0, 128, 255}, {0, 128, 255}, {0, 128, 255})},
        {"grey 2-bit", 4, 1, PNG_COLOR_TYPE_GRAY, 2, false, {0b00011011}, {}, {},
         rgb(4, 1, {0, 85, 170, 255}, {0, 85, 170, 255}, {0, 85, 170, 255})},
        {"colour, interlaced", 3, 3, PNG_COLOR_TYPE_RGB, 8, true,
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27}, {}, {},
         rgb(3, 3, {1, 4, 7, 10, 13, 16, 19, 22, 25}, {2, 5, 8, 11, 14, 17, 20, 23, 26},
             {3, 6, 9, 12, 15, 18, 21, 24, 27})},
        {"colour with alpha, not composited", 2, 1, PNG_COLOR_TYPE_RGBA, 8, false, {9, 8, 7, 0, 6, 5, 4, 128},
         {}, {}, rgb(2, 1, {9, 6}, {8, 5}, {7, 4})},
        {"grey with alpha", 2, 1, PNG_COLOR_TYPE_GRAY_ALPHA, 8, false, {40, 0, 50, 255}, {}, {},
         rgb(2, 1, {40, 50}, {40, 50}, {40, 50})},
        {"palette of 4 bits with transparency", 3, 1, PNG_COLOR_TYPE_PALETTE, 4, false, {0x21, 0x00}, palette,
         {0, 255}, rgb(3, 1, {0, 200, 10}, {255, 100, 20}, {0, 50, 30})},
    };
    for (const auto& c : cases) {
        write_png_file(dir / "in.png", c.width, c.height, c.type, c.depth, c.interlaced, c.rows, c.palette,
                       c.transparency);
        Picture ours;
        const Result r = test::decode_file(dir / "in.png", ours);
        EXPECT_EQ(r.fault, Fault::none) << c.what << ": " << message(r);
        EXPECT_TRUE(ours == c.expected) << c.what;
    }
    write_png_file(dir / "deep.png", 1, 1, PNG_COLOR_TYPE_RGB, 16, false, std::vector<std::uint8_t>(6, 1));
    Picture ours;
    const Result deep = test::decode_file(dir / "deep.png", ours);
    EXPECT_EQ(deep.fault, Fault::unsupported);
    EXPECT_NE(message(deep).find("16-bit"), std::string::npos) << message(deep);
}

TEST(PngMasks, AreDeterministicGreyImagesThatDecodeBackToTheMask)
{
    test::TempDir dir;
    const int rows = 7, cols = 13;
    std::vector<std::uint8_t> mask(rows * cols);
    for (std::size_t i = 0; i < mask.size(); ++i)
        mask[i] = (i * 7 % 5 == 0) ? 255 : 0;
    ASSERT_EQ(write_png_mask(rows, cols, mask.data(), (dir / "a.png").c_str()).fault, Fault::none);
    ASSERT_EQ(write_png_mask(rows, cols, mask.data(), (dir / "b.png").c_str()).fault, Fault::none);
    const std::string bytes = test::read_file(dir / "a.png");
    EXPECT_EQ(bytes, test::read_file(dir / "b.png"));
    EXPECT_EQ(bytes.find("tIME"), std::string::npos);
    EXPECT_EQ(bytes.substr(24, 2), std::string("\x08\x00", 2));  // 8-bit grey
    Picture back;
    ASSERT_EQ(test::decode_file(dir / "a.png", back).fault, Fault::none);
    EXPECT_EQ(back.r, mask);

    const Result lost = write_png_mask(rows, cols, mask.data(), (dir / "no/such/folder.png").c_str());
    EXPECT_EQ(lost.fault, Fault::cannot_open);
    EXPECT_EQ(message(lost), "zemb: " + dir / "no/such/folder.png" + ": cannot open: No such file or directory");
}
#endif

// A BMP of `width` x `height` declared pixels followed by `raster` (rows
// bottom-up, each padded to four bytes).
std::string bmp(int width, int height, const std::string& raster)
{
    std::string b(54, '\0');
    auto put = [&](int at, std::uint32_t v) { std::memcpy(&b[at], &v, 4); };
    b[0] = 'B';
    b[1] = 'M';
    put(2, std::uint32_t(54 + raster.size()));
    put(10, 54);
    put(14, 40);
    put(18, std::uint32_t(width));
    put(22, std::uint32_t(height));
    put(26, 1 | (24 << 16));  // one plane, 24 bits per pixel
    put(34, std::uint32_t(raster.size()));
    return b + raster;
}

TEST(Bmp, ReadsColourAndRefusesAHugeDeclaredSizeAtOnce)
{
    if (!has_decoder(Format::bmp))
        GTEST_SKIP() << "needs FFmpeg's libavcodec";
    test::TempDir dir;
    // 2 x 2, bottom row first, blue-green-red samples.
    const std::string raster = std::string("\x01\x02\x03\x04\x05\x06\0\0", 8) + std::string("\x07\x08\x09\x0a\x0b\x0c\0\0", 8);
    test::write_file(dir / "in.bmp", bmp(2, 2, raster));
    Picture ours;
    ASSERT_EQ(test::decode_file(dir / "in.bmp", ours).fault, Fault::none);
    EXPECT_TRUE(ours == rgb(2, 2, {9, 12, 3, 6}, {8, 11, 2, 5}, {7, 10, 1, 4}));

    test::write_file(dir / "huge.bmp", bmp(16384, 16384, ""));
    const auto start = std::chrono::steady_clock::now();
    ImageReader reader;
    const Result r = reader.open((dir / "huge.bmp").c_str(), 1 << 20);
    EXPECT_NE(r.fault, Fault::none);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

std::unique_ptr<FrameSource> open_pattern(const std::string& text, long long first, Result& result);

// `jpeg` with its last scan repeated until it has `scans` scans.
std::string with_scans(const std::string& jpeg, int scans)
{
    std::size_t last = 0, count = 0;
    for (std::size_t at = jpeg.find("\xFF\xDA"); at != std::string::npos; at = jpeg.find("\xFF\xDA", at + 2)) {
        last = at;
        ++count;
    }
    const std::size_t end = jpeg.rfind("\xFF\xD9");
    std::string repeated;
    for (std::size_t k = count; k < std::size_t(scans); ++k)
        repeated += jpeg.substr(last, end - last);
    return jpeg.substr(0, end) + repeated + jpeg.substr(end);
}

// Hostile first frames stop a run before it starts, costing no more than
// their headers; a small picture in a huge file reads as the small picture.
TEST(HostileImages, AreRefusedAtOnceOrReadOnlyAsFarAsTheirHeadersSay)
{
    const std::string cjpeg = test::find_tool("cjpeg");
    if (!has_decoder(Format::jpeg) || !has_decoder(Format::bmp) || cjpeg.empty())
        GTEST_SKIP() << "needs libjpeg-turbo, cjpeg and FFmpeg's libavcodec";
    test::TempDir dir;
    test::write_file(dir / "in.ppm", test_ppm(16, 16));
    ASSERT_EQ(test::run_program(cjpeg, dir.path(), {"-progressive", "-outfile", "p.jpg", "in.ppm"}).status, 0);
    test::write_file(dir / "bomb1.jpg", with_scans(test::read_file(dir / "p.jpg"), 501));
    // 9000 x 9000 declared, a raster of 4 bytes: it would start a run on black frames.
    test::write_file(dir / "empty1.bmp", bmp(9000, 9000, std::string(4, '\0')));
    const struct {
        const char* pattern;
        Fault fault;
        std::string says;
    } cases[] = {
        {"bomb%d.jpg", Fault::refused, "bomb1.jpg: JPEG refused: more than 500 scans"},
        {"empty%d.bmp", Fault::damaged,
         "empty1.bmp: damaged BMP: the header declares a raster of at least 243000000 bytes from byte 54, "
         "but the file has 58 bytes"},
    };
    for (const auto& c : cases) {
        Result opened;
        EXPECT_FALSE(open_pattern(dir / c.pattern, 1, opened));
        EXPECT_EQ(opened.fault, c.fault);
        EXPECT_EQ(message(opened), "zemb: " + dir / c.says);
    }

    // 2 x 2 followed by 1.5 GB of holes: read in a blink, as the 2 x 2 it is.
    const std::string raster = std::string("\x01\x02\x03\x04\x05\x06\0\0", 8) + std::string("\x07\x08\x09\x0a\x0b\x0c\0\0", 8);
    test::write_file(dir / "padded.bmp", bmp(2, 2, raster));
    std::filesystem::resize_file(dir / "padded.bmp", 1500ull << 20);
    const auto start = std::chrono::steady_clock::now();
    Picture ours;
    ASSERT_EQ(test::decode_file(dir / "padded.bmp", ours).fault, Fault::none);
    EXPECT_TRUE(ours == rgb(2, 2, {9, 12, 3, 6}, {8, 11, 2, 5}, {7, 10, 1, 4}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(Decoders, ThatThisBuildLacksNameThePackageToInstall)
{
    test::TempDir dir;
    const struct {
        Format format;
        std::string bytes, package;
    } cases[] = {
        {Format::jpeg, "\xFF\xD8\xFF\xE0", "libjpeg62-turbo-dev"},
        {Format::png, "\x89PNG\r\n\x1A\n", "libpng-dev"},
        {Format::bmp, "BM", "libavcodec-dev"},
    };
    for (const auto& c : cases) {
        test::write_file(dir / "in", c.bytes);
        Picture ours;
        const Result r = test::decode_file(dir / "in", ours);
        EXPECT_EQ(r.fault == Fault::missing_decoder, !has_decoder(c.format)) << c.package;
        if (!has_decoder(c.format)) {
            EXPECT_NE(message(r).find(c.package), std::string::npos) << message(r);
        }
    }
}

// ---- Frames made of files ---------------------------------------------------

std::unique_ptr<FrameSource> open_pattern(const std::string& text, long long first, Result& result)
{
    FramePattern pattern;
    EXPECT_EQ(FramePattern::parse(text, pattern), PatternFault::none);
    return open_frame_pattern(pattern, first, no_pixel_cap, result);
}

TEST(FileFrames, AFrameThatCannotBeUsedEndsAtOnceAndLeavesThePlanesAsTheyWere)
{
    test::TempDir dir;
    test::write_file(dir / "f1.ppm", test_ppm(4, 3));
    test::write_file(dir / "f2.ppm", test_ppm(5, 3));
    mkfifo((dir / "f3.ppm").c_str(), 0600);
    std::filesystem::create_directories(dir / "f4.ppm");
    test::write_file(dir / "f6.ppm", "GIF89a");
    const struct {
        int frame;
        Fault fault;
        std::string says;
    } cases[] = {
        {2, Fault::wrong_size, "frame is 5 x 3, not 4 x 3 like the first frame"},
        {3, Fault::not_regular, "is a FIFO, not a frame file"},
        {4, Fault::not_regular, "is a folder, not a frame file"},
        {5, Fault::cannot_open, "cannot open: No such file or directory"},
        {6, Fault::unknown_format, "not a binary PPM, JPEG, PNG or BMP image"},
    };
    Result opened;
    auto source = open_pattern(dir / "f%d.ppm", 1, opened);
    ASSERT_TRUE(source) << message(opened);
    BytePlanes frame = test::planes_of<std::uint8_t>(12, 77);
    for (const auto& c : cases) {
        const Result r = source->read(c.frame, frame);
        EXPECT_EQ(r.fault, c.fault) << c.frame;
        EXPECT_EQ(message(r), "zemb: " + dir / "f" + std::to_string(c.frame) + ".ppm: " + c.says);
        EXPECT_EQ(test::picture_of(frame, 4, 3), test::picture_of(test::planes_of<std::uint8_t>(12, 77), 4, 3));
    }
    ASSERT_EQ(source->read(1, frame).fault, Fault::none);
    EXPECT_EQ(frame[0][5], 7 * 1 + 3 * 1);

    // An endless device as the first frame is refused when the source opens.
    std::filesystem::create_symlink("/dev/zero", dir / "z1.ppm");
    EXPECT_FALSE(open_pattern(dir / "z%d.ppm", 1, opened));
    EXPECT_EQ(message(opened), "zemb: " + dir / "z1.ppm: is a device, not a frame file");
}

TEST(FileFrames, ADamagedJpegIsNoFrameAndChangesNoSample)
{
    const std::string cjpeg = test::find_tool("cjpeg");
    if (!has_decoder(Format::jpeg) || cjpeg.empty())
        GTEST_SKIP() << "needs libjpeg-turbo and cjpeg (libjpeg-turbo-progs)";
    test::TempDir dir;
    test::write_file(dir / "in.ppm", test_ppm(40, 30));
    ASSERT_EQ(test::run_program(cjpeg, dir.path(), {"-outfile", "in1.jpg", "in.ppm"}).status, 0);
    const std::string whole = test::read_file(dir / "in1.jpg");
    test::write_file(dir / "in2.jpg", whole.substr(0, whole.size() / 2));
    std::string corrupt = whole;  // a stray marker in the middle of the coded data
    corrupt[corrupt.size() / 2] = '\xFF';
    corrupt[corrupt.size() / 2 + 1] = '\xFE';
    test::write_file(dir / "in3.jpg", corrupt);
    test::write_file(dir / "in4.jpg", whole.substr(0, 40));
    Result opened;
    auto source = open_pattern(dir / "in%d.jpg", 1, opened);
    ASSERT_TRUE(source) << message(opened);
    EXPECT_EQ(source->kind(), SourceKind::frame_pattern);
    EXPECT_EQ(source->base_name(), "in");
    BytePlanes frame = test::planes_of<std::uint8_t>(1200, 77);
    for (int k : {2, 3, 4}) {
        const Result r = source->read(k, frame);
        EXPECT_EQ(r.fault, Fault::damaged) << k;
        EXPECT_FALSE(r.frame_read());
        EXPECT_EQ(message(r).rfind("zemb: " + dir / "in" + std::to_string(k) + ".jpg: damaged JPEG: ", 0), 0u)
            << message(r);
        EXPECT_EQ(std::count(frame[0], frame[0] + 1200, 77), 1200) << k;
    }
    EXPECT_TRUE(source->read(1, frame).frame_read());
}

TEST(PpmFrames, SpeakAsThePpmReaderAlwaysHas)
{
    test::TempDir dir;
    test::write_file(dir / "w.1.ppm", test_ppm(4, 3));
    test::write_file(dir / "w.2.ppm", test_ppm(4, 3).substr(0, 20));
    test::write_file(dir / "w.3.ppm", "P5\n4 3\n255\n");
    test::write_file(dir / "w.4.ppm", "P6\n4 3\n65535\n");
    test::write_file(dir / "w.5.ppm", "P6\n4 4\n255\n");
    Result opened;
    auto source = open_ppm_frames(dir / "", "w", 1, no_pixel_cap, opened);
    ASSERT_TRUE(source) << message(opened);
    EXPECT_EQ(source->base_name(), "w");
    BytePlanes frame = test::planes_of<std::uint8_t>(12, 0);
    const struct {
        int frame;
        bool read;
        std::string says;
    } cases[] = {
        {2, true, "raster is 27 of 36 bytes short; the samples past its end keep their previous values"},
        {3, false, "not a binary colour PPM (magic word is not P6)"},
        {4, false, "maxval is not 1 to 255 (only 8-bit samples are read)"},
        {5, false, "frame is 4 x 4, not 4 x 3 like the first frame"},
        {6, false, "cannot open: No such file or directory"},
    };
    for (const auto& c : cases) {
        const Result r = source->read(c.frame, frame);
        EXPECT_EQ(r.frame_read(), c.read) << c.frame;
        EXPECT_EQ(message(r), "zemb: " + dir / "w." + std::to_string(c.frame) + ".ppm: " + c.says);
    }
    EXPECT_FALSE(open_ppm_frames(dir / "", "w", 7, no_pixel_cap, opened));
    EXPECT_FALSE(open_ppm_frames(dir / "", "w", 1, 11, opened));
    EXPECT_EQ(message(opened), "zemb: " + dir / "w.1.ppm: 4 x 3 pixels: more than the 11 this run can hold");
}

TEST(Sources, AreChosenSoThatEveryPpmSequenceReadsAsBefore)
{
    test::TempDir dir;
    test::write_file(dir / "walk.1.ppm", test_ppm(2, 2));
    test::write_file(dir / "walk", "a regular file beside the frames");
    test::write_file(dir / "a%d.1.ppm", test_ppm(2, 2));
    test::write_file(dir / "clip.avi", "RIFF");
    FramePattern pattern;
    PatternFault fault;
    auto choose = [&](const std::string& name, const std::string& first) {
        return choose_source(name, first.c_str(), pattern, fault);
    };
    EXPECT_EQ(choose(dir / "walk", dir / "walk.1.ppm"), SourceKind::ppm_frames);
    EXPECT_EQ(choose(dir / "a%d", dir / "a%d.1.ppm"), SourceKind::ppm_frames);
    EXPECT_EQ(choose(dir / "in%06d.jpg", dir / "in%06d.jpg.1.ppm"), SourceKind::frame_pattern);
    EXPECT_EQ(fault, PatternFault::none);
    EXPECT_EQ(pattern.name(3), dir / "in000003.jpg");
    EXPECT_EQ(choose(dir / "in%s.jpg", dir / "in%s.jpg.1.ppm"), SourceKind::frame_pattern);
    EXPECT_EQ(fault, PatternFault::unsupported_conversion);
    EXPECT_EQ(choose(dir / "clip.avi", dir / "clip.avi.1.ppm"), SourceKind::video);
    EXPECT_EQ(choose(dir / "missing", dir / "missing.1.ppm"), SourceKind::ppm_frames);
    EXPECT_EQ(choose(dir.path(), dir / ".1.ppm"), SourceKind::ppm_frames);  // a folder is no video
}

}  // namespace
}  // namespace zemb::media

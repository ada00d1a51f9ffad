// Video files against the PPM frames the installed ffmpeg tool writes with
// `ffmpeg -i VIDEO -start_number 1 f.%d.ppm`, on clips it encodes here.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "media/media.h"
#include "support/support.h"
#include "tools.h"

namespace zemb::media {
namespace {

constexpr int clip_frames = 10;

class Video : public ::testing::Test {
protected:
    void SetUp() override
    {
        ffmpeg = test::find_tool("ffmpeg");
        if (!has_decoder(Format::video) || ffmpeg.empty())
            GTEST_SKIP() << "needs FFmpeg's libraries and the ffmpeg tool";
    }

    // Encodes a moving test picture; false when this ffmpeg lacks the encoder.
    bool encode(const std::string& name, const std::string& size, const std::string& codec)
    {
        return test::run_program(ffmpeg, dir.path(),
                                 {"-v", "error", "-f", "lavfi", "-i", "testsrc2=size=96x64:rate=10", "-vf",
                                  "scale=" + size, "-frames:v", std::to_string(clip_frames), "-c:v", codec,
                                  "-pix_fmt", "yuv420p", "-y", name})
                   .status == 0;
    }

    // The frames the ffmpeg tool writes for `name`, in order.
    std::vector<test::Picture> reference(const std::string& name)
    {
        const std::string out = dir / ("ref-" + name);
        std::filesystem::create_directories(out);
        EXPECT_EQ(test::run_program(ffmpeg, out, {"-v", "error", "-i", "../" + name, "-start_number", "1", "f.%d.ppm"})
                      .status,
                  0);
        std::vector<test::Picture> frames;
        for (int k = 1; test::file_exists(out + "/f." + std::to_string(k) + ".ppm"); ++k)
            frames.push_back(test::parse_pnm(test::read_file(out + "/f." + std::to_string(k) + ".ppm")));
        return frames;
    }

    // Frames first.. of `name` through the video source, until one is not read.
    std::vector<test::Picture> ours(const std::string& name, long long first, Result& end)
    {
        std::vector<test::Picture> frames;
        auto source = open_video(dir / name, first, no_pixel_cap, end);
        if (!source)
            return frames;
        BytePlanes planes = alloc_byte_planes(plane_count, std::size_t(source->rows()) * source->cols());
        for (long long k = first;; ++k) {
            end = source->read(k, planes);
            if (!end.frame_read())
                return frames;
            frames.push_back(test::picture_of(planes, source->cols(), source->rows()));
        }
    }

    std::string ffmpeg;
    test::TempDir dir;
};

TEST_F(Video, FramesAreThoseTheFfmpegToolWritesInTwoCodecsAndOddSizes)
{
    const struct {
        const char* name;
        const char* size;
        const char* codec;
    } clips[] = {
        {"odd.avi", "61:37", "mpeg4"},
        {"even.mp4", "64:48", "libx264"},
    };
    for (const auto& c : clips) {
        if (!encode(c.name, c.size, c.codec)) {
            ADD_FAILURE() << "this ffmpeg cannot encode " << c.codec;
            continue;
        }
        const std::vector<test::Picture> expected = reference(c.name);
        ASSERT_EQ(expected.size(), std::size_t(clip_frames)) << c.name;
        Result end;
        const std::vector<test::Picture> frames = ours(c.name, 1, end);
        EXPECT_EQ(end.fault, Fault::past_end) << message(end);
        ASSERT_EQ(frames.size(), expected.size()) << c.name;
        for (std::size_t k = 0; k < frames.size(); ++k)
            EXPECT_TRUE(frames[k] == expected[k]) << c.name << " frame " << k + 1;
    }
}

TEST_F(Video, AShortOrTruncatedVideoGivesTheFramesThatDecodeThenEnds)
{
    ASSERT_TRUE(encode("clip.avi", "64:48", "mpeg4"));
    const std::vector<test::Picture> expected = reference("clip.avi");
    ASSERT_EQ(expected.size(), std::size_t(clip_frames));

    // Starting later decodes and drops the frames before.
    Result end;
    std::vector<test::Picture> frames = ours("clip.avi", 4, end);
    ASSERT_EQ(frames.size(), std::size_t(clip_frames - 3));
    EXPECT_TRUE(frames[0] == expected[3]);
    EXPECT_EQ(message(end), "zemb: " + dir / "clip.avi: no frame 11: the video ends after frame 10");

    Result opened;
    auto source = open_video(dir / "clip.avi", 1, no_pixel_cap, opened);
    ASSERT_TRUE(source);
    EXPECT_EQ(source->base_name(), "clip");
    BytePlanes planes = alloc_byte_planes(plane_count, 64 * 48);
    EXPECT_EQ(source->read(0, planes).fault, Fault::before_start);
    EXPECT_EQ(source->read(12, planes).fault, Fault::past_end);
    EXPECT_EQ(source->read(13, planes).frames_decoded, clip_frames);
    EXPECT_EQ(source->read(13, planes).fault, Fault::out_of_order);
    // A run cannot start from a frame the video lacks.
    EXPECT_FALSE(open_video(dir / "clip.avi", 0, no_pixel_cap, opened));
    EXPECT_EQ(opened.fault, Fault::before_start);
    EXPECT_FALSE(open_video(dir / "clip.avi", clip_frames + 1, no_pixel_cap, opened));
    EXPECT_EQ(message(opened), "zemb: " + dir / "clip.avi: no frame 11: the video ends after frame 10");

    // Cut in the middle: the frames the tool still writes, then the end.
    const std::string whole = test::read_file(dir / "clip.avi");
    test::write_file(dir / "cut.avi", whole.substr(0, whole.size() * 6 / 10));
    const std::vector<test::Picture> survivors = reference("cut.avi");
    ASSERT_GT(survivors.size(), 0u);
    ASSERT_LT(survivors.size(), std::size_t(clip_frames));
    frames = ours("cut.avi", 1, end);
    EXPECT_EQ(end.fault, Fault::past_end);
    EXPECT_TRUE(frames == survivors) << frames.size() << " frames, the tool wrote " << survivors.size();
}

TEST_F(Video, WhatIsNoVideoSaysSoAndAHugeOneIsRefusedBeforeDecoding)
{
    test::write_file(dir / "notes.txt", "just some text, not a video at all\n");
    Result r;
    EXPECT_FALSE(open_video(dir / "notes.txt", 1, no_pixel_cap, r));
    EXPECT_EQ(r.fault, Fault::not_video);
    mkfifo((dir / "pipe.avi").c_str(), 0600);
    EXPECT_FALSE(open_video(dir / "pipe.avi", 1, no_pixel_cap, r));
    EXPECT_EQ(r.fault, Fault::not_regular);
    ASSERT_TRUE(encode("clip.avi", "64:48", "mpeg4"));
    EXPECT_FALSE(open_video(dir / "clip.avi", 1, 64 * 48 - 1, r));
    EXPECT_EQ(message(r), "zemb: " + dir / "clip.avi: 64 x 48 pixels: more than the 3071 this run can hold");
}

// Playlists and concat lists name other files, FIFOs among them: none is
// ever opened, and none of them hangs or recurses.
TEST_F(Video, OnlyTheNamedFileIsEverRead)
{
    ASSERT_TRUE(encode("seg.ts", "64:48", "mpeg4"));
    mkfifo((dir / "fifo.ts").c_str(), 0600);
    const std::string hls = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:1.0,\n" + dir / "seg.ts\n";
    const struct {
        const char* name;
        std::string content;
        const char* reader;
    } cases[] = {
        {"street.mp4", hls + "#EXT-X-ENDLIST\n", "hls"},
        {"live.mp4", hls, "hls"},  // reloaded for ever, were it read
        {"relative.mp4", "ffconcat version 1.0\nfile seg.ts\n", "concat"},
        {"self.mp4", "ffconcat version 1.0\nfile self.mp4\n", "concat"},
        {"fifo.mp4", "ffconcat version 1.0\nfile fifo.ts\n", "concat"},
    };
    for (const auto& c : cases) {
        test::write_file(dir / c.name, c.content);
        Result r;
        EXPECT_FALSE(open_video(dir / c.name, 1, no_pixel_cap, r));
        EXPECT_EQ(r.fault, Fault::refused) << c.name;
        EXPECT_EQ(message(r).rfind("zemb: " + dir / c.name + ": video refused: a file for FFmpeg's " + c.reader +
                                       " reader, not one of the video containers zemb reads (mov,",
                                   0),
                  0u)
            << message(r);
    }
}

}  // namespace
}  // namespace zemb::media

// Frame-number patterns, output base names and the numbered-neighbour hint.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "media/media.h"
#include "support/support.h"

namespace zemb::media {
namespace {

FramePattern parsed(const std::string& text)
{
    FramePattern pattern;
    EXPECT_EQ(FramePattern::parse(text, pattern), PatternFault::none) << text;
    return pattern;
}

TEST(FramePatterns, NameFramesAsPrintfWouldWithoutAllocating)
{
    const struct {
        const char* pattern;
        long long frame;
        const char* name;
    } cases[] = {
        {"seq/groundtruth/gt%06d.png", 470, "seq/groundtruth/gt000470.png"},
        {"inMask.%d.pgm", -3, "inMask.-3.pgm"},
        {"a/100%%_%3d.bmp", 7, "a/100%_  7.bmp"},
        {"in%06d.jpg", 1234567, "in1234567.jpg"},  // wider than the field
        {"f%i", 12, "f12"},
        {"100%%/x%02d", 5, "100%/x05"},  // a percent sign in a folder is plain text
        {"d\\in%04d.jpg", 9, "d\\in0009.jpg"},
    };
    for (const auto& c : cases) {
        const FramePattern pattern = parsed(c.pattern);
        std::vector<char> out(pattern.name_capacity(), 'x');
        EXPECT_EQ(pattern.format(c.frame, out.data()), std::string(c.name).size());
        EXPECT_STREQ(out.data(), c.name) << c.pattern;
    }
}

TEST(FramePatterns, RefuseEveryOtherConversionWithAReason)
{
    const struct {
        const char* text;
        PatternFault fault;
    } cases[] = {
        {"plain.png", PatternFault::no_conversion},
        {"only%%.png", PatternFault::no_conversion},
        {"a%d_%d.png", PatternFault::several_conversions},
        {"dir%d/x%d.png", PatternFault::conversion_in_folder},
        {"%s.png", PatternFault::unsupported_conversion},
        {"x%ld.png", PatternFault::unsupported_conversion},
        {"x%.3d.png", PatternFault::unsupported_conversion},
        {"x%d%n", PatternFault::unsupported_conversion},
        {"trailing%", PatternFault::unsupported_conversion},
        {"x%-4d.png", PatternFault::unsupported_flag},
        {"x%+d.png", PatternFault::unsupported_flag},
        {"x% d.png", PatternFault::unsupported_flag},
        {"x%0d.png", PatternFault::bad_width},
        {"x%10d.png", PatternFault::bad_width},
        {"x%99999999999d.png", PatternFault::bad_width},
    };
    for (const auto& c : cases) {
        FramePattern pattern;
        EXPECT_EQ(FramePattern::parse(c.text, pattern), c.fault) << c.text;
        EXPECT_NE(std::string(describe(c.fault)), "") << c.text;
    }
}

TEST(BaseNames, AreTheStemWithoutTrailingSeparatorsOrTheFallback)
{
    EXPECT_EQ(pattern_base_name(parsed("dataset/highway/input/in%06d.jpg")), "in");
    EXPECT_EQ(pattern_base_name(parsed("f/walk.%04d.ppm")), "walk");
    EXPECT_EQ(pattern_base_name(parsed("a_-.%d.png")), "a");
    EXPECT_EQ(pattern_base_name(parsed("100%%_%d.png")), "100%");
    EXPECT_EQ(pattern_base_name(parsed("frames/%06d.jpg")), empty_base_fallback);
    EXPECT_EQ(video_base_name("street.mp4"), "street");
    EXPECT_EQ(video_base_name("clips/v.take-2.avi"), "v.take-2");
    EXPECT_EQ(video_base_name("clips/raw_video"), "raw_video");
    EXPECT_EQ(video_base_name("clips/.mp4"), empty_base_fallback);
}

TEST(Hints, NameTheNumberingOfANeighbourHoldingTheSameFrame)
{
    test::TempDir dir;
    const struct {
        std::vector<const char*> files;
        const char* missing;
        long long frame;
        std::string pattern;  // relative to the folder
    } cases[] = {
        {{"walk.0001.ppm", "walk.0002.ppm"}, "walk.1.ppm", 1, "walk.%04d.ppm"},
        {{"walk_1.ppm"}, "walk.1.ppm", 1, "walk_%d.ppm"},
        {{"in000007.jpg", "notes.txt"}, "in.7.ppm", 7, "in%06d.jpg"},
        {{"walk.0001.jpg", "walk.0001.ppm"}, "walk.1.ppm", 1, "walk.%04d.ppm"},  // the same type first
        {{"50%.01.ppm"}, "50%.1.ppm", 1, "50%%.%02d.ppm"},
        {{"walk.0002.ppm", "other.0001.ppm", "walk.0001.mp4"}, "walk.1.ppm", 1, ""},
    };
    int folder = 0;
    for (const auto& c : cases) {
        const std::string sub = dir / std::to_string(++folder) + "/";
        std::filesystem::create_directories(sub);
        for (const char* f : c.files)
            test::write_file(sub + f, "x");
        EXPECT_EQ(suggest_pattern(sub + c.missing, c.frame), c.pattern.empty() ? "" : sub + c.pattern)
            << c.missing;
    }
}

}  // namespace
}  // namespace zemb::media

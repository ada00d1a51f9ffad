// Run configuration: sequence names, frame numbers, file names, memory need.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "app/startup.h"
#include "run/config.h"

namespace zemb {
namespace {

TEST(SequenceName, SplitsAtTheLastSeparatorOfEitherKindAndAnEmptyBaseIsL0)
{
    struct Case {
        const char* name;
        const char* directory;
        const char* base;
    };
    const Case cases[] = {
        {"data/seq/in", "data/seq/", "in"},
        {"C:\\data\\seq", "C:\\data\\", "seq"},
        {"a/b\\c", "a/b\\", "c"},
        {"a\\b/c", "a\\b/", "c"},
        {"walk", "", "walk"},
        {"frames/", "frames/", "L0"},
        {"", "", "L0"},
        {"/", "/", "L0"},
    };
    for (const Case& c : cases) {
        std::string directory, base;
        split_sequence_name(c.name, directory, base);
        EXPECT_EQ(directory, c.directory) << c.name;
        EXPECT_EQ(base, c.base) << c.name;
    }
}

TEST(FrameNumbers, ConvertLikeAtoiAndSaturateInsteadOfOverflowing)
{
    EXPECT_EQ(parse_frame_number("12"), 12);
    EXPECT_EQ(parse_frame_number("  -7"), -7);
    EXPECT_EQ(parse_frame_number("+3"), 3);
    EXPECT_EQ(parse_frame_number("42abc"), 42);
    EXPECT_EQ(parse_frame_number("abc"), 0);
    EXPECT_EQ(parse_frame_number(""), 0);
    EXPECT_EQ(parse_frame_number("0x10"), 0);
    EXPECT_EQ(parse_frame_number("2147483647"), INT_MAX);
    EXPECT_EQ(parse_frame_number("2147483648"), INT_MAX);
    EXPECT_EQ(parse_frame_number("-2147483648"), INT_MIN);
    EXPECT_EQ(parse_frame_number("-99999999999999999999999"), INT_MIN);
}

TEST(FileNames, FollowTheThreePatterns)
{
    FileNames names("data/seq/", "in");
    EXPECT_STREQ(names.frame(7), "data/seq/in.7.ppm");
    EXPECT_STREQ(names.mask(7), "inMask.7.pgm");
    EXPECT_STREQ(names.model(7), "inModel.7.ppm");
    EXPECT_STREQ(names.frame(-3), "data/seq/in.-3.ppm");
    EXPECT_STREQ(names.mask(0), "inMask.0.pgm");
}

TEST(FileNames, OutputsGoIntoTheFolderAndMasksFollowTheMaskPattern)
{
    RunConfig config;
    config.directory = "in/";
    config.base = "in%06d.jpg";
    config.output_base = "in";
    const std::string folder_typed = std::string(3000, 'o') + "/100%";
    ASSERT_TRUE(take_output_switches(folder_typed.c_str(), "bin%06d.png", config));
    FileNames names(config);
    const std::string folder = config.output_folder + "/";
    const char* first = names.mask(7);
    EXPECT_EQ(std::string(first), folder + "bin000007.png");
    EXPECT_EQ(std::string(names.model(-7)), folder + "inModel.-7.ppm");
    EXPECT_EQ(std::string(names.mask(INT_MIN)), folder + "bin-2147483648.png");
    EXPECT_EQ(names.mask(1), first) << "the buffer reserved up front was reallocated";
    config.mask_names.reset();
    config.output_folder = "out/";
    EXPECT_STREQ(FileNames(config).mask(7), "out/inMask.7.pgm");
}

TEST(FileNames, AnyLengthIsComposedWithoutReallocatingPerFrame)
{
    std::string long_directory(5000, 'd');
    long_directory += '/';
    std::string long_base(3000, 'b');
    FileNames names(long_directory, long_base);
    const char* first = names.model(INT_MIN);
    EXPECT_EQ(std::string(first), long_base + "Model.-2147483648.ppm");
    const char* again = names.frame(INT_MIN);
    EXPECT_EQ(std::string(again), long_directory + long_base + ".-2147483648.ppm");
    EXPECT_EQ(first, again) << "the buffer reserved up front was reallocated";
    EXPECT_EQ(names.mask(INT_MAX), names.frame(1));
}

}  // namespace
}  // namespace zemb

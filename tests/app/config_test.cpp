// Run configuration: sequence names, frame numbers, file names, memory need.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "app/app.h"

namespace zemb {
namespace {

std::pair<std::string, std::string> split(const char* name)
{
    std::string directory, base;
    split_sequence_name(name, directory, base);
    return {directory, base};
}

TEST(SequenceName, SplitsAtTheLastSeparatorOfEitherKind)
{
    EXPECT_EQ(split("data/seq/in"), std::make_pair(std::string("data/seq/"), std::string("in")));
    EXPECT_EQ(split("C:\\data\\seq"), std::make_pair(std::string("C:\\data\\"), std::string("seq")));
    EXPECT_EQ(split("a/b\\c"), std::make_pair(std::string("a/b\\"), std::string("c")));
    EXPECT_EQ(split("a\\b/c"), std::make_pair(std::string("a\\b/"), std::string("c")));
    EXPECT_EQ(split("walk"), std::make_pair(std::string(""), std::string("walk")));
}

TEST(SequenceName, EmptyBaseBecomesL0)
{
    EXPECT_EQ(split("frames/"), std::make_pair(std::string("frames/"), std::string("L0")));
    EXPECT_EQ(split(""), std::make_pair(std::string(""), std::string("L0")));
    EXPECT_EQ(split("/"), std::make_pair(std::string("/"), std::string("L0")));
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

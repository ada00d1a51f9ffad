// PPM header scanning, raster reading and the PGM/PPM writers.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "imagedata/imagedata.h"
#include "support/support.h"

namespace zemb {
namespace {

using test::TempDir;

// Runs the header scanner over the given bytes, as a file would deliver them.
struct Scanned {
    PpmFault fault;
    PpmHeader header;
    int next;  // the first byte after the header, EOF at the end
};

Scanned scan(const std::string& bytes)
{
    std::string copy = bytes;
    std::FILE* in = fmemopen(copy.data(), copy.size(), "rb");
    Scanned result{};
    result.header = {-1, -1, -1};
    result.fault = scan_ppm_header(in, result.header);
    result.next = std::getc(in);
    std::fclose(in);
    return result;
}

TEST(PpmHeader, CommentLinesBetweenMagicAndWidthAreSkipped)
{
    Scanned s = scan("P6\n# made by hand\n# second comment\n640 480\n255\nR");
    EXPECT_EQ(s.fault, PpmFault::none);
    EXPECT_EQ(s.header.width, 640);
    EXPECT_EQ(s.header.height, 480);
    EXPECT_EQ(s.header.maxval, 255);
    EXPECT_EQ(s.next, 'R');
}

TEST(PpmHeader, CommentEndsAtCarriageReturnAloneOrBeforeLineFeed)
{
    EXPECT_EQ(scan("P6\r# comment\r3 2\r255\rX").next, 'X');
    Scanned crlf = scan("P6\r\n# comment\r\n3 2\n255\nX");
    EXPECT_EQ(crlf.fault, PpmFault::none);
    EXPECT_EQ(crlf.header.width, 3);
    EXPECT_EQ(crlf.next, 'X');
}

TEST(PpmHeader, OneLineHeaderConsumesTheSingleBlankAfterMaxval)
{
    Scanned s = scan("P6 640 480 255  next");
    EXPECT_EQ(s.fault, PpmFault::none);
    EXPECT_EQ(s.header.height, 480);
    EXPECT_EQ(s.next, ' ');  // only one character is taken after maxval
}

TEST(PpmHeader, CrLfAfterMaxvalLeavesTheLineFeedAsFirstRasterByte)
{
    EXPECT_EQ(scan("P6\n2 2\n255\r\nabc").next, '\n');
}

TEST(PpmHeader, EndOfFileBeforeTheNumbersIsRefused)
{
    EXPECT_EQ(scan("").fault, PpmFault::ends_early);
    EXPECT_EQ(scan("P6").fault, PpmFault::ends_early);
    EXPECT_EQ(scan("P6\n# never ends").fault, PpmFault::ends_early);
    EXPECT_EQ(scan("P6\n640").fault, PpmFault::ends_early);
    EXPECT_EQ(scan("P6\n640 480 ").fault, PpmFault::ends_early);
    Scanned s = scan("P6\n640 480");
    EXPECT_EQ(s.header.width, -1) << "header left untouched on failure";
}

TEST(PpmHeader, NumbersThatAreNotPlainDecimalsAreRefused)
{
    EXPECT_EQ(scan("P6\nabc 480 255\n").fault, PpmFault::bad_number);
    EXPECT_EQ(scan("P6\n640 # no comment here\n480 255\n").fault, PpmFault::bad_number);
    EXPECT_EQ(scan("P6\n-3 480 255\n").fault, PpmFault::bad_number);
    EXPECT_EQ(scan("P6\n640 - 255\n").fault, PpmFault::bad_number);
    EXPECT_EQ(scan("P6\n99999999999 480 255\n").fault, PpmFault::too_large);
    EXPECT_EQ(scan("P6\n2147483648 1 255\n").fault, PpmFault::too_large);
    Scanned largest = scan("P6\n2147483647 1 255\n");
    EXPECT_EQ(largest.fault, PpmFault::none);
    EXPECT_EQ(largest.header.width, 2147483647);
}

TEST(PpmHeader, OtherFormatsAndSampleSizesAreRefused)
{
    EXPECT_EQ(scan("P3\n2 2\n255\n").fault, PpmFault::not_p6);  // text colour
    EXPECT_EQ(scan("P5\n2 2\n255\n").fault, PpmFault::not_p6);  // grey
    EXPECT_EQ(scan("P66\n2 2\n255\n").fault, PpmFault::not_p6);
    EXPECT_EQ(scan("P6\n2 2\n65535\n").fault, PpmFault::bad_maxval);  // 16-bit
    EXPECT_EQ(scan("P6\n2 2\n256\n").fault, PpmFault::bad_maxval);
    EXPECT_EQ(scan("P6\n2 2\n0\n").fault, PpmFault::bad_maxval);
    EXPECT_EQ(scan("P6\n2 2\n1\n").fault, PpmFault::none);
}

TEST(PpmHeader, ZeroSizeIsAHeaderLikeAnyOther)
{
    Scanned s = scan("P6\n0 0\n255\n");
    EXPECT_EQ(s.fault, PpmFault::none);
    EXPECT_EQ(s.header.width, 0);
}

class PpmFiles : public ::testing::Test {
protected:
    TempDir dir;
    std::string path(const std::string& name) { return dir / name; }
};

TEST_F(PpmFiles, ReadPpmFillsPlanesRowsFirstFromAWidthFirstFile)
{
    std::string file = path("f.ppm");
    test::write_file(file, test::make_ppm(3, 2, [](int r, int c) {
                         return test::Rgb{std::uint8_t(10 * r + c), std::uint8_t(100 + c), 7};
                     }));
    BytePlanes frame = alloc_byte_planes(3, 6);
    int rows = 0, cols = 0;
    ASSERT_EQ(read_ppm(file.c_str(), rows, cols, frame), 1);
    EXPECT_EQ(rows, 2);
    EXPECT_EQ(cols, 3);
    EXPECT_EQ(frame[0][4], 11);  // row 1, column 1
    EXPECT_EQ(frame[1][5], 102);
    EXPECT_EQ(frame[2][0], 7);

    int size_rows = 0, size_cols = 0;
    EXPECT_EQ(read_ppm_size(file.c_str(), size_rows, size_cols), 1);
    EXPECT_EQ(size_rows, 2);
    EXPECT_EQ(size_cols, 3);
}

TEST_F(PpmFiles, LargeFrameIsReadWhole)
{
    std::string file = path("big.ppm");
    std::string bytes = "P6\n# a\n# b\n640 480\n255\n";
    for (int i = 0; i < 640 * 480; ++i)
        bytes += std::string{char(i % 251), char(i % 241), char(i % 239)};
    test::write_file(file, bytes);
    BytePlanes frame = alloc_byte_planes(3, 640 * 480);
    int rows = 0, cols = 0;
    ASSERT_EQ(read_ppm(file.c_str(), rows, cols, frame), 1);
    EXPECT_EQ(rows, 480);
    EXPECT_EQ(cols, 640);
    for (int i : {0, 4095, 4096, 307199})
        EXPECT_EQ(frame[2][i], i % 239) << i;
}

TEST_F(PpmFiles, ShortRasterKeepsOldSamplesPastItsEndAndStillCountsAsRead)
{
    std::string file = path("short.ppm");
    // Two whole pixels and the red sample of a third, of four.
    test::write_file(file, std::string("P6\n2 2\n255\n") + "abcdefg");
    BytePlanes frame = alloc_byte_planes(3, 4);
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 4; ++i)
            frame[k][i] = 99;
    int rows = 0, cols = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_ppm(file.c_str(), rows, cols, frame), 1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("5 of 12 bytes short"), std::string::npos) << err;
    EXPECT_EQ(frame[0][1], 'd');
    EXPECT_EQ(frame[0][2], 'g');
    EXPECT_EQ(frame[1][2], 99);
    EXPECT_EQ(frame[0][3], 99);
}

TEST_F(PpmFiles, FrameLargerThanThePlaneSetIsRefusedUntouched)
{
    std::string file = path("large.ppm");
    test::write_file(file, test::make_ppm(4, 4, [](int, int) { return test::Rgb{1, 2, 3}; }));
    BytePlanes frame = alloc_byte_planes(3, 15);
    int rows = 5, cols = 6;
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_ppm(file.c_str(), rows, cols, frame), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("large.ppm"), std::string::npos);
    EXPECT_EQ(rows, 5);
    EXPECT_EQ(cols, 6);
    EXPECT_EQ(frame[0][0], 0);
}

TEST_F(PpmFiles, FrameOfAnotherSizeIsRefusedWithBothSizesNamed)
{
    std::string file = path("other.ppm");
    // Same pixel count, other shape: must still be refused.
    test::write_file(file, test::make_ppm(2, 3, [](int, int) { return test::Rgb{1, 2, 3}; }));
    BytePlanes frame = alloc_byte_planes(3, 6);
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_ppm_frame(file.c_str(), 2, 3, frame), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("frame is 2 x 3, not 3 x 2"), std::string::npos) << err;
    EXPECT_EQ(frame[0][0], 0);
    EXPECT_EQ(read_ppm_frame(file.c_str(), 3, 2, frame), 1);
    EXPECT_EQ(frame[0][0], 1);
}

TEST_F(PpmFiles, MissingFileIsReportedOnStandardOutputAndLeavesSizesAlone)
{
    std::string file = path("missing.ppm");
    int rows = 7, cols = 8;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_ppm_size(file.c_str(), rows, cols), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Errore apertura file " + file + "\n");
    EXPECT_NE(err.find("cannot open"), std::string::npos);
    EXPECT_EQ(rows, 7);
    EXPECT_EQ(cols, 8);
}

TEST_F(PpmFiles, WritePgmPutsWidthFirstAndRowsWhole)
{
    std::string file = path("m.pgm");
    std::string mask(320 * 240, '\0');
    mask[320] = char(255);  // row 1, column 0
    ASSERT_EQ(write_pgm(240, 320, reinterpret_cast<const std::uint8_t*>(mask.data()), file.c_str()),
              1);
    std::string bytes = test::read_file(file);
    EXPECT_EQ(bytes.size(), 15u + 76800u);
    EXPECT_EQ(bytes.substr(0, 15), "P5\n320 240\n255\n");
    EXPECT_EQ(bytes.substr(15), mask);

    ASSERT_EQ(write_pgm(0, 5, nullptr, file.c_str()), 1);
    EXPECT_EQ(test::read_file(file), "P5\n5 0\n255\n");
}

TEST_F(PpmFiles, WritePpmInterleavesThePlanesAndReadsBack)
{
    std::string file = path("img.ppm");
    const int rows = 720, cols = 960;  // a model image of a 320 x 240 frame with n = 3
    BytePlanes image = alloc_byte_planes(3, rows * cols);
    for (int i = 0; i < rows * cols; ++i) {
        image[0][i] = std::uint8_t(i);
        image[1][i] = std::uint8_t(i >> 8);
        image[2][i] = std::uint8_t(i >> 16);
    }
    ASSERT_EQ(write_ppm(rows, cols, image, file.c_str()), 1);
    std::string bytes = test::read_file(file);
    EXPECT_EQ(bytes.substr(0, 15), "P6\n960 720\n255\n");
    EXPECT_EQ(bytes.size(), 15u + 3u * rows * cols);
    BytePlanes back = alloc_byte_planes(3, rows * cols);
    int r = 0, c = 0;
    ASSERT_EQ(read_ppm(file.c_str(), r, c, back), 1);
    EXPECT_EQ(r, rows);
    EXPECT_EQ(c, cols);
    for (int k = 0; k < 3; ++k)
        EXPECT_TRUE(std::equal(back[k], back[k] + rows * cols, image[k])) << k;
}

TEST_F(PpmFiles, WriteIntoADirectoryFailsAndTouchesNothing)
{
    std::string target = path("taken.pgm");
    ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
    std::uint8_t mask[4] = {};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_pgm(2, 2, mask, target.c_str()), 0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Errore apertura file " + target + "\n");
    struct stat status;
    ASSERT_EQ(stat(target.c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
}

TEST_F(PpmFiles, WriteToAFullDeviceIsAFailure)
{
    std::uint8_t mask[64 * 64] = {};
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_pgm(64, 64, mask, "/dev/full"), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("write failed"), std::string::npos);
}

TEST_F(PpmFiles, WriteCutShortByAFileSizeLimitLeavesNoPartialFile)
{
    std::string file = path("cut.ppm");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {1000, 1000};
        setrlimit(RLIMIT_FSIZE, &limit);
        BytePlanes image = alloc_byte_planes(3, 100 * 100);
        std::fclose(stderr);
        _exit(write_ppm(100, 100, image, file.c_str()) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "write_ppm reported success";
    EXPECT_FALSE(test::file_exists(file));
}

}  // namespace
}  // namespace zemb

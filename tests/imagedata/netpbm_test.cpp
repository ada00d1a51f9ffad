// PPM header scanning, raster reading, and the file readers and writers with
// what they report for damaged, foreign, missing and unwritable files.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>

#include "imagedata/imagedata.h"
#include "support/support.h"

namespace zemb {
namespace {

using test::TempDir;

// ---- Header scan --------------------------------------------------------------

struct ScanCase {
    std::string bytes;
    PpmFault fault;
    PpmHeader header;  // when accepted
    int next;          // the first byte after an accepted header, EOF at the end
};

TEST(PpmHeader, ScansAsTheFormatAllowsAndRefusesEverythingElseUntouched)
{
    const PpmHeader untouched{-1, -1, -1};
    const ScanCase cases[] = {
        // Comments between magic and width, ended by LF, CR or CR LF.
        {"P6\n# made by hand\n# second comment\n640 480\n255\nR",
         PpmFault::none,
         {640, 480, 255},
         'R'},
        {"P6\r# comment\r3 2\r255\rX", PpmFault::none, {3, 2, 255}, 'X'},
        {"P6\r\n# comment\r\n3 2\n255\nX", PpmFault::none, {3, 2, 255}, 'X'},
        // Exactly one character ends the header, whatever it is.
        {"P6 640 480 255  next", PpmFault::none, {640, 480, 255}, ' '},
        {"P6\n2 2\n255\r\nabc", PpmFault::none, {2, 2, 255}, '\n'},
        {"P6\n2147483647 1 255\n", PpmFault::none, {2147483647, 1, 255}, EOF},
        {"P6\n2 2\n1\n", PpmFault::none, {2, 2, 1}, EOF},
        {"P6\n0 0\n255\n", PpmFault::none, {0, 0, 255}, EOF},
        // End of file before the three numbers.
        {"", PpmFault::ends_early, {}, 0},
        {"P6", PpmFault::ends_early, {}, 0},
        {"P6\n# never ends", PpmFault::ends_early, {}, 0},
        {"P6\n640", PpmFault::ends_early, {}, 0},
        {"P6\n640 480 ", PpmFault::ends_early, {}, 0},
        {"P6\n640 480", PpmFault::ends_early, {}, 0},
        // Numbers that are not plain decimals, or too large for an int.
        {"P6\nabc 480 255\n", PpmFault::bad_number, {}, 0},
        {"P6\n640 # no comment here\n480 255\n", PpmFault::bad_number, {}, 0},
        {"P6\n-3 480 255\n", PpmFault::bad_number, {}, 0},
        {"P6\n640 - 255\n", PpmFault::bad_number, {}, 0},
        {"P6\n99999999999 480 255\n", PpmFault::too_large, {}, 0},
        {"P6\n2147483648 1 255\n", PpmFault::too_large, {}, 0},
        // Other formats and sample sizes.
        {"P3\n2 2\n255\n", PpmFault::not_p6, {}, 0},
        {"P5\n2 2\n255\n", PpmFault::not_p6, {}, 0},
        {"P66\n2 2\n255\n", PpmFault::not_p6, {}, 0},
        {"P6\n2 2\n65535\n", PpmFault::bad_maxval, {}, 0},
        {"P6\n2 2\n256\n", PpmFault::bad_maxval, {}, 0},
        {"P6\n2 2\n0\n", PpmFault::bad_maxval, {}, 0},
    };
    for (const ScanCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        std::string copy = c.bytes;
        std::FILE* in = fmemopen(copy.data(), copy.size(), "rb");
        PpmHeader header = untouched;
        EXPECT_EQ(scan_ppm_header(in, header), c.fault);
        const PpmHeader expected = c.fault == PpmFault::none ? c.header : untouched;
        EXPECT_EQ(header.width, expected.width);
        EXPECT_EQ(header.height, expected.height);
        EXPECT_EQ(header.maxval, expected.maxval);
        if (c.fault == PpmFault::none) {
            EXPECT_EQ(std::getc(in), c.next);
        }
        std::fclose(in);
    }
}

// ---- File readers -------------------------------------------------------------

class PpmFiles : public ::testing::Test {
protected:
    TempDir dir;
    std::string path(const std::string& name) { return dir / name; }
};

TEST_F(PpmFiles, ReadFillsPlanesRowsFirstFromAWidthFirstFile)
{
    std::string file = path("f.ppm");
    test::write_file(file, test::make_ppm(3, 2, [](int r, int c) {
                         return test::Rgb{std::uint8_t(10 * r + c), std::uint8_t(100 + c), 7};
                     }));
    BytePlanes frame = alloc_byte_planes(3, 6);
    const PpmRead read = read_ppm(file.c_str(), frame);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read.rows, 2);
    EXPECT_EQ(read.cols, 3);
    EXPECT_EQ(frame[0][4], 11);  // row 1, column 1
    EXPECT_EQ(frame[1][5], 102);
    EXPECT_EQ(frame[2][0], 7);

    const PpmRead size = read_ppm_size(file.c_str());
    EXPECT_TRUE(size.ok());
    EXPECT_EQ(size.rows, 2);
    EXPECT_EQ(size.cols, 3);
}

TEST_F(PpmFiles, LargeFrameIsReadWhole)
{
    std::string file = path("big.ppm");
    std::string bytes = "P6\n# a\n# b\n640 480\n255\n";
    for (int i = 0; i < 640 * 480; ++i)
        bytes += std::string{char(i % 251), char(i % 241), char(i % 239)};
    test::write_file(file, bytes);
    BytePlanes frame = alloc_byte_planes(3, 640 * 480);
    const PpmRead read = read_ppm_frame(file.c_str(), 480, 640, frame);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read.missing, 0u);
    for (int i : {0, 4095, 4096, 307199})
        EXPECT_EQ(frame[2][i], i % 239) << i;
}

TEST_F(PpmFiles, ShortRasterKeepsOldSamplesPastItsEndAndStillCountsAsRead)
{
    std::string file = path("short.ppm");
    // Two whole pixels and the red sample of a third, of four.
    test::write_file(file, std::string("P6\n2 2\n255\n") + "abcdefg");
    BytePlanes frame = test::planes_of<std::uint8_t>(4, 99);
    const PpmRead read = read_ppm_frame(file.c_str(), 2, 2, frame);
    EXPECT_TRUE(read.ok());
    EXPECT_EQ(read.missing, 5u);
    EXPECT_EQ(read.raster_bytes(), 12u);
    EXPECT_EQ(frame[0][1], 'd');
    EXPECT_EQ(frame[0][2], 'g');
    EXPECT_EQ(frame[1][2], 99);
    EXPECT_EQ(frame[0][3], 99);
}

// Files a run may meet in place of a 6 x 5 frame, each with the fault the
// reader reports; none may change a sample.
TEST_F(PpmFiles, DamagedForeignAndMissingFramesAreRefusedUntouched)
{
    const std::string raster(90, 'x');
    struct Case {
        const char* what;
        std::string bytes;  // written to the file unless it is missing or a folder
        PpmFault fault;
    };
    const Case cases[] = {
        {"missing", "", PpmFault::cannot_open},
        {"a folder", "", PpmFault::ends_early},
        {"empty", "", PpmFault::ends_early},
        {"cut inside the header", "P6\n6 5\n", PpmFault::ends_early},
        {"text form P3", "P3\n6 5\n255\n1 2 3\n", PpmFault::not_p6},
        {"grey P5", "P5\n6 5\n255\n" + std::string(30, 'x'), PpmFault::not_p6},
        {"16-bit samples", "P6\n6 5\n65535\n" + std::string(180, 'x'), PpmFault::bad_maxval},
        {"width beyond int", "P6\n99999999999 5\n255\n" + raster, PpmFault::too_large},
        {"another size", "P6\n5 6\n255\n" + raster, PpmFault::other_size},
        {"a huge header", "P6\n100000 100000\n255\n", PpmFault::other_size},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = path(c.what);
        if (std::string(c.what) == "a folder")
            std::filesystem::create_directory(file);
        else if (std::string(c.what) != "missing")
            test::write_file(file, c.bytes);
        BytePlanes frame = test::planes_of<std::uint8_t>(30, 7);
        const PpmRead read = read_ppm_frame(file.c_str(), 5, 6, frame);
        EXPECT_EQ(read.fault, c.fault);
        EXPECT_EQ(read.error, c.fault == PpmFault::cannot_open ? ENOENT : 0);
        EXPECT_EQ(frame[0][0], 7);
        EXPECT_EQ(frame[2][29], 7);
    }
}

TEST_F(PpmFiles, FrameOfAnotherSizeOrLargerThanThePlanesNamesBothSizes)
{
    std::string file = path("other.ppm");
    // Same pixel count, other shape: must still be refused.
    test::write_file(file, test::make_ppm(2, 3, [](int, int) { return test::Rgb{1, 2, 3}; }));
    BytePlanes frame = alloc_byte_planes(3, 6);
    const PpmRead other = read_ppm_frame(file.c_str(), 2, 3, frame);
    EXPECT_EQ(other.fault, PpmFault::other_size);
    EXPECT_EQ(other.rows, 3);
    EXPECT_EQ(other.cols, 2);
    EXPECT_EQ(other.wanted_rows, 2);
    EXPECT_EQ(other.wanted_cols, 3);
    EXPECT_EQ(frame[0][0], 0);
    EXPECT_TRUE(read_ppm_frame(file.c_str(), 3, 2, frame).ok());
    EXPECT_EQ(frame[0][0], 1);

    BytePlanes small = alloc_byte_planes(3, 5);
    EXPECT_EQ(read_ppm(file.c_str(), small).fault, PpmFault::larger_than_planes);
    EXPECT_EQ(small[0][0], 0);
}

// ---- Writers ------------------------------------------------------------------

TEST_F(PpmFiles, WritePgmPutsWidthFirstAndRowsWhole)
{
    std::string file = path("m.pgm");
    std::string mask(320 * 240, '\0');
    mask[320] = char(255);  // row 1, column 0
    ASSERT_TRUE(
        write_pgm(240, 320, reinterpret_cast<const std::uint8_t*>(mask.data()), file.c_str()).ok());
    std::string bytes = test::read_file(file);
    EXPECT_EQ(bytes.size(), 15u + 76800u);
    EXPECT_EQ(bytes.substr(0, 15), "P5\n320 240\n255\n");
    EXPECT_EQ(bytes.substr(15), mask);

    ASSERT_TRUE(write_pgm(0, 5, nullptr, file.c_str()).ok());
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
    ASSERT_TRUE(write_ppm(rows, cols, image, file.c_str()).ok());
    std::string bytes = test::read_file(file);
    EXPECT_EQ(bytes.substr(0, 15), "P6\n960 720\n255\n");
    EXPECT_EQ(bytes.size(), 15u + 3u * rows * cols);
    BytePlanes back = alloc_byte_planes(3, rows * cols);
    ASSERT_TRUE(read_ppm_frame(file.c_str(), rows, cols, back).ok());
    for (int k = 0; k < 3; ++k)
        EXPECT_TRUE(std::equal(back[k], back[k] + rows * cols, image[k])) << k;
}

TEST_F(PpmFiles, FailedWritesSayWhyAndLeaveNoPartialRegularFile)
{
    std::uint8_t mask[64 * 64] = {};
    // A folder under the name: not opened, and left as it stands.
    const std::string taken = path("taken.pgm");
    ASSERT_EQ(mkdir(taken.c_str(), 0755), 0);
    const FileWrite folder = write_pgm(2, 2, mask, taken.c_str());
    EXPECT_EQ(folder.fault, WriteFault::cannot_open);
    EXPECT_EQ(folder.error, EISDIR);
    struct stat status;
    ASSERT_EQ(stat(taken.c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));

    // A full device: the write fails, and the device is not removed.
    const FileWrite full = write_pgm(64, 64, mask, "/dev/full");
    EXPECT_EQ(full.fault, WriteFault::failed);
    EXPECT_EQ(full.error, ENOSPC);
    EXPECT_FALSE(full.removed);

    // A file-size limit cuts the write short: the partial file goes.
    const std::string cut = path("cut.ppm");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {1000, 1000};
        setrlimit(RLIMIT_FSIZE, &limit);
        BytePlanes image = alloc_byte_planes(3, 100 * 100);
        const FileWrite w = write_ppm(100, 100, image, cut.c_str());
        _exit(w.fault == WriteFault::failed && w.error == EFBIG && w.removed ? 0 : 1);
    }
    int child_status = 0;
    waitpid(child, &child_status, 0);
    ASSERT_TRUE(WIFEXITED(child_status));
    EXPECT_EQ(WEXITSTATUS(child_status), 0) << "write_ppm did not report the cut write";
    EXPECT_FALSE(test::file_exists(cut));
}

}  // namespace
}  // namespace zemb

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
#include <cstring>
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

// Endless input (an unending comment, number or run of blanks, a long word
// in place of the magic) ends the scan at the header limit or sooner.
TEST(PpmHeader, ScanReadsAtMostTheHeaderLimit)
{
    const std::size_t beyond = ppm_header_limit + 1000;
    struct Case {
        const char* what;
        std::string bytes;
        PpmFault fault;
        std::size_t most_read;  // stream position after the scan, at most
    };
    const Case cases[] = {
        {"endless comment", "P6\n#" + std::string(beyond, 'c'), PpmFault::header_too_long,
         ppm_header_limit},
        {"endless number", "P6\n" + std::string(beyond, '7'), PpmFault::header_too_long,
         ppm_header_limit},
        {"endless blanks", std::string(beyond, ' ') + "P6 2 2 255\n", PpmFault::header_too_long,
         ppm_header_limit},
        {"long word for the magic", "P6" + std::string(beyond, 'x'), PpmFault::not_p6, 3},
        {"comment just under the limit",
         "P6\n#" + std::string(ppm_header_limit - 20, 'c') + "\n2 2 255\n", PpmFault::none,
         ppm_header_limit},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string copy = c.bytes;
        std::FILE* in = fmemopen(copy.data(), copy.size(), "rb");
        PpmHeader header;
        EXPECT_EQ(scan_ppm_header(in, header), c.fault);
        EXPECT_LE(std::size_t(std::ftell(in)), c.most_read);
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
        {"a folder", "", PpmFault::not_regular},
        {"a FIFO", "", PpmFault::not_regular},
        {"a link to the zero device", "", PpmFault::not_regular},
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
        const std::string what = c.what;
        if (what == "a folder") {
            std::filesystem::create_directory(file);
        } else if (what == "a FIFO") {
            ASSERT_EQ(mkfifo(file.c_str(), 0644), 0);
        } else if (what == "a link to the zero device") {
            std::filesystem::create_symlink("/dev/zero", file);
        } else if (what != "missing") {
            test::write_file(file, c.bytes);
        }
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

// Temporary files the writers left in the folder.
int leftovers(const TempDir& dir)
{
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        count += entry.path().filename().string().rfind(".zemb-", 0) == 0;
    return count;
}

// Runs `write` in a child process (as an ordinary user when this is root,
// so that file permissions count) and returns its exit status.
template <typename Write>
int in_child(Write write, bool as_ordinary_user = false)
{
    const pid_t child = fork();
    if (child == 0) {
        if (as_ordinary_user && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(99);
        _exit(write());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Whatever stands under an output's name: a write replaces it whole, never
// following a link or writing through a FIFO or device, or refuses it and
// leaves it as it was.
TEST_F(PpmFiles, OutputNamesAreReplacedWholeOrRefusedUntouched)
{
    const std::uint8_t mask[4] = {0, 255, 255, 0};
    const std::string written = std::string("P5\n2 2\n255\n") + std::string(reinterpret_cast<const char*>(mask), 4);
    struct Case {
        const char* what;
        int error;  // of a refusal, 0 when the name is replaced
    };
    const Case cases[] = {
        {"nothing", 0},
        {"an earlier mask", 0},
        {"a link to a file", 0},
        {"a link to /dev/full", 0},
        {"a FIFO", 0},
        {"a folder", EISDIR},
        {"a read-only file", EACCES},
    };
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);  // the ordinary user writes here too
    test::write_file(path("target"), "precious");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string what = c.what, name = path("m.pgm");
        std::filesystem::remove_all(name);
        if (what == "an earlier mask" || what == "a read-only file")
            test::write_file(name, "earlier");
        if (what == "a read-only file") {
            ASSERT_EQ(chmod(name.c_str(), 0444), 0);
        }
        if (what == "a link to a file")
            std::filesystem::create_symlink(path("target"), name);
        if (what == "a link to /dev/full")
            std::filesystem::create_symlink("/dev/full", name);
        if (what == "a FIFO") {
            ASSERT_EQ(mkfifo(name.c_str(), 0644), 0);
        }
        if (what == "a folder")
            std::filesystem::create_directory(name);

        const int error = in_child(
            [&] {
                const FileWrite w = write_pgm(2, 2, mask, name.c_str());
                return w.ok() ? 0 : w.fault == WriteFault::cannot_open ? w.error : 100;
            },
            what == "a read-only file");
        EXPECT_EQ(error, c.error) << std::strerror(error);
        struct stat status;
        ASSERT_EQ(lstat(name.c_str(), &status), 0);
        if (c.error == 0) {
            EXPECT_TRUE(S_ISREG(status.st_mode));
            EXPECT_EQ(test::read_file(name), written);
        } else if (what == "a folder") {
            EXPECT_TRUE(S_ISDIR(status.st_mode));
        } else {
            EXPECT_EQ(test::read_file(name), "earlier");
        }
        EXPECT_EQ(test::read_file(path("target")), "precious");
        EXPECT_EQ(leftovers(dir), 0);
    }
    struct stat device;
    ASSERT_EQ(stat("/dev/full", &device), 0);
    EXPECT_TRUE(S_ISCHR(device.st_mode));
}

TEST_F(PpmFiles, AWriteCutShortLeavesTheEarlierFileWhole)
{
    // A file-size limit cuts the write short: the earlier file stays.
    const std::string cut = path("cut.ppm");
    test::write_file(cut, "earlier");
    const int status = in_child([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {1000, 1000};
        setrlimit(RLIMIT_FSIZE, &limit);
        BytePlanes image = alloc_byte_planes(3, 100 * 100);
        const FileWrite w = write_ppm(100, 100, image, cut.c_str());
        return w.fault == WriteFault::failed && w.error == EFBIG ? 0 : 1;
    });
    EXPECT_EQ(status, 0) << "write_ppm did not report the cut write";
    EXPECT_EQ(test::read_file(cut), "earlier");
    EXPECT_EQ(leftovers(dir), 0);
}

// A stop sweeps the temporary files away while another thread may be
// writing: a file begun after the sweep must not stay behind it.
TEST_F(PpmFiles, OutputsBegunAfterTheStopSweepAreRefusedAndLeaveNothing)
{
    const std::string late = path("late.pgm");
    const int status = in_child([&] {
        remove_unfinished_outputs();
        const std::uint8_t mask[2] = {0, 255};
        const FileWrite w = write_pgm(1, 2, mask, late.c_str());
        return w.fault == WriteFault::cannot_open && w.error == ECANCELED ? 0 : 1;
    });
    EXPECT_EQ(status, 0) << "write_pgm did not refuse the output";
    EXPECT_FALSE(test::file_exists(late));
    EXPECT_EQ(leftovers(dir), 0);
}

}  // namespace
}  // namespace zemb

// The FFmpeg module: loaded by the runs that read a video or a BMP and by no
// other; found beside zemb or where the install rule puts it; refused, saying
// why, when it is missing, broken or from another build, while PPM runs go on
// without it.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "media/media.h"
#include "support/support.h"

namespace zemb {
namespace {

#ifdef ZEMB_FFMPEG_MODULE

namespace fs = std::filesystem;
using test::RunResult;

// Three PPM frames f.1.ppm .. f.3.ppm, a "BMP" g.1.bmp of magic bytes only,
// and a text file.
void write_inputs(const test::TempDir& dir)
{
    for (int k = 1; k <= 3; ++k)
        test::write_file(
            dir / ("f." + std::to_string(k) + ".ppm"), test::make_ppm(4, 3, [&](int r, int c) {
                return test::Rgb{std::uint8_t(40 * k), std::uint8_t(r), std::uint8_t(c)};
            }));
    test::write_file(dir / "g.1.bmp", "BM");
    test::write_file(dir / "notes.txt", "no video\n");
}

// The files the dynamic loader loads for a run of `exe` in `dir`, one a line.
std::string loaded_files(const std::string& exe, const std::string& dir,
                         const std::vector<std::string>& args)
{
    std::vector<std::string> command = {"LD_DEBUG=files", exe};
    command.insert(command.end(), args.begin(), args.end());
    std::istringstream lines(test::run_program(test::find_tool("env"), dir, command).err);
    std::string files;
    for (std::string line; std::getline(lines, line);)
        if (line.find("file=") != std::string::npos)
            files += line + "\n";
    return files;
}

TEST(FfmpegModule, OnlyRunsThatReadAVideoOrABmpLoadIt)
{
    test::TempDir dir;
    write_inputs(dir);
    const struct {
        const char* run;
        std::vector<std::string> args;
        bool loads;
    } cases[] = {
        {"the usage text", {}, false},
        {"PPM frames", {"f", "1", "3", "-K", "2"}, false},
        {"a pattern of PPM frames", {"f.%d.ppm", "1", "3", "-K", "2"}, false},
        {"a name that is no file", {"missing.avi", "1", "3"}, false},
        {"a pattern of BMP frames", {"g.%d.bmp", "1", "1"}, true},
        {"an existing file, asked whether it is a video", {"notes.txt", "1", "3"}, true},
    };
    for (const auto& c : cases) {
        const std::string files = loaded_files(ZEMB_EXE, dir.path(), c.args);
        EXPECT_EQ(files.find("zemb-ffmpeg.so") != std::string::npos, c.loads) << c.run;
        if (!c.loads) {
            EXPECT_EQ(files.find("libav"), std::string::npos) << c.run << ":\n" << files;
        }
    }
}

// Otherwise the tests that read video and BMP in process would skip.
TEST(FfmpegModule, TheTestProgramsFindItBesideThemAsZembDoes)
{
    EXPECT_TRUE(media::has_decoder(media::Format::video));
    EXPECT_TRUE(media::has_decoder(media::Format::bmp));
}

TEST(FfmpegModule, MissingBrokenOrFromAnotherBuildIsSaidWhilePpmRunsGoOn)
{
    test::TempDir dir;
    write_inputs(dir);
    const struct {
        const char* module;
        std::string bytes;  // of zemb-ffmpeg.so beside zemb; none when empty
        const char* says;
    } cases[] = {
        {"none", "", "BMP files need the FFmpeg module zemb-ffmpeg.so: found neither at "},
        {"no library", "garbage",
         "BMP files need the FFmpeg module zemb-ffmpeg.so: cannot load it: "},
        {"from another build", test::read_file(ZEMB_STALE_MODULE),
         "zemb-ffmpeg.so is from another build (interface 0123456789abcdef, "},
        // Mapped past its end it would die of SIGBUS.
        {"cut short", test::read_file(ZEMB_FFMPEG_MODULE).substr(0, 20000),
         "zemb-ffmpeg.so is cut short (20000 bytes, its program headers need "},
    };
    for (const auto& c : cases) {
        const std::string bin = dir / c.module;
        fs::create_directories(bin);
        fs::copy_file(ZEMB_EXE, bin + "/zemb");
        if (!c.bytes.empty())
            test::write_file(bin + "/zemb-ffmpeg.so", c.bytes);

        const RunResult ppm =
            test::run_program(bin + "/zemb", dir.path(), {"f", "1", "3", "-K", "2", "-o", bin});
        EXPECT_EQ(ppm.status, 0) << c.module << ppm.err;
        EXPECT_TRUE(test::file_exists(bin + "/fMask.3.pgm")) << c.module;
        const RunResult bmp = test::run_program(bin + "/zemb", dir.path(), {"g.%d.bmp", "1", "1"});
        EXPECT_EQ(bmp.status, 1) << c.module;
        EXPECT_NE(bmp.err.find(c.says), std::string::npos) << bmp.err;
    }
}

TEST(FfmpegModule, AnInstalledZembFindsItWhereTheInstallRulePutsIt)
{
    test::TempDir dir;
    write_inputs(dir);
    const RunResult install = test::run_program(
        ZEMB_CMAKE, dir.path(), {"--install", ZEMB_BUILD_DIR, "--prefix", dir / "usr"});
    ASSERT_EQ(install.status, 0) << install.out << install.err;
    EXPECT_FALSE(test::file_exists(dir / "usr/bin/zemb-ffmpeg.so"));
    // The module read the file: its own words, not a missing module's.
    const RunResult bmp =
        test::run_program(dir / "usr/bin/zemb", dir.path(), {"g.%d.bmp", "1", "1"});
    EXPECT_EQ(bmp.status, 1);
    EXPECT_NE(bmp.err.find("g.1.bmp: damaged BMP"), std::string::npos) << bmp.err;
}

#endif

}  // namespace
}  // namespace zemb

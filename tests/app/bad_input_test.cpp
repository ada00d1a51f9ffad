// The executable against input nobody checked: damaged, foreign or missing
// frames, outputs that cannot be written, names at and past the system's
// limits, and switch values typed wrong. Every case names the message, the
// exit status and the files that exist afterwards.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/support.h"

namespace zemb {
namespace {

using test::run_zemb;
using test::RunResult;
using test::TempDir;

constexpr int width = 6;
constexpr int height = 5;
constexpr std::size_t header_bytes = 11;  // "P6\n6 5\n255\n"
// Runs that could hang (a FIFO, an endless device) are ended after this.
constexpr unsigned hang_seconds = 10;

std::string raster_of(const std::string& ppm) { return ppm.substr(header_bytes); }

// A still background with a 2 x 2 square that moves one column per frame, so
// that every frame differs from the one before.
std::string good_frame(int number)
{
    int left = number % 5;
    return test::make_ppm(width, height, [&](int r, int c) {
        if (r >= 1 && r < 3 && c >= left && c < left + 2)
            return test::Rgb{200, 30, 30};
        return test::Rgb{std::uint8_t(80 + 9 * r), std::uint8_t(110 + 7 * c), 90};
    });
}

// Lowers one of this process's resource limits (inherited by the runs it
// starts) and puts it back afterwards.
class ResourceLimit {
public:
    ResourceLimit(int resource, rlim_t value) : resource_(resource)
    {
        getrlimit(resource_, &saved_);
        struct rlimit lowered = saved_;
        lowered.rlim_cur = value;
        setrlimit(resource_, &lowered);
    }
    ~ResourceLimit() { setrlimit(resource_, &saved_); }

private:
    int resource_;
    struct rlimit saved_;
};

class BadInput : public ::testing::Test {
protected:
    std::string name(int number) const { return "seq." + std::to_string(number) + ".ppm"; }
    void write_sequence(int first, int last)
    {
        for (int k = first; k <= last; ++k)
            test::write_file(dir / name(k), good_frame(k));
    }
    bool exists(const std::string& file) const { return test::file_exists(dir / file); }
    // Names of the outputs in the folder, in a fixed order.
    std::vector<std::string> outputs() const
    {
        std::vector<std::string> found;
        for (const char* kind : {"Mask", "Model"})
            for (int k = 0; k <= 9; ++k) {
                std::string file = std::string("seq") + kind + "." + std::to_string(k) +
                                   (kind[1] == 'a' ? ".pgm" : ".ppm");
                if (exists(file))
                    found.push_back(file);
            }
        return found;
    }
    TempDir dir;
};

// ---- Frames -----------------------------------------------------------------

struct FrameCase {
    enum Kind { file, missing, folder, fifo, device };
    const char* what;
    std::string bytes;    // the file's content, for kind file
    Kind kind;
    const char* message;  // expected on standard error
};

// Damaged and foreign frame files, each described as the reader reports it.
std::vector<FrameCase> damaged_frames(int number)
{
    std::string good = good_frame(number);
    return {
        {"missing", "", FrameCase::missing, "cannot open: No such file or directory"},
        {"empty", "", FrameCase::file, "header ends before width, height and maxval"},
        {"cut inside the header", "P6\n6 5\n", FrameCase::file,
         "header ends before width, height and maxval"},
        {"text form P3", "P3\n6 5\n255\n1 2 3\n", FrameCase::file,
         "not a binary colour PPM (magic word is not P6)"},
        {"grey P5", "P5\n6 5\n255\n" + std::string(30, 'x'), FrameCase::file,
         "not a binary colour PPM (magic word is not P6)"},
        {"16-bit samples", "P6\n6 5\n65535\n" + std::string(180, 'x'), FrameCase::file,
         "maxval is not 1 to 255 (only 8-bit samples are read)"},
        {"width beyond int", "P6\n99999999999 5\n255\n" + raster_of(good), FrameCase::file,
         "width, height or maxval is too large"},
        {"a folder", "", FrameCase::folder, "is a folder, not a frame file"},
        {"a FIFO", "", FrameCase::fifo, "is a FIFO, not a frame file"},
        {"a link to /dev/zero", "", FrameCase::device, "is a device, not a frame file"},
        {"an endless comment", "P6\n#" + std::string(40000, 'c'), FrameCase::file,
         "header runs past 32768 bytes without width, height and maxval"},
    };
}

void make_frame(const TempDir& dir, const std::string& file, const FrameCase& c)
{
    std::filesystem::remove(dir / file);
    if (c.kind == FrameCase::folder)
        std::filesystem::create_directory(dir / file);
    else if (c.kind == FrameCase::fifo)
        mkfifo((dir / file).c_str(), 0644);
    else if (c.kind == FrameCase::device)
        std::filesystem::create_symlink("/dev/zero", dir / file);
    else if (c.kind == FrameCase::file)
        test::write_file(dir / file, c.bytes);
}

TEST_F(BadInput, UnreadableFirstFrameStopsBeforeTheEchoWithStatusOne)
{
    for (const FrameCase& c : damaged_frames(1)) {
        SCOPED_TRACE(c.what);
        write_sequence(2, 3);
        make_frame(dir, name(1), c);
        RunResult r = run_zemb(dir.path(), {"seq", "1", "3", "-K", "2", "-m"}, hang_seconds);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.kind == FrameCase::missing ? "Errore apertura file seq.1.ppm\n" : "");
        EXPECT_NE(r.err.find(std::string("zemb: seq.1.ppm: ") + c.message), std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("zemb: seq.1.ppm: the first frame gives the run its size; cannot start\n"),
                  std::string::npos)
            << r.err;
        EXPECT_TRUE(outputs().empty());
    }
}

TEST_F(BadInput, FirstFrameAnnouncingAnImageTooLargeToHoldStopsWithStatusOne)
{
    struct Case {
        const char* header;
        const char* n;
        const char* message;
    };
    for (const Case& c : {
             Case{"P6\n2147483647 2147483647\n255\n", "3", "too large for model images with n = 3"},
             Case{"P6\n65536 65536\n255\n", "1", "MiB, more than the"},
         }) {
        SCOPED_TRACE(c.header);
        test::write_file(dir / name(1), c.header);
        RunResult r = run_zemb(dir.path(), {"seq", "1", "3", "-n", c.n});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_TRUE(outputs().empty());
    }
}

// Sizes a run cannot hold under an address-space limit, as ulimit -v sets
// it: refused by the memory check, never left to fail an allocation or to
// meet the out-of-memory killer.
TEST_F(BadInput, FirstFrameTooLargeForTheAddressSpaceLimitStopsAtTheCheck)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer needs more address space than any such limit";
#endif
    struct Case {
        const char* header;
        rlim_t limit;
    };
    for (const Case& c : {Case{"P6 300000000 1 255\n", rlim_t(1) << 30},
                          Case{"P6\n3000000 1\n255\n", rlim_t(200000) * 1024}}) {
        SCOPED_TRACE(c.header);
        test::write_file(dir / name(1), c.header);
        RunResult r;
        {
            ResourceLimit limit(RLIMIT_AS, c.limit);
            r = run_zemb(dir.path(), {"seq", "1", "3", "-n", "1"});
        }
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("MiB this process can get (its address-space limit, ulimit -v)\n"),
                  std::string::npos)
            << r.err;
    }
}

TEST_F(BadInput, FirstFrameWithAShortRasterStartsTheRunFromWhatItHas)
{
    // The header gives the size; the missing samples stay zero, and the
    // shortfall is reported.
    write_sequence(2, 3);
    test::write_file(dir / name(1), good_frame(1).substr(0, header_bytes + 40));
    RunResult r = run_zemb(dir.path(), {"seq", "1", "3", "-K", "2"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("zemb: seq.1.ppm: raster is 50 of 90 bytes short; the samples past its "
                         "end keep their previous values\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(outputs(), (std::vector<std::string>{"seqMask.3.pgm"}));
}

// A later frame that cannot be read is replaced by the frame before it: the
// run's masks must equal those of a run in which that frame is a copy of its
// predecessor. A short raster replaces only the samples it lacks.
TEST_F(BadInput, UnreadableLaterFrameRepeatsThePreviousPixelsAndTheRunSucceeds)
{
    std::vector<FrameCase> cases = damaged_frames(0);
    std::string other_size = test::make_ppm(5, 6, [](int, int) { return test::Rgb{1, 2, 3}; });
    cases.push_back({"another size", other_size, FrameCase::file,
                     "frame is 5 x 6, not 6 x 5 like the first frame"});
    cases.push_back({"a huge header", "P6\n100000 100000\n255\n", FrameCase::file,
                     "frame is 100000 x 100000, not 6 x 5 like the first frame"});
    for (int bad : {2, 4}) {  // a calibration frame, an online frame
        for (const FrameCase& c : cases) {
            SCOPED_TRACE(std::string(c.what) + " as frame " + std::to_string(bad));
            write_sequence(1, 5);
            test::write_file(dir / name(bad), good_frame(bad - 1));
            ASSERT_EQ(run_zemb(dir.path(), {"seq", "1", "5", "-K", "2"}).status, 0);
            std::vector<std::string> expected;
            for (int k = 3; k <= 5; ++k)
                expected.push_back(test::read_file(dir / ("seqMask." + std::to_string(k) + ".pgm")));

            make_frame(dir, name(bad), c);
            RunResult r = run_zemb(dir.path(), {"seq", "1", "5", "-K", "2"}, hang_seconds);
            EXPECT_EQ(r.status, 0);
            EXPECT_NE(r.err.find("zemb: " + name(bad) + ": " + c.message), std::string::npos)
                << r.err;
            EXPECT_EQ(r.out.find("Errore apertura file") != std::string::npos,
                      c.kind == FrameCase::missing);
            EXPECT_EQ(outputs(),
                      (std::vector<std::string>{"seqMask.3.pgm", "seqMask.4.pgm", "seqMask.5.pgm"}));
            for (int k = 3; k <= 5; ++k)
                EXPECT_EQ(test::read_file(dir / ("seqMask." + std::to_string(k) + ".pgm")),
                          expected[std::size_t(k - 3)])
                    << "mask " << k;
            std::filesystem::remove_all(dir / name(bad));
        }
    }
}

TEST_F(BadInput, LaterFrameWithAShortRasterKeepsThePreviousSamplesPastItsEnd)
{
    write_sequence(1, 5);
    std::string repaired = good_frame(4).substr(0, header_bytes + 40) +
                           raster_of(good_frame(3)).substr(40);
    test::write_file(dir / name(4), repaired);
    ASSERT_EQ(run_zemb(dir.path(), {"seq", "1", "5", "-K", "2"}).status, 0);
    std::string expected = test::read_file(dir / "seqMask.4.pgm");

    test::write_file(dir / name(4), good_frame(4).substr(0, header_bytes + 40));
    RunResult r = run_zemb(dir.path(), {"seq", "1", "5", "-K", "2"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("zemb: seq.4.ppm: raster is 50 of 90 bytes short"), std::string::npos)
        << r.err;
    EXPECT_EQ(test::read_file(dir / "seqMask.4.pgm"), expected);
}

// ---- Outputs ----------------------------------------------------------------

// Whatever stands under an output's name is replaced whole (a FIFO is not
// waited on; imagedata's tests try links and more), except a folder: that
// output is lost, counted, and the run goes on.
TEST_F(BadInput, OutputNamesTakenByAFifoAreReplacedAndByAFolderCounted)
{
    struct Case {
        const char* what;
        std::string blocked;  // the output whose name is taken
        int status;
        const char* out;  // expected on standard output, or ""
        const char* err;  // expected on standard error
    };
    for (const Case& c : {
             Case{"model image name taken by a folder", "seqModel.2.ppm", 1,
                  "Errore apertura file seqModel.2.ppm\n",
                  "zemb: seqModel.2.ppm: cannot open: Is a directory\n"
                  "zemb: 1 output file could not be written\n"},
             Case{"model image name a FIFO", "seqModel.3.ppm", 0, "", ""},
         }) {
        SCOPED_TRACE(c.what);
        TempDir run;
        for (int k = 1; k <= 5; ++k)
            test::write_file(run / name(k), good_frame(k));
        if (c.status != 0)
            std::filesystem::create_directory(run / c.blocked);
        else
            mkfifo((run / c.blocked).c_str(), 0644);
        RunResult r = run_zemb(run.path(), {"seq", "1", "5", "-K", "2", "-m"}, hang_seconds);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out.substr(r.out.size() - 28), "\nHit any key to continue...\n");
        for (int k = 1; k <= 5; ++k) {
            std::string model = "seqModel." + std::to_string(k) + ".ppm";
            std::string mask = "seqMask." + std::to_string(k) + ".pgm";
            struct stat status;
            if (model != c.blocked || c.status == 0) {
                EXPECT_TRUE(lstat((run / model).c_str(), &status) == 0 && S_ISREG(status.st_mode))
                    << model;
            }
            if (mask != c.blocked || c.status == 0) {
                EXPECT_EQ(test::file_exists(run / mask), k >= 3) << mask;
            }
        }
    }
}

TEST_F(BadInput, WritesCutShortByAFullDiskLeaveTheEarlierFilesWhole)
{
    // 40 x 30 frames: masks of 1213 bytes fit under the limit, model images
    // of 32414 bytes do not. The first run, unlimited, leaves model images
    // that the second must not touch.
    for (int k = 1; k <= 4; ++k)
        test::write_file(dir / name(k), test::make_ppm(40, 30, [k](int r, int c) {
                             return test::Rgb{std::uint8_t(r * 8), std::uint8_t(c * 6), std::uint8_t(k)};
                         }));
    ASSERT_EQ(run_zemb(dir.path(), {"seq", "1", "4", "-K", "2", "-m"}).status, 0);
    std::vector<std::string> earlier;
    for (int k = 1; k <= 4; ++k)
        earlier.push_back(test::read_file(dir / ("seqModel." + std::to_string(k) + ".ppm")));
    // Another first frame: every model image of the second run differs.
    test::write_file(dir / name(1), test::make_ppm(40, 30, [](int, int) { return test::Rgb{9, 9, 9}; }));
    RunResult r;
    {
        ResourceLimit limit(RLIMIT_FSIZE, 8192);
        r = run_zemb(dir.path(), {"seq", "1", "4", "-K", "2", "-m"});
    }
    EXPECT_EQ(r.status, 1);
    for (int k = 1; k <= 4; ++k) {
        std::string model = "seqModel." + std::to_string(k) + ".ppm";
        EXPECT_NE(r.err.find("zemb: " + model + ": write failed: File too large\n"), std::string::npos)
            << r.err;
        EXPECT_EQ(test::read_file(dir / model), earlier[std::size_t(k - 1)]) << model;
    }
    EXPECT_NE(r.err.find("zemb: 4 output files could not be written\n"), std::string::npos);
    EXPECT_EQ(test::read_file(dir / "seqMask.4.pgm").size(), 13u + 40 * 30);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_NE(entry.path().filename().string().rfind(".zemb-", 0), 0u) << entry.path();
}

TEST_F(BadInput, ConsoleOutputThatCannotBeWrittenFailsTheRun)
{
    // The limit cuts the settings echo short; the masks still fit under it.
    write_sequence(1, 4);
    RunResult r;
    {
        ResourceLimit limit(RLIMIT_FSIZE, 200);
        r = run_zemb(dir.path(), {"seq", "1", "4", "-K", "2"});
    }
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.size(), 200u);
    EXPECT_NE(r.err.find("zemb: standard output: write failed"), std::string::npos) << r.err;
    EXPECT_EQ(outputs(), (std::vector<std::string>{"seqMask.3.pgm", "seqMask.4.pgm"}));
}

// ---- Names ------------------------------------------------------------------

TEST_F(BadInput, LongSequenceNamesWorkUpToTheSystemLimitsAndFailPlainlyBeyond)
{
    // 300 characters through real nested folders.
    std::string folders = std::string(99, 'd') + "/" + std::string(99, 'e') + "/" +
                          std::string(96, 'f') + "/";
    std::filesystem::create_directories(dir / folders);
    for (int k = 1; k <= 3; ++k)
        test::write_file(dir / (folders + name(k)), good_frame(k));
    RunResult deep = run_zemb(dir.path(), {folders + "seq", "1", "3", "-K", "2"});
    ASSERT_EQ(folders.size() + 3, 300u);
    EXPECT_EQ(deep.status, 0) << deep.err;
    EXPECT_NE(deep.out.find("ZEMB on sequence " + folders + "seq\n"), std::string::npos);
    EXPECT_TRUE(exists("seqMask.3.pgm"));

    // 5000 characters: more than any path the system opens.
    std::string dots;
    while (dots.size() < 4996)
        dots += "./";
    std::string huge = dots + "/seq";
    ASSERT_EQ(huge.size(), 5000u);
    RunResult beyond = run_zemb(dir.path(), {huge, "1", "3"});
    EXPECT_EQ(beyond.status, 1);
    EXPECT_EQ(beyond.out, "Errore apertura file " + huge + ".1.ppm\n");
    EXPECT_NE(beyond.err.find("cannot open: File name too long"), std::string::npos);
}

TEST_F(BadInput, BaseNamesNearTheFileNameLimit)
{
    // A name may have 255 bytes. Input "<base>.1.ppm" adds 6, a mask
    // "<base>Mask.3.pgm" 10 and a model image "<base>Model.3.ppm" 11.
    struct Case {
        std::size_t length;
        int status;
        const char* err;  // expected on standard error ("" for none)
    };
    for (const Case& c : {
             Case{243, 0, ""},
             Case{246, 1, "zemb: 8 output files could not be written\n"},
             Case{250, 1, "cannot open: File name too long"},
         }) {
        SCOPED_TRACE(c.length);
        TempDir run;
        std::string base(c.length, 'b');
        for (int k = 1; k <= 5; ++k)
            if (c.length + 6 <= 255)
                test::write_file(run / (base + "." + std::to_string(k) + ".ppm"), good_frame(k));
        RunResult r = run_zemb(run.path(), {base, "1", "5", "-K", "2", "-m"});
        EXPECT_EQ(r.status, c.status);
        if (*c.err == '\0') {
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        }
        // access(), since the file system library throws on names too long.
        EXPECT_EQ(access((run / (base + "Mask.5.pgm")).c_str(), F_OK) == 0, c.status == 0);
        EXPECT_EQ(access((run / (base + "Model.5.ppm")).c_str(), F_OK) == 0, c.status == 0);
    }
}

// ---- Command lines ----------------------------------------------------------

// Runs with one switch and its value (none when `value` is null) after the
// positional arguments. Frames 2 to 9 exist, enough for -K up to 8; the
// first frame is 2, so that -K 2147483647 would ask for frame numbers no name
// can carry; -s puts the shadow settings into the echo.
class SwitchValues : public BadInput {
protected:
    void SetUp() override { write_sequence(2, 9); }
    RunResult run_with(const char* name, const char* value)
    {
        std::vector<std::string> args = {"seq", "2", "3", "-s"};
        if (std::string(name) != "-K")
            args.insert(args.end(), {"-K", "2"});
        args.push_back(name);
        if (value != nullptr)
            args.push_back(value);
        return run_zemb(dir.path(), args);
    }
    // An accepted value shows in the echo and the run succeeds; a refused
    // one ends with status 2, the message alone on standard error and
    // nothing on standard output.
    void expect(const char* name, const char* value, const std::string& shown, int status)
    {
        std::string trace = name;
        trace += value != nullptr ? std::string(" \"") + value + "\"" : " at the end";
        SCOPED_TRACE(trace);
        RunResult r = run_with(name, value);
        EXPECT_EQ(r.status, status);
        if (status == 0) {
            EXPECT_EQ(r.err.find("zemb:"), std::string::npos) << r.err;
            EXPECT_NE(r.out.find(shown), std::string::npos) << r.out;
        } else {
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, shown);
        }
    }
    static std::string missing(const char* name)
    {
        return std::string("Lread_switch: Manca arg. dopo \"") + name + "\"\n";
    }
};

TEST_F(SwitchValues, IntegerValuesAreTakenWhollyInTheirBaseOrRefused)
{
    const std::string not_integer = "Lread_iswitch: Manca arg. per \"%s\"\n";
    const std::string bad_n = "zemb: -n must be 1, 3, 5, 7 or 9 (the map side), not ";
    const std::string bad_k = "zemb: -K must be at least 1 (the first frame counts), not ";
    struct Case {
        const char* name;
        const char* value;
        std::string shown;
        int status;
    };
    const Case cases[] = {
        {"-n", nullptr, missing("-n"), 2},
        {"-n", "", bad_n + "0\n", 2},
        {"-n", "0x5", "n=5 (25 weight vectors", 0},
        {"-n", "07", "n=7 (49 weight vectors", 0},
        {"-n", "011", "n=9 (81 weight vectors", 0},
        {"-n", "2", bad_n + "2\n", 2},
        {"-n", "99999999999", bad_n + "2147483647\n", 2},
        {"-n", "-99999999999", bad_n + "-2147483648\n", 2},
        {"-n", "five", not_integer, 2},
        {"-n", "5,0", not_integer, 2},
        {"-n", " 5", "n=5 (25 weight vectors", 0},
        {"-n", "5 ", not_integer, 2},
        {"-K", nullptr, missing("-K"), 2},
        {"-K", "", bad_k + "0\n", 2},
        {"-K", "0x3", "K=3\n", 0},
        {"-K", "010", "K=8\n", 0},
        {"-K", "99999999999",
         "zemb: -K 2147483647 would ask for frame numbers beyond 2147483647, the largest a name "
         "can carry\n",
         2},
        {"-K", "-99999999999", bad_k + "-2147483648\n", 2},
        {"-K", "two", not_integer, 2},
        {"-K", "2,5", not_integer, 2},
    };
    for (const Case& c : cases) {
        std::string shown = c.shown;
        if (shown.find("%s") != std::string::npos)
            shown.replace(shown.find("%s"), 2, c.name);
        expect(c.name, c.value, shown, c.status);
    }
}

TEST_F(SwitchValues, RealValuesAreTakenWhollyOrRefused)
{
    // Each real switch with each kind of value; the echo shows the value as
    // stored in a 32-bit float, in the switch's own place.
    struct Switch {
        const char* name;
        const char* echo;  // the echo text just before the value
    };
    const Switch switches[] = {
        {"-e1", "e1="}, {"-e2", "e2="},      {"-c1", "c1="},     {"-c2", "c2="},
        {"-g", "gamma = "}, {"-b", "beta = "}, {"-tS", "Th_S = "}, {"-tH", "Th_H = "},
    };
    struct Value {
        const char* text;
        const char* stored;  // as the echo prints it; null when refused
    };
    const Value values[] = {
        {"", "0.0000"},          {"0x10", "16.0000"}, {"0x1p-2", "0.2500"}, {"010", "10.0000"},
        {".5", "0.5000"},        {"1e999", "inf"},    {"-1e39", "-inf"},    {"1e-999", "0.0000"},
        {"nan", "nan"},          {"five", nullptr},   {"0,5", nullptr},     {"1.5x", nullptr},
    };
    for (const Switch& s : switches) {
        expect(s.name, nullptr, missing(s.name), 2);
        for (const Value& v : values) {
            if (v.stored != nullptr)
                expect(s.name, v.text, std::string(s.echo) + v.stored, 0);
            else
                expect(s.name, v.text,
                       std::string("Lread_dswitch: Manca arg. per \"") + s.name + "\"\n", 2);
        }
    }
}

TEST_F(BadInput, SwitchesBeforeThePositionalArgumentsTakeTheirPlaces)
{
    // "-n 5 seq 1 3": the name is "-n", the first frame 5 and the last "seq",
    // which reads as 0; "-n 5" is then also read as the switch.
    write_sequence(1, 3);
    RunResult r = run_zemb(dir.path(), {"-n", "5", "seq", "1", "3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Errore apertura file -n.5.ppm\n");
    EXPECT_TRUE(outputs().empty());
}

TEST_F(BadInput, LastFrameBeforeTheFirstRunsNoOnlineFrameAndWritesNothing)
{
    write_sequence(1, 6);
    RunResult r = run_zemb(dir.path(), {"seq", "5", "3", "-K", "2"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("No. of images =         -1 (from 5 to 3)\n"), std::string::npos);
    EXPECT_NE(r.out.find("\nTimes for online phase on -3 frames (from 7 to 3) ...\n"
                         "  ZEMB (no I/O): no frames segmented\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(outputs().empty());
}

TEST_F(BadInput, EveryAcceptedMapSideCompletesARun)
{
    write_sequence(1, 4);
    for (const char* n : {"1", "5", "7", "9"}) {
        SCOPED_TRACE(n);
        RunResult r = run_zemb(dir.path(), {"seq", "1", "4", "-K", "2", "-n", n, "-s", "-m"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        int side = std::stoi(n);
        EXPECT_EQ(test::read_file(dir / "seqModel.4.ppm").size(),
                  std::to_string(width * side).size() + std::to_string(height * side).size() + 9 +
                      std::size_t(3 * width * height * side * side));
    }
}

}  // namespace
}  // namespace zemb

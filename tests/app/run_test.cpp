// Whole runs of the executable: which files appear, the phase lines, frames
// that cannot be read, outputs that cannot be written, names at the system's
// limits, and what a person at a terminal sees: the key wait and the progress
// line. (Every engine's bytes against the reference: run/whole_run_test.cpp.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/terminal.h"
#include "files/stop.h"
#include "model/model.h"
#include "support/support.h"

namespace zemb {
namespace {

using test::RunResult;
using test::TempDir;

constexpr int width = 12;
constexpr int height = 9;
constexpr std::size_t header_bytes = 12;  // "P6\n12 9\n255\n"
// Runs that could hang (a FIFO, an endless device) are ended after this.
constexpr unsigned hang_seconds = 10;

// A grey-green background with a red 3 x 3 square that moves one column to
// the right per frame from frame `moving_from` on.
std::string frame_bytes(int number, int moving_from = 1000)
{
    int left = number >= moving_from ? 1 + (number - moving_from) : -10;
    return test::make_ppm(width, height, [&](int r, int c) {
        if (r >= 3 && r < 6 && c >= left && c < left + 3)
            return test::Rgb{220, 20, 20};
        return test::Rgb{std::uint8_t(90 + r), std::uint8_t(120 + c), 100};
    });
}

std::string frame_name(int k) { return "seq." + std::to_string(k) + ".ppm"; }
std::string mask_name(int k) { return "seqMask." + std::to_string(k) + ".pgm"; }
std::string model_name(int k) { return "seqModel." + std::to_string(k) + ".ppm"; }

class Run : public ::testing::Test {
protected:
    void write_sequence(int first, int last, int moving_from = 1000)
    {
        for (int k = first; k <= last; ++k)
            test::write_file(dir / frame_name(k), frame_bytes(k, moving_from));
    }
    RunResult run(const std::vector<std::string>& args) { return test::run_zemb(dir.path(), args); }
    bool exists(const std::string& name) const { return test::file_exists(dir / name); }
    // Numbers of the masks in the folder, 0 to 9.
    std::vector<int> masks() const
    {
        std::vector<int> present;
        for (int k = 0; k <= 9; ++k)
            if (exists(mask_name(k)))
                present.push_back(k);
        return present;
    }
    TempDir dir;
};

TEST_F(Run, MasksOfTheFrameSizeAreWrittenForOnlineFramesOnly)
{
    write_sequence(1, 6);
    RunResult r = run({"seq", "1", "6", "-K", "3"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(masks(), (std::vector<int>{4, 5, 6}));
    std::string mask = test::read_file(dir / mask_name(4));
    EXPECT_EQ(mask.substr(0, 12), "P5\n12 9\n255\n");
    EXPECT_EQ(mask.size(), 12u + width * height);
    EXPECT_FALSE(exists(model_name(1)));

    std::size_t calibration = r.out.find(
        "\nTimes for calibration phase on 3 frames (from 1 to 3) ...\n  ZEMB (no I/O): ");
    std::size_t online =
        r.out.find("\nTimes for online phase on 3 frames (from 4 to 6) ...\n  ZEMB (no I/O): ");
    ASSERT_NE(calibration, std::string::npos) << r.out;
    ASSERT_NE(online, std::string::npos) << r.out;
    EXPECT_LT(calibration, online);
    EXPECT_NE(r.out.find(" msecs/frame\t"), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.size() - 29), "\n\nHit any key to continue...\n");
}

TEST_F(Run, PhasesFollowTheFrameRangeAndCalibrationLength)
{
    struct Case {
        const char* what;
        int frames;  // frames 1 .. frames exist
        std::vector<std::string> args;
        std::vector<std::string> shown;  // each on standard output
        std::vector<int> masks;
        int status = 0;  // 1 when frames past the last are asked for
    };
    const std::string none = "  ZEMB (no I/O): no frames segmented\n";
    const Case cases[] = {
        {"last mask only", 6, {"seq", "1", "6", "-K", "3", "-l"}, {}, {6}},
        {"empty online phase",
         4,
         {"seq", "1", "4", "-K", "4", "-l"},
         {"\nTimes for online phase on 0 frames (from 5 to 4) ...\n" + none},
         {}},
        {"a single calibration frame",
         3,
         {"seq", "1", "3", "-K", "1"},
         {"\nTimes for calibration phase on 1 frames (from 1 to 1) ...\n" + none +
          "\nTimes for online phase on 2 frames (from 2 to 3) ...\n"},
         {2, 3}},
        {"last frame before the first",
         6,
         {"seq", "5", "3", "-K", "2"},
         {"No. of images =         -1 (from 5 to 3)\n",
          "\nTimes for online phase on -3 frames (from 7 to 3) ...\n" + none},
         {}},
        {"calibration frames beyond the last",
         2,
         {"seq", "1", "2", "-K", "4"},
         {"Errore apertura file seq.3.ppm\nErrore apertura file seq.4.ppm\n",
          "online phase on -2 frames (from 5 to 2)"},
         {},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir fresh;
        for (int k = 1; k <= c.frames; ++k)
            test::write_file(fresh / frame_name(k), frame_bytes(k));
        RunResult r = test::run_zemb(fresh.path(), c.args);
        EXPECT_EQ(r.status, c.status);
        for (const std::string& text : c.shown)
            EXPECT_NE(r.out.find(text), std::string::npos) << r.out;
        std::vector<int> written;
        for (int k = 0; k <= 9; ++k)
            if (test::file_exists(fresh / mask_name(k)))
                written.push_back(k);
        EXPECT_EQ(written, c.masks);
    }
}

TEST_F(Run, ModelImagesCoverTheFirstAndEverySegmentedFrameForEveryMapSide)
{
    write_sequence(1, 4);
    for (int n : {1, 3, 5, 7, 9}) {
        SCOPED_TRACE(n);
        RunResult r = run({"seq", "1", "4", "-K", "2", "-m", "-s", "-n", std::to_string(n)});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        const std::string header =
            "P6\n" + std::to_string(width * n) + " " + std::to_string(height * n) + "\n255\n";
        for (int k = 1; k <= 4; ++k) {
            std::string image = test::read_file(dir / model_name(k));
            EXPECT_EQ(image.substr(0, header.size()), header) << k;
            EXPECT_EQ(image.size(), header.size() + std::size_t(3 * width * height * n * n)) << k;
        }
        // The untrained model shows every pixel as an n x n tile of its own
        // colour: the last row of pixel (1, 2)'s tile.
        const std::string first = test::read_file(dir / model_name(1));
        const std::size_t element = std::size_t((n + n - 1) * width * n + 2 * n);
        EXPECT_EQ(first.substr(header.size() + 3 * element, 3),
                  frame_bytes(1).substr(header_bytes + 3 * (1 * width + 2), 3));
    }
}

// A frame that cannot be read leaves the pixels of the frame before it (a
// short raster only the samples it lacks), and the run goes on: its masks
// must equal those of a run on the repaired sequence. The frame is counted in
// one closing line, and the run ends with status 1.
TEST_F(Run, UnreadableFramesRepeatThePreviousPixelsAndAreCounted)
{
    auto raster = [](int k) { return frame_bytes(k, 1).substr(header_bytes); };
    auto cut = [](int k) { return frame_bytes(k, 1).substr(0, header_bytes + 40); };
    const std::string short_raster =
        "raster is 284 of 324 bytes short; the samples past its end keep their previous values";
    struct Case {
        const char* what;
        int number;         // the frame replaced
        std::string bytes;  // its content; "missing" or "folder" for those
        std::string repaired;
        std::string message;  // after "zemb: seq.<number>.ppm: "
    };
    const Case cases[] = {
        {"missing calibration frame", 2, "missing", frame_bytes(1, 1),
         "cannot open: No such file or directory"},
        {"a folder", 4, "folder", frame_bytes(3, 1), "is a folder, not a frame file"},
        {"a FIFO", 4, "fifo", frame_bytes(3, 1), "is a FIFO, not a frame file"},
        {"a link to /dev/zero", 4, "device", frame_bytes(3, 1), "is a device, not a frame file"},
        {"an endless comment", 4, "P6\n#" + std::string(40000, 'c'), frame_bytes(3, 1),
         "header runs past 32768 bytes without width, height and maxval"},
        {"grey P5", 4, "P5\n12 9\n255\n" + std::string(108, 'x'), frame_bytes(3, 1),
         "not a binary colour PPM (magic word is not P6)"},
        {"another size", 4,
         test::make_ppm(9, 12,
                        [](int, int) {
                            return test::Rgb{0, 0, 0};
                        }),
         frame_bytes(3, 1), "frame is 9 x 12, not 12 x 9 like the first frame"},
        {"a huge header", 2, "P6\n100000 100000\n255\n", frame_bytes(1, 1),
         "frame is 100000 x 100000, not 12 x 9 like the first frame"},
        {"short raster", 4, cut(4), cut(4) + raster(3).substr(40), short_raster},
        // The first frame's buffer starts as zeros.
        {"short first frame", 1, cut(1), cut(1) + std::string(284, '\0'), short_raster},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir fresh;
        for (int k = 1; k <= 5; ++k)
            test::write_file(fresh / frame_name(k), frame_bytes(k, 1));
        const std::vector<std::string> args = {"seq", "1", "5", "-K", "2"};
        test::write_file(fresh / frame_name(c.number), c.repaired);
        ASSERT_EQ(test::run_zemb(fresh.path(), args).status, 0);
        std::vector<std::string> expected;
        for (int k = 3; k <= 5; ++k)
            expected.push_back(test::read_file(fresh / mask_name(k)));

        std::filesystem::remove(fresh / frame_name(c.number));
        if (c.bytes == "folder")
            std::filesystem::create_directory(fresh / frame_name(c.number));
        else if (c.bytes == "fifo")
            mkfifo((fresh / frame_name(c.number)).c_str(), 0644);
        else if (c.bytes == "device")
            std::filesystem::create_symlink("/dev/zero", fresh / frame_name(c.number));
        else if (c.bytes != "missing")
            test::write_file(fresh / frame_name(c.number), c.bytes);
        // A FIFO or an endless device must not hold the run.
        RunResult r = test::run_zemb(fresh.path(), args, hang_seconds);
        EXPECT_EQ(r.status, 1);
        const std::string number = std::to_string(c.number);
        const bool in_part = c.message == short_raster;
        const std::string summary =
            in_part ? "zemb: 1 input frame could not be used in full (" + number +
                          " in part); it was replaced by the frame before it where it could not "
                          "be read" +
                          (c.number == 1 ? " (the first frame, which has none, by black)" : "")
                    : "zemb: 1 input frame could not be used (" + number +
                          "); it was replaced by the frame before it";
        EXPECT_EQ(r.err, "zemb: " + frame_name(c.number) + ": " + c.message + "\n" + summary + "\n");
        EXPECT_EQ(r.out.find("Errore apertura file") != std::string::npos, c.bytes == "missing");
        for (int k = 3; k <= 5; ++k)
            EXPECT_TRUE(test::read_file(fresh / mask_name(k)) == expected[std::size_t(k - 3)])
                << "mask " << k;
    }
}

// The closing line names the first few frames that could not be used.
TEST_F(Run, RangePastTheLastFrameIsCountedInOneClosingLine)
{
    write_sequence(1, 6);
    RunResult r = run({"seq", "1", "12", "-K", "3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Errore apertura file seq.7.ppm\n"), std::string::npos) << r.out;
    const std::string summary = "zemb: 6 input frames could not be used (7, 8, 9, 10, 11 and 1 "
                                "more); each was replaced by the frame before it\n";
    ASSERT_GE(r.err.size(), summary.size()) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - summary.size()), summary);
    EXPECT_EQ(masks(), (std::vector<int>{4, 5, 6, 7, 8, 9}));
}

// Whatever stands under an output's name is replaced whole (a FIFO is not
// waited on; imagedata's tests try links and more), except a folder: that
// output is lost, counted, and the run goes on.
TEST_F(Run, OutputNamesTakenByAFifoAreReplacedAndByAFolderCounted)
{
    struct Case {
        const char* what;
        std::string blocked;  // the output whose name is taken
        int status;
        const char* out;  // expected on standard output, or ""
        const char* err;  // expected on standard error
    };
    const Case cases[] = {
        {"mask name taken by a folder", mask_name(4), 1, "Errore apertura file seqMask.4.pgm\n",
         "zemb: seqMask.4.pgm: cannot open: Is a directory\n"
         "zemb: 1 output file could not be written\n"},
        {"model image name a FIFO", model_name(3), 0, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir fresh;
        for (int k = 1; k <= 5; ++k)
            test::write_file(fresh / frame_name(k), frame_bytes(k));
        if (c.status != 0)
            std::filesystem::create_directory(fresh / c.blocked);
        else
            mkfifo((fresh / c.blocked).c_str(), 0644);
        RunResult r =
            test::run_zemb(fresh.path(), {"seq", "1", "5", "-K", "2", "-m"}, hang_seconds);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out.substr(r.out.size() - 28), "\nHit any key to continue...\n");
        for (int k = 1; k <= 5; ++k) {
            struct stat status;
            if (model_name(k) != c.blocked || c.status == 0) {
                EXPECT_TRUE(lstat((fresh / model_name(k)).c_str(), &status) == 0 &&
                            S_ISREG(status.st_mode))
                    << k;
            }
            if (mask_name(k) != c.blocked || c.status == 0) {
                EXPECT_EQ(test::file_exists(fresh / mask_name(k)), k >= 3) << k;
            }
        }
    }
}

// Lowers this process's file-size limit (inherited by the runs it starts)
// and puts it back afterwards.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved_);
        struct rlimit lowered = saved_;
        lowered.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }

private:
    struct rlimit saved_;
};

TEST_F(Run, WritesCutShortByAFullDiskLeaveTheEarlierFilesWhole)
{
    // 40 x 30 frames: masks of 1213 bytes fit under the limit, model images
    // of 32414 bytes do not. The first run, unlimited, leaves model images
    // that the second must not touch.
    auto frame = [](int k, int grey) {
        return test::make_ppm(40, 30, [k, grey](int r, int c) {
            return grey > 0 ? test::Rgb{9, 9, 9}
                            : test::Rgb{std::uint8_t(r * 8), std::uint8_t(c * 6), std::uint8_t(k)};
        });
    };
    for (int k = 1; k <= 4; ++k)
        test::write_file(dir / frame_name(k), frame(k, 0));
    ASSERT_EQ(run({"seq", "1", "4", "-K", "2", "-m"}).status, 0);
    std::vector<std::string> earlier;
    for (int k = 1; k <= 4; ++k)
        earlier.push_back(test::read_file(dir / model_name(k)));
    // Another first frame: every model image of the second run differs.
    test::write_file(dir / frame_name(1), frame(1, 1));
    RunResult r;
    {
        FileSizeLimit limit(8192);
        r = run({"seq", "1", "4", "-K", "2", "-m"});
    }
    EXPECT_EQ(r.status, 1);
    for (int k = 1; k <= 4; ++k) {
        EXPECT_NE(r.err.find("zemb: " + model_name(k) + ": write failed: File too large\n"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(test::read_file(dir / model_name(k)), earlier[std::size_t(k - 1)]) << k;
    }
    EXPECT_NE(r.err.find("zemb: 4 output files could not be written\n"), std::string::npos);
    EXPECT_EQ(test::read_file(dir / mask_name(4)).size(), 13u + 40 * 30);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_NE(entry.path().filename().string().rfind(".zemb-", 0), 0u) << entry.path();
}

TEST_F(Run, ConsoleOutputThatCannotBeWrittenFailsTheRun)
{
    // The limit cuts the settings echo short; the masks still fit under it.
    write_sequence(1, 4);
    RunResult r;
    {
        FileSizeLimit limit(200);
        r = run({"seq", "1", "4", "-K", "2"});
    }
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.size(), 200u);
    EXPECT_NE(r.err.find("zemb: standard output: write failed"), std::string::npos) << r.err;
    EXPECT_EQ(masks(), (std::vector<int>{3, 4}));
}

TEST_F(Run, LongSequenceNamesWorkUpToTheSystemLimitsAndFailPlainlyBeyond)
{
    // 300 characters through real nested folders.
    std::string folders =
        std::string(99, 'd') + "/" + std::string(99, 'e') + "/" + std::string(96, 'f') + "/";
    std::filesystem::create_directories(dir / folders);
    for (int k = 1; k <= 3; ++k)
        test::write_file(dir / (folders + frame_name(k)), frame_bytes(k));
    RunResult deep = run({folders + "seq", "1", "3", "-K", "2"});
    ASSERT_EQ(folders.size() + 3, 300u);
    EXPECT_EQ(deep.status, 0) << deep.err;
    EXPECT_NE(deep.out.find("ZEMB on sequence " + folders + "seq\n"), std::string::npos);
    EXPECT_TRUE(exists(mask_name(3)));

    // 5000 characters: more than any path the system opens.
    std::string dots;
    while (dots.size() < 4996)
        dots += "./";
    std::string huge = dots + "/seq";
    ASSERT_EQ(huge.size(), 5000u);
    RunResult beyond = run({huge, "1", "3"});
    EXPECT_EQ(beyond.status, 1);
    EXPECT_EQ(beyond.out, "Errore apertura file " + huge + ".1.ppm\n");
    EXPECT_NE(beyond.err.find("cannot open: File name too long"), std::string::npos);
}

TEST_F(Run, BaseNamesNearTheFileNameLimit)
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
        TempDir fresh;
        std::string base(c.length, 'b');
        for (int k = 1; k <= 5; ++k)
            if (c.length + 6 <= 255)
                test::write_file(fresh / (base + "." + std::to_string(k) + ".ppm"), frame_bytes(k));
        RunResult r = test::run_zemb(fresh.path(), {base, "1", "5", "-K", "2", "-m"});
        EXPECT_EQ(r.status, c.status);
        if (*c.err == '\0') {
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        }
        // access(), since the file system library throws on names too long.
        EXPECT_EQ(access((fresh / (base + "Mask.5.pgm")).c_str(), F_OK) == 0, c.status == 0);
        EXPECT_EQ(access((fresh / (base + "Model.5.ppm")).c_str(), F_OK) == 0, c.status == 0);
    }
}

TEST_F(Run, MovingSquareIsForegroundAndTheBackgroundIsNot)
{
    // Ten frames of still background train the model; then the square moves.
    write_sequence(1, 14, 12);
    RunResult r = run({"seq", "1", "14", "-K", "11"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string mask = test::read_file(dir / "seqMask.14.pgm").substr(12);
    ASSERT_EQ(mask.size(), std::size_t(width * height));
    int left = 1 + (14 - 12);
    for (int row = 0; row < height; ++row)
        for (int col = 0; col < width; ++col) {
            bool inside = row >= 3 && row < 6 && col >= left && col < left + 3;
            EXPECT_EQ(std::uint8_t(mask[row * width + col]), inside ? 255 : 0)
                << "row " << row << " col " << col;
        }
}

// ---- On a terminal ------------------------------------------------------------

// Which standard streams of a run are on a fresh pseudo-terminal (the others
// read /dev/null or write files); the run leads its own session there, in
// the foreground unless `background`.
struct Streams {
    bool in, out, err;
    bool background = false;
};

struct TerminalRun {
    bool waited_for_key = false;  // it put the terminal into single-key mode
    int status = -1;
    std::string screen, out, err;  // the terminal; standard output and error when elsewhere
};

TerminalRun run_on_terminal(const std::string& dir, std::vector<std::string> args, Streams on)
{
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    const std::string out_path = dir + "/.tty-out", err_path = dir + "/.tty-err";
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        if (on.background && fork() > 0) {  // the session leader waits; its child runs
            int wstatus = 0;
            wait(&wstatus);
            _exit(WEXITSTATUS(wstatus));
        }
        if (on.background)
            setpgid(0, 0);
        dup2(on.in ? slave : open("/dev/null", O_RDONLY), 0);
        dup2(on.out ? slave : open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        dup2(on.err ? slave : open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        std::vector<char*> argv = {const_cast<char*>(ZEMB_EXE)};
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (chdir(dir.c_str()) == 0)
            execv(ZEMB_EXE, argv.data());
        _exit(127);
    }
    close(slave);
    // Read the terminal until the run ends; a run that puts it into
    // single-key mode waits for a key, and gets one.
    TerminalRun run;
    int wstatus = 0;
    char buffer[4096];
    // Bounded by the clock, not by a count of polls: once the child closes
    // the terminal, poll returns at once until the child is reaped.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    bool killed = false;
    while (waitpid(pid, &wstatus, WNOHANG) != pid) {
        if (!killed && std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "the run did not end";
            kill(pid, SIGKILL);
            killed = true;
        }
        pollfd p = {master, POLLIN, 0};
        const bool readable = poll(&p, 1, 20) > 0 && (p.revents & POLLIN);
        ssize_t got = readable ? read(master, buffer, sizeof buffer) : 0;
        if (!readable)
            usleep(1000);  // a hung-up terminal: do not spin while the child ends
        run.screen.append(buffer, std::size_t(std::max<ssize_t>(got, 0)));
        struct termios mode;
        if (!run.waited_for_key && tcgetattr(master, &mode) == 0 && !(mode.c_lflag & ICANON)) {
            run.waited_for_key = true;
            EXPECT_EQ(write(master, "x", 1), 1);
        }
    }
    for (pollfd p = {master, POLLIN, 0}; poll(&p, 1, 0) > 0 && (p.revents & POLLIN);) {
        ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0)
            break;
        run.screen.append(buffer, std::size_t(got));
    }
    close(master);
    run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    run.out = test::read_file(out_path);
    run.err = test::read_file(err_path);
    std::remove(out_path.c_str());
    std::remove(err_path.c_str());
    return run;
}

// The usage text ends with the prompt wherever standard output goes, but
// only a person at the terminal in its foreground is waited for.
TEST_F(Run, KeyWaitNeedsATerminalForStandardInputAndOutputAndTheForeground)
{
    struct Case {
        const char* what;
        Streams streams;
        bool waits;
    };
    const Case cases[] = {
        {"input and output on the terminal", {true, true, true}, true},
        {"output to a file", {true, false, true}, false},
        {"input from /dev/null", {false, true, true}, false},
        {"neither on the terminal", {false, false, true}, false},
        {"a background job", {true, true, true, true}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TerminalRun r = run_on_terminal(dir.path(), {}, c.streams);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.waited_for_key, c.waits);
        const std::string& shown = c.streams.out ? r.screen : r.out;
        EXPECT_NE(shown.find("Hit any key to continue..."), std::string::npos) << shown;
    }
}

// On a terminal the line is up while frames go by, and every message starts
// on a clean line; anywhere else standard error holds only the messages.
TEST_F(Run, ProgressLineShowsOnATerminalOnlyAndMakesWayForMessages)
{
    write_sequence(1, 6);
    std::remove((dir / "seq.5.ppm").c_str());
    const std::vector<std::string> args = {"seq", "1", "6", "-K", "3"};
    TerminalRun tty = run_on_terminal(dir.path(), args, {false, false, true});
    EXPECT_EQ(tty.status, 1);
    EXPECT_NE(tty.screen.find("\rzemb: calibration frame 0 of 2"), std::string::npos) << tty.screen;
    EXPECT_NE(tty.screen.find("\rzemb: online frame 1 of 3"), std::string::npos) << tty.screen;
    EXPECT_NE(tty.screen.find("\r\033[Kzemb: seq.5.ppm: cannot open"), std::string::npos)
        << tty.screen;
    EXPECT_EQ(tty.screen.substr(tty.screen.rfind("\033[K")),
              "\033[Kzemb: 1 input frame could not be used (5); it was replaced by the frame "
              "before it\r\n");

    TerminalRun file = run_on_terminal(dir.path(), args, {false, false, false});
    EXPECT_EQ(file.err, "zemb: seq.5.ppm: cannot open: No such file or directory\n"
                        "zemb: 1 input frame could not be used (5); it was replaced by the frame "
                        "before it\n");
    // Standard output is the same either way, but for the measured times.
    auto untimed = [](std::string out) {
        for (std::size_t at; (at = out.find("  ZEMB (no I/O): ")) != std::string::npos;)
            out.erase(at, out.find('\n', at) + 1 - at);
        return out;
    };
    EXPECT_EQ(untimed(file.out), untimed(tty.out));
    EXPECT_NE(file.out.find("Errore apertura file seq.5.ppm\n"), std::string::npos);
}

// ---- Memory -------------------------------------------------------------------

// What --estimate-memory prints (the figure the memory check compares) is
// at least what the run really holds at its peak.
TEST_F(Run, MemoryEstimateIsAtLeastThePeakOfTheRun)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's own memory is no part of the estimate";
#endif
    for (int k = 1; k <= 3; ++k) {
        test::write_file(dir / ("big." + std::to_string(k) + ".ppm"),
                         test::make_ppm(160, 120, [k](int r, int c) {
                             return test::Rgb{std::uint8_t(r + k), std::uint8_t(c), std::uint8_t(r * c)};
                         }));
        // A wide frame, where the engine's scratch outweighs its models.
        test::write_file(dir / ("wide." + std::to_string(k) + ".ppm"),
                         test::make_ppm(1000000, 1, [k](int, int c) {
                             return test::Rgb{std::uint8_t(c * k), std::uint8_t(c >> 8), 7};
                         }));
    }
    struct Case {
        std::vector<std::string> args;
    };
    std::vector<Case> cases;
    for (const char* n : {"1", "3", "9"})
        for (const char* j : {"1", "4"})
            cases.push_back({{"big", "1", "3", "-K", "2", "-n", n, "-j", j}});
    cases.push_back({{"big", "1", "3", "-K", "2", "-n", "5", "-m"}});
    cases.push_back({{"wide", "1", "3", "-K", "2", "-n", "1"}});
    for (const Case& c : cases) {
        std::string trace;
        for (const std::string& a : c.args)
            trace += a + " ";
        SCOPED_TRACE(trace);
        std::vector<std::string> asked = c.args;
        asked.push_back("--estimate-memory");
        const RunResult estimate = test::run_zemb(dir.path(), asked);
        ASSERT_EQ(estimate.status, 0) << estimate.err;
        std::uint64_t peak = 0;
        const RunResult run = test::run_zemb_measured(dir.path(), c.args, peak);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_GE(std::stoull(estimate.out), peak);
    }
}

// ---- Stop signals ---------------------------------------------------------------

// Outputs of the folder that are cut short, and temporary files left over.
std::vector<std::string> broken_outputs(const TempDir& dir, std::size_t mask_bytes,
                                        std::size_t model_bytes)
{
    std::vector<std::string> broken;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        const std::string name = entry.path().filename().string();
        const std::size_t size = std::filesystem::file_size(entry.path());
        if (name.rfind(".zemb-", 0) == 0 ||
            (name.find("Mask.") != std::string::npos && size != mask_bytes) ||
            (name.find("Model.") != std::string::npos && size != model_bytes))
            broken.push_back(name);
    }
    return broken;
}

// Deterministically in the middle of a write: the temporary file goes, the
// earlier file under the name stays whole, the message names the frame, and
// the process ends as the signal would have.
TEST(Stop, ASignalDuringAWriteLeavesOnlyTheEarlierWholeFile)
{
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        TempDir dir;
        const std::string mask = dir / "walkMask.205.pgm";
        test::write_file(mask, "earlier");
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::freopen((dir / "err").c_str(), "w", stderr);
            test::reset_signals();
            install_stop_handlers();
            note_frame(205);
            OutputFile file;
            if (!file.create(mask.c_str()).ok())
                _exit(1);
            std::fputs("P5\n2 1\n255\n", file.stream());
            std::fflush(file.stream());
            raise(signal);
            _exit(2);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_EQ(test::read_file(mask), "earlier");
        EXPECT_EQ(test::read_file(dir / "err"),
                  std::string("zemb: stopped by SIG") + sigabbrev_np(signal) + " at frame 205\n");
        std::filesystem::remove(dir / "err");
        EXPECT_EQ(broken_outputs(dir, 7, 0), std::vector<std::string>{});
    }
}

// The real program stopped at some frame of a long run: the status says
// which signal, and every output in the folder is whole.
TEST_F(Run, AStoppedRunLeavesOnlyWholeOutputs)
{
    // Frames past the third are missing: the run goes on with the third's
    // pixels, writing a mask and a model image each time, until stopped.
    write_sequence(1, 3, 2);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        const int pid = test::start_program(ZEMB_EXE, dir.path(),
                                            {"seq", "1", "1000000", "-K", "2", "-m"}, 60);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (!exists("seqMask.20.pgm") && std::chrono::steady_clock::now() < deadline)
            usleep(1000);
        kill(pid, signal);
        const RunResult r = test::finish_program(pid, dir.path());
        EXPECT_EQ(r.status, 128 + signal);
        EXPECT_NE(r.err.find(std::string("zemb: stopped by SIG") + sigabbrev_np(signal) + " at frame "),
                  std::string::npos)
            << r.err.substr(r.err.size() > 300 ? r.err.size() - 300 : 0);
        EXPECT_EQ(broken_outputs(dir, 12 + width * height, 13 + 3 * 9 * width * height),
                  std::vector<std::string>{});
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            if (entry.path().filename().string().find("Mask.") != std::string::npos ||
                entry.path().filename().string().find("Model.") != std::string::npos)
                std::filesystem::remove(entry.path());
    }
}

}  // namespace
}  // namespace zemb

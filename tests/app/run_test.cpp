// Whole runs of the executable on small generated sequences: which files
// appear, their exact headers, the phase lines, exit statuses, and what a
// person at a terminal sees: the key wait and the progress line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/support.h"

namespace zemb {
namespace {

using test::run_zemb;
using test::RunResult;
using test::TempDir;

constexpr int width = 12;
constexpr int height = 9;

// A grey-green background with a red 3 x 3 square that moves one column to
// the right per frame from frame `moving_from` on.
std::string frame_bytes(int number, int moving_from)
{
    int left = number >= moving_from ? 1 + (number - moving_from) : -10;
    return test::make_ppm(width, height, [&](int r, int c) {
        if (r >= 3 && r < 6 && c >= left && c < left + 3)
            return test::Rgb{220, 20, 20};
        return test::Rgb{std::uint8_t(90 + r), std::uint8_t(120 + c), 100};
    });
}

class Run : public ::testing::Test {
protected:
    void write_sequence(int first, int last, int moving_from = 1000)
    {
        for (int k = first; k <= last; ++k)
            test::write_file(dir / ("seq." + std::to_string(k) + ".ppm"), frame_bytes(k, moving_from));
    }
    bool exists(const std::string& name) { return test::file_exists(dir / name); }
    std::vector<std::string> masks(int from, int to)
    {
        std::vector<std::string> present;
        for (int k = from; k <= to; ++k)
            if (exists("seqMask." + std::to_string(k) + ".pgm"))
                present.push_back(std::to_string(k));
        return present;
    }
    TempDir dir;
};

TEST_F(Run, MasksAreWrittenForOnlineFramesOnly)
{
    write_sequence(1, 6);
    RunResult r = run_zemb(dir.path(), {"seq", "1", "6", "-K", "3"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(masks(0, 7), (std::vector<std::string>{"4", "5", "6"}));
    std::string mask = test::read_file(dir / "seqMask.4.pgm");
    EXPECT_EQ(mask.substr(0, 12), "P5\n12 9\n255\n");
    EXPECT_EQ(mask.size(), 12u + width * height);
    EXPECT_FALSE(exists("seqModel.1.ppm"));
}

TEST_F(Run, PhaseHeadersReportsAndKeyPromptFollowTheEcho)
{
    write_sequence(1, 6);
    RunResult r = run_zemb(dir.path(), {"seq", "1", "6", "-K", "3"});
    std::size_t calibration = r.out.find("\nTimes for calibration phase on 3 frames (from 1 to 3) ...\n"
                                         "  ZEMB (no I/O): ");
    std::size_t online = r.out.find("\nTimes for online phase on 3 frames (from 4 to 6) ...\n"
                                    "  ZEMB (no I/O): ");
    ASSERT_NE(calibration, std::string::npos) << r.out;
    ASSERT_NE(online, std::string::npos) << r.out;
    EXPECT_LT(calibration, online);
    EXPECT_NE(r.out.find(" msecs/frame\t"), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.size() - 29), "\n\nHit any key to continue...\n");
}

TEST_F(Run, LastMaskOnlyWritesTheMaskOfTheLastFrame)
{
    write_sequence(1, 6);
    RunResult r = run_zemb(dir.path(), {"seq", "1", "6", "-K", "3", "-l"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(masks(0, 7), (std::vector<std::string>{"6"}));
}

TEST_F(Run, ModelImagesCoverTheFirstAndEverySegmentedFrame)
{
    write_sequence(1, 4);
    RunResult r = run_zemb(dir.path(), {"seq", "1", "4", "-K", "2", "-m", "-n", "5"});
    EXPECT_EQ(r.status, 0);
    for (int k = 1; k <= 4; ++k) {
        std::string image = test::read_file(dir / ("seqModel." + std::to_string(k) + ".ppm"));
        EXPECT_EQ(image.substr(0, 13), "P6\n60 45\n255\n") << k;
        EXPECT_EQ(image.size(), 13u + 3u * 60 * 45) << k;
    }
    // The untrained model shows every pixel as a 5 x 5 tile of its own colour.
    std::string first = test::read_file(dir / "seqModel.1.ppm");
    std::string frame = frame_bytes(1, 1000);
    EXPECT_EQ(first.substr(13 + 3 * (7 * 60 + 13), 3), frame.substr(12 + 3 * (1 * 12 + 2), 3));
}

TEST_F(Run, EmptyOnlinePhaseReportsNoFramesAndWritesNoMask)
{
    write_sequence(1, 4);
    RunResult r = run_zemb(dir.path(), {"seq", "1", "4", "-K", "4", "-l"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\nTimes for online phase on 0 frames (from 5 to 4) ...\n"
                         "  ZEMB (no I/O): no frames segmented\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(masks(0, 6).empty());
}

TEST_F(Run, SingleCalibrationFrameSkipsCalibrationAndStartsOnlineAtTheSecondFrame)
{
    write_sequence(1, 3);
    RunResult r = run_zemb(dir.path(), {"seq", "1", "3", "-K", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\nTimes for calibration phase on 1 frames (from 1 to 1) ...\n"
                         "  ZEMB (no I/O): no frames segmented\n"
                         "\nTimes for online phase on 2 frames (from 2 to 3) ...\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(masks(0, 4), (std::vector<std::string>{"2", "3"}));
}

// A frame that cannot be used is replaced by the frame before it and the
// run goes on; at its end one line counts such frames, and the status is 1.
TEST_F(Run, FramesThatCannotBeUsedAreReplacedCountedAndEndTheRunWithStatusOne)
{
    struct Case {
        const char* what;
        int written;                    // frames 1..written exist
        int spoiled;                    // this one is missing (-) or of another size (+), or 0
        std::vector<std::string> args;  // after "seq" "1"
        const char* out;                // expected on standard output
        const char* err;                // expected on standard error
        std::vector<std::string> masks;
        const char* summary;            // the last line on standard error
    };
    const Case cases[] = {
        {"a missing online frame", 6, -5, {"6", "-K", "3"}, "Errore apertura file seq.5.ppm\n", "",
         {"4", "5", "6"},
         "zemb: 1 input frame could not be used (5); it was replaced by the frame before it\n"},
        {"a range past the last frame", 6, 0, {"9", "-K", "3"},
         "Errore apertura file seq.7.ppm\nErrore apertura file seq.8.ppm\n", "",
         {"4", "5", "6", "7", "8", "9"},
         "zemb: 3 input frames could not be used (7, 8, 9); each was replaced by the frame before "
         "it\n"},
        {"calibration frames past the last", 2, 0, {"2", "-K", "4"},
         "Errore apertura file seq.3.ppm\nErrore apertura file seq.4.ppm\n",
         "online phase on -2 frames (from 5 to 2)", {},
         "zemb: 2 input frames could not be used (3, 4); each was replaced by the frame before it\n"},
        {"a frame of another size", 5, +4, {"5", "-K", "3"}, "",
         "zemb: seq.4.ppm: frame is 9 x 12, not 12 x 9 like the first frame\n", {"4", "5"},
         "zemb: 1 input frame could not be used (4); it was replaced by the frame before it\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir run;
        for (int k = 1; k <= c.written; ++k)
            test::write_file(run / ("seq." + std::to_string(k) + ".ppm"), frame_bytes(k, 1000));
        if (c.spoiled < 0)
            std::remove((run / ("seq." + std::to_string(-c.spoiled) + ".ppm")).c_str());
        if (c.spoiled > 0)
            test::write_file(run / ("seq." + std::to_string(c.spoiled) + ".ppm"),
                             test::make_ppm(9, 12, [](int, int) { return test::Rgb{0, 0, 0}; }));
        std::vector<std::string> args = {"seq", "1"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r = run_zemb(run.path(), args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
        EXPECT_NE((r.out + r.err).find(c.err), std::string::npos) << r.err;
        const std::string summary = c.summary;
        ASSERT_GE(r.err.size(), summary.size()) << r.err;
        EXPECT_EQ(r.err.substr(r.err.size() - summary.size()), summary);
        EXPECT_EQ(r.out.substr(r.out.size() - 28), "\nHit any key to continue...\n");
        std::vector<std::string> present;
        for (int k = 0; k <= 10; ++k)
            if (test::file_exists(run / ("seqMask." + std::to_string(k) + ".pgm")))
                present.push_back(std::to_string(k));
        EXPECT_EQ(present, c.masks);
    }
}

TEST_F(Run, UnwritableMaskFinishesTheRunAndExitsOne)
{
    write_sequence(1, 6);
    ASSERT_EQ(mkdir((dir / "seqMask.5.pgm").c_str(), 0755), 0);
    RunResult r = run_zemb(dir.path(), {"seq", "1", "6", "-K", "3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Errore apertura file seqMask.5.pgm\n"), std::string::npos);
    EXPECT_NE(r.err.find("zemb: 1 output file could not be written\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.substr(r.out.size() - 28), "\nHit any key to continue...\n");
    EXPECT_TRUE(exists("seqMask.4.pgm"));
    EXPECT_TRUE(exists("seqMask.6.pgm"));
}

TEST_F(Run, MovingSquareIsForegroundAndTheBackgroundIsNot)
{
    // Ten frames of still background train the model; then the square moves.
    write_sequence(1, 14, 12);
    RunResult r = run_zemb(dir.path(), {"seq", "1", "14", "-K", "11"});
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
    for (int polls = 0; waitpid(pid, &wstatus, WNOHANG) != pid; ++polls) {
        if (polls == 3000) {  // a minute
            ADD_FAILURE() << "the run did not end";
            kill(pid, SIGKILL);
        }
        pollfd p = {master, POLLIN, 0};
        ssize_t got = poll(&p, 1, 20) > 0 ? read(master, buffer, sizeof buffer) : 0;
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

}  // namespace
}  // namespace zemb

// Start-up of the executable: the usage text, the settings echo, and every
// command line or first frame that a run refuses before it starts. Each case
// names the exit status, what stands on standard output and standard error,
// and that no output file appears.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "app/startup.h"
#include "run/resources.h"
#include "model/model.h"
#include "support/support.h"

namespace zemb {
namespace {

using test::RunResult;

const char* const usage_body =
    "Usage:\n"
    "  ZEMB <SeqName> <#FirstFrame> <#LastFrame> [Parameters]\n\n"
    "<SeqName>:     sequence name (complete path)\n"
    "<#FirstFrame>: number of first sequence frame\n"
    "<#LastFrame>:  number of last sequence frame\n"
    "[parameters]:  optional, including:\n"
    "  -n #:  (square root of) number of weight vectors for each pixel. Default 3\n"
    "  -K #:\t Number of initial frames for calibration. Default 200\n"
    "  -e1 #: Distance threshold for calibration phase (eqn. (2)). Default 0.1\n"
    "  -e2 #: Distance threshold for online phase (eqn. (2)). Default 0.03\n"
    "  -c1 #: Learning rate c1 for calibration phase (eqn. (4)). Default 1.0\n"
    "  -c2 #: Learning rate c2 for online phase (eqn. (4)). Default 0.05\n"
    "  -g #:\t Value for gamma in eqn. (5). Default 0.7\n"
    "  -b #:\t Value for beta in eqn. (5). Default 1.0\n"
    "  -tS #: Value for tau_S in eqn. (5). Default 0.1\n"
    "  -tH #: Value for tau_H in eqn. (5). Default 10.0\n"
    "  -s:    To apply shadow removal. Default: no shadow removal\n"
    "  -m:    To save background model images. Default: do not save\n"
    "  -l:    To save just last detection mask. Default: save all\n"
    "  -j #:    Worker threads for segmentation (same result for any number). Default 1\n"
    "  -o DIR:  Folder for masks and model images (made if missing). Default: current\n"
    "  -O PAT:  Mask file name, one %d for the frame number, .pgm or .png. Default: "
    "<base>Mask.%d.pgm\n"
    "  -G #:    Frames a pixel stays foreground before it is learnt (ghosts fade). Default 0: "
    "never\n"
    "  --relearn #: Foreground share of a frame (0-1) that relearns the scene. Default 0: never\n"
    "  --estimate-memory: print the bytes the run would hold, and stop\n"
    "  -O NAME.mkv: all masks as one lossless video (.mkv, .mp4, .avi, .nut)\n"
    "  --overlay FILE: the input with the foreground tinted, as a video\n"
    "  --stats FILE: per frame: number, seconds, foreground pixels, fraction (CSV)\n"
    "  --stall S: a stream, pipe or camera that sends nothing for S seconds ends. Default 10\n"
    "  --reconnect N: attempts to reach a network stream again. Default 3\n"
    "  --save-model FILE: save the model at the end (and at a stop) to resume from\n"
    "  --load-model FILE: start from a saved model instead of calibrating anew\n"
    "  --checkpoint N:    also save it every N frames\n"
    "  --freeze-after F:  frames from number F on leave the model unchanged\n"
    "  --roi FILE:  image of the frame's size; only its nonzero pixels are segmented\n"
    "  <#LastFrame> end: until the input ends (a video's last frame, the first missing file)\n"
    "  --report FILE: keep the run's progress and account in FILE (JSON)\n"
    "Hit any key to continue...\n";

std::string default_echo(const std::string& sequence, const std::string& base)
{
    return "ZEMB on sequence " + sequence +
           "\n\n\n"
           "No. of images =         3 (from 1 to 3)\n"
           "Image size =            4 x 3\n"
           "Frames for calibration: K=200\n"
           "Neighborhood size:      n=3 (9 weight vectors per pixel)\n"
           "Distance thresholds:    e1=0.1000 (calibration), e2=0.0300 (online)\n"
           "Learning rates:         c1=1.0000 (calibration), c2=0.0500 (online)\n"
           "Save all masks (0/1):   1\n"
           "Save models (0/1):      0\n"
           "Shadow removal (0/1):   0\n"
           "Output is in file(s):   " +
           base + "Mask\n";
}

// The Italian line of each switch fault, then the same in plain English.
std::string missing_value(const std::string& name)
{
    return "Lread_switch: Manca arg. dopo \"" + name + "\"\nzemb: " + name +
           ": its value is missing; it is the last argument\n";
}
std::string not_integer(const std::string& name, const std::string& value)
{
    return "Lread_iswitch: Manca arg. per \"" + name + "\"\nzemb: " + name + " \"" + value +
           "\": not a whole number\n";
}
std::string not_real(const std::string& name, const std::string& value)
{
    const std::string comma = value == "0,5" ? "; decimals take a point: 0.5" : "";
    return "Lread_dswitch: Manca arg. per \"" + name + "\"\nzemb: " + name + " \"" + value +
           "\": not a number" + comma + "\n";
}

// Frames 1 to 9 of a 4 x 3 sequence "seq": enough for every accepted -K
// below.
class StartUp : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (int k = 1; k <= 9; ++k)
            write_frame("seq." + std::to_string(k) + ".ppm");
    }
    void write_frame(const std::string& name)
    {
        test::write_file(dir / name, test::make_ppm(4, 3, [](int r, int c) {
                             return test::Rgb{std::uint8_t(r * 60), std::uint8_t(c * 60), 90};
                         }));
    }
    RunResult run(const std::vector<std::string>& args) { return test::run_zemb(dir.path(), args); }
    bool wrote_outputs() const
    {
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            if (entry.path().extension() == ".pgm" ||
                entry.path().filename().string().find("Model") != std::string::npos)
                return true;
        return false;
    }
    // A refused command line: status 2, the message alone on standard error
    // and nothing on standard output, not even the echo.
    void expect_refused(const std::vector<std::string>& args, const std::string& message)
    {
        RunResult r = run(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, message);
        EXPECT_FALSE(wrote_outputs());
    }
    // An accepted command line: a clean run whose echo shows `shown`. Frames
    // 2 and 3 may leave nothing for masks, which is then all that is said.
    void expect_accepted(const std::vector<std::string>& args, const std::string& shown)
    {
        RunResult r = run(args);
        EXPECT_EQ(r.status, 0);
        const bool no_masks = r.err.find("no masks will be written") != std::string::npos;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), no_masks ? 1 : 0) << r.err;
        EXPECT_NE(r.out.find(shown), std::string::npos) << r.out;
    }
    test::TempDir dir;
};

TEST_F(StartUp, FewerThanThreeArgumentsShowTheUsageTextAndExitZero)
{
    const std::string prompt = "Hit any key to continue...\n";
    const std::string help_tail = "docs/ has the reference.\n";
    // -h and --help add examples and where to read on; neither they nor
    // --no-wait prompt for a key.
    for (auto args : {std::vector<std::string>{}, {"seq", "1"}, {"--help"}, {"-h"}, {"--no-wait"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        RunResult r = run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        std::size_t body = r.out.find("Usage:\n");
        ASSERT_NE(body, std::string::npos);
        const std::string usage_text = std::string(usage_body).substr(0, std::strlen(usage_body) - prompt.size());
        if (args.size() == 1 && args[0] != "--no-wait") {
            EXPECT_EQ(r.out.substr(body, usage_text.size()), usage_text);
            EXPECT_NE(r.out.find("Examples:\n"), std::string::npos);
            EXPECT_EQ(r.out.substr(r.out.size() - help_tail.size()), help_tail);
        } else {
            EXPECT_EQ(r.out.substr(body), args.size() == 1 ? usage_text : usage_body);
        }
        // Seven banner lines and one empty line come before "Usage:".
        std::string banner = r.out.substr(0, body);
        EXPECT_EQ(std::count(banner.begin(), banner.end(), '\n'), 8);
        EXPECT_EQ(banner.substr(banner.size() - 2), "\n\n");
    }
}

TEST_F(StartUp, SettingsEchoShowsTheValuesAsStored)
{
    std::filesystem::create_directory(dir / "frames");
    write_frame("frames/in.1.ppm");
    write_frame("-s.1.ppm");
    const std::string threads = "Worker threads:         ";
    struct Case {
        std::vector<std::string> args;
        std::string shown;        // the echo starts with this, or holds it
        const char* absent = "";  // text the echo must not hold
    };
    const Case cases[] = {
        {{"seq", "1", "3"}, default_echo("seq", "seq")},
        // A sequence in another folder is read from it; outputs go here.
        {{"frames/in", "1", "3"}, default_echo("frames/in", "in")},
        {{"seq", "1", "3", "-j", "1"}, default_echo("seq", "seq"), "Worker threads"},
        {{"seq", "1", "3", "-l", "-s", "-g", "0.65", "-tH", "12.5", "-e2", "0.005", "-m"},
         "Distance thresholds:    e1=0.1000 (calibration), e2=0.0050 (online)\n"
         "Learning rates:         c1=1.0000 (calibration), c2=0.0500 (online)\n"
         "Save all masks (0/1):   0\n"
         "Save models (0/1):      1\n"
         "Shadow removal (0/1):   1\n"
         "  gamma = 0.6500, beta = 1.0000, Th_S = 0.1000, Th_H = 12.5000\n"
         "Output is in file(s):   seqMask\n"},
        {{"seq", "1", "3", "-s", "-j", "2"},
         "  gamma = 0.7000, beta = 1.0000, Th_S = 0.1000, Th_H = 10.0000\n" + threads +
             "2\nOutput is in file(s):   seqMask\n"},
        // Never more threads than the frame's three rows.
        {{"seq", "1", "3", "-j", "8"}, "Shadow removal (0/1):   0\n" + threads + "3\n"},
        // "-s" stands where the sequence name belongs: it is taken as one and
        // afterwards also read as the flag.
        {{"-s", "1", "3"}, "ZEMB on sequence -s\n"},
        {{"-s", "1", "3"}, "Shadow removal (0/1):   1\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        RunResult r = run(c.args);
        // Calibration with the default -K asks for frames past the ninth,
        // which are counted as unusable: status 1, the echo as ever.
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find(c.shown), std::string::npos) << r.out;
        if (c.shown.rfind("ZEMB on", 0) == 0) {
            EXPECT_EQ(r.out.rfind(c.shown, 0), 0u) << "the echo comes first";
        }
        if (*c.absent != '\0') {
            EXPECT_EQ(r.out.find(c.absent), std::string::npos) << r.out;
        }
    }
}

// One switch with one value (none when null) after "seq 2 3 -s -K 2": the
// first frame is 2, so that a -K of 2147483647 would ask for frame numbers no
// name can carry, and -s puts the shadow settings into the echo.
std::vector<std::string> with_switch(const std::string& name, const char* value)
{
    std::vector<std::string> args = {"seq", "2", "3", "-s"};
    if (name != "-K")
        args.insert(args.end(), {"-K", "2"});
    args.push_back(name);
    if (value != nullptr)
        args.push_back(value);
    return args;
}

TEST_F(StartUp, IntegerValuesAndRangesAreTakenWhollyInTheirBaseOrRefused)
{
    const std::string bad_n = "zemb: -n must be 1, 3, 5, 7 or 9 (the map side), not ";
    const std::string bad_k = "zemb: -K must be at least 1 (the first frame counts), not ";
    const std::string bad_j = "zemb: -j must be 0 (one per core) or more, not ";
    const std::string bad_share = "zemb: --relearn must be a fraction from 0 (never) to 1, not ";
    struct Case {
        const char* name;
        const char* value;
        std::string refusal;  // empty when accepted
        std::string shown;    // in the echo, when accepted
    };
    const Case cases[] = {
        {"-n", nullptr, missing_value("-n"), ""},
        {"-n", "", bad_n + "0\n", ""},
        {"-n", "0x5", "", "n=5 (25 weight vectors"},
        {"-n", "07", "", "n=7 (49 weight vectors"},
        {"-n", "011", "", "n=9 (81 weight vectors"},
        {"-n", " 5", "", "n=5 (25 weight vectors"},
        {"-n", "1", "", "n=1 (1 weight vectors"},
        {"-n", "2", bad_n + "2\n", ""},
        {"-n", "11", bad_n + "11\n", ""},
        {"-n", "-3", bad_n + "-3\n", ""},
        {"-n", "99999999999", bad_n + "2147483647\n", ""},
        {"-n", "-99999999999", bad_n + "-2147483648\n", ""},
        {"-n", "five", not_integer("-n", "five"), ""},
        {"-n", "5,0", not_integer("-n", "5,0"), ""},
        {"-n", "5x", not_integer("-n", "5x"), ""},
        {"-n", "5 ", not_integer("-n", "5 "), ""},
        {"-K", nullptr, missing_value("-K"), ""},
        {"-K", "", bad_k + "0\n", ""},
        {"-K", "0x3", "", "K=3\n"},
        {"-K", "010", "", "K=8\n"},
        {"-K", "-5", bad_k + "-5\n", ""},
        {"-K", "99999999999",
         "zemb: -K 2147483647 would ask for frame numbers beyond 2147483647, the largest a name "
         "can carry\n",
         ""},
        {"-K", "-99999999999", bad_k + "-2147483648\n", ""},
        {"-K", "two", not_integer("-K", "two"), ""},
        {"-K", "2,5", not_integer("-K", "2,5"), ""},
        {"-j", "-1", bad_j + "-1\n", ""},
        {"-j", "two", not_integer("-j", "two"), ""},
        {"-j", nullptr, missing_value("-j"), ""},
        {"-G", "-1", "zemb: -G must be 0 (never) or more frames, not -1\n", ""},
        {"-G", "0x10", "", "Ghosts learnt after:    16 frames of foreground\n"},
        // The one real switch with a range: the guard's share of the frame.
        {"--relearn", "1.5", bad_share + "1.5\n", ""},
        {"--relearn", "nan", bad_share + "nan\n", ""},
        {"--relearn", "0.25", "", "Relearn the scene:      above 0.2500 of a frame foreground\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " +
                     (c.value ? '"' + std::string(c.value) + '"' : "at the end"));
        if (c.refusal.empty())
            expect_accepted(with_switch(c.name, c.value), c.shown);
        else
            expect_refused(with_switch(c.name, c.value), c.refusal);
    }
}

TEST_F(StartUp, RealValuesAreTakenWhollyOrRefused)
{
    // Each real switch with each kind of value; the echo shows the value as
    // stored in a 32-bit float, in the switch's own place.
    struct Switch {
        const char* name;
        const char* echo;  // the echo text just before the value
    };
    const Switch switches[] = {
        {"-e1", "e1="},     {"-e2", "e2="},    {"-c1", "c1="},     {"-c2", "c2="},
        {"-g", "gamma = "}, {"-b", "beta = "}, {"-tS", "Th_S = "}, {"-tH", "Th_H = "},
    };
    struct Value {
        const char* text;
        const char* stored;  // as the echo prints it; null when refused
    };
    const Value values[] = {
        {"", "0.0000"},   {"0x10", "16.0000"}, {"0x1p-2", "0.2500"}, {"010", "10.0000"},
        {".5", "0.5000"}, {"1e999", "inf"},    {"-1e39", "-inf"},    {"1e-999", "0.0000"},
        {"nan", "nan"},   {"five", nullptr},   {"0,5", nullptr},     {"1.5x", nullptr},
    };
    for (const Switch& s : switches) {
        SCOPED_TRACE(s.name);
        expect_refused(with_switch(s.name, nullptr), missing_value(s.name));
        for (const Value& v : values) {
            SCOPED_TRACE(v.text);
            if (v.stored != nullptr)
                expect_accepted(with_switch(s.name, v.text), std::string(s.echo) + v.stored);
            else
                expect_refused(with_switch(s.name, v.text), not_real(s.name, v.text));
        }
    }
}

TEST_F(StartUp, SwitchesAreReadInTheirFixedOrderAnywhereOnTheLine)
{
    // "-n" is read before "-e1" and takes the 5, which leaves "-e1" last.
    expect_refused({"seq", "1", "3", "-e1", "-n", "5"}, missing_value("-e1"));
    // "-n 5 seq 1 3": the name is "-n", the first frame 5 and the last "seq"
    // (0); "-n 5" is then also read as the switch.
    RunResult r = run({"-n", "5", "seq", "1", "3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Errore apertura file -n.5.ppm\n");
    EXPECT_FALSE(wrote_outputs());
}

TEST_F(StartUp, FirstFrameThatCannotGiveTheRunItsSizeStopsItWithStatusOne)
{
    const std::string cannot_start =
        "zemb: seq.1.ppm: the first frame gives the run its size; cannot start\n";
    struct Case {
        const char* what;
        std::string bytes;  // of the first frame; "missing" when there is none
        const char* n;
        std::string out;
        std::string err;  // standard error holds this
    };
    const Case cases[] = {
        {"missing", "missing", "3", "Errore apertura file seq.1.ppm\n",
         "zemb: seq.1.ppm: cannot open: No such file or directory\n" + cannot_start},
        {"grey P5", "P5\n4 3\n255\n............", "3", "",
         "zemb: seq.1.ppm: not a binary colour PPM (magic word is not P6)\n" + cannot_start},
        {"cut inside the header", "P6\n4 3\n", "3", "",
         "zemb: seq.1.ppm: header ends before width, height and maxval\n" + cannot_start},
        {"a FIFO", "fifo", "3", "", "zemb: seq.1.ppm: is a FIFO, not a frame file\n" + cannot_start},
        {"a link to /dev/zero", "device", "3", "",
         "zemb: seq.1.ppm: is a device, not a frame file\n" + cannot_start},
        {"an endless comment", "P6\n#" + std::string(40000, 'c'), "3", "",
         "zemb: seq.1.ppm: header runs past 32768 bytes without width, height and maxval\n" +
             cannot_start},
        {"no pixels", "P6\n0 3\n255\n", "3", "",
         "zemb: seq.1.ppm: the first frame has no pixels (0 x 3)\n"},
        {"too large for model images", "P6\n2147483647 2147483647\n255\n", "3", "",
         "2147483647 x 2147483647 frames are too large for model images with n = 3\n"},
        {"too large for this machine", "P6\n65536 65536\n255\n", "1", "", "MiB, more than the"},
        {"too large with wide maps", "P6\n100000 100000\n255\n", "9", "", "MiB, more than the"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(dir / "seq.1.ppm");
        if (c.bytes == "fifo")
            mkfifo((dir / "seq.1.ppm").c_str(), 0644);
        else if (c.bytes == "device")
            std::filesystem::create_symlink("/dev/zero", dir / "seq.1.ppm");
        else if (c.bytes != "missing")
            test::write_file(dir / "seq.1.ppm", c.bytes);
        // A FIFO or an endless device must not hold the run.
        constexpr unsigned hang_seconds = 10;
        RunResult r = test::run_zemb(dir.path(), {"seq", "1", "3", "-K", "2", "-m", "-n", c.n},
                                     hang_seconds);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.out);
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_FALSE(wrote_outputs());
    }
}

// Names that are plainly not what their user meant are said in the terms
// typed, with what to type instead, before anything is made: no output
// folder, no output. A PPM sequence keeps its own messages.
TEST_F(StartUp, MistakenNamesAndOutputFoldersAreNamedBeforeAnythingIsMade)
{
    std::filesystem::create_directory(dir / "input");
    for (int k = 1; k <= 3; ++k)
        write_frame("input/in00000" + std::to_string(k) + ".ppm");
    test::write_file(dir / "grey.1.ppm", "P5\n4 3\n255\n............");
    const std::string in = "input/in00000";
    const std::string unwritable = "zemb: /proc: no output can be written in this folder: ";
    struct Case {
        std::vector<std::string> args;  // -o x is added
        int status;
        std::string err;  // standard error starts with this
        std::string out = "";
    };
    const Case cases[] = {
        {{"nosuch.mp4", "1", "210", "-o", "x"}, 1, "zemb: nosuch.mp4: no such file or folder\n"},
        {{"input", "1", "3", "-o", "x"}, 1,
         "zemb: input: a folder; its frames look like 'input/in%06d.ppm' (3 files from 1); type "
         "that as the name\n"},
        {{"input/", "1", "3"}, 1, "zemb: input/: a folder; its frames look like 'input/in%06d.ppm'"},
        {{in + "1.ppm", "1", "3", "-o", "x"}, 2,
         "zemb: input/in000001.ppm: one image of a numbered sequence, which would be read as a "
         "video of one frame; for the sequence, type 'input/in%06d.ppm'\n"},
        {{"seq.1.ppm", "1", "3"}, 2, "zemb: seq.1.ppm: one image of a numbered sequence, which "
                                     "would be read as a video of one frame; for the sequence, "
                                     "type seq\n"},
        // input/in*.ppm as the shell expands it.
        {{in + "1.ppm", in + "2.ppm", in + "3.ppm", "1", "3", "-n", "bad", "-o", "x"}, 2,
         "zemb: input/in000001.ppm ... input/in000003.ppm: 3 file names where one sequence name "
         "belongs (the shell expands a wildcard into them); type the sequence instead: "
         "zemb 'input/in%06d.ppm' 1 3\n"},
        // A PPM sequence without its first frame, as ever.
        {{"gone", "1", "3", "-o", "x"}, 1, "zemb: gone.1.ppm: cannot open: ",
         "Errore apertura file gone.1.ppm\n"},
        // Folders made for a run that cannot start go again.
        {{"grey", "1", "3", "-o", "x/y"}, 1, "zemb: grey.1.ppm: not a binary colour PPM"},
        {{"seq", "1", "3", "-K", "2", "-o", "/proc"}, 1, unwritable},
        {{"seq", "1", "2", "-K", "2", "-m", "-o", "/proc"}, 1, unwritable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const RunResult r = run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err) << r.err;
        EXPECT_FALSE(test::file_exists(dir / "x"));
        EXPECT_FALSE(wrote_outputs());
    }
    // With no output to write, an unwritable folder does not matter.
    EXPECT_EQ(run({"seq", "1", "2", "-K", "2", "-o", "/proc"}).status, 0);
}

// ZEMB_VECTOR_UNIT (for the tests) may force only a unit this processor has.
TEST_F(StartUp, ForcedVectorUnitThatIsNoneOrMissingStopsTheRunWithStatusOne)
{
    std::vector<std::pair<std::string, std::string>> cases = {
        {"avx9", "zemb: ZEMB_VECTOR_UNIT: no vector unit called 'avx9' (scalar, avx2, avx512)\n"}};
    for (VectorUnit u : {VectorUnit::avx2, VectorUnit::avx512})
        if (!vector_unit_available(u))
            cases.push_back({vector_unit_name(u), std::string("zemb: ZEMB_VECTOR_UNIT: this "
                                                              "processor has no ") +
                                                      vector_unit_name(u) + "\n"});
    for (const auto& [unit, message] : cases) {
        setenv("ZEMB_VECTOR_UNIT", unit.c_str(), 1);
        RunResult r = run({"seq", "1", "3", "-K", "2"});
        unsetenv("ZEMB_VECTOR_UNIT");
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_FALSE(wrote_outputs());
    }
}

// What a command line asks for but will not get is named on standard error
// before the run, which goes on as typed: the warnings come first, and the
// echo shows that nothing they name was read.
TEST_F(StartUp, ArgumentsAndRangesThatWillNotDoWhatTheySayAreWarnedAbout)
{
    struct Case {
        std::vector<std::string> args;
        std::string warnings;
        int status;
    };
    const Case cases[] = {
        // Switches mistyped, unknown or given twice, and values without one.
        {{"seq", "1", "3", "-K", "2", "-k", "3"},
         "zemb: \"-k 3\" was not read: there is no switch -k; did you mean -K?\n", 0},
        {{"seq", "1", "3", "-K", "2", "-E2", "0.01"},
         "zemb: \"-E2 0.01\" was not read: there is no switch -E2; did you mean -e2?\n", 0},
        {{"seq", "1", "3", "-K", "2", "--threads", "2"},
         "zemb: \"--threads 2\" was not read: there is no switch --threads; did you mean -j?\n", 0},
        {{"seq", "1", "3", "-K", "2", "-n5"},
         "zemb: \"-n5\" was not read: there is no switch -n5; did you mean -n 5?\n", 0},
        {{"seq", "1", "3", "-K", "2", "-e3", "0.5"},
         "zemb: \"-e3\" was not read: there is no switch -e3; did you mean -e1 or -e2?\n"
         "zemb: \"0.5\" was not read: a value without a switch\n",
         0},
        {{"seq", "1", "3", "-K", "2", "--verbose", "-5"},
         "zemb: \"--verbose\" was not read: there is no switch --verbose\n"
         "zemb: \"-5\" was not read: a value without a switch\n",
         0},
        {{"seq", "1", "3", "-K", "2", "-s", "-K", "3", "-s"},
         "zemb: \"-K 3\" was not read: -K is given twice, and only its first copy is read\n"
         "zemb: \"-s\" was not read: -s is given twice, and only its first copy is read\n",
         0},
        // Frame numbers that are not plain decimal numbers keep what they read as.
        {{"seq", "1abc", "3", "-K", "2"},
         "zemb: first frame \"1abc\" is not a plain decimal number; read as 1\n", 0},
        {{"seq", "-99999999999", "3", "-K", "2"},
         "zemb: first frame \"-99999999999\" is beyond the int range; read as -2147483648\n", 1},
        // Ranges that give no mask.
        {{"seq", "1", "2", "-K", "2"},
         "zemb: -K 2 takes frames 1 to 2 for calibration, so no frame up to the last, 2, is left "
         "for masks: no masks will be written; -K 1 or less, or a last frame of 3 or more, would "
         "give some\n",
         0},
        {{"seq", "2", "2", "-K", "1"},
         "zemb: -K 1 takes frame 2 for calibration, so no frame up to the last, 2, is left for "
         "masks: no masks will be written; a last frame of 3 or more would give some\n",
         0},
        {{"seq", "3", "", "-K", "2"},
         "zemb: last frame \"\" is not a plain decimal number; read as 0\n"
         "zemb: the last frame, 0, comes before the first, 3: no masks will be written, and "
         "calibration still reads frames 3 to 4\n",
         0},
    };
    for (const Case& c : cases) {
        std::string trace;
        for (const std::string& a : c.args)
            trace += "[" + a + "] ";
        SCOPED_TRACE(trace);
        RunResult r = run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err.substr(0, c.warnings.size()), c.warnings);
        if (c.status == 0) {
            EXPECT_EQ(r.err, c.warnings);
            EXPECT_NE(r.out.find("Frames for calibration: K=" + c.args[4] + "\n"), std::string::npos);
            EXPECT_NE(r.out.find("Shadow removal (0/1):   " +
                                 std::string(c.args.back() == "-s" ? "1" : "0")),
                      std::string::npos);
        }
    }
}

TEST_F(StartUp, SettingsEchoNamesTheOutputFolderAndMaskPatternOnlyWhenGiven)
{
    const std::string plain = default_echo("seq", "seq");
    const std::string head = plain.substr(0, plain.rfind("Output is in file(s):"));
    struct Case {
        std::vector<std::string> switches;
        std::string tail;  // the echo after the shadow line
    };
    for (const Case& c : {
             Case{{"-o", "out"}, "Output folder:          out\nOutput is in file(s):   seqMask\n"},
             Case{{"-O", "m%03d.pgm"}, "Output is in file(s):   m%03d.pgm\n"},
             Case{{"-O", "bin%06d.png", "-o", "a/b/"},
                  "Output folder:          a/b/\nOutput is in file(s):   a/b/bin%06d.png\n"},
         }) {
        std::vector<std::string> args = {"seq", "1", "3"};
        args.insert(args.end(), c.switches.begin(), c.switches.end());
        RunResult r = run(args);
        EXPECT_EQ(r.out.substr(0, head.size() + c.tail.size()), head + c.tail);
    }
    EXPECT_TRUE(std::filesystem::is_directory(dir / "a/b"));
}

TEST_F(StartUp, FaultyOutputSwitchesEndTheRunBeforeAnyFrameIsRead)
{
    test::write_file(dir / "file", "");
    const auto region = [](int w, int h, std::uint8_t inside) {
        return test::make_ppm(w, h, [&](int r, int c) {
            return test::Rgb{0, 0, std::uint8_t(r == 1 && c == 2 ? inside : 0)};
        });
    };
    test::write_file(dir / "zero.ppm", region(4, 3, 0));
    test::write_file(dir / "small.ppm", region(3, 3, 9));
    test::write_file(dir / "roi.ppm", region(4, 3, 9));
    struct Case {
        std::vector<std::string> args;  // after "gone 1 3", a sequence without frames
        int status;
        std::string err;
    };
    for (const Case& c : {
             Case{{"-o"}, 2, "Lread_switch: Manca arg. dopo \"-o\"\n"},
             Case{{"-O"}, 2, "Lread_switch: Manca arg. dopo \"-O\"\n"},
             Case{{"-o", ""}, 2, "zemb: -o needs a folder name\n"},
             Case{{"-O", "bin.png"}, 2, "zemb: -O bin.png: no %d for the frame number\n"},
             Case{{"-O", "b%d_%d.png"}, 2, "zemb: -O b%d_%d.png: more than one conversion: "},
             Case{{"-O", "b%s.png"}, 2, "zemb: -O b%s.png: the frame number must be written as "},
             Case{{"-O", "b%-6d.png"}, 2, "zemb: -O b%-6d.png: the only flag "},
             Case{{"-O", "b%06d.jpg"}, 2,
                  "zemb: -O b%06d.jpg: the extension says how masks are written: .pgm or .png\n"},
             Case{{"-O", "m/b%d.png"}, 2,
                  "zemb: -O m/b%d.png: the mask pattern is a file name; give its folder with -o\n"},
             Case{{"-o", "file"}, 1, "zemb: file: is not a folder: the output folder cannot be made\n"},
             Case{{"-o", "file/sub"}, 1,
                  "zemb: file/sub: cannot make the output folder: Not a directory\n"},
             Case{{"--report", ""}, 2, "zemb: --report needs a file name\n"},
             Case{{"--roi", ""}, 2, "zemb: --roi needs a file name\n"},
             Case{{"--roi", "roi.ppm", "--save-model", "m"}, 2,
                  "zemb: --roi cannot be combined with --save-model or --load-model"},
             Case{{"--load-model", "m", "--roi", "roi.ppm"}, 2,
                  "zemb: --roi cannot be combined with --save-model or --load-model"},
             Case{{"--roi", "none.png"}, 1,
                  "zemb: none.png: cannot open: No such file or directory\n"},
             Case{{"--roi", "file"}, 1, "zemb: file: "},
             Case{{"--roi", "zero.ppm"}, 1, "zemb: zero.ppm: the region is empty: every pixel is 0\n"},
         }) {
        std::vector<std::string> args = {"gone", "1", "3"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r = run(args);
        EXPECT_EQ(r.status, c.status) << c.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
    }
    // A region of another size than the frames' is refused once they are open.
    RunResult other_size = run({"seq", "1", "3", "-K", "1", "-o", "out", "--roi", "small.ppm"});
    EXPECT_EQ(other_size.status, 1);
    EXPECT_EQ(other_size.out, "");
    EXPECT_EQ(other_size.err, "zemb: small.ppm: the region is 3 x 3 pixels, the frames 4 x 3\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "out"));
    EXPECT_FALSE(wrote_outputs());
    // A report that cannot be written stops the run before its first mask.
    RunResult report = run({"seq", "1", "3", "-K", "1", "--report", "file/r.json"});
    EXPECT_EQ(report.status, 1);
    EXPECT_EQ(report.out, "");
    EXPECT_EQ(report.err, "zemb: file/r.json: cannot open: Not a directory\n");
    EXPECT_FALSE(wrote_outputs());
    // A % in the sequence's file name makes it a pattern, which must be one.
    RunResult pattern = run({"in%s.jpg", "1", "3"});
    EXPECT_EQ(pattern.status, 2);
    EXPECT_EQ(pattern.err.rfind("zemb: in%s.jpg: the frame number must be written as ", 0), 0u);
}

// Sizes a run cannot hold under an address-space limit, as ulimit -v sets
// it: refused by the memory check, never left to fail an allocation or to
// meet the out-of-memory killer.
TEST_F(StartUp, FirstFrameTooLargeForTheAddressSpaceLimitStopsAtTheCheck)
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
        test::write_file(dir / "seq.1.ppm", c.header);
        struct rlimit saved, lowered;
        getrlimit(RLIMIT_AS, &saved);
        lowered = saved;
        lowered.rlim_cur = c.limit;
        setrlimit(RLIMIT_AS, &lowered);  // inherited by the run
        RunResult r = run({"seq", "1", "3", "-n", "1"});
        setrlimit(RLIMIT_AS, &saved);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("MiB this process can get (its address-space limit, ulimit -v)\n"),
                  std::string::npos)
            << r.err;
    }
}

TEST_F(StartUp, EstimateMemoryPrintsOneNumberAndRunsNothing)
{
    // Only the first frame's header is read. Its size makes each setting's
    // share larger than the few pages by which the program's own memory
    // varies from one start to the next.
    test::write_file(dir / "big.1.ppm", "P6\n1000 1000\n255\n");
    auto estimate = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = {"big", "1", "3", "-K", "2"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back("--estimate-memory");
        const RunResult r = run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out.find_first_not_of("0123456789"), r.out.size() - 1) << r.out;
        EXPECT_EQ(r.out.back(), '\n');
        return std::stoull(r.out);
    };
    const auto plain = estimate({});
    EXPECT_GT(estimate({"-n", "9"}), plain);
    EXPECT_GT(estimate({"-m"}), plain);
    // Each band's scratch; at or past the usable cores neither run has the
    // read-ahead and write-behind buffers, which fewer threads would add.
    const int cores = usable_cores();
    EXPECT_GT(estimate({"-j", std::to_string(cores + 1)}), estimate({"-j", std::to_string(cores)}));
    EXPECT_FALSE(test::file_exists(dir / "bigMask.3.pgm"));
}

// -j 0: one thread per core the process may run on, here only one.
TEST_F(StartUp, ThreadsForEveryCoreCountOnlyTheCoresTheProcessMayUse)
{
    cpu_set_t saved, single;
    ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
    CPU_ZERO(&single);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &saved)) {
            CPU_SET(cpu, &single);
            break;
        }
    ASSERT_EQ(sched_setaffinity(0, sizeof single, &single), 0);
    RunResult pinned = run({"seq", "1", "3", "-j", "0"});
    sched_setaffinity(0, sizeof saved, &saved);
    EXPECT_EQ(pinned.out.find("Worker threads:"), std::string::npos) << pinned.out;
}

}  // namespace
}  // namespace zemb

// Whole runs of zemb against zemb-reference. zemb runs the fast engine on
// every vector unit and any number of threads, and reads ahead and writes
// behind on threads of its own when a core is free beside its bands;
// zemb-reference runs the straightforward engine in place, the sequential
// road. Whatever goes wrong on the way, both must leave the same files, print
// the same lines in the same order on each stream and end with the same
// status.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "media/media.h"
#include "model/model.h"
#include "run/driver.h"
#include "run/engine.h"
#include "run/resources.h"
#include "run/stage.h"
#include "support/support.h"

namespace zemb {
namespace {

using test::TempDir;

constexpr int width = 24;
constexpr int height = 16;
constexpr int frames_in_sequence = 30;

// A gradient with a square that moves a column per frame.
std::string frame_bytes(int number, int w = width, int h = height)
{
    return test::make_ppm(w, h, [&](int r, int c) {
        if (r >= 4 && r < 9 && c >= number % w && c < number % w + 5)
            return test::Rgb{220, 30, 20};
        return test::Rgb{std::uint8_t(70 + 4 * r), std::uint8_t(100 + 3 * c), 120};
    });
}

struct Outcome {
    int status = -1;
    std::string out, err;
    std::map<std::string, std::string> files;  // by path in the folder; "<folder>" for a folder
};

// A run of `exe` in a fresh folder, where it writes its outputs, with
// `folders` made there first; the frames are read from where `args` names
// them. Its timing figures are masked.
Outcome run_fresh(const char* exe, const std::vector<std::string>& args,
                  const std::vector<std::string>& folders)
{
    TempDir dir;
    for (const std::string& name : folders)
        std::filesystem::create_directories(dir / name);
    const test::RunResult r = test::run_program(exe, dir.path(), args, 60);
    const std::regex figures("ZEMB \\(no I/O\\): [^\n]*msecs[^\n]*");
    Outcome o{r.status, std::regex_replace(r.out, figures, "ZEMB (no I/O): <figures>"), r.err, {}};
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path()))
        o.files[std::filesystem::relative(entry.path(), dir.path()).string()] =
            entry.is_directory() ? "<folder>" : test::read_file(entry.path().string());
    return o;
}

// Standard output without the settings echo's line for -j, which only zemb
// is given.
std::string without_threads_line(const std::string& out)
{
    return std::regex_replace(out, std::regex("Worker threads: +[0-9]+\n"), "");
}

// Regions for --roi, by pixel: a rectangle, and a disc with stripes and
// single pixels (spans of every length, at both edges of the frame).
bool in_rectangle(int r, int c) { return r >= 2 && r < 13 && c >= 3 && c < 20; }
bool in_shape(int r, int c)
{
    const int dr = r - 60, dc = c - 70;
    return dr * dr + dc * dc < 40 * 40 || (r % 9 == 0 && c % 11 < 3) || (r % 7 == 3 && c == 0) ||
           (r % 5 == 1 && c == 159) || (r > 100 && c > 140) || (r + c) % 37 == 0;
}

// The run's masks are 0 outside the region, and each pixel outside keeps
// the block the first model image (frame `first`) shows, in every later one.
void expect_outside_untouched(const Outcome& o, const std::string& base, int first, int w, int h,
                              int n, bool (*inside)(int, int))
{
    const std::string& first_model = o.files.at(base + "Model." + std::to_string(first) + ".ppm");
    const std::string zero(1, '\0');
    int checked = 0;
    for (const auto& [name, bytes] : o.files) {
        const bool mask = name.find("Mask.") != std::string::npos;
        if (!mask && name.find("Model.") == std::string::npos)
            continue;
        ++checked;
        const std::size_t run = mask ? 1 : 3 * n;  // bytes of a block row
        const std::size_t header = bytes.size() - run * (mask ? 1 : n) * w * h;
        for (int r = 0; r < h; ++r)
            for (int c = 0; c < w; ++c)
                for (int a = 0; !inside(r, c) && a < (mask ? 1 : n); ++a) {
                    const std::size_t at = header + (mask ? std::size_t(r) * w + c
                                                          : 3 * ((std::size_t(n * r + a) * n * w) + n * c));
                    ASSERT_EQ(bytes.compare(at, run, mask ? zero : first_model, mask ? 0 : at, run), 0)
                        << name << " pixel " << r << "," << c;
                }
    }
    EXPECT_GT(checked, 2);
}

// Sets an environment variable for the programs started while it lives.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) { setenv(name, value, 1); }
    ~ScopedVariable() { unsetenv(name_); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* name_;
};

// A job's slot is never reused before the main thread has released it, jobs
// are done in order, and without a thread only when asked about.
TEST(Overlap, StageJobsUseTheirSlotsInTurnAndOnlyOnceReleased)
{
    constexpr int slots = 2;
    constexpr long long jobs = 200;
    for (bool threaded : {true, false}) {
        SCOPED_TRACE(threaded ? "threaded" : "in place");
        std::atomic<long long> released{0}, done{0};
        long long slot_job[slots] = {-1, -1};
        bool in_turn = true;
        Stage stage(slots, threaded, [&](long long job, int slot) {
            in_turn = in_turn && job == done && slot == job % slots && job - released < slots;
            slot_job[slot] = job;
            ++done;
        });
        stage.add(jobs);
        if (!threaded) {
            EXPECT_EQ(done, 0);
        }
        for (long long job = 0; job < jobs; ++job) {
            ASSERT_EQ(stage.pending(), jobs - job);
            EXPECT_EQ(slot_job[stage.wait_oldest()], job);
            ++released;
            stage.release_oldest();
        }
        EXPECT_TRUE(in_turn);
        EXPECT_EQ(stage.next_slot(), jobs % slots);
    }
}

// Helpers wherever a second core is usable, whatever the bands take; never
// for the reference, whose road the other tests compare with.
TEST(Overlap, HelperThreadsRunWhereASecondCoreIsUsable)
{
    EXPECT_EQ(run_helper_threads(Engine::fast), usable_cores() > 1 ? 2 : 0);
    EXPECT_EQ(run_helper_threads(Engine::reference), 0);
}

// Each case runs once on zemb-reference and once on zemb with every vector
// unit this processor has forced through ZEMB_VECTOR_UNIT, the thread counts
// taking turns over the cases and units.
TEST(WholeRuns, FastOnEveryUnitAndThreadCountEqualsTheReferenceWhateverGoesWrong)
{
    const std::string cut = frame_bytes(11).substr(0, 200);
    struct Case {
        const char* what;
        std::vector<std::string> args;  // args[0] is a name in the frames' folder
        std::map<std::string, std::string> replaced;  // frame file: its bytes, "" to remove
        std::vector<std::string> folders;             // made under these output names
        int status;
        bool sample = false;  // the bundled sample's frames instead of the gradient
        bool (*region)(int, int) = nullptr;  // given as --roi, and checked outside
    };
    const Case cases[] = {
        {"the sample with shadows", {"walk", "3", "20", "-K", "8", "-s", "-m"}, {}, {}, 0, true},
        {"the sample with n = 5", {"walk", "1", "12", "-K", "6", "-n", "5", "-m"}, {}, {}, 0, true},
        {"the sample, ghosts learnt and the scene relearnt (7 times)",
         {"walk", "1", "20", "-K", "6", "-G", "3", "--relearn", "0.015", "-m"},
         {},
         {},
         0,
         true},
        {"nothing wrong", {"seq", "1", "30", "-K", "6", "-m", "-s"}, {}, {}, 0},
        {"missing, damaged, other-size and short frames",
         {"seq", "1", "30", "-K", "6", "-m"},
         {{"seq.3.ppm", ""},
          {"seq.8.ppm", ""},
          {"seq.9.ppm", "P6\n24 16\n"},
          {"seq.10.ppm", frame_bytes(10, 16, 24)},
          {"seq.11.ppm", cut},
          {"seq.20.ppm", "P5\n24 16\n255\n"},
          {"seq.21.ppm", "<folder>"}},
         {},
         1},
        {"masks and model images that cannot be written",
         {"seq", "1", "30", "-K", "6", "-m"},
         {{"seq.12.ppm", ""}, {"seq.14.ppm", ""}},
         {"seqMask.7.pgm", "seqMask.13.pgm", "seqModel.13.ppm", "seqModel.2.ppm"},
         1},
        {"last mask only",
         {"seq", "1", "30", "-K", "6", "-l"},
         {{"seq.29.ppm", ""}},
         {"seqMask.30.pgm"},
         1},
        {"a range past the last frame", {"seq", "1", "34", "-K", "4"}, {}, {"seqMask.33.pgm"}, 1},
        {"calibration past the last frame",
         {"seq", "25", "27", "-K", "8", "-m"},
         {},
         {"seqModel.32.ppm"},
         1},
        {"the sample in a region, shadows",
         {"walk", "3", "20", "-K", "8", "-s", "-m"},
         {},
         {},
         0,
         true,
         in_shape},
        {"the sample in a region, n = 5, ghosts and the scene relearnt",
         {"walk", "1", "20", "-K", "6", "-n", "5", "-G", "3", "--relearn", "0.02", "-m"},
         {},
         {},
         0,
         true,
         in_shape},
        {"a rectangle", {"seq", "1", "30", "-K", "6", "-m", "-s"}, {}, {}, 0, false, in_rectangle},
        {"PNG masks in a folder",
         {"seq", "1", "30", "-K", "6", "-o", "out", "-O", "m%d.png"},
         {{"seq.15.ppm", "P6\n"}},
         {"out", "out/m16.png"},
         1},
    };
    // The program's own choice is one of these; every other whole-run test
    // leaves the choice to it.
    std::vector<const char*> units;
    for (VectorUnit u : available_vector_units())
        units.push_back(vector_unit_name(u));
    const char* const thread_counts[] = {"1", "2", "3", "0"};

    TempDir sample;
    const std::string unpack = std::string("cd '") + sample.path() + "' && '" + ZEMB_CMAKE +
                               "' -E tar xf '" + ZEMB_SAMPLES_DIR + "/walk-160x120.tar.xz'";
    ASSERT_EQ(std::system(unpack.c_str()), 0);
    std::size_t turn = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.what == std::string("PNG masks in a folder") &&
            !media::has_decoder(media::Format::png))
            continue;
        std::vector<std::string> args = c.args;
        TempDir frames;
        if (c.sample) {
            args[0] = sample / args[0];
        } else {
            for (int k = 1; k <= frames_in_sequence; ++k)
                test::write_file(frames / ("seq." + std::to_string(k) + ".ppm"), frame_bytes(k));
            for (const auto& [name, bytes] : c.replaced) {
                std::filesystem::remove(frames / name);
                if (bytes == "<folder>")
                    std::filesystem::create_directory(frames / name);
                else if (!bytes.empty())
                    test::write_file(frames / name, bytes);
            }
            args[0] = frames / args[0];
        }
        const int w = c.sample ? 160 : width, h = c.sample ? 120 : height;
        if (c.region != nullptr) {
            const std::string path = frames / "roi.ppm";
            test::write_file(path, test::make_ppm(w, h, [&](int r, int col) {
                                 const std::uint8_t v = c.region(r, col) ? 1 : 0;
                                 return test::Rgb{0, v, 0};
                             }));
            args.insert(args.end(), {"--roi", path});
        }
        const Outcome reference = run_fresh(ZEMB_REFERENCE_EXE, args, c.folders);
        EXPECT_EQ(reference.status, c.status) << reference.err;
        if (c.region != nullptr) {
            const auto n = std::find(args.begin(), args.end(), std::string("-n"));
            expect_outside_untouched(reference, c.sample ? "walk" : "seq", std::stoi(args[1]), w,
                                     h, n == args.end() ? 3 : std::stoi(*(n + 1)), c.region);
        }
        EXPECT_NE(reference.out.find("Times for online phase"), std::string::npos);
        for (const char* unit : units) {
            const char* threads = thread_counts[turn++ % std::size(thread_counts)];
            SCOPED_TRACE(std::string("unit '") + unit + "' -j " + threads);
            const ScopedVariable forced(vector_unit_variable, unit);
            std::vector<std::string> fast_args = args;
            fast_args.insert(fast_args.end(), {"-j", threads});
            const Outcome fast = run_fresh(ZEMB_EXE, fast_args, c.folders);
            EXPECT_EQ(fast.status, reference.status);
            EXPECT_EQ(without_threads_line(fast.out), reference.out);
            EXPECT_EQ(fast.err, reference.err);
            EXPECT_TRUE(fast.files == reference.files);
        }
    }
}

TEST(Overlap, AVideoPastItsLastFrameWritesAndPrintsWhatTheSequentialRoadDoes)
{
    const std::string ffmpeg = test::find_tool("ffmpeg");
    if (ffmpeg.empty() || !media::has_decoder(media::Format::video))
        GTEST_SKIP() << "needs the ffmpeg tool and a video decoder";
    TempDir prepared;
    ASSERT_EQ(test::run_program(ffmpeg, prepared.path(),
                                {"-v", "error", "-f", "lavfi", "-i", "testsrc2=size=48x32:rate=10",
                                 "-frames:v", "20", "-c:v", "mpeg4", "-y", "clip.avi"})
                  .status,
              0);
    const std::vector<std::string> args = {prepared / "clip.avi", "1", "24", "-K", "5", "-m"};
    const Outcome sequential = run_fresh(ZEMB_REFERENCE_EXE, args, {});
    const Outcome overlapped = run_fresh(ZEMB_EXE, args, {});
    EXPECT_EQ(sequential.status, 1);
    EXPECT_EQ(overlapped.status, sequential.status);
    EXPECT_EQ(overlapped.out, sequential.out);
    EXPECT_EQ(overlapped.err, sequential.err);
    EXPECT_EQ(sequential.files.size(), 24u + 19);
    EXPECT_TRUE(overlapped.files == sequential.files);
}

}  // namespace
}  // namespace zemb

// Model files: a run cut into pieces gives the whole run's outputs byte for
// byte; damaged or unfitting files are refused; a stopped run resumes; a
// frozen model is a loaded one that does not learn.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/support.h"

namespace zemb {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

constexpr int width = 20, height = 14, frames = 14;

// A background whose light drifts, so that the model keeps learning, and a
// square (a darker copy of the background from frame 9 on, for -s) that
// crosses it.
test::Rgb colour(int number, int r, int c)
{
    const int left = 2 * (number - 3);
    const std::uint8_t drift = std::uint8_t(number % 4);
    const test::Rgb ground{std::uint8_t(70 + 4 * r + drift), std::uint8_t(100 + 3 * c), 120};
    if (r >= 4 && r < 9 && c >= left && c < left + 5)
        return number >= 9 ? test::Rgb{std::uint8_t(ground.r / 2), std::uint8_t(ground.g / 2), 60}
                           : test::Rgb{220, 30, 40};
    return ground;
}

class Resume : public ::testing::Test {
protected:
    void SetUp() override { write_sequence("seq", width, height, frames); }

    void write_sequence(const std::string& name, int w, int h, int count)
    {
        for (int k = 1; k <= count; ++k)
            test::write_file(dir / (name + "." + std::to_string(k) + ".ppm"),
                             test::make_ppm(w, h, [k](int r, int c) { return colour(k, r, c); }));
    }

    test::RunResult zemb(Args args)
    {
        return test::run_zemb(dir.path(), args, 120);
    }

    // Every file of folder `a` has its twin in `b`, and the other way round.
    void expect_same_files(const std::string& a, const std::string& b)
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir / a))
            names.push_back(entry.path().filename().string());
        ASSERT_FALSE(names.empty());
        EXPECT_EQ(std::distance(fs::directory_iterator(dir / b), fs::directory_iterator()),
                  static_cast<long>(names.size()));
        for (const std::string& name : names)
            EXPECT_EQ(test::read_file(dir / (a + "/" + name)), test::read_file(dir / (b + "/" + name)))
                << name;
    }

    test::TempDir dir;
};

Args joined(Args a, const Args& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(Resume, TwoPiecesGiveTheWholeRunsMasksAndModelImages)
{
    struct Case {
        int cut;  // the last frame of the first piece
        Args switches;
    } cases[] = {
        {3, {}},             // within calibration
        {6, {}},             // its last frame (K 6)
        {9, {}},             // online
        {10, {"-s"}},        // online, with the shadow test
        {4, {"-n", "5"}},
        {8, {"-j", "2"}},
        {1, {"-l"}},         // after the first frame only
    };
    for (const Case& c : cases) {
        const std::string cut = std::to_string(c.cut);
        SCOPED_TRACE("cut after frame " + cut + (c.switches.empty() ? "" : " with " + c.switches[0]));
        // -m is no model setting: the second piece is asked again.
        const Args common = joined({"-K", "6", "-m"}, c.switches);
        fs::remove_all(dir / "whole");
        fs::remove_all(dir / "pieces");
        ASSERT_EQ(zemb(joined({"seq", "1", std::to_string(frames), "-o", "whole"}, common)).status, 0);
        const test::RunResult first =
            zemb(joined({"seq", "1", cut, "-o", "pieces", "--save-model", "state"}, common));
        ASSERT_EQ(first.status, 0) << first.err;
        const test::RunResult second =
            zemb(joined({"seq", std::to_string(c.cut + 1), std::to_string(frames), "-o", "pieces",
                         "--load-model", "state", "-m"},
                        c.switches));
        ASSERT_EQ(second.status, 0) << second.err;
        EXPECT_NE(second.out.find("Model loaded from:      state (" + cut + " frames taken"),
                  std::string::npos)
            << second.out;
        expect_same_files("whole", "pieces");
    }
}

TEST_F(Resume, RefusesFilesThatDoNotFit)
{
    ASSERT_EQ(zemb({"seq", "1", "8", "-K", "6", "--save-model", "good"}).status, 0);
    const std::string good = test::read_file(dir / "good");
    ASSERT_EQ(good.size(), std::size_t(128 + 3 * 9 * 4 * width * height + width * height + 4));
    write_sequence("small", 10, 8, 2);
    auto changed = [&](std::size_t at, char byte) {
        std::string bytes = good;
        bytes[at] = byte;
        return bytes;
    };
    struct Case {
        std::string file;  // its bytes
        Args switches;
        std::string message;
    } cases[] = {
        {changed(3000, char(good[3000] ^ 1)), {}, "model file damaged: its checksum does not match"},
        {good.substr(0, good.size() / 2), {},
         "model file cut short: " + std::to_string(good.size() / 2) + " bytes of " +
             std::to_string(good.size())},
        {changed(8, 2), {}, "model file of format version 2; this zemb reads version 1"},
        {good, {"-n", "5"}, "model with n = 3; this run has n = 5"},
        {good, {"-K", "7"}, "model with K = 6; this run has K = 7"},
        {test::read_file(dir / "seq.1.ppm"), {}, "not a zemb model file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        test::write_file(dir / "model", c.file);
        const test::RunResult r = zemb(joined({"seq", "9", "10", "--load-model", "model"}, c.switches));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "zemb: model: " + c.message + "\n");
    }
    const test::RunResult r = zemb({"small", "1", "2", "--load-model", "good"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zemb: good: model of 20 x 14 frames; these frames are 10 x 8\n");
    // Recovery's per-pixel counts are not in the file: a split run could not be whole.
    for (const Args& recovery : {Args{"-G", "5"}, Args{"--relearn", "0.5"}}) {
        const test::RunResult split =
            zemb(joined({"seq", "1", "8", "--save-model", "kept"}, recovery));
        EXPECT_EQ(split.status, 2);
        EXPECT_NE(split.err.find("cannot be used with a saved or loaded model"), std::string::npos)
            << split.err;
    }
}

// Stopped by a signal, a run with checkpoints saves the frame it had in
// hand; the next run goes on from there to the whole run's masks.
TEST_F(Resume, AStoppedRunResumesToTheWholeRunsMasks)
{
    constexpr int many = 600;
    write_sequence("long", 8, 6, many);
    ASSERT_EQ(zemb({"long", "1", std::to_string(many), "-K", "6", "-o", "whole"}).status, 0);
    const int pid = test::start_program(
        ZEMB_EXE, dir.path(),
        {"long", "1", std::to_string(many), "-K", "6", "-o", "pieces", "--save-model", "state",
         "--checkpoint", "1"},
        120);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!test::file_exists(dir / "pieces/longMask.20.pgm") &&
           std::chrono::steady_clock::now() < deadline)
        usleep(1000);
    kill(pid, SIGTERM);
    const test::RunResult stopped = test::finish_program(pid, dir.path());
    ASSERT_EQ(stopped.status, 128 + SIGTERM) << "the run ended before the stop";
    long long last = 0;
    std::memcpy(&last, test::read_file(dir / "state").data() + 48, sizeof last);
    ASSERT_LT(last, many);
    EXPECT_NE(stopped.err.find("zemb: stopped by SIGTERM at frame " + std::to_string(last)),
              std::string::npos)
        << stopped.err;
    const test::RunResult resumed = zemb({"long", std::to_string(last + 1), std::to_string(many),
                                          "-o", "pieces", "--load-model", "state"});
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    expect_same_files("whole", "pieces");
}

// Frozen from frame 10 on, a run's masks are those of a run that loads the
// model of frame 9 and never learns; -c2 0 freezes the online phase too.
TEST_F(Resume, AFrozenModelIsALoadedOneThatDoesNotLearn)
{
    ASSERT_EQ(zemb({"seq", "1", "14", "-K", "6", "-m", "-o", "frozen", "--freeze-after", "10"}).status,
              0);
    ASSERT_EQ(zemb({"seq", "1", "9", "-K", "6", "-m", "-o", "loaded", "--save-model", "state"}).status,
              0);
    ASSERT_EQ(zemb({"seq", "10", "14", "-m", "-o", "loaded", "--load-model", "state",
                    "--freeze-after", "10"})
                  .status,
              0);
    expect_same_files("frozen", "loaded");
    EXPECT_EQ(test::read_file(dir / "frozen/seqModel.14.ppm"),
              test::read_file(dir / "frozen/seqModel.9.ppm"));
    ASSERT_EQ(zemb({"seq", "1", "14", "-K", "6", "-m", "-o", "learning"}).status, 0);
    EXPECT_NE(test::read_file(dir / "learning/seqModel.14.ppm"),
              test::read_file(dir / "frozen/seqModel.14.ppm"));
    ASSERT_EQ(zemb({"seq", "1", "14", "-K", "6", "-c2", "0", "-m", "-o", "still"}).status, 0);
    ASSERT_EQ(zemb({"seq", "1", "14", "-K", "6", "-c2", "0", "-m", "-o", "still-frozen",
                    "--freeze-after", "7"})
                  .status,
              0);
    expect_same_files("still", "still-frozen");
}

}  // namespace
}  // namespace zemb

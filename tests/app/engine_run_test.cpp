// Whole runs of zemb (fast engine, on every vector unit this processor has,
// on one thread or several) and zemb-reference (straightforward functions)
// on the bundled sample must write the same bytes.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "model/model.h"
#include "support/support.h"

namespace zemb {
namespace {

struct Outputs {
    std::vector<std::string> files;  // every mask and model image, in order
    std::string report;              // standard output without the timing figures
};

std::string unpack_sample(const test::TempDir& dir)
{
    std::string unpack = std::string("cd '") + dir.path() + "' && '" + ZEMB_CMAKE +
                         "' -E tar xf '" + ZEMB_SAMPLES_DIR + "/walk-160x120.tar.xz'";
    return std::system(unpack.c_str()) == 0 ? "" : "cannot unpack the sample";
}

Outputs run(const char* exe, const std::vector<std::string>& args, int first, int last, int K)
{
    test::TempDir dir;
    Outputs o;
    if (!unpack_sample(dir).empty())
        return o;
    test::RunResult r = test::run_program(exe, dir.path(), args);
    EXPECT_EQ(r.status, 0) << r.err;
    for (int k = first; k <= last; ++k) {
        o.files.push_back(test::read_file(dir / ("walkModel." + std::to_string(k) + ".ppm")));
        if (k >= first + K)
            o.files.push_back(test::read_file(dir / ("walkMask." + std::to_string(k) + ".pgm")));
    }
    return o;
}

// Sets an environment variable for the programs started while it lives.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name)
    {
        setenv(name, value, 1);
    }
    ~ScopedVariable() { unsetenv(name_); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* name_;
};

void expect_same_files(const Outputs& fast, const Outputs& reference, const std::string& what)
{
    ASSERT_EQ(fast.files.size(), reference.files.size()) << what;
    for (std::size_t i = 0; i < fast.files.size(); ++i) {
        ASSERT_FALSE(reference.files[i].empty()) << what << ": output " << i << " missing";
        EXPECT_TRUE(fast.files[i] == reference.files[i]) << what << ": output " << i << " differs";
    }
}

TEST(Engines, FastRunsOnEveryVectorUnitWriteTheReferencesMasksAndModelImages)
{
    struct Case {
        std::vector<std::string> args;
        int first, last, K;
    };
    const Case cases[] = {
        // A short calibration, shadow removal and model images for every frame.
        {{"walk", "3", "32", "-K", "12", "-s", "-m"}, 3, 32, 12},
        {{"walk", "1", "16", "-K", "6", "-n", "5", "-m"}, 1, 16, 6},
    };
    for (const Case& c : cases) {
        const Outputs reference = run(ZEMB_REFERENCE_EXE, c.args, c.first, c.last, c.K);
        for (VectorUnit unit : {VectorUnit::scalar, VectorUnit::avx2, VectorUnit::avx512}) {
            if (!vector_unit_available(unit))
                continue;  // refused, as the next test shows
            const ScopedVariable forced("ZEMB_VECTOR_UNIT", vector_unit_name(unit));
            expect_same_files(run(ZEMB_EXE, c.args, c.first, c.last, c.K), reference,
                              std::string(vector_unit_name(unit)) + " " + c.args[5]);
        }
    }
}

TEST(Engines, AForcedVectorUnitThatIsNoneOrMissingIsRefused)
{
    test::TempDir dir;
    ASSERT_EQ(unpack_sample(dir), "");
    const std::vector<std::string> args = {"walk", "1", "3", "-K", "2"};
    {
        const ScopedVariable forced("ZEMB_VECTOR_UNIT", "avx9");
        const test::RunResult r = test::run_program(ZEMB_EXE, dir.path(), args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("zemb: ZEMB_VECTOR_UNIT: no vector unit called 'avx9'"),
                  std::string::npos)
            << r.err;
    }
    for (VectorUnit unit : {VectorUnit::avx2, VectorUnit::avx512}) {
        if (vector_unit_available(unit))
            continue;
        const ScopedVariable forced("ZEMB_VECTOR_UNIT", vector_unit_name(unit));
        const test::RunResult r = test::run_program(ZEMB_EXE, dir.path(), args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("this processor has no"), std::string::npos) << r.err;
    }
}

TEST(Engines, RunsOnSeveralThreadsWriteTheSameBytesAsOnOne)
{
    const std::vector<std::string> base = {"walk", "1", "24", "-K", "8", "-s", "-m"};
    auto with_threads = [&](const char* j) {
        std::vector<std::string> args = base;
        args.insert(args.end(), {"-j", j});
        return run(ZEMB_EXE, args, 1, 24, 8);
    };
    Outputs one = with_threads("1");
    Outputs reference = run(ZEMB_REFERENCE_EXE, base, 1, 24, 8);
    expect_same_files(one, reference, "-j 1");
    for (const char* j : {"3", "0"})
        expect_same_files(with_threads(j), one, std::string("-j ") + j);
}

}  // namespace
}  // namespace zemb

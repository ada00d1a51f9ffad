// The benchmark's counting rules and scores.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "eval/eval.h"

namespace zemb::eval {
namespace {

TEST(Scoring, GroundTruthUpToShadowIsNegativeOnly255IsPositiveTheRestIgnored)
{
    EXPECT_EQ(classify_truth(0), Truth::negative);
    EXPECT_EQ(classify_truth(50), Truth::negative);
    EXPECT_EQ(classify_truth(85), Truth::ignored);
    EXPECT_EQ(classify_truth(170), Truth::ignored);
    EXPECT_EQ(classify_truth(255), Truth::positive);
    EXPECT_EQ(classify_truth(51), Truth::ignored);
    EXPECT_EQ(classify_truth(254), Truth::ignored);
}

TEST(Scoring, CountsSkipIgnoredTruthAndPixelsOutsideTheRegion)
{
    const std::vector<std::uint8_t> truth = {0, 50, 85, 170, 255, 255, 0, 255};
    const std::vector<std::uint8_t> mask = {9, 0, 255, 255, 255, 0, 255, 255};
    const std::vector<std::uint8_t> roi = {1, 1, 1, 1, 1, 1, 1, 0};
    Counts c;
    count_frame(mask.data(), truth.data(), roi.data(), truth.size(), c);
    EXPECT_EQ(c.tp, 1u);
    EXPECT_EQ(c.fp, 2u);  // a mask value of 9 counts as foreground
    EXPECT_EQ(c.fn, 1u);
    EXPECT_EQ(c.tn, 1u);
    Counts without_roi;
    count_frame(mask.data(), truth.data(), nullptr, truth.size(), without_roi);
    EXPECT_EQ(without_roi.tp, 2u);
}

TEST(Scoring, ScoresFollowTheBenchmarkFormulas)
{
    Counts c;
    c.tp = 30;
    c.fp = 10;
    c.fn = 20;
    c.tn = 940;
    const Scores s = compute_scores(c);
    EXPECT_DOUBLE_EQ(s.recall, 0.6);
    EXPECT_DOUBLE_EQ(s.specificity, 940.0 / 950.0);
    EXPECT_DOUBLE_EQ(s.fpr, 10.0 / 950.0);
    EXPECT_DOUBLE_EQ(s.fnr, 0.4);
    EXPECT_DOUBLE_EQ(s.pwc, 3.0);
    EXPECT_DOUBLE_EQ(s.precision, 0.75);
    EXPECT_DOUBLE_EQ(s.f_measure, 2 * 0.75 * 0.6 / 1.35);
}

TEST(Scoring, ScoresWithAZeroDenominatorAreUndefined)
{
    Counts only_background;
    only_background.tn = 5;
    const Scores s = compute_scores(only_background);
    EXPECT_TRUE(std::isnan(s.recall));
    EXPECT_TRUE(std::isnan(s.fnr));
    EXPECT_TRUE(std::isnan(s.precision));
    EXPECT_TRUE(std::isnan(s.f_measure));
    EXPECT_DOUBLE_EQ(s.specificity, 1.0);
    EXPECT_DOUBLE_EQ(s.pwc, 0.0);

    Counts all_wrong;  // precision and recall both 0
    all_wrong.fp = 3;
    all_wrong.fn = 4;
    EXPECT_TRUE(std::isnan(compute_scores(all_wrong).f_measure));
    EXPECT_TRUE(std::isnan(compute_scores(Counts{}).pwc));
}

}  // namespace
}  // namespace zemb::eval

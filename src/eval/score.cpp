#include <cmath>
#include <limits>

#include "eval/eval.h"

namespace zemb::eval {

Counts& Counts::operator+=(const Counts& other)
{
    tp += other.tp;
    fp += other.fp;
    fn += other.fn;
    tn += other.tn;
    return *this;
}

void count_frame(const std::uint8_t* mask, const std::uint8_t* truth, const std::uint8_t* roi,
                 std::size_t pixels, Counts& counts)
{
    for (std::size_t i = 0; i < pixels; ++i) {
        if (roi != nullptr && roi[i] == 0)
            continue;
        const Truth t = classify_truth(truth[i]);
        if (t == Truth::ignored)
            continue;
        const bool detected = mask[i] != 0;
        if (t == Truth::positive)
            ++(detected ? counts.tp : counts.fn);
        else
            ++(detected ? counts.fp : counts.tn);
    }
}

namespace {

constexpr double undefined = std::numeric_limits<double>::quiet_NaN();

double ratio(std::uint64_t part, std::uint64_t whole)
{
    return whole == 0 ? undefined : static_cast<double>(part) / static_cast<double>(whole);
}

}  // namespace

Scores compute_scores(const Counts& c)
{
    Scores s{};
    s.recall = ratio(c.tp, c.tp + c.fn);
    s.specificity = ratio(c.tn, c.tn + c.fp);
    s.fpr = ratio(c.fp, c.fp + c.tn);
    s.fnr = ratio(c.fn, c.tp + c.fn);
    const std::uint64_t all = c.tp + c.fn + c.fp + c.tn;
    s.pwc = all == 0 ? undefined : 100.0 * static_cast<double>(c.fn + c.fp) / static_cast<double>(all);
    s.precision = ratio(c.tp, c.tp + c.fp);
    const double sum = s.precision + s.recall;  // NaN when either is undefined
    s.f_measure = std::isnan(sum) || sum == 0.0 ? undefined : 2.0 * s.precision * s.recall / sum;
    return s;
}

}  // namespace zemb::eval

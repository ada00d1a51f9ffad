#include <cmath>

#include "model/model.h"

namespace zemb {

namespace {

// Spreads of the kernel's bell, one per supported block side: the bell
// widens with the window so that its edges keep a weight of about a quarter
// of the centre's.
constexpr float spread_side_3 = 0.75f;
constexpr float spread_side_5 = 2.2f;
constexpr float spread_side_7 = 4.4f;
constexpr float spread_side_9 = 7.0f;
// A 1 x 1 kernel is exp(0) divided by itself whatever the spread: any
// positive value gives the single entry 1.
constexpr float spread_side_1 = 1.0f;

// Added before truncation so that the whole numbers are rounded half up.
constexpr double half_up = 0.5;

}  // namespace

float spread_for_block_side(int n)
{
    switch (n) {
    case 1: return spread_side_1;
    case 3: return spread_side_3;
    case 5: return spread_side_5;
    case 7: return spread_side_7;
    case 9: return spread_side_9;
    default: return 0.0f;
    }
}

WeightMatrix weight_kernel(int n, float s)
{
    // Only odd sides up to the table's size have a centre and a full set of
    // mirror images; a spread of 0 (or less) has no bell. Anything else would
    // divide by zero or write past the table, so it leaves the kernel empty.
    WeightMatrix kernel{};
    if (!is_supported_block_side(n) || !(s > 0.0f))
        return kernel;

    const int h = (n + 1) / 2;
    const int c = h - 1;
    const double g = 1.0 / (2.0 * static_cast<double>(s));

    // One quadrant is computed, the other three are its mirror images.
    for (int i = 0; i < h; ++i) {
        for (int j = 0; j < h; ++j) {
            const float v = static_cast<float>(std::exp(-(double(j * j) * g + double(i * i) * g)));
            kernel[c - i][c + j] = v;
            kernel[c + i][c - j] = v;
            kernel[c - i][c - j] = v;
            kernel[c + i][c + j] = v;
        }
    }

    // The divisor is read once, before any entry is rewritten: normalising
    // the corner first would otherwise turn every later divisor into 1.
    const double inv = 1.0 / static_cast<double>(kernel[n - 1][n - 1]);
    for (int a = 0; a < n; ++a)
        for (int b = 0; b < n; ++b)
            kernel[a][b] =
                static_cast<float>(std::trunc(inv * static_cast<double>(kernel[a][b]) + half_up));
    return kernel;
}

WeightMatrix scaled_weights(const WeightMatrix& kernel, int n, float rate)
{
    WeightMatrix weights{};
    const int side = n < max_block_side ? n : max_block_side;
    for (int i = 0; i < side; ++i)
        for (int j = 0; j < side; ++j)
            weights[i][j] =
                static_cast<float>(static_cast<double>(rate) * static_cast<double>(kernel[i][j]));
    return weights;
}

float scaled_learning_rate(float c, int n)
{
    const double reciprocal = 1.0 / (n + 1);
    return static_cast<float>(static_cast<double>(c) * reciprocal);
}

float calibration_rate(float c1_scaled, float c2_scaled, long long k, long long K)
{
    const float step = static_cast<float>(static_cast<double>(c1_scaled) - c2_scaled);
    return static_cast<float>(c1_scaled -
                              (static_cast<double>(k) * step) / static_cast<double>(K - 1));
}

}  // namespace zemb

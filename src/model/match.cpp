#include "model/model.h"

namespace zemb {

namespace {

// Starting best distance: above any squared distance of two cone points
// (at most 2^2 + 2^2 + 1^2 = 9), so the first element always lowers it.
constexpr float no_distance_yet = 100.0f;

}  // namespace

double squared_distance(float x1, float y1, float z1, float x2, float y2, float z2)
{
    const double dx = static_cast<double>(x2) - static_cast<double>(x1);
    const double dy = static_cast<double>(y2) - static_cast<double>(y1);
    const double dz = static_cast<double>(z2) - static_cast<double>(z1);
    return dx * dx + dy * dy + dz * dz;
}

Index find_best_match(float x, float y, float z, const FloatPlanes& model, int W, int r, int c,
                      int n, float e, Index& bi, Index& bj)
{
    const Index model_cols = Index(n) * W;
    const float* px = model[0];
    const float* py = model[1];
    const float* pz = model[2];

    // The running best is kept as a float while each distance is compared
    // unrounded. Among elements at the same distance, the first wins when the
    // stored best rounded down or exactly, and the last wins when it rounded
    // up (each equal distance is then still below the stored best).
    float best = no_distance_yet;
    Index result = -1;
    for (Index i = Index(n) * r; i < Index(n) * r + n; ++i) {
        for (Index j = Index(n) * c; j < Index(n) * c + n; ++j) {
            const Index idx = i * model_cols + j;
            const double d = squared_distance(x, y, z, px[idx], py[idx], pz[idx]);
            if (d < static_cast<double>(best)) {
                best = static_cast<float>(d);
                if (d <= static_cast<double>(e)) {
                    result = idx;
                    bi = i;
                    bj = j;
                }
            }
        }
    }

    // The centre is preferred when it is as close as the (stored) best: it
    // centres the update window on the block.
    const Index ic = Index(n) * r + n / 2;
    const Index jc = Index(n) * c + n / 2;
    const Index centre = ic * model_cols + jc;
    const double dc = squared_distance(x, y, z, px[centre], py[centre], pz[centre]);
    if (dc <= static_cast<double>(best) && dc <= static_cast<double>(e)) {
        result = centre;
        bi = ic;
        bj = jc;
    }
    return result;
}

}  // namespace zemb

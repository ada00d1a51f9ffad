#include <cmath>

#include "color/color.h"
#include "model/model.h"

namespace zemb {

namespace {

// Degrees in a full turn of the hue circle.
constexpr double full_circle_degrees = 360.0;

}  // namespace

bool is_shadow(float x, float y, float z, const FloatPlanes& model, int W, int row, int col, int n,
               const ShadowSettings& shadow)
{
    const Index model_cols = Index(n) * W;
    const Index first = Index(n) * row * model_cols + Index(n) * col;
    const float* const block[plane_count] = {model[0] + first, model[1] + first, model[2] + first};
    return is_shadow_in_block(x, y, z, block, model_cols, n, shadow);
}

bool is_shadow_in_block(float x, float y, float z, const float* const* block, Index row_stride,
                        int n, const ShadowSettings& shadow)
{
    const double gamma = shadow.gamma;
    const double beta = shadow.beta;
    const double tau_S = shadow.tau_S;
    const double tau_H = shadow.tau_H;

    float Hp = 0.0f;
    float Sp = 0.0f;
    float Vp = 0.0f;
    cone_to_hsv(x, y, z, Hp, Sp, Vp);

    // Row-major over the block: the first element that passes ends the scan.
    for (Index a = 0; a < n; ++a) {
        for (Index b = 0; b < n; ++b) {
            const Index idx = a * row_stride + b;

            // Every test is written so that a not-a-number (V = 0 element,
            // undefined saturation) fails it: comparisons with NaN are false.
            // The value is the element's z, so its ratio is tested before the
            // hue and saturation are worked out: an element failing it fails
            // whatever its hue, and most elements fail it.
            const double ratio = static_cast<double>(Vp) / static_cast<double>(block[2][idx]);
            if (!(ratio >= gamma && ratio <= beta))
                continue;
            float Hm = 0.0f;
            float Sm = 0.0f;
            float Vm = 0.0f;
            cone_to_hsv(block[0][idx], block[1][idx], block[2][idx], Hm, Sm, Vm);

            // Distance on the hue circle; the way round through 0 is stored
            // as a float before the two ways are compared.
            const double d = std::fabs(static_cast<double>(Hp) - static_cast<double>(Hm));
            const float d_around = static_cast<float>(full_circle_degrees - d);
            const double dH = d < static_cast<double>(d_around) ? d : static_cast<double>(d_around);

            if (!(std::fabs(static_cast<double>(Sp) - static_cast<double>(Sm)) < tau_S))
                continue;
            if (!(dH < tau_H))
                continue;
            return true;
        }
    }
    return false;
}

}  // namespace zemb

#include "model/model.h"

namespace zemb {

void init_model(FloatPlanes& model, const FloatPlanes& frame, int H, int W, int n)
{
    const Index model_cols = Index(n) * W;
    for (Index r = 0; r < H; ++r) {
        for (Index c = 0; c < W; ++c) {
            const Index pixel = r * W + c;
            for (Index a = 0; a < n; ++a) {
                const Index row_start = (n * r + a) * model_cols + n * c;
                for (Index b = 0; b < n; ++b)
                    for (int k = 0; k < plane_count; ++k)
                        model[k][row_start + b] = frame[k][pixel];
            }
        }
    }
}

}  // namespace zemb

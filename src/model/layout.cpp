#include <algorithm>

#include "model/model.h"

namespace zemb {

void init_model(FloatPlanes& model, const FloatPlanes& frame, const ModelShape& shape)
{
    init_model_rows(model, frame, shape.W, shape.n, 0, shape.H);
}

void init_model_rows(FloatPlanes& model, const FloatPlanes& frame, int W, int n, int first_row,
                     int last_row)
{
    // Written in memory order, a model row at a time: the model is n^2 times
    // the frame, and a run's start waits for this.
    const Index model_cols = Index(n) * W;
    for (int k = 0; k < plane_count; ++k) {
        float* out = model[k];
        for (Index r = first_row; r < last_row; ++r) {
            const float* pixels = frame[k] + r * W;
            for (Index a = 0; a < n; ++a) {
                float* row = out + (n * r + a) * model_cols;
                for (Index c = 0; c < W; ++c)
                    std::fill_n(row + n * c, n, pixels[c]);
            }
        }
    }
}

}  // namespace zemb

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

void init_model_region(FloatPlanes& model, const FloatPlanes& frame, int W, int n,
                       const Region& region)
{
    const Index model_cols = Index(n) * W;
    const Index H = Index(region.first.size()) - 1;
    for (int k = 0; k < plane_count; ++k)
        for (Index r = 0; r < H; ++r)
            for (const Span* s = region.row_begin(r); s != region.row_end(r); ++s)
                for (Index a = 0; a < n; ++a) {
                    float* row = model[k] + (n * r + a) * model_cols;
                    for (Index c = s->begin; c < s->end; ++c)
                        std::fill_n(row + n * c, n, frame[k][r * W + c]);
                }
}

Region make_region(const std::uint8_t* inside, int H, int W)
{
    Region region;
    region.first.reserve(std::size_t(H) + 1);
    for (Index r = 0; r < H; ++r) {
        region.first.push_back(region.spans.size());
        const std::uint8_t* row = inside + r * W;
        for (int c = 0; c < W;) {
            if (row[c] == 0) {
                ++c;
                continue;
            }
            Span span;
            span.begin = c;
            while (c < W && row[c] != 0)
                ++c;
            span.end = c;
            region.spans.push_back(span);
            region.inside += std::size_t(span.end - span.begin);
        }
    }
    region.first.push_back(region.spans.size());
    return region;
}

}  // namespace zemb

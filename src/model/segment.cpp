#include "model/model.h"

namespace zemb {

namespace {

// Mask values of a classified pixel.
constexpr std::uint8_t mask_background = 0;
constexpr std::uint8_t mask_foreground = 255;

}  // namespace

void segment_frame(const FloatPlanes& frame, const ModelShape& shape, const FloatPlanes& current,
                   std::uint8_t* mask, const FrameSettings& settings, FloatPlanes& update)
{
    const int H = shape.H, W = shape.W, n = shape.n;
    const WeightMatrix& weights = settings.weights;
    const float e = settings.e;
    const ShadowSettings& shadow = settings.shadow;
    auto classify = [&](Index r, Index c) {
        const Index pixel = r * W + c;
        const float x = frame[0][pixel];
        const float y = frame[1][pixel];
        const float z = frame[2][pixel];

        Index bi = 0;
        Index bj = 0;
        const Index m = find_best_match(x, y, z, current, W, static_cast<int>(r),
                                        static_cast<int>(c), n, e, bi, bj);
        if (m < 0) {
            const bool background =
                shadow.enabled && is_shadow(x, y, z, current, W, static_cast<int>(r),
                                            static_cast<int>(c), n, shadow);
            mask[pixel] = background ? mask_background : mask_foreground;
            return;
        }
        // Written before the update, so that the pixel's own elements
        // count as background inside its window.
        mask[pixel] = mask_background;
        update_neighbourhood(x, y, z, H, W, current, update, weights, n, bi, bj, mask);
    };
    // Strict row-major order: later pixels see this frame's mask for the
    // pixels before them, and the last overlapping blend is the one kept.
    const Region* region = settings.region;
    for (Index r = 0; r < H; ++r) {
        if (region == nullptr) {
            for (Index c = 0; c < W; ++c)
                classify(r, c);
            continue;
        }
        for (const Span* s = region->row_begin(r); s != region->row_end(r); ++s)
            for (Index c = s->begin; c < s->end; ++c)
                classify(r, c);
    }
}

void update_neighbourhood(float x, float y, float z, int H, int W, const FloatPlanes& current,
                          FloatPlanes& update, const WeightMatrix& weights, int n, Index bi,
                          Index bj, const std::uint8_t* mask)
{
    const Index half = n / 2;
    const Index model_rows = Index(n) * H;
    const Index model_cols = Index(n) * W;

    // Clipped to the whole model, not to the block: near a block edge the
    // window reaches into the neighbouring pixels' blocks.
    const Index i0 = bi - half > 0 ? bi - half : 0;
    const Index i1 = bi + half + 1 < model_rows ? bi + half + 1 : model_rows;
    const Index j0 = bj - half > 0 ? bj - half : 0;
    const Index j1 = bj + half + 1 < model_cols ? bj + half + 1 : model_cols;

    const double p[plane_count] = {x, y, z};
    for (Index i = i0; i < i1; ++i) {
        const Index owner_row = (i / n) * W;
        for (Index j = j0; j < j1; ++j) {
            // Elements of a pixel that is not background stay as they are.
            if (mask[owner_row + j / n] != mask_background)
                continue;
            // Weights count from the clipped window's first row and column,
            // so a window clipped at the top or left is shifted against the
            // best match while one clipped at the bottom or right is not.
            const double w =
                weights[static_cast<std::size_t>(i - i0)][static_cast<std::size_t>(j - j0)];
            const Index idx = i * model_cols + j;
            for (int k = 0; k < plane_count; ++k)
                update[k][idx] =
                    static_cast<float>((1.0 - w) * static_cast<double>(current[k][idx]) + w * p[k]);
        }
    }
}

}  // namespace zemb

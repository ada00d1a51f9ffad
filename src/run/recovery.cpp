#include "run/recovery.h"

#include <algorithm>

namespace zemb {

long long relearn_frames(int K) { return std::max<long long>(2, K / 4); }

void teach_pixel(FloatPlanes& model, const FloatPlanes& frame, const ModelShape& shape, int r,
                 int c)
{
    const Index n = shape.n, model_cols = n * shape.W;
    const Index pixel = Index(r) * shape.W + c;
    for (int k = 0; k < plane_count; ++k) {
        float* block = model[k] + n * r * model_cols + n * c;
        block[(n / 2) * model_cols + n / 2] = frame[k][pixel];
    }
}

GhostCounter::GhostCounter(std::size_t pixels, int ghost_frames)
    : pixels_(pixels), limit_(static_cast<std::uint32_t>(std::max(ghost_frames, 0)))
{
    if (limit_ > 0)
        counts_ = alloc_zeroed_buffer<std::uint32_t>(pixels_);
}

std::uint64_t GhostCounter::bytes(std::size_t pixels, int ghost_frames)
{
    if (ghost_frames <= 0)
        return 0;
    return pixels > UINT64_MAX / sizeof(std::uint32_t)
               ? UINT64_MAX
               : buffer_bytes(std::uint64_t(pixels) * sizeof(std::uint32_t));
}

void GhostCounter::reset()
{
    if (limit_ > 0)
        std::fill_n(counts_.get(), pixels_, 0u);
}

bool scene_changed(const std::uint8_t* mask, std::size_t pixels, float fraction,
                   std::size_t judged)
{
    if (judged == 0)
        judged = pixels;
    if (fraction <= 0.0f)
        return false;
    std::size_t foreground = 0;
    for (std::size_t i = 0; i < pixels; ++i)
        foreground += mask[i] != 0;
    // In doubles, so that large frames count exactly.
    return static_cast<double>(foreground) > static_cast<double>(fraction) * double(judged);
}

}  // namespace zemb

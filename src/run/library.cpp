// The public Subtractor (include/zemb/zemb.h) over the frame road.
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <new>
#include <string>
#include <system_error>

#include "run/resources.h"
#include "run/model_file.h"
#include "run/road.h"
#include "zemb/zemb.h"

namespace zemb {

namespace {

std::string format(const char* text, long long a, long long b = 0, long long c = 0)
{
    char line[256];
    std::snprintf(line, sizeof line, text, a, b, c);
    return line;
}

// The program's refusals of values a run cannot use.
void check(int width, int height, const Settings& s)
{
    if (!is_supported_block_side(s.n))
        throw Error(format("n must be 1, 3, 5, 7 or 9 (the map side), not %lld", s.n));
    if (s.K < 1)
        throw Error(format("K must be at least 1 (the first frame counts), not %lld", s.K));
    if (s.ghost_frames < 0)
        throw Error(format("ghost_frames must be 0 (never) or more, not %lld", s.ghost_frames));
    if (!(s.relearn >= 0.0f && s.relearn <= 1.0f))
        throw Error("relearn must be a fraction from 0 (never) to 1");
    if (s.threads < 0)
        throw Error(format("threads must be 0 (one per core) or more, not %lld", s.threads));
    if (width <= 0 || height <= 0)
        throw Error(format("the frames have no pixels (%lld x %lld)", width, height));
    if (static_cast<long long>(s.n) * width > INT_MAX ||
        static_cast<long long>(s.n) * height > INT_MAX)
        throw Error(format("%lld x %lld frames are too large for model images with n = %lld", width,
                           height, s.n));
}

VectorUnit chosen_unit(Vectors wanted)
{
    VectorUnit unit = VectorUnit::scalar;
    switch (wanted) {
    case Vectors::best: return best_vector_unit();
    case Vectors::scalar: unit = VectorUnit::scalar; break;
    case Vectors::avx2: unit = VectorUnit::avx2; break;
    case Vectors::avx512: unit = VectorUnit::avx512; break;
    }
    if (!vector_unit_available(unit))
        throw Error(std::string("this processor has no ") + vector_unit_name(unit));
    return unit;
}

Vectors public_unit(VectorUnit unit)
{
    switch (unit) {
    case VectorUnit::scalar: return Vectors::scalar;
    case VectorUnit::avx2: return Vectors::avx2;
    case VectorUnit::avx512: return Vectors::avx512;
    }
    return Vectors::scalar;
}

RoadSettings road_settings(const Settings& s)
{
    RoadSettings r;
    r.n = s.n;
    r.K = s.K;
    r.e1 = s.e1;
    r.e2 = s.e2;
    r.c1 = s.c1;
    r.c2 = s.c2;
    r.shadow.enabled = s.shadow;
    r.shadow.gamma = s.gamma;
    r.shadow.beta = s.beta;
    r.shadow.tau_S = s.tau_S;
    r.shadow.tau_H = s.tau_H;
    r.ghost_frames = s.ghost_frames;
    r.relearn_fraction = s.relearn;
    return r;
}

}  // namespace

Error::~Error() = default;

struct Subtractor::State {
    State(int width, int height, const Settings& s, VectorUnit unit, std::size_t count)
        : settings(s), road(height, width, road_settings(s), Engine::fast, s.threads, unit, false),
          frame(alloc_byte_planes(plane_count, count)), pixels(alloc_float_planes(plane_count, count))
    {
    }
    Settings settings;
    Road road;
    BytePlanes frame;
    FloatPlanes pixels;
};

// A run's state for these frames and settings (threads and unit resolved),
// its memory checked first as the program checks a run's.
std::unique_ptr<Subtractor::State> Subtractor::make_state(int width, int height, const Settings& s)
{
    const VectorUnit unit = chosen_unit(s.vector_unit);
    const std::size_t pixels = std::size_t(width) * std::size_t(height);
    const std::uint64_t needed =
        saturating_sum({Road::bytes(height, width, s.n, Engine::fast, s.threads, s.ghost_frames),
                        plane_set_bytes<std::uint8_t>(pixels), plane_set_bytes<float>(pixels)});
    const MemoryLimit limit =
        memory_limit(saturating_product(std::uint64_t(s.threads - 1), thread_stack_bytes()));
    if (needed > limit.bytes)
        throw Error(format("a run on %lld x %lld frames with n = %lld needs ", width, height, s.n) +
                    std::to_string(mebibytes_rounded_up(needed)) + " MiB, more than the " +
                    std::to_string(limit.bytes >> 20) + " MiB this process can get (" + limit.what +
                    ")");
    try {
        return std::make_unique<State>(width, height, s, unit, pixels);
    } catch (const std::bad_alloc&) {
        throw Error(format("cannot allocate the buffers for %lld x %lld frames with n = %lld", width,
                           height, s.n));
    } catch (const std::system_error& error) {
        throw Error(format("cannot start %lld worker threads: ", s.threads) + error.what());
    }
}

Subtractor::Subtractor(int width, int height, const Settings& settings)
{
    check(width, height, settings);
    Settings s = settings;
    s.threads = threads_for_rows(height, s.threads > 0 ? s.threads : usable_cores());
    s.vector_unit = public_unit(chosen_unit(s.vector_unit));
    state_ = make_state(width, height, s);
}

Subtractor::~Subtractor() = default;
Subtractor::Subtractor(Subtractor&&) noexcept = default;
Subtractor& Subtractor::operator=(Subtractor&&) noexcept = default;

void Subtractor::apply(const std::uint8_t* pixels, int width, int height,
                       std::ptrdiff_t row_stride, PixelOrder order, std::uint8_t* mask_out,
                       bool learn)
{
    Road& road = state_->road;
    if (width != road.width() || height != road.height())
        throw Error(format("frame is %lld x %lld, not %lld x ", width, height, road.width()) +
                    std::to_string(road.height()) + " like the first frame");
    if (row_stride < 3 * static_cast<std::ptrdiff_t>(width))
        throw Error(format("rows %lld bytes apart are shorter than %lld pixels of 3 bytes",
                           row_stride, width));
    if (pixels == nullptr || mask_out == nullptr)
        throw Error("no pixels or no room for the mask");
    split_channels(pixels, height, width, row_stride,
                   order == PixelOrder::rgb ? ChannelOrder::rgb : ChannelOrder::bgr, state_->frame);
    road.convert(state_->frame, state_->pixels);
    road.step(state_->pixels, nullptr, learn);
    const std::size_t count = std::size_t(width) * std::size_t(height);
    if (road.frames() > state_->settings.K)
        std::copy_n(road.mask(), count, mask_out);
    else
        std::fill_n(mask_out, count, std::uint8_t(0));
}

void Subtractor::set_region(const std::uint8_t* inside)
{
    Road& road = state_->road;
    if (road.frames() > 0)
        throw Error("a region is given before the first frame");
    const std::size_t count = std::size_t(road.width()) * std::size_t(road.height());
    if (inside == nullptr || std::find_if(inside, inside + count, [](std::uint8_t v) {
                                 return v != 0;
                             }) == inside + count)
        throw Error("the region is empty: every pixel is 0");
    try {
        road.limit_to(inside);
    } catch (const std::bad_alloc&) {
        throw Error(format("cannot allocate the region of %lld x %lld frames", road.width(),
                           road.height()));
    }
}

bool Subtractor::has_region() const { return state_->road.has_region(); }

// A model file keeps no region: a run resumed from it would silently differ.
static void refuse_region_with_model_file(const Road& road, const char* path)
{
    if (road.has_region())
        throw Error(std::string(path) +
                    ": a Subtractor with a region cannot save or load: a model file does not "
                    "keep the region");
}

void Subtractor::save(const char* path) const
{
    const Road& road = state_->road;
    refuse_region_with_model_file(road, path);
    if (state_->settings.ghost_frames > 0 || state_->settings.relearn > 0.0f)
        throw Error(std::string(path) + ": " + model_file_recovery_refusal);
    const ModelFileResult saved = save_model(path, road, road.frames() - 1);
    if (!saved.ok())
        throw Error(std::string(path) + ": " +
                    model_file_message(saved, ModelFileHeader(), road.width(), road.height(),
                                       state_->settings.n, state_->settings.K));
}

void Subtractor::load(const char* path)
{
    const Road& road = state_->road;
    refuse_region_with_model_file(road, path);
    if (state_->settings.ghost_frames > 0 || state_->settings.relearn > 0.0f)
        throw Error(std::string(path) + ": " + model_file_recovery_refusal);
    ModelFileHeader header;
    ModelFileResult result = read_model_header(path, header);
    RoadSettings wanted = road.settings();
    wanted.K = header.settings.K;
    if (result.ok())
        result = match_model_file(header, road.width(), road.height(), wanted);
    auto refuse = [&] {
        throw Error(std::string(path) + ": " +
                    model_file_message(result, header, road.width(), road.height(),
                                       state_->settings.n, state_->settings.K));
    };
    if (!result.ok())
        refuse();
    Settings s = state_->settings;
    const RoadSettings& saved = header.settings;
    s.K = saved.K;
    s.e1 = saved.e1;
    s.e2 = saved.e2;
    s.c1 = saved.c1;
    s.c2 = saved.c2;
    s.shadow = saved.shadow.enabled;
    s.gamma = saved.shadow.gamma;
    s.beta = saved.shadow.beta;
    s.tau_S = saved.shadow.tau_S;
    s.tau_H = saved.shadow.tau_H;
    std::unique_ptr<State> loaded = make_state(road.width(), road.height(), s);
    result = load_model(path, header, loaded->road);
    if (!result.ok())
        refuse();
    state_ = std::move(loaded);
}

Phase Subtractor::phase() const
{
    switch (state_->road.phase()) {
    case Road::Phase::first_frame: return Phase::first_frame;
    case Road::Phase::calibration: return Phase::calibration;
    case Road::Phase::online: return Phase::online;
    }
    return Phase::online;
}

long long Subtractor::frames() const { return state_->road.frames(); }
bool Subtractor::relearned() const { return state_->road.relearned(); }

void Subtractor::background(std::uint8_t* out, PixelOrder order) const
{
    if (state_->road.frames() == 0)
        throw Error("no background before the first frame");
    write_model_image(state_->road.model(), state_->road.model_length(),
                      order == PixelOrder::rgb ? ChannelOrder::rgb : ChannelOrder::bgr, out);
}

int Subtractor::background_width() const { return state_->settings.n * width(); }
int Subtractor::background_height() const { return state_->settings.n * height(); }
std::size_t Subtractor::background_bytes() const { return 3 * state_->road.model_length(); }
int Subtractor::width() const { return state_->road.width(); }
int Subtractor::height() const { return state_->road.height(); }
const Settings& Subtractor::settings() const { return state_->settings; }
Vectors Subtractor::vector_unit() const { return state_->settings.vector_unit; }
int Subtractor::threads() const { return state_->road.threads(); }

const char* vector_unit_name(Vectors unit)
{
    switch (unit) {
    case Vectors::best: return "best";
    case Vectors::scalar: return "scalar";
    case Vectors::avx2: return "avx2";
    case Vectors::avx512: return "avx512";
    }
    return "best";
}

}  // namespace zemb

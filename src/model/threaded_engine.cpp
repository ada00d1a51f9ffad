// The fast engine on several threads, with the single-threaded result: each
// band is FastEngine::segment_band, and why bands may run at once, in any
// order, and still agree byte for byte is step (7) of the argument in
// fast_rows.h.
#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "model/model.h"

namespace zemb {

namespace {

// Bands per thread: a thread that the system leaves waiting holds up only its
// current band, since the running threads take the others. More bands cost
// two rows' best matches and two partial rows of replays per boundary.
constexpr int bands_per_thread = 2;

}  // namespace

int threads_for_rows(int H, int threads) { return std::clamp(threads, 1, std::max(H, 1)); }

int work_band_count(int H, int threads)
{
    const int used = threads_for_rows(H, threads);
    return used == 1 ? 1 : std::min(used * bands_per_thread, std::max(H, 1));
}

struct ThreadedEngine::Pool {
    // The boundary above band k: the best matches of its rows first_row[k]-1
    // and first_row[k] as the frame began, found by whichever of the two
    // bands on either side starts first, before it writes anything (7). The
    // other finds them found, or waits the few microseconds until they are.
    struct Boundary {
        enum : int { open, finding, found };
        std::atomic<int> state{open};
        std::vector<int> above;  // row first_row[k]-1: band k's replay of the row above
        std::vector<int> below;  // row first_row[k]: band k-1's replay of the row below
    };

    int threads = 1;
    int bands = 1;
    std::vector<int> first_row;  // band k is rows first_row[k] .. first_row[k+1]-1
    std::vector<std::unique_ptr<FastEngine>> engines;   // one scratch per thread
    std::vector<std::unique_ptr<Boundary>> boundaries;  // [k] above band k; [0] unused
    std::vector<std::thread> workers;                   // threads - 1 of them once started

    // A frame: its bands are taken in order by every thread that is running;
    // it is done when no band is left. The workers sleep on `generation`,
    // which each frame (and the end) moves on.
    std::atomic<unsigned> generation{0};
    std::atomic<int> next_band{0};
    std::atomic<int> bands_left{0};
    std::atomic<bool> stop{false};

    // The frame in hand, written before next_band is reset for it and read
    // after a band is taken from it (the two atomics order them).
    const FloatPlanes* frame = nullptr;
    FloatPlanes* model = nullptr;
    std::uint8_t* mask = nullptr;
    const WeightMatrix* weights = nullptr;
    float e = 0.0f;
    ShadowSettings shadow;
    const Region* region = nullptr;
    // The region the bands were last cut for (see cut_bands).
    const Region* cut_for = nullptr;

    // Band k starts at row first_row[k]. Without a region the rows are
    // shared evenly; with one, its pixels are, since a row costs what it
    // holds of the region. Every band keeps at least one row. Any cut gives
    // the same result (7), so this only evens out the threads' work.
    void cut_bands(const Region* for_region)
    {
        const int H = static_cast<int>(first_row.back());
        for (int k = 0; k <= bands; ++k) {
            first_row[static_cast<std::size_t>(k)] =
                static_cast<int>(static_cast<long long>(H) * k / static_cast<long long>(bands));
        }
        cut_for = for_region;
        if (for_region == nullptr || bands == 1)
            return;
        const std::vector<std::size_t>& at = for_region->first;
        std::size_t before = 0;  // inside pixels of rows 0 .. r-1
        int r = 0;
        for (int k = 1; k < bands; ++k) {
            const double share = double(for_region->inside) * k / bands;
            while (r < H && double(before) < share) {
                before += span_pixels(*for_region, at[std::size_t(r)], at[std::size_t(r) + 1]);
                ++r;
            }
            first_row[static_cast<std::size_t>(k)] =
                std::clamp(r, first_row[static_cast<std::size_t>(k) - 1] + 1, H - (bands - k));
        }
    }
    static std::size_t span_pixels(const Region& region, std::size_t from, std::size_t to)
    {
        std::size_t pixels = 0;
        for (std::size_t i = from; i < to; ++i)
            pixels += std::size_t(region.spans[i].end - region.spans[i].begin);
        return pixels;
    }

    void find_boundary(int k, FastEngine& engine)
    {
        Boundary& b = *boundaries[static_cast<std::size_t>(k)];
        int state = Boundary::open;
        if (b.state.compare_exchange_strong(state, Boundary::finding, std::memory_order_acq_rel)) {
            const int row = first_row[static_cast<std::size_t>(k)];
            engine.match_row(*frame, *model, e, row - 1, b.above.data(), region);
            engine.match_row(*frame, *model, e, row, b.below.data(), region);
            b.state.store(Boundary::found, std::memory_order_release);
            b.state.notify_all();
            return;
        }
        while ((state = b.state.load(std::memory_order_acquire)) != Boundary::found)
            b.state.wait(state, std::memory_order_acquire);
    }

    void run_band(int k, FastEngine& engine)
    {
        const std::size_t at = static_cast<std::size_t>(k);
        if (k > 0)
            find_boundary(k, engine);
        if (k + 1 < bands)
            find_boundary(k + 1, engine);
        engine.segment_band(*frame, *model, mask, {*weights, e, shadow, region}, first_row[at],
                            first_row[at + 1], k > 0 ? boundaries[at]->above.data() : nullptr,
                            k + 1 < bands ? boundaries[at + 1]->below.data() : nullptr);
        if (bands_left.fetch_sub(1, std::memory_order_acq_rel) == 1)
            bands_left.notify_all();
    }

    void take_bands(FastEngine& engine)
    {
        for (int k; (k = next_band.fetch_add(1, std::memory_order_acq_rel)) < bands;)
            run_band(k, engine);
    }

    void work(int t)
    {
        unsigned seen = 0;
        for (;;) {
            generation.wait(seen, std::memory_order_acquire);
            seen = generation.load(std::memory_order_acquire);
            if (stop.load(std::memory_order_acquire))
                return;
            take_bands(*engines[static_cast<std::size_t>(t)]);
        }
    }

    ~Pool()
    {
        stop.store(true, std::memory_order_release);
        generation.fetch_add(1, std::memory_order_acq_rel);
        generation.notify_all();
        for (auto& w : workers)
            if (w.joinable())
                w.join();
    }
};

namespace {

// What std::thread allocates to hold the function a worker runs: a few
// pointers, rounded up generously.
constexpr std::uint64_t thread_record_bytes = 64;

}  // namespace

std::uint64_t ThreadedEngine::scratch_bytes(const ModelShape& shape, int threads)
{
    const int H = shape.H, W = shape.W;
    const std::uint64_t used = std::uint64_t(threads_for_rows(H, threads));
    const std::uint64_t bands = std::uint64_t(work_band_count(H, threads));
    const std::uint64_t engine = sizeof(std::unique_ptr<FastEngine>) + sizeof(FastEngine) +
                                 FastEngine::scratch_bytes(shape);
    // Every boundary but band 0's holds two rows of best matches.
    const std::uint64_t boundary = sizeof(std::unique_ptr<Pool::Boundary>) + sizeof(Pool::Boundary);
    const std::uint64_t boundary_rows = (bands - 1) * 2 * std::uint64_t(W) * sizeof(int);
    const std::uint64_t worker = sizeof(std::thread) + thread_record_bytes;
    return sizeof(Pool) + (bands + 1) * sizeof(int) + used * engine + bands * boundary +
           boundary_rows + (used - 1) * worker;
}

ThreadedEngine::ThreadedEngine(const ModelShape& shape, int threads, VectorUnit unit)
    : pool_(std::make_unique<Pool>())
{
    const int H = shape.H, W = shape.W;
    Pool& p = *pool_;
    p.threads = threads_for_rows(H, threads);
    p.bands = work_band_count(H, threads);
    p.first_row.reserve(static_cast<std::size_t>(p.bands) + 1);
    p.engines.reserve(static_cast<std::size_t>(p.threads));
    p.boundaries.reserve(static_cast<std::size_t>(p.bands));
    // Even shares of the rows; a band's size differs from another's by at
    // most one row.
    for (int k = 0; k <= p.bands; ++k)
        p.first_row.push_back(
            static_cast<int>(static_cast<long long>(H) * k / static_cast<long long>(p.bands)));
    for (int t = 0; t < p.threads; ++t)
        p.engines.push_back(std::make_unique<FastEngine>(shape, unit));
    for (int k = 0; k < p.bands; ++k) {
        p.boundaries.push_back(std::make_unique<Pool::Boundary>());
        p.boundaries.back()->above.assign(static_cast<std::size_t>(k > 0 ? W : 0), -1);
        p.boundaries.back()->below.assign(static_cast<std::size_t>(k > 0 ? W : 0), -1);
    }
    // Threads that did start are stopped and joined by ~Pool if a later one
    // cannot be.
    p.workers.reserve(static_cast<std::size_t>(p.threads - 1));
    for (int t = 1; t < p.threads; ++t)
        p.workers.emplace_back([&p, t] { p.work(t); });
}

ThreadedEngine::~ThreadedEngine() = default;

int ThreadedEngine::threads() const { return pool_->threads; }

void ThreadedEngine::segment_frame(const FloatPlanes& frame, FloatPlanes& model, std::uint8_t* mask,
                                   const FrameSettings& settings)
{
    Pool& p = *pool_;
    p.frame = &frame;
    p.model = &model;
    p.mask = mask;
    p.weights = &settings.weights;
    p.e = settings.e;
    p.shadow = settings.shadow;
    p.region = settings.region;
    if (p.region != p.cut_for)
        p.cut_bands(p.region);
    for (auto& b : p.boundaries)
        b->state.store(Pool::Boundary::open, std::memory_order_relaxed);
    p.bands_left.store(p.bands, std::memory_order_relaxed);
    p.next_band.store(0, std::memory_order_release);
    if (!p.workers.empty()) {
        p.generation.fetch_add(1, std::memory_order_acq_rel);
        p.generation.notify_all();
    }
    p.take_bands(*p.engines.front());
    for (int left; (left = p.bands_left.load(std::memory_order_acquire)) != 0;)
        p.bands_left.wait(left, std::memory_order_acquire);
}

}  // namespace zemb

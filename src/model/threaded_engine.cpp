// The fast engine on several threads, with the single-threaded result: each
// band is FastEngine::segment_band, and why bands may run at once and still
// agree byte for byte is step (7) of the argument in fast_rows.h.
#include <algorithm>
#include <semaphore>
#include <thread>
#include <vector>

#include "model/model.h"

namespace zemb {

int band_count(int H, int threads)
{
    return std::clamp(threads, 1, std::max(H, 1));
}

struct ThreadedEngine::Pool {
    // One started thread per band but the first, asleep between frames.
    struct Worker {
        std::binary_semaphore start{0};
        std::thread thread;
    };

    int bands = 1;
    int W = 0;
    std::vector<int> first_row;  // band k is rows first_row[k] .. first_row[k+1]-1
    std::vector<std::unique_ptr<FastEngine>> engines;  // one scratch per band
    // The best matches of the rows on either side of each band boundary, as
    // the frame began: row first_row[k]-1 at (2k) * W and row first_row[k+1]
    // at (2k+1) * W, for band k.
    std::vector<int> neighbours;
    std::vector<std::unique_ptr<Worker>> workers;  // bands - 1 of them once started
    std::counting_semaphore<> done{0};             // one release per finished band

    // The frame in hand, set before the workers are woken and read only
    // after (the semaphores order the two).
    bool stop = false;
    const FloatPlanes* frame = nullptr;
    FloatPlanes* model = nullptr;
    std::uint8_t* mask = nullptr;
    const WeightMatrix* weights = nullptr;
    float e = 0.0f;
    ShadowSettings shadow;

    int* above(int k) { return neighbours.data() + std::size_t(2 * k) * std::size_t(W); }
    int* below(int k) { return neighbours.data() + std::size_t(2 * k + 1) * std::size_t(W); }

    // Before any band writes the model (7).
    void find_neighbours()
    {
        for (int k = 1; k < bands; ++k) {
            const int boundary = first_row[static_cast<std::size_t>(k)];
            engines[0]->match_row(*frame, *model, e, boundary - 1, above(k));
            engines[0]->match_row(*frame, *model, e, boundary, below(k - 1));
        }
    }

    void run_band(int k)
    {
        const std::size_t at = static_cast<std::size_t>(k);
        engines[at]->segment_band(*frame, *model, mask, *weights, e, shadow, first_row[at],
                                  first_row[at + 1], above(k), below(k));
    }

    void work(int k, Worker& self)
    {
        for (;;) {
            self.start.acquire();
            if (stop)
                return;
            run_band(k);
            done.release();
        }
    }

    ~Pool()
    {
        stop = true;
        for (auto& w : workers)
            if (w->thread.joinable()) {
                w->start.release();
                w->thread.join();
            }
    }
};

std::size_t ThreadedEngine::scratch_bytes(int H, int W, int n, int threads)
{
    const std::size_t bands = static_cast<std::size_t>(band_count(H, threads));
    return sizeof(Pool) + bands * (FastEngine::scratch_bytes(H, W, n) + sizeof(FastEngine)) +
           2 * bands * std::size_t(W) * sizeof(int) + (bands + 1) * sizeof(int) +
           bands * sizeof(Pool::Worker);
}

ThreadedEngine::ThreadedEngine(int H, int W, int n, int threads, VectorUnit unit)
    : pool_(std::make_unique<Pool>())
{
    Pool& p = *pool_;
    p.bands = band_count(H, threads);
    p.W = W;
    // Even shares of the rows; a band's size differs from another's by at
    // most one row.
    for (int k = 0; k <= p.bands; ++k)
        p.first_row.push_back(
            static_cast<int>(static_cast<long long>(H) * k / static_cast<long long>(p.bands)));
    for (int k = 0; k < p.bands; ++k)
        p.engines.push_back(std::make_unique<FastEngine>(H, W, n, unit));
    p.neighbours.assign(2 * static_cast<std::size_t>(p.bands) * static_cast<std::size_t>(W), -1);
    // Threads that did start are stopped and joined by ~Pool if a later one
    // cannot be.
    p.workers.reserve(static_cast<std::size_t>(p.bands - 1));
    for (int k = 1; k < p.bands; ++k) {
        p.workers.push_back(std::make_unique<Pool::Worker>());
        Pool::Worker& w = *p.workers.back();
        w.thread = std::thread([&p, k, &w] { p.work(k, w); });
    }
}

ThreadedEngine::~ThreadedEngine() = default;

int ThreadedEngine::bands() const { return pool_->bands; }

VectorUnit ThreadedEngine::unit() const { return pool_->engines.front()->unit(); }

void ThreadedEngine::segment_frame(const FloatPlanes& frame, FloatPlanes& model,
                                   std::uint8_t* mask, const WeightMatrix& weights, float e,
                                   const ShadowSettings& shadow)
{
    Pool& p = *pool_;
    p.frame = &frame;
    p.model = &model;
    p.mask = mask;
    p.weights = &weights;
    p.e = e;
    p.shadow = shadow;
    p.find_neighbours();
    for (auto& w : p.workers)
        w->start.release();
    p.run_band(0);
    for (std::size_t k = 0; k < p.workers.size(); ++k)
        p.done.acquire();
}

}  // namespace zemb

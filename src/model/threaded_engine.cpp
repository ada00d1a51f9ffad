// The fast engine on several threads, with the single-threaded result: each
// band is FastEngine::segment_band, and why bands may run at once and still
// agree byte for byte is step (6) of the argument in fast_rows.h.
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
    std::vector<int> first_row;  // band k is rows first_row[k] .. first_row[k+1]-1
    std::vector<std::unique_ptr<FastEngine>> engines;  // one scratch per band
    std::vector<std::unique_ptr<Worker>> workers;      // bands - 1 of them once started
    std::counting_semaphore<> done{0};                 // one release per finished band

    // The frame in hand, set before the workers are woken and read only
    // after (the semaphores order the two).
    bool stop = false;
    const FloatPlanes* frame = nullptr;
    const FloatPlanes* current = nullptr;
    std::uint8_t* mask = nullptr;
    const WeightMatrix* weights = nullptr;
    float e = 0.0f;
    ShadowSettings shadow;
    FloatPlanes* update = nullptr;

    void run_band(int k)
    {
        engines[static_cast<std::size_t>(k)]->segment_band(
            *frame, *current, mask, *weights, e, shadow, *update, first_row[static_cast<std::size_t>(k)],
            first_row[static_cast<std::size_t>(k) + 1]);
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

ThreadedEngine::ThreadedEngine(int H, int W, int n, int threads, UpdateWrite write,
                               VectorUnit unit)
    : pool_(std::make_unique<Pool>())
{
    Pool& p = *pool_;
    p.bands = band_count(H, threads);
    // Even shares of the rows; a band's size differs from another's by at
    // most one row.
    for (int k = 0; k <= p.bands; ++k)
        p.first_row.push_back(
            static_cast<int>(static_cast<long long>(H) * k / static_cast<long long>(p.bands)));
    for (int k = 0; k < p.bands; ++k)
        p.engines.push_back(std::make_unique<FastEngine>(H, W, n, write, unit));
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

void ThreadedEngine::segment_frame(const FloatPlanes& frame, const FloatPlanes& current,
                                   std::uint8_t* mask, const WeightMatrix& weights, float e,
                                   const ShadowSettings& shadow, FloatPlanes& update)
{
    Pool& p = *pool_;
    p.frame = &frame;
    p.current = &current;
    p.mask = mask;
    p.weights = &weights;
    p.e = e;
    p.shadow = shadow;
    p.update = &update;
    for (auto& w : p.workers)
        w->start.release();
    p.run_band(0);
    for (std::size_t k = 0; k < p.workers.size(); ++k)
        p.done.acquire();
}

}  // namespace zemb

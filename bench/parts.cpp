// Where a whole run's time goes, part by part, on one thread: reading a frame
// (decoding and conversion to R, G, B planes), the conversion to cone
// coordinates, the engine, the mask filter and the PNG write of the mask.
//
//   zemb_parts <video or sequence> <last frame> <folder for the masks>
//
// Prints, for the online frames, the median and the mean per frame of each
// part in wall and in CPU time: the calling thread's, and for reading also
// the decoder's own threads (their CPU time over the online frames, spread
// evenly, as they decode ahead while the other parts run).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "media/media.h"
#include "postproc/postproc.h"
#include "run/engine.h"
#include "run/road.h"

namespace {

struct Clock {
    double wall = 0, cpu = 0;
    static double now(clockid_t id)
    {
        timespec t{};
        clock_gettime(id, &t);
        return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
    }
    static Clock read() { return {now(CLOCK_MONOTONIC), now(CLOCK_THREAD_CPUTIME_ID)}; }
};

struct Part {
    const char* name;
    std::vector<double> wall, cpu;
    void add(const Clock& from, const Clock& to)
    {
        wall.push_back(to.wall - from.wall);
        cpu.push_back(to.cpu - from.cpu);
    }
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double mean(const std::vector<double>& v)
{
    double sum = 0;
    for (double x : v)
        sum += x;
    return v.empty() ? 0 : sum / double(v.size());
}

}  // namespace

int main(int argc, char** argv)
{
    using namespace zemb;
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <video or sequence> <last frame> <folder>\n", argv[0]);
        return 2;
    }
    const long long last = std::atoll(argv[2]);
    const std::string folder = argv[3];
    media::Result opened;
    std::unique_ptr<media::FrameSource> source = media::open_video(argv[1], 1, media::no_pixel_cap, opened);
    if (!source) {
        std::fprintf(stderr, "%s\n", media::message(opened).c_str());
        return 1;
    }
    VectorUnit unit = VectorUnit::scalar;
    if (!run_vector_unit(unit).ok())
        return 1;
    const int H = source->rows(), W = source->cols();
    const std::size_t pixels = std::size_t(H) * std::size_t(W);
    const RoadSettings settings;
    Road road(H, W, settings, Engine::fast, 1, unit, false);
    BytePlanes frame = alloc_byte_planes(plane_count, pixels);
    FloatPlanes cone = alloc_float_planes(plane_count, pixels);
    std::vector<std::uint8_t> scratch(pixels);
    Part read{"read (decode, RGB)", {}, {}}, convert{"cone conversion", {}, {}},
        engine{"engine", {}, {}}, filter{"mask filter", {}, {}}, png{"PNG write", {}, {}};
    double process_start = 0, thread_start = 0;
    for (long long k = 1; k <= last; ++k) {
        const bool online = k > settings.K;
        if (k == settings.K + 1) {
            process_start = Clock::now(CLOCK_PROCESS_CPUTIME_ID);
            thread_start = Clock::now(CLOCK_THREAD_CPUTIME_ID);
        }
        const Clock t0 = Clock::read();
        if (source->read(k, frame).fault != media::Fault::none) {
            std::fprintf(stderr, "frame %lld could not be read\n", k);
            return 1;
        }
        const Clock t1 = Clock::read();
        road.convert(frame, cone);
        const Clock t2 = Clock::read();
        road.step(cone);
        const Clock t3 = Clock::read();
        if (!online)
            continue;
        // step() filtered the mask in place; the same filter again on a copy
        // costs what that took, and comes off the engine's figure.
        std::copy_n(road.mask(), pixels, scratch.data());
        const Clock t4 = Clock::read();
        filter_mask(scratch.data(), W, pixels, scratch.data());
        const Clock t5 = Clock::read();
        char name[64];
        std::snprintf(name, sizeof name, "/bin%06lld.png", k);
        if (media::write_png_mask(H, W, road.mask(), (folder + name).c_str()).fault != media::Fault::none)
            return 1;
        const Clock t6 = Clock::read();
        read.add(t0, t1);
        convert.add(t1, t2);
        engine.add(t2, t3);
        engine.wall.back() -= t5.wall - t4.wall;
        engine.cpu.back() -= t5.cpu - t4.cpu;
        filter.add(t4, t5);
        png.add(t5, t6);
    }
    const double helpers = (Clock::now(CLOCK_PROCESS_CPUTIME_ID) - process_start) -
                           (Clock::now(CLOCK_THREAD_CPUTIME_ID) - thread_start);
    for (double& cpu : read.cpu)
        cpu += helpers / double(read.cpu.size());
    std::printf("%d x %d, online frames %lld..%lld, vector unit %s; ms per frame\n", W, H,
                settings.K + 1LL, last, vector_unit_name(unit));
    std::printf("%-20s %11s %11s %11s %11s\n", "part", "wall med", "wall mean", "CPU med", "CPU mean");
    for (const Part* p : {&read, &convert, &engine, &filter, &png})
        std::printf("%-20s %11.3f %11.3f %11.3f %11.3f\n", p->name, median(p->wall), mean(p->wall),
                    median(p->cpu), mean(p->cpu));
    return 0;
}

// Time per frame of two common background subtractors of the OpenCV
// library on the same frames, for comparison: apply() only, one thread,
// default settings.
//
//   zemb_opencv <sequence prefix> <first> <last>
//
// Prints "mog2_ms knn_ms" (milliseconds per frame, all frames of the range).
#include <opencv2/core.hpp>
#include <opencv2/video/background_segm.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "imagedata/imagedata.h"

int main(int argc, char** argv)
{
    using namespace zemb;
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <sequence prefix> <first> <last>\n", argv[0]);
        return 2;
    }
    const std::string prefix = argv[1];
    const int first = std::atoi(argv[2]);
    const int last = std::atoi(argv[3]);
    const PpmRead size = read_ppm_size((prefix + "." + std::to_string(first) + ".ppm").c_str());
    if (!size.ok())
        return 1;
    const int H = size.rows;
    const int W = size.cols;
    // Frames are read up front: only apply() is timed.
    std::vector<cv::Mat> frames;
    BytePlanes bytes = alloc_byte_planes(plane_count, std::size_t(H) * std::size_t(W));
    for (int k = first; k <= last; ++k) {
        if (!read_ppm_frame((prefix + "." + std::to_string(k) + ".ppm").c_str(), H, W, bytes).ok())
            return 1;
        cv::Mat m(H, W, CV_8UC3);
        for (int i = 0; i < H * W; ++i) {
            m.data[3 * i] = bytes[2][i];  // blue, green, red
            m.data[3 * i + 1] = bytes[1][i];
            m.data[3 * i + 2] = bytes[0][i];
        }
        frames.push_back(m);
    }
    cv::setNumThreads(1);
    auto time_per_frame = [&](cv::Ptr<cv::BackgroundSubtractor> subtractor) {
        cv::Mat mask;
        double total = 0.0;
        for (const cv::Mat& f : frames) {
            const auto start = std::chrono::steady_clock::now();
            subtractor->apply(f, mask);
            total +=
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
        }
        return total / static_cast<double>(frames.size());
    };
    const double mog2 = time_per_frame(cv::createBackgroundSubtractorMOG2());
    const double knn = time_per_frame(cv::createBackgroundSubtractorKNN());
    std::printf("%.4f %.4f\n", mog2, knn);
    return 0;
}

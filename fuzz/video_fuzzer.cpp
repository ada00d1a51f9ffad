// Fuzz target: the video path (the container probe, the stream's declared
// size, the first frame, then a few more) over arbitrary bytes stored in a
// file. libFuzzer's per-input timeout bounds each input, so a hang is a
// finding.
//
// Checked beyond "no crash": an open video is within the pixel cap and says
// so; a frame read either fills the planes or says why not; frames come in
// order and a refused one past the end stays refused.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "media/media.h"
#include "fuzz_input.h"

namespace {

using namespace zemb;

// Small pictures only: the inputs are a few kilobytes.
constexpr std::uint64_t pixel_cap = 1 << 16;
// Frames read after the first.
constexpr long long frames_read = 4;

std::string temp_video_path;
BytePlanes planes;

[[noreturn]] void fail(const char* what, const std::string& detail = "")
{
    std::fprintf(stderr, "video_fuzzer: invariant broken: %s %s\n", what, detail.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    temp_video_path = fuzz::temporary_file("/tmp/zemb-video-fuzz-XXXXXX");
    planes = alloc_byte_planes(plane_count, pixel_cap);
    if (!media::has_decoder(media::Format::video))
        fail("no FFmpeg module beside the target");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::FILE* out = std::fopen(temp_video_path.c_str(), "wb");
    if (out == nullptr)
        return 0;
    if (size > 0)
        std::fwrite(data, 1, size, out);
    std::fclose(out);
    media::Result r;
    auto video = media::open_video(temp_video_path, 1, pixel_cap, r);
    if (!video) {
        if (media::describe(r).empty())
            fail("a video refused without a reason");
        return 0;
    }
    if (video->rows() <= 0 || video->cols() <= 0 ||
        std::uint64_t(video->rows()) * std::uint64_t(video->cols()) > pixel_cap)
        fail("a video opened outside the cap");
    for (long long k = 1; k <= frames_read; ++k) {
        r = video->read(k, planes);
        if (!r.frame_read()) {
            if (media::describe(r).empty())
                fail("a frame refused without a reason");
            if (r.fault == media::Fault::past_end && video->read(k + 1, planes).frame_read())
                fail("a frame read after the video ended");
            break;
        }
    }
    return 0;
}

// Fuzz target: the image reader (sniffing, then the PPM, JPEG, PNG or BMP
// decoder) over arbitrary bytes stored in a file.
//
// Checked beyond "no crash": a header within the cap gives sizes within it;
// a refused decode says why; and after every input the same reader, with
// the decoders it keeps from file to file, still decodes each known-good
// image of the seeds exactly as a fresh reader did at the start.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "media/media.h"
#include "fuzz_input.h"

namespace {

using namespace zemb;

// Largest picture a fuzz input may decode to: the inputs are small, and a
// header that claims more is refused before any decoder allocates.
constexpr std::uint64_t pixel_cap = 1 << 16;

struct KnownGood {
    std::string path;
    int width = 0, height = 0;
    std::vector<std::uint8_t> samples;  // the three planes, one after the other
};

std::string temp_image_path;
std::vector<KnownGood> known_good;
media::ImageReader* reader = nullptr;
BytePlanes planes;

[[noreturn]] void fail(const char* what, const std::string& detail = "")
{
    std::fprintf(stderr, "image_fuzzer: invariant broken: %s %s\n", what, detail.c_str());
    std::abort();
}

// Opens and decodes `path`; false when either step refuses it.
bool decode(media::ImageReader& r, const char* path, media::Result& result)
{
    result = r.open(path, pixel_cap);
    if (result.fault != media::Fault::none)
        return false;
    if (result.width < 0 || result.height < 0 ||
        std::uint64_t(result.width) * std::uint64_t(result.height) > pixel_cap)
        fail("header accepted outside the cap", media::message(result));
    result = r.decode(planes);
    if (!result.frame_read() && media::describe(result).empty())
        fail("refused decode without a reason");
    return result.frame_read();
}

std::vector<std::uint8_t> samples_of(int width, int height)
{
    const std::size_t n = std::size_t(width) * std::size_t(height);
    std::vector<std::uint8_t> s;
    for (int k = 0; k < plane_count; ++k)
        s.insert(s.end(), planes[k], planes[k] + n);
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    temp_image_path = fuzz::temporary_file("/tmp/zemb-image-fuzz-XXXXXX");
    planes = alloc_byte_planes(plane_count, pixel_cap);
    reader = new media::ImageReader;
    if (!reader->reserve(int(pixel_cap)))
        std::abort();
    // The known-good images, decoded by a fresh reader.
    for (const char* name : {"good.ppm", "good.jpg", "good-progressive-grey.jpg", "good.png", "good.bmp"}) {
        KnownGood good;
        good.path = std::string(ZEMB_FUZZ_SEEDS "/image_fuzzer/") + name;
        media::ImageReader fresh;
        media::Result r;
        if (!decode(fresh, good.path.c_str(), r) || r.fault != media::Fault::none) {
            std::fprintf(stderr, "image_fuzzer: known-good image %s: %s\n", good.path.c_str(),
                         media::message(r).c_str());
            std::abort();
        }
        good.width = r.width;
        good.height = r.height;
        good.samples = samples_of(r.width, r.height);
        known_good.push_back(good);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::FILE* out = std::fopen(temp_image_path.c_str(), "wb");
    if (out == nullptr)
        return 0;
    if (size > 0)
        std::fwrite(data, 1, size, out);
    std::fclose(out);
    media::Result r;
    decode(*reader, temp_image_path.c_str(), r);
    // A header read and then abandoned must leave nothing behind either.
    reader->open(temp_image_path.c_str(), pixel_cap);
    reader->close();
    for (const KnownGood& good : known_good) {
        if (!decode(*reader, good.path.c_str(), r) || r.fault != media::Fault::none)
            fail("known-good image refused after a fuzz input:", media::message(r));
        if (r.width != good.width || r.height != good.height || samples_of(r.width, r.height) != good.samples)
            fail("known-good image decoded otherwise after a fuzz input:", good.path);
    }
    return 0;
}

#include "run/model_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cerrno>
#include <cstring>

#include "files/files.h"

namespace zemb {

namespace {

static_assert(std::endian::native == std::endian::little,
              "model files hold the model's floats as this machine stores them");

constexpr char magic[8] = {'Z', 'E', 'M', 'B', 'M', 'O', 'D', 'L'};
constexpr std::size_t header_bytes = 128;
constexpr std::size_t crc_bytes = 4;
constexpr std::size_t chunk_bytes = 1 << 16;

// Field offsets in the header (docs/model-file.md).
enum Offset : std::size_t {
    at_version = 8,
    at_header_bytes = 12,
    at_file_bytes = 16,
    at_width = 24,
    at_height = 28,
    at_n = 32,
    at_K = 36,
    at_frames = 40,
    at_last_frame = 48,
    at_e1 = 56,
    at_e2 = 60,
    at_c1 = 64,
    at_c2 = 68,
    at_shadow = 72,
    at_gamma = 76,
    at_beta = 80,
    at_tau_S = 84,
    at_tau_H = 88,
    at_planes = 92,
};

template <typename T>
void put(unsigned char* header, std::size_t at, T value)
{
    std::memcpy(header + at, &value, sizeof value);
}

template <typename T>
T get(const unsigned char* header, std::size_t at)
{
    T value;
    std::memcpy(&value, header + at, sizeof value);
    return value;
}

std::uint32_t crc(std::uint32_t sum, const void* data, std::size_t bytes)
{
    const auto* p = static_cast<const Bytef*>(data);
    while (bytes > 0) {
        const uInt part = bytes > (1u << 30) ? (1u << 30) : static_cast<uInt>(bytes);
        sum = static_cast<std::uint32_t>(crc32(sum, p, part));
        p += part;
        bytes -= part;
    }
    return sum;
}

// Reads exactly `bytes`; false at an error (errno) or the file's end (errno 0).
bool read_all(int fd, void* out, std::size_t bytes)
{
    auto* p = static_cast<unsigned char*>(out);
    while (bytes > 0) {
        const ssize_t got = read(fd, p, bytes);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got == 0)
                errno = 0;
            return false;
        }
        p += got;
        bytes -= std::size_t(got);
    }
    return true;
}

ModelFileResult fault_of(ModelFileFault fault, int error = 0, long long number = 0,
                         long long other = 0)
{
    ModelFileResult result;
    result.fault = fault;
    result.error = error;
    result.number = number;
    result.other = other;
    return result;
}

ModelFileResult read_fault(std::uint64_t size)
{
    if (errno != 0)
        return fault_of(ModelFileFault::cannot_read, errno);
    return fault_of(ModelFileFault::cut, 0, static_cast<long long>(size));
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

ModelFileResult open_model(const char* path, int& fd, std::uint64_t& size)
{
    int error = 0;
    unsigned mode = 0;
    fd = open_input_file(path, error, mode);
    if (fd < 0 && error == 0)
        return fault_of(ModelFileFault::not_file, 0, mode);
    if (fd < 0)
        return fault_of(ModelFileFault::cannot_open, error);
    // Reads wait for the disk from here on.
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    struct stat info;
    if (fstat(fd, &info) != 0)
        return fault_of(ModelFileFault::cannot_read, errno);
    size = static_cast<std::uint64_t>(info.st_size);
    return {};
}

void encode_header(unsigned char* header, int width, int height, const RoadSettings& s,
                   long long frames, long long last_frame)
{
    std::memset(header, 0, header_bytes);
    std::memcpy(header, magic, sizeof magic);
    put<std::uint32_t>(header, at_version, model_file_version);
    put<std::uint32_t>(header, at_header_bytes, header_bytes);
    put<std::uint64_t>(header, at_file_bytes, model_file_bytes(width, height, s.n));
    put<std::int32_t>(header, at_width, width);
    put<std::int32_t>(header, at_height, height);
    put<std::int32_t>(header, at_n, s.n);
    put<std::int32_t>(header, at_K, s.K);
    put<std::int64_t>(header, at_frames, frames);
    put<std::int64_t>(header, at_last_frame, last_frame);
    put<float>(header, at_e1, s.e1);
    put<float>(header, at_e2, s.e2);
    put<float>(header, at_c1, s.c1);
    put<float>(header, at_c2, s.c2);
    put<std::uint32_t>(header, at_shadow, s.shadow.enabled ? 1 : 0);
    put<float>(header, at_gamma, s.shadow.gamma);
    put<float>(header, at_beta, s.shadow.beta);
    put<float>(header, at_tau_S, s.shadow.tau_S);
    put<float>(header, at_tau_H, s.shadow.tau_H);
    put<std::uint32_t>(header, at_planes, plane_count);
}

bool sizes_fit(long long width, long long height, long long n)
{
    return width > 0 && height > 0 && is_supported_block_side(static_cast<int>(n)) &&
           n * width <= INT32_MAX && n * height <= INT32_MAX;
}

}  // namespace

std::uint64_t model_file_bytes(int width, int height, int n)
{
    const std::uint64_t pixels = std::uint64_t(width) * std::uint64_t(height);
    const std::uint64_t model = saturating_product(
        saturating_product(pixels, std::uint64_t(n) * std::uint64_t(n)),
        plane_count * sizeof(float));
    return saturating_sum({header_bytes, model, pixels, crc_bytes});
}

ModelFileResult read_model_header(const char* path, ModelFileHeader& h)
{
    int raw = -1;
    std::uint64_t size = 0;
    ModelFileResult opened = open_model(path, raw, size);
    const Descriptor fd(raw);
    if (!opened.ok())
        return opened;
    unsigned char header[header_bytes] = {};
    if (!read_all(fd.get(), header, std::size_t(std::min<std::uint64_t>(size, header_bytes))))
        return read_fault(size);
    if (size < sizeof magic || std::memcmp(header, magic, sizeof magic) != 0)
        return fault_of(ModelFileFault::not_model);
    if (size < at_header_bytes)
        return fault_of(ModelFileFault::cut, 0, static_cast<long long>(size));
    const std::uint32_t version = get<std::uint32_t>(header, at_version);
    if (version != model_file_version)
        return fault_of(ModelFileFault::version, 0, version);
    if (size < header_bytes)
        return fault_of(ModelFileFault::cut, 0, static_cast<long long>(size));
    h.width = get<std::int32_t>(header, at_width);
    h.height = get<std::int32_t>(header, at_height);
    RoadSettings& s = h.settings;
    s.n = get<std::int32_t>(header, at_n);
    s.K = get<std::int32_t>(header, at_K);
    h.frames = get<std::int64_t>(header, at_frames);
    h.last_frame = get<std::int64_t>(header, at_last_frame);
    s.e1 = get<float>(header, at_e1);
    s.e2 = get<float>(header, at_e2);
    s.c1 = get<float>(header, at_c1);
    s.c2 = get<float>(header, at_c2);
    s.shadow.enabled = get<std::uint32_t>(header, at_shadow) != 0;
    s.shadow.gamma = get<float>(header, at_gamma);
    s.shadow.beta = get<float>(header, at_beta);
    s.shadow.tau_S = get<float>(header, at_tau_S);
    s.shadow.tau_H = get<float>(header, at_tau_H);
    h.file_bytes = get<std::uint64_t>(header, at_file_bytes);
    if (get<std::uint32_t>(header, at_header_bytes) != header_bytes ||
        get<std::uint32_t>(header, at_planes) != plane_count || !sizes_fit(h.width, h.height, s.n) ||
        s.K < 1 || h.frames < 1 || h.file_bytes != model_file_bytes(h.width, h.height, s.n))
        return fault_of(ModelFileFault::bad_header);
    if (size < h.file_bytes)
        return fault_of(ModelFileFault::cut, 0, static_cast<long long>(size));
    if (size > h.file_bytes)
        return fault_of(ModelFileFault::long_file, 0, static_cast<long long>(size));

    // The checksum of everything before it, a chunk at a time.
    std::uint32_t sum = crc(0, header, header_bytes);
    unsigned char chunk[chunk_bytes];
    std::uint64_t left = h.file_bytes - header_bytes - crc_bytes;
    while (left > 0) {
        const std::size_t part = left < chunk_bytes ? std::size_t(left) : chunk_bytes;
        if (!read_all(fd.get(), chunk, part))
            return read_fault(size);
        sum = crc(sum, chunk, part);
        left -= part;
    }
    unsigned char stored[crc_bytes];
    if (!read_all(fd.get(), stored, crc_bytes))
        return read_fault(size);
    if (get<std::uint32_t>(stored, 0) != sum)
        return fault_of(ModelFileFault::corrupt);
    return {};
}

ModelFileResult match_model_file(const ModelFileHeader& h, int width, int height,
                                 const RoadSettings& settings)
{
    if (h.width != width || h.height != height)
        return fault_of(ModelFileFault::other_size, 0, h.width, h.height);
    if (h.settings.n != settings.n)
        return fault_of(ModelFileFault::other_n, 0, h.settings.n);
    if (h.settings.K != settings.K)
        return fault_of(ModelFileFault::other_K, 0, h.settings.K);
    return {};
}

ModelFileResult load_model(const char* path, const ModelFileHeader& h, Road& road)
{
    int raw = -1;
    std::uint64_t size = 0;
    ModelFileResult result = open_model(path, raw, size);
    const Descriptor fd(raw);
    unsigned char header[header_bytes];
    unsigned char stored[crc_bytes];
    std::uint32_t sum = 0;
    if (result.ok() && size != h.file_bytes)
        result = fault_of(ModelFileFault::corrupt);
    if (result.ok() && !read_all(fd.get(), header, header_bytes))
        result = read_fault(size);
    if (result.ok())
        sum = crc(0, header, header_bytes);
    FloatPlanes& model = road.model_to_fill();
    const std::size_t length = road.model_length();
    for (int k = 0; k < plane_count && result.ok(); ++k) {
        if (!read_all(fd.get(), model[k], length * sizeof(float)))
            result = read_fault(size);
        else
            sum = crc(sum, model[k], length * sizeof(float));
    }
    const std::size_t pixels = std::size_t(road.width()) * std::size_t(road.height());
    if (result.ok() && !read_all(fd.get(), road.mask_to_fill(), pixels))
        result = read_fault(size);
    if (result.ok()) {
        sum = crc(sum, road.mask_to_fill(), pixels);
        if (!read_all(fd.get(), stored, crc_bytes))
            result = read_fault(size);
        else if (get<std::uint32_t>(stored, 0) != sum)
            result = fault_of(ModelFileFault::corrupt);
    }
    // A file that changed under us leaves no half-loaded state behind.
    road.resume(result.ok() ? h.frames : 0);
    return result;
}

ModelFileResult save_model(const char* path, const Road& road, long long last_frame)
{
    if (road.frames() == 0)
        return fault_of(ModelFileFault::nothing_yet);
    unsigned char header[header_bytes];
    encode_header(header, road.width(), road.height(), road.settings(), road.frames(), last_frame);
    OutputFile file;
    FileWrite opened = file.create(path);
    if (!opened.ok())
        return fault_of(ModelFileFault::cannot_write, opened.error);
    std::FILE* out = file.stream();
    bool written = std::fwrite(header, 1, header_bytes, out) == header_bytes;
    std::uint32_t sum = crc(0, header, header_bytes);
    const std::size_t length = road.model_length();
    for (int k = 0; k < plane_count && written; ++k) {
        written = std::fwrite(road.model()[k], sizeof(float), length, out) == length;
        sum = crc(sum, road.model()[k], length * sizeof(float));
    }
    const std::size_t pixels = std::size_t(road.width()) * std::size_t(road.height());
    if (written) {
        written = std::fwrite(road.mask(), 1, pixels, out) == pixels;
        sum = crc(sum, road.mask(), pixels);
    }
    unsigned char trailer[crc_bytes];
    put<std::uint32_t>(trailer, 0, sum);
    if (written)
        written = std::fwrite(trailer, 1, crc_bytes, out) == crc_bytes;
    if (!written) {
        const int error = errno != 0 ? errno : EIO;
        file.abandon();
        return fault_of(ModelFileFault::cannot_write, error);
    }
    const FileWrite committed = file.commit();
    if (!committed.ok())
        return fault_of(ModelFileFault::cannot_write, committed.error);
    return {};
}

std::string model_file_message(const ModelFileResult& r, const ModelFileHeader& file, int width,
                               int height, int n, int K)
{
    auto text = [](const char* format, long long a = 0, long long b = 0, long long c = 0,
                   long long d = 0) {
        char line[256];
        std::snprintf(line, sizeof line, format, a, b, c, d);
        return std::string(line);
    };
    switch (r.fault) {
    case ModelFileFault::none: return "";
    case ModelFileFault::cannot_open: return std::string("cannot open: ") + std::strerror(r.error);
    case ModelFileFault::cannot_read: return std::string("cannot read: ") + std::strerror(r.error);
    case ModelFileFault::not_file:
        return std::string("is ") + describe_file_kind(static_cast<unsigned>(r.number)) +
               ", not a model file";
    case ModelFileFault::not_model: return "not a zemb model file";
    case ModelFileFault::version:
        return text("model file of format version %lld; this zemb reads version %lld", r.number,
                    model_file_version);
    case ModelFileFault::cut:
        return text("model file cut short: %lld bytes", r.number) +
               (file.file_bytes > 0 ? text(" of %lld", static_cast<long long>(file.file_bytes))
                                    : std::string());
    case ModelFileFault::long_file:
        return text("model file of %lld bytes, longer than the %lld its header gives", r.number,
                    static_cast<long long>(file.file_bytes));
    case ModelFileFault::bad_header: return "model file with a damaged header";
    case ModelFileFault::corrupt: return "model file damaged: its checksum does not match";
    case ModelFileFault::other_size:
        return text("model of %lld x %lld frames; these frames are %lld x %lld", r.number, r.other,
                    width, height);
    case ModelFileFault::other_n:
        return text("model with n = %lld; this run has n = %lld", r.number, n);
    case ModelFileFault::other_K:
        return text("model with K = %lld; this run has K = %lld", r.number, K);
    case ModelFileFault::nothing_yet: return "no frame was taken: no model to save";
    case ModelFileFault::cannot_write: return std::string("cannot write: ") + std::strerror(r.error);
    }
    return "";
}

}  // namespace zemb

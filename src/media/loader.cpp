// BMP images and video files, through the FFmpeg module. It is loaded the
// first time one is read, never before: a run on PPM, JPEG or PNG frames
// maps none of FFmpeg's libraries and starts as fast as it did without them.
#include <string>

#include "media/decoders.h"

#if ZEMB_HAVE_FFMPEG

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "media/ffmpeg/module.h"

namespace zemb::media::detail {

namespace {

struct LoadedModule {
    const FfmpegModule* table = nullptr;
    std::string why;  // when there is no table: what stands in the way
};

// The folder of the running program, with its trailing '/'; empty when the
// system does not say.
std::string program_folder()
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || std::size_t(length) >= sizeof path)
        return "";
    const std::string program(path, std::size_t(length));
    return program.substr(0, program.rfind('/') + 1);
}

// Bytes a shared library's loadable segments need, from its program
// headers; 0 when it is no ELF file of this machine's class (dlopen then
// says what is wrong) or its headers cannot be read.
std::uint64_t loaded_extent(int fd)
{
    ElfW(Ehdr) header;
    if (pread(fd, &header, sizeof header, 0) != ssize_t(sizeof header) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
        header.e_phentsize != sizeof(ElfW(Phdr)))
        return 0;
    std::uint64_t extent = std::uint64_t(header.e_phoff) + std::uint64_t(header.e_phnum) * sizeof(ElfW(Phdr));
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        ElfW(Phdr) segment;
        if (pread(fd, &segment, sizeof segment, off_t(header.e_phoff + i * sizeof segment)) !=
            ssize_t(sizeof segment))
            return extent;
        if (segment.p_type == PT_LOAD)
            extent = std::max(extent, std::uint64_t(segment.p_offset) + segment.p_filesz);
    }
    return extent;
}

// Why the file at `path` cannot be mapped whole; empty when it can. A
// library cut short would be mapped past its end, and the first touch of
// the missing part would kill the program with SIGBUS.
std::string cut_short(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return "";  // dlopen says why
    struct stat status;
    std::string why;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        const std::uint64_t needed = loaded_extent(fd);
        if (std::uint64_t(status.st_size) < needed)
            why = path + " is cut short (" + std::to_string(status.st_size) + " bytes, its program headers need " +
                  std::to_string(needed) + "): install it from the build of this program";
    }
    close(fd);
    return why;
}

// The folder of the file this code was loaded from, with its trailing '/',
// when that is a library (the Python module) rather than the program.
std::string library_folder(const std::string& program)
{
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&library_folder), &info) == 0 || info.dli_fname == nullptr)
        return "";
    char resolved[PATH_MAX];
    if (realpath(info.dli_fname, resolved) == nullptr)
        return "";
    const std::string file(resolved);
    const std::string folder = file.substr(0, file.rfind('/') + 1);
    return folder == program ? "" : folder;
}

// Loads the module and checks its stamp. Its handle is never closed: the
// sources and decoders it made use its code until the program ends.
LoadedModule load(const std::string& path)
{
    if (std::string why = cut_short(path); !why.empty())
        return {nullptr, why};
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
        return {nullptr, std::string("cannot load it: ") + dlerror()};
    const auto entry = reinterpret_cast<FfmpegModuleEntry>(dlsym(handle, ffmpeg_module_entry));
    const FfmpegModule* table = entry != nullptr ? entry() : nullptr;
    std::string why;
    if (table == nullptr)
        why = path + " is not one: it has no " + ffmpeg_module_entry;
    else if (std::strcmp(table->interface, ffmpeg_module_interface) != 0)
        why = path + " is from another build (interface " + table->interface +
              ", this program's is " + ffmpeg_module_interface +
              "): install the one built with this program";
    if (!why.empty()) {
        dlclose(handle);
        return {nullptr, why};
    }
    return {table, ""};
}

// Beside the program (the build folder), then in the folder the install rule
// puts the module in, found from the program's so that an installed tree
// can move as a whole.
LoadedModule find_and_load()
{
    const std::string folder = program_folder();
    // Never a name relative to the current folder, which may be anyone's.
    if (folder.empty())
        return {nullptr, "the program's own folder, where it is looked for, is unknown "
                         "(/proc/self/exe cannot be read)"};
    const std::string beside = folder + ffmpeg_module_file;
    const std::string installed =
        std::filesystem::path(folder + ZEMB_MODULE_INSTALL_OFFSET "/" + ffmpeg_module_file)
            .lexically_normal();
    // A library, such as the Python module, finds its own beside itself first.
    const std::string library = library_folder(folder);
    std::vector<std::string> places;
    if (!library.empty())
        places.push_back(library + ffmpeg_module_file);
    places.push_back(beside);
    places.push_back(installed);
    for (const std::string& path : places)
        if (access(path.c_str(), F_OK) == 0)
            return load(path);
    std::string list = places[0];
    for (std::size_t k = 1; k < places.size(); ++k)
        list += (k + 1 == places.size() ? " nor at " : ", ") + places[k];
    return {nullptr, "found neither at " + list + ": install it from the build of this program"};
}

const LoadedModule& module()
{
    static const LoadedModule loaded = find_and_load();
    return loaded;
}

// The masks of a stream are named after what it is: "stdin", the stream's
// last path part or its host, the device.
std::string live_base_name(const std::string& path, LiveKind kind)
{
    if (kind == LiveKind::standard_input)
        return "stdin";
    if (kind != LiveKind::network)
        return video_base_name(path);
    std::string rest = path.substr(path.find("://") + 3);
    rest = rest.substr(0, rest.find_first_of("?#"));
    while (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    std::string last = rest.substr(rest.find_last_of('/') + 1);
    if (last.find_first_of(":@") != std::string::npos)
        last = "stream";  // a host and port only
    return video_base_name(last);
}

// The table, or null with Fault::missing_decoder for `format` in `result`.
const FfmpegModule* table(Format format, Result& result)
{
    const LoadedModule& loaded = module();
    if (loaded.table == nullptr) {
        result = missing_decoder(format);
        result.detail = loaded.why;
    }
    return loaded.table;
}

}  // namespace

bool ffmpeg_module_loads() { return module().table != nullptr; }

std::unique_ptr<BmpDecoder, DecoderDeleter> make_bmp_decoder(Result& result)
{
    const FfmpegModule* ffmpeg = table(Format::bmp, result);
    return std::unique_ptr<BmpDecoder, DecoderDeleter>(
        ffmpeg != nullptr ? ffmpeg->make_bmp_decoder() : nullptr);
}

// A decoder exists only once the module is loaded.
void DecoderDeleter::operator()(BmpDecoder* d) const { module().table->free_bmp_decoder(d); }

Result bmp_read_header(BmpDecoder& d, Input& in, std::uint64_t pixel_cap)
{
    return module().table->bmp_read_header(d, in, pixel_cap);
}

Result bmp_decode(BmpDecoder& d, BytePlanes& frame) { return module().table->bmp_decode(d, frame); }

std::unique_ptr<FrameSource> open_video_file(const std::string& path, long long first,
                                             std::uint64_t pixel_cap, Result& result,
                                             const LiveInput& live)
{
    const FfmpegModule* ffmpeg = table(Format::video, result);
    if (ffmpeg == nullptr) {
        result.path = path;
        return nullptr;
    }
    return std::unique_ptr<FrameSource>(
        ffmpeg->open_video(path, live_base_name(path, live.kind), first, pixel_cap, result, live));
}

}  // namespace zemb::media::detail

namespace zemb::media {

std::unique_ptr<VideoWriter> open_video_writer(const std::string& path, const VideoSettings& settings,
                                               Result& result)
{
    const detail::FfmpegModule* ffmpeg = detail::table(Format::video, result);
    if (ffmpeg == nullptr) {
        result.path = path;
        return nullptr;
    }
    return std::unique_ptr<VideoWriter>(ffmpeg->open_video_writer(path, settings, result));
}

}  // namespace zemb::media

#else  // built without FFmpeg: no module to load

namespace zemb::media::detail {

struct BmpDecoder {};

bool ffmpeg_module_loads() { return false; }

std::unique_ptr<BmpDecoder, DecoderDeleter> make_bmp_decoder(Result& result)
{
    result = missing_decoder(Format::bmp);
    return nullptr;
}
void DecoderDeleter::operator()(BmpDecoder* d) const { delete d; }
Result bmp_read_header(BmpDecoder&, Input&, std::uint64_t) { return missing_decoder(Format::bmp); }
Result bmp_decode(BmpDecoder&, BytePlanes&) { return missing_decoder(Format::bmp); }

std::unique_ptr<FrameSource> open_video_file(const std::string& path, long long, std::uint64_t,
                                             Result& result, const LiveInput&)
{
    result = missing_decoder(Format::video);
    result.path = path;
    return nullptr;
}

}  // namespace zemb::media::detail

namespace zemb::media {

std::unique_ptr<VideoWriter> open_video_writer(const std::string& path, const VideoSettings&,
                                               Result& result)
{
    result = detail::missing_decoder(Format::video);
    result.path = path;
    return nullptr;
}

}  // namespace zemb::media

#endif

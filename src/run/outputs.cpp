// The output folder and the mask pattern: their checks, and the folder
// made at start-up.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "run/config.h"
#include "run/frames.h"

namespace zemb {

namespace {

bool ends_with_lower_case(const std::string& text, const std::string& ending)
{
    if (text.size() < ending.size())
        return false;
    for (std::size_t i = 0; i < ending.size(); ++i) {
        char c = text[text.size() - ending.size() + i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != ending[i])
            return false;
    }
    return true;
}

// Masks are written as PNG by the PNG library that also reads PNG frames, so
// the build has one when it has that decoder.
bool can_write_png_masks() { return media::has_decoder(media::Format::png); }

}  // namespace

const char* parse_mask_pattern(const std::string& folder, const std::string& text,
                               media::FramePattern& names)
{
    if (text.find_first_of("/\\") != std::string::npos)
        return "the mask pattern is a file name; give its folder with -o";
    // The folder goes in literally: only the file name is a pattern.
    const media::PatternFault fault =
        media::FramePattern::parse(media::pattern_literal(output_path(folder, "")) + text, names);
    if (fault != media::PatternFault::none)
        return media::describe(fault);
    if (!ends_with_lower_case(names.tail(), ".pgm") && !ends_with_lower_case(names.tail(), ".png"))
        return "the extension says how masks are written: .pgm or .png";
    return nullptr;
}

bool is_png_pattern(const std::string& text) { return ends_with_lower_case(text, ".png"); }

std::string output_path(const std::string& folder, const std::string& name)
{
    if (folder.empty() || folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

namespace {

// Whether a file can be made in `folder` (empty: the current one): one is
// made and removed again. The system's words when not.
std::string cannot_write_in(const std::string& folder)
{
    std::string probe = output_path(folder.empty() ? "." : folder, ".zemb-probe-XXXXXX");
    const int fd = mkstemp(probe.data());
    if (fd < 0)
        return std::strerror(errno);
    close(fd);
    unlink(probe.c_str());
    return "";
}

// Whether a run writes anything at all: masks of online frames, or model images.
bool writes_outputs(const RunParameters& p)
{
    return p.save_models || static_cast<long long>(p.last_frame) >=
                                static_cast<long long>(p.first_frame) + p.K;
}

}  // namespace

RunFault prepare_outputs(RunConfig& config)
{
    RunFault fault;
    if (config.png_masks && !can_write_png_masks()) {
        fault.fault = StartFault::png_unwritable;
        fault.read.fault = media::Fault::missing_decoder;
        fault.read.format = media::Format::png;
        fault.read.path = config.mask_pattern;
        return fault;
    }
    const std::string& folder = config.output_folder;
    if (!folder.empty()) {
        // The folders about to be made, deepest first, to be removed again
        // when the run cannot start.
        std::vector<std::string> missing;
        std::error_code error;
        std::filesystem::path at = std::filesystem::path(folder).lexically_normal();
        if (!at.has_filename())
            at = at.parent_path();  // "out/" names the folder "out"
        while (!at.empty() && at.filename() != "." && at.filename() != ".." &&
               !std::filesystem::exists(std::filesystem::symlink_status(at, error))) {
            missing.push_back(at.string());
            at = at.parent_path();
        }
        std::filesystem::create_directories(folder, error);
        for (const std::string& made : missing)
            if (std::filesystem::is_directory(made))
                config.made_folders.push_back(made);
        struct stat status;
        const bool exists = stat(folder.c_str(), &status) == 0;
        if (!exists || !S_ISDIR(status.st_mode)) {
            fault.fault = exists ? StartFault::output_not_folder : StartFault::output_folder;
            fault.path = folder;
            fault.detail = error.message();
            remove_made_folders(config);
            return fault;
        }
    }
    if (config.estimate_memory || !writes_outputs(config.params))
        return fault;
    const std::string why = cannot_write_in(folder);
    if (!why.empty()) {
        fault.fault = StartFault::output_unwritable;
        fault.path = folder.empty() ? "." : folder;
        fault.detail = why;
        remove_made_folders(config);
    }
    return fault;
}

void remove_made_folders(RunConfig& config)
{
    // Deepest first; a folder that holds anything stays.
    for (const std::string& made : config.made_folders)
        rmdir(made.c_str());
    config.made_folders.clear();
}

}  // namespace zemb

// The output folder and the mask pattern: their checks, and the folder
// made at start-up.
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <system_error>

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

RunFault prepare_outputs(const RunConfig& config)
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
    if (folder.empty())
        return fault;
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    struct stat status;
    const bool exists = stat(folder.c_str(), &status) == 0;
    if (exists && S_ISDIR(status.st_mode))
        return fault;
    fault.fault = exists ? StartFault::output_not_folder : StartFault::output_folder;
    fault.path = folder;
    fault.detail = error.message();
    return fault;
}

}  // namespace zemb

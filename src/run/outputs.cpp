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

}  // namespace

const char* mask_pattern_fault(const std::string& text)
{
    if (text.find_first_of("/\\") != std::string::npos)
        return "the mask pattern is a file name; give its folder with -o";
    media::FramePattern pattern;
    const media::PatternFault fault = media::FramePattern::parse(text, pattern);
    if (fault != media::PatternFault::none)
        return media::describe(fault);
    if (!ends_with_lower_case(pattern.tail(), ".pgm") && !ends_with_lower_case(pattern.tail(), ".png"))
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
    // The PNG library that reads PNG frames also writes PNG masks.
    if (config.png_masks && !media::has_decoder(media::Format::png)) {
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

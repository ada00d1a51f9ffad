// Sequence names that are plainly not what their user meant: a name that is
// not there, a folder, one file of a numbered sequence, or the files of a
// sequence as the shell expands a wildcard. Each is said in terms of what
// was typed, with what to type instead, before anything is made or read.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "app/startup.h"
#include "media/media.h"

namespace zemb {

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

std::string lowercase(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The extension after the file name's last '.', in lower case; empty when
// there is none.
std::string extension_of(const std::string& name)
{
    std::size_t start = name.size();
    while (start > 0 && !is_separator(name[start - 1]))
        --start;
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot < start || dot + 1 == name.size())
        return "";
    return lowercase(name.substr(dot + 1));
}

bool is_image_extension(const std::string& extension)
{
    for (const char* known : {"ppm", "pgm", "pnm", "jpg", "jpeg", "png", "bmp", "tif", "tiff"})
        if (extension == known)
            return true;
    return false;
}

bool is_video_extension(const std::string& extension)
{
    for (const char* known : {"mp4", "m4v", "mov", "avi", "mkv", "webm", "mpg", "mpeg", "ts", "wmv",
                              "flv", "3gp", "ogv"})
        if (extension == known)
            return true;
    return false;
}

bool is_regular_file(const std::string& path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool is_folder(const std::string& path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// A file of a numbered sequence: what to type for the whole sequence (its
// pattern, or for PPM frames <name>.<k>.ppm the sequence name) and the
// file's frame number.
struct Numbered {
    std::string typed;
    long long number = 0;
    bool ppm_name = false;  // `typed` is a sequence name, not a pattern
};

// The last run of digits in the file name is the frame number.
bool numbered(const std::string& path, Numbered& out)
{
    std::size_t start = path.size();
    while (start > 0 && !is_separator(path[start - 1]))
        --start;
    std::size_t end = path.size();
    while (end > start && !std::isdigit(static_cast<unsigned char>(path[end - 1])))
        --end;
    std::size_t begin = end;
    while (begin > start && std::isdigit(static_cast<unsigned char>(path[begin - 1])))
        --begin;
    const std::size_t digits = end - begin;
    if (digits == 0 || digits > std::size_t(media::max_pattern_width))
        return false;
    const std::string head = path.substr(0, begin), tail = path.substr(end);
    const bool padded = digits > 1 && path[begin] == '0';
    out.number = std::stoll(path.substr(begin, digits));
    out.ppm_name = !padded && tail == ".ppm" && begin > start + 1 && head.back() == '.';
    if (out.ppm_name)
        out.typed = head.substr(0, head.size() - 1);
    else
        out.typed = media::pattern_literal(head) +
                    (padded ? "%0" + std::to_string(digits) + "d" : std::string("%d")) +
                    media::pattern_literal(tail);
    return true;
}

std::string quoted(const Numbered& n) { return n.ppm_name ? n.typed : "'" + n.typed + "'"; }

std::vector<std::string> folder_entries(const std::string& folder)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(folder.empty() ? "." : folder.c_str())) {
        while (const dirent* entry = readdir(d))
            names.emplace_back(entry->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Whether `directory` holds any frame <base>.<k>.ppm: a PPM sequence whose
// first frame may be missing, which keeps its own messages.
bool has_ppm_frames(const std::string& directory, const std::string& base)
{
    for (const std::string& entry : folder_entries(directory)) {
        if (entry.size() <= base.size() + 5 || entry.compare(0, base.size(), base) != 0 ||
            entry[base.size()] != '.' || entry.compare(entry.size() - 4, 4, ".ppm") != 0)
            continue;
        const std::string middle = entry.substr(base.size() + 1, entry.size() - base.size() - 5);
        const std::size_t sign = !middle.empty() && middle[0] == '-' ? 1 : 0;
        if (middle.size() > sign &&
            middle.find_first_not_of("0123456789", sign) == std::string::npos)
            return true;
    }
    return false;
}

// "its frames look like input/in%06d.jpg (250 files)", the sequences of a
// folder, most files first; or the videos in it; or that it holds neither.
std::string folder_contents(const std::string& folder)
{
    const std::string prefix =
        folder.empty() || is_separator(folder.back()) ? folder : folder + "/";
    std::map<std::string, std::pair<int, Numbered>> sequences;
    std::vector<std::string> videos;
    for (const std::string& entry : folder_entries(folder)) {
        const std::string path = prefix + entry;
        const std::string extension = extension_of(entry);
        if (entry[0] == '.' || !is_regular_file(path))
            continue;
        Numbered n;
        if (is_image_extension(extension) && numbered(path, n)) {
            auto& [count, first] = sequences[n.typed];
            if (count++ == 0 || n.number < first.number)
                first = n;
        } else if (is_video_extension(extension)) {
            videos.push_back(path);
        }
    }
    constexpr std::size_t shown = 3;
    std::vector<std::pair<int, Numbered>> found;
    for (const auto& [typed, seen] : sequences)
        found.push_back(seen);
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    std::string text;
    for (std::size_t i = 0; i < found.size() && i < shown; ++i)
        text += (i == 0 ? "its frames look like " : ", or ") + quoted(found[i].second) + " (" +
                std::to_string(found[i].first) + " file" + (found[i].first == 1 ? "" : "s") +
                " from " + std::to_string(found[i].second.number) + ")";
    if (!found.empty())
        return text + "; type that as the name";
    for (std::size_t i = 0; i < videos.size() && i < shown; ++i)
        text += (i == 0 ? "it holds the video " : ", ") + videos[i];
    if (videos.size() > shown)
        text += " and " + std::to_string(videos.size() - shown) + " more";
    return videos.empty() ? "no numbered frames or videos in it" : text + "; name one of them";
}

}  // namespace

bool refuse_expanded_wildcard(int argc, char* const* argv)
{
    // The files stand where the sequence name and both frame numbers belong.
    int files = 1;
    while (files < argc && is_regular_file(argv[files]))
        ++files;
    --files;
    constexpr int positional = 3;
    if (files < positional)
        return false;
    Numbered first, last;
    for (int i = 1; i <= files; ++i) {
        Numbered n;
        if (!numbered(argv[i], n) || (i > 1 && n.typed != first.typed))
            return false;
        if (i == 1 || n.number < first.number)
            first = n;
        if (i == 1 || n.number > last.number)
            last = n;
    }
    std::fprintf(stderr,
                 "zemb: %s ... %s: %d file names where one sequence name belongs (the shell "
                 "expands a wildcard into them); type the sequence instead: zemb %s "
                 "%lld %lld\n",
                 argv[1], argv[files], files, quoted(first).c_str(), first.number, last.number);
    return true;
}

StartUp recognise_name(const RunConfig& config, const char* name, media::SourceKind kind)
{
    const std::string typed = name;
    if (kind == media::SourceKind::frame_pattern)
        return StartUp::run;
    if (kind == media::SourceKind::video) {
        // One image of a numbered sequence, read as a video of one frame.
        Numbered n;
        const RunParameters& p = config.params;
        if (p.last_frame <= p.first_frame || !is_image_extension(extension_of(typed)) ||
            !numbered(typed, n))
            return StartUp::run;
        std::string next;
        media::FramePattern pattern;
        if (n.ppm_name)
            next = n.typed + "." + std::to_string(n.number + 1) + ".ppm";
        else if (media::FramePattern::parse(n.typed, pattern) == media::PatternFault::none)
            next = pattern.name(n.number + 1);
        if (next.empty() || !is_regular_file(next))
            return StartUp::run;
        std::fprintf(stderr,
                     "zemb: %s: one image of a numbered sequence, which would be read as a video "
                     "of one frame; for the sequence, type %s\n",
                     name, quoted(n).c_str());
        return StartUp::command_line;
    }
    // The PPM route: a sequence with any frame keeps its own messages.
    struct stat status;
    FileNames names(config.directory, config.base);
    if (lstat(names.frame(config.params.first_frame), &status) == 0 ||
        has_ppm_frames(config.directory, config.base))
        return StartUp::run;
    if (is_folder(typed)) {
        std::fprintf(stderr, "zemb: %s: a folder; %s\n", name, folder_contents(typed).c_str());
        return StartUp::cannot_start;
    }
    const std::string extension = extension_of(typed);
    if (lstat(name, &status) != 0 &&
        (is_image_extension(extension) || is_video_extension(extension))) {
        std::fprintf(stderr, "zemb: %s: no such file or folder\n", name);
        return StartUp::cannot_start;
    }
    return StartUp::run;
}

}  // namespace zemb

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>
#include <system_error>

#include "eval/eval.h"

namespace zemb::eval {

namespace fs = std::filesystem;

// temporalROI.txt holds two frame numbers; more than this is no such file.
constexpr std::size_t temporal_roi_max_bytes = 4096;

namespace {

std::string join(const std::string& folder, const std::string& name)
{
    if (folder.empty() || folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

// The file names in `folder` ("" is the current folder), or EvalError.
std::vector<std::string> list_folder(const std::string& folder)
{
    const std::string where = folder.empty() ? "." : folder;
    std::error_code error;
    fs::directory_iterator it(where, error);
    if (error)
        throw EvalError(where, "cannot list the folder: " + error.message());
    std::vector<std::string> names;
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (error)
            throw EvalError(where, "cannot list the folder: " + error.message());
        names.push_back(it->path().filename().string());
    }
    if (error)
        throw EvalError(where, "cannot list the folder: " + error.message());
    return names;
}

bool parse_int(const std::string& text, int& value)
{
    const char* begin = text.data();
    const char* end = begin + text.size();
    while (begin != end && *begin == ' ')  // space-padded numbers of %6d
        ++begin;
    auto [stop, fault] = std::from_chars(begin, end, value);
    return begin != end && fault == std::errc() && stop == end;
}

}  // namespace

FramePattern parse_pattern(const std::string& text)
{
    FramePattern pattern;
    const media::PatternFault fault = FramePattern::parse(text, pattern);
    if (fault != media::PatternFault::none)
        throw std::invalid_argument(media::describe(fault));
    return pattern;
}

std::vector<int> frames_present(const FramePattern& pattern)
{
    std::vector<int> frames;
    const std::string& head = pattern.head();
    const std::string& tail = pattern.tail();
    for (const std::string& file : list_folder(pattern.folder())) {
        if (file.size() <= head.size() + tail.size() || file.compare(0, head.size(), head) != 0 ||
            file.compare(file.size() - tail.size(), tail.size(), tail) != 0)
            continue;
        int frame = 0;
        if (parse_int(file.substr(head.size(), file.size() - head.size() - tail.size()), frame) &&
            pattern.name(frame) == pattern.folder() + file)
            frames.push_back(frame);
    }
    std::sort(frames.begin(), frames.end());
    return frames;
}

namespace {

// Numbered images in a folder, grouped by what surrounds the number:
// "inMask." and ".pgm" for inMask.7.pgm, "bin" and ".png" for bin000007.png.
struct NumberedImages {
    std::string head, tail;
    int width = 0;  // of zero-padded numbers; 0 when none is padded
    bool is_mask() const
    {
        static const std::string marker = "Mask.";
        return head == "bin" ||
               (head.size() >= marker.size() &&
                head.compare(head.size() - marker.size(), marker.size(), marker) == 0);
    }
    std::string pattern(const std::string& folder) const
    {
        const std::string number = width > 0 ? "%0" + std::to_string(width) + "d" : "%d";
        return join(media::pattern_literal(folder),
                    media::pattern_literal(head) + number + media::pattern_literal(tail));
    }
};

std::vector<NumberedImages> numbered_images(const std::string& folder)
{
    std::vector<NumberedImages> groups;
    for (const std::string& file : list_folder(folder)) {
        const std::size_t dot = file.rfind('.');
        if (dot == std::string::npos ||
            (file.compare(dot, 4, ".pgm") != 0 && file.compare(dot, 4, ".png") != 0) ||
            dot + 4 != file.size())
            continue;
        std::size_t begin = dot;
        while (begin > 0 && file[begin - 1] >= '0' && file[begin - 1] <= '9')
            --begin;
        const std::size_t digits = dot - begin;
        if (digits == 0 || digits > static_cast<std::size_t>(media::max_pattern_width))
            continue;
        const std::string head = file.substr(0, begin), tail = file.substr(dot);
        auto group = std::find_if(groups.begin(), groups.end(), [&](const NumberedImages& g) {
            return g.head == head && g.tail == tail;
        });
        if (group == groups.end())
            group = groups.insert(groups.end(), NumberedImages{head, tail, 0});
        if (file[begin] == '0' && digits > 1)
            group->width = static_cast<int>(digits);
    }
    std::sort(groups.begin(), groups.end(), [](const NumberedImages& a, const NumberedImages& b) {
        return a.head + a.tail < b.head + b.tail;
    });
    return groups;
}

}  // namespace

FramePattern mask_pattern_in_folder(const std::string& folder)
{
    std::vector<NumberedImages> masks, others;
    for (const NumberedImages& group : numbered_images(folder))
        (group.is_mask() ? masks : others).push_back(group);
    if (masks.empty()) {
        std::string message = "no masks (<base>Mask.<number>.pgm or bin000001.png) in this folder";
        if (others.size() == 1)
            message +=
                "; for its numbered images, give the pattern " + others.front().pattern(folder);
        throw EvalError(folder, message);
    }
    if (masks.size() > 1) {
        std::string list;
        for (const NumberedImages& group : masks)
            list += (list.empty() ? "" : ", ") + group.head + "*" + group.tail;
        throw std::invalid_argument("masks of several sequences (" + list +
                                    ") in one folder: name one as a pattern such as " +
                                    masks.front().pattern(folder));
    }
    return parse_pattern(masks.front().pattern(folder));
}

TruthSource truth_in_folder(const std::string& folder)
{
    std::error_code error;
    if (!fs::is_directory(folder, error))
        throw EvalError(folder, "no such folder");
    const std::string truth = join(folder, "groundtruth");
    if (!fs::is_directory(truth, error))
        throw EvalError(truth, "no such folder: a benchmark sequence keeps its ground truth there");
    TruthSource source;
    source.pattern = join(media::pattern_literal(truth), "gt%06d.png");
    const std::string roi = join(folder, "ROI.bmp"), temporal = join(folder, "temporalROI.txt");
    if (fs::exists(roi, error))
        source.roi_file = roi;
    if (fs::exists(temporal, error))
        source.temporal_roi_file = temporal;
    return source;
}

FrameRange read_temporal_roi(const std::string& path)
{
    int fd = -1;
    const media::Result opened = media::open_regular_file(path.c_str(), fd);
    if (opened.fault != media::Fault::none)
        throw EvalError(path, media::describe(opened));
    // Two frame numbers and some white space; a longer file is something else.
    char text[temporal_roi_max_bytes + 1];
    std::size_t size = 0;
    for (;;) {
        const ssize_t got = ::read(fd, text + size, sizeof text - size);
        if (got > 0) {
            size += static_cast<std::size_t>(got);
            if (size == sizeof text)
                break;
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            const int error = errno;
            ::close(fd);
            throw EvalError(path, std::string("cannot read: ") + std::strerror(error));
        }
    }
    ::close(fd);
    if (size > temporal_roi_max_bytes)
        throw EvalError(path,
                        "longer than " + std::to_string(temporal_roi_max_bytes) +
                            " bytes: expected two frame numbers, the first and the last to score");
    std::istringstream in(std::string(text, size));
    FrameRange range;
    std::string rest;
    if (!(in >> range.first >> range.last) || (in >> rest))
        throw EvalError(path, "expected two frame numbers, the first and the last to score");
    if (range.first > range.last)
        throw EvalError(path, "the first frame " + std::to_string(range.first) +
                                  " comes after the last " + std::to_string(range.last));
    return range;
}

}  // namespace zemb::eval

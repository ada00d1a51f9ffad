#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>

#include "eval/eval.h"

namespace zemb::eval {

namespace fs = std::filesystem;

namespace {

// Widest zero padding a pattern may ask for (gt%06d.png needs 6).
constexpr int max_pattern_width = 9;

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

FramePattern::FramePattern(const std::string& text) : text_(text)
{
    const std::size_t slash = text.rfind('/');
    const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
    folder_ = text.substr(0, name_start);
    if (folder_.find('%') != std::string::npos)
        throw std::invalid_argument("the frame number must be in the file name, not in a folder");
    bool seen = false;
    for (std::size_t i = name_start; i < text.size(); ++i) {
        std::string& part = seen ? tail_ : head_;
        if (text[i] != '%') {
            part += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '%') {
            part += '%';
            ++i;
            continue;
        }
        if (seen)
            throw std::invalid_argument("more than one %d conversion");
        std::size_t j = i + 1;
        if (j < text.size() && text[j] == '0') {
            zero_pad_ = true;
            ++j;
        }
        if (j < text.size() && text[j] >= '1' && text[j] <= '9') {
            width_ = text[j] - '0';
            ++j;
        }
        if (j >= text.size() || text[j] != 'd' || (zero_pad_ && width_ == 0))
            throw std::invalid_argument("the frame number must be written as %d or %0Nd (N up to " +
                                        std::to_string(max_pattern_width) + ")");
        seen = true;
        i = j;
    }
    if (!seen)
        throw std::invalid_argument("no %d for the frame number");
}

std::string FramePattern::name(int frame) const
{
    char number[32];
    std::snprintf(number, sizeof number, zero_pad_ ? "%0*d" : "%*d", width_, frame);
    return folder_ + head_ + number + tail_;
}

std::vector<int> FramePattern::frames_present() const
{
    std::vector<int> frames;
    for (const std::string& file : list_folder(folder_)) {
        if (file.size() <= head_.size() + tail_.size() || file.compare(0, head_.size(), head_) != 0 ||
            file.compare(file.size() - tail_.size(), tail_.size(), tail_) != 0)
            continue;
        int frame = 0;
        if (parse_int(file.substr(head_.size(), file.size() - head_.size() - tail_.size()), frame) &&
            name(frame) == folder_ + file)
            frames.push_back(frame);
    }
    std::sort(frames.begin(), frames.end());
    return frames;
}

FramePattern mask_pattern_in_folder(const std::string& folder)
{
    static const std::string marker = "Mask.", suffix = ".pgm";
    std::set<std::string> bases;
    for (const std::string& file : list_folder(folder)) {
        if (file.size() <= suffix.size() ||
            file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string stem = file.substr(0, file.size() - suffix.size());
        const std::size_t dot = stem.rfind('.');
        int frame = 0;
        if (dot == std::string::npos || dot + 1 < marker.size() ||
            stem.compare(dot + 1 - marker.size(), marker.size(), marker) != 0 ||
            !parse_int(stem.substr(dot + 1), frame) || std::to_string(frame) != stem.substr(dot + 1))
            continue;
        bases.insert(stem.substr(0, dot + 1 - marker.size()));
    }
    if (bases.empty())
        throw EvalError(folder, "no masks (<base>Mask.<number>.pgm) in this folder");
    auto as_pattern = [&](const std::string& base) {
        std::string escaped;
        for (char ch : base)
            escaped += ch == '%' ? std::string("%%") : std::string(1, ch);
        return join(folder, escaped + "Mask.%d.pgm");
    };
    if (bases.size() > 1) {
        std::string list;
        for (const std::string& base : bases)
            list += (list.empty() ? "" : ", ") + base;
        throw std::invalid_argument("masks of several sequences (" + list +
                                    ") in one folder: name one as a pattern such as " +
                                    as_pattern(*bases.begin()));
    }
    return FramePattern(as_pattern(*bases.begin()));
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
    source.pattern = join(truth, "gt%06d.png");
    const std::string roi = join(folder, "ROI.bmp"), temporal = join(folder, "temporalROI.txt");
    if (fs::exists(roi, error))
        source.roi_file = roi;
    if (fs::exists(temporal, error))
        source.temporal_roi_file = temporal;
    return source;
}

FrameRange read_temporal_roi(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        throw EvalError(path, "cannot open");
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

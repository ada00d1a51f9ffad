// Frame-number patterns, the output base names of patterns and videos, and
// the numbered-neighbour hint.
#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "media/media.h"

namespace zemb::media {

namespace {

// Digits of the longest long long, its sign included.
constexpr std::size_t max_number_digits = 20;

// Where the file name starts: after the last '/' or '\', as the PPM route splits names.
std::size_t file_name_start(std::string_view text)
{
    const std::size_t separator = text.find_last_of("/\\");
    return separator == std::string_view::npos ? 0 : separator + 1;
}

// Reads the conversion that starts at text[at] == '%' (not "%%"): flags,
// width, conversion character. Sets `end` one past it.
PatternFault scan_conversion(std::string_view text, std::size_t at, std::size_t& end, int& width,
                             bool& zero_pad)
{
    std::size_t i = at + 1;
    zero_pad = false;
    for (; i < text.size() && std::strchr("0-+ #", text[i]) != nullptr; ++i) {
        if (text[i] != '0')
            return PatternFault::unsupported_flag;
        zero_pad = true;
    }
    int digits = 0;
    width = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits)
        width = std::min(width * 10 + (text[i] - '0'), 10 * max_pattern_width);
    if (i >= text.size() || (text[i] != 'd' && text[i] != 'i'))
        return PatternFault::unsupported_conversion;
    if ((zero_pad && digits == 0) || width > max_pattern_width)
        return PatternFault::bad_width;
    end = i + 1;
    return PatternFault::none;
}

std::string trim_separators(std::string stem)
{
    while (!stem.empty() && (stem.back() == '.' || stem.back() == '_' || stem.back() == '-'))
        stem.pop_back();
    return stem.empty() ? empty_base_fallback : stem;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Lower-case copy, for comparing extensions.
std::string lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// Extensions of the images a pattern reads.
constexpr const char* image_extensions[] = {".ppm", ".jpg", ".jpeg", ".png", ".bmp"};

bool is_image_extension(const std::string& tail)
{
    const std::string ext = lower(tail);
    return std::any_of(std::begin(image_extensions), std::end(image_extensions),
                       [&](const char* e) { return ext == e; });
}

// The stem of a name with its number cut out: the text before the number
// without trailing separators, compared case-sensitively.
std::string stem_of(const std::string& head)
{
    std::string stem = head;
    while (!stem.empty() && (stem.back() == '.' || stem.back() == '_' || stem.back() == '-'))
        stem.pop_back();
    return stem;
}

}  // namespace

PatternFault FramePattern::parse(std::string_view text, FramePattern& pattern)
{
    const std::size_t name_start = file_name_start(text);
    FramePattern parsed;
    parsed.text_ = std::string(text);
    bool seen = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::string& part = i < name_start ? parsed.folder_ : seen ? parsed.tail_ : parsed.head_;
        if (text[i] != '%') {
            part += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '%') {
            part += '%';
            ++i;
            continue;
        }
        std::size_t end = 0;
        const PatternFault fault = scan_conversion(text, i, end, parsed.width_, parsed.zero_pad_);
        if (fault != PatternFault::none)
            return fault;
        if (i < name_start)
            return PatternFault::conversion_in_folder;
        if (seen)
            return PatternFault::several_conversions;
        seen = true;
        i = end - 1;
    }
    if (!seen)
        return PatternFault::no_conversion;
    pattern = std::move(parsed);
    return PatternFault::none;
}

std::size_t FramePattern::name_capacity() const
{
    return folder_.size() + head_.size() + tail_.size() +
           std::max<std::size_t>(max_number_digits, std::size_t(width_)) + 1;
}

std::size_t FramePattern::format(long long number, char* out) const
{
    std::size_t length = 0;
    for (const std::string* part : {&folder_, &head_}) {
        std::memcpy(out + length, part->data(), part->size());
        length += part->size();
    }
    const int digits = std::snprintf(out + length, max_number_digits + max_pattern_width + 1,
                                     zero_pad_ ? "%0*lld" : "%*lld", width_, number);
    length += std::size_t(digits);
    std::memcpy(out + length, tail_.data(), tail_.size());
    length += tail_.size();
    out[length] = '\0';
    return length;
}

std::string FramePattern::name(long long number) const
{
    std::string name(name_capacity(), '\0');
    name.resize(format(number, name.data()));
    return name;
}

const char* describe(PatternFault fault)
{
    switch (fault) {
    case PatternFault::none:
        return "no fault";
    case PatternFault::no_conversion:
        return "no %d for the frame number";
    case PatternFault::several_conversions:
        return "more than one conversion: the frame number is the only one (write %% for a percent sign)";
    case PatternFault::conversion_in_folder:
        return "the frame number must be in the file name, not in a folder";
    case PatternFault::unsupported_conversion:
        return "the frame number must be written as %d, %Nd or %0Nd (write %% for a percent sign)";
    case PatternFault::unsupported_flag:
        return "the only flag a frame number takes is 0 (zero padding), as in %06d";
    case PatternFault::bad_width:
        return "the width of the frame number must be 1 to 9, as in %06d";
    }
    return "unknown fault";
}

std::string pattern_literal(std::string_view text)
{
    std::string escaped;
    for (char c : text) {
        escaped += c;
        if (c == '%')
            escaped += '%';
    }
    return escaped;
}

std::string pattern_base_name(const FramePattern& pattern) { return trim_separators(pattern.head()); }

std::string video_base_name(std::string_view path)
{
    std::string name(path.substr(file_name_start(path)));
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos)
        name.resize(dot);
    return trim_separators(name);
}

std::string suggest_pattern(const std::string& missing_path, long long number)
{
    const std::size_t name_start = file_name_start(missing_path);
    const std::string folder = missing_path.substr(0, name_start);
    const std::string missing = missing_path.substr(name_start);
    // The missing name cut at its last run of digits that spells the number.
    const std::string digits = std::to_string(number);
    const std::size_t at = missing.rfind(digits);
    if (number < 0 || at == std::string::npos ||
        (at > 0 && is_digit(missing[at - 1])) || is_digit(missing[at + digits.size()]))
        return "";
    const std::string want_stem = stem_of(missing.substr(0, at));
    const std::string want_tail = missing.substr(at + digits.size());

    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr)
        return "";
    // The closest neighbour wins: the same tail before another extension.
    std::string best;
    int best_rank = 0;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == missing)
            continue;
        // Its last run of digits, which must hold `number`.
        std::size_t end = name.size();
        while (end > 0 && !is_digit(name[end - 1]))
            --end;
        std::size_t begin = end;
        while (begin > 0 && is_digit(name[begin - 1]))
            --begin;
        if (begin == end || end - begin > std::size_t(max_pattern_width))
            continue;
        const std::string run = name.substr(begin, end - begin);
        if (std::stoll(run) != number || stem_of(name.substr(0, begin)) != want_stem)
            continue;
        const std::string tail = name.substr(end);
        const int rank = tail == want_tail ? 2 : is_image_extension(tail) ? 1 : 0;
        if (rank == 0)
            continue;
        const std::string conversion =
            run.size() == digits.size() ? "%d" : "%0" + std::to_string(run.size()) + "d";
        std::string pattern =
            pattern_literal(folder) + pattern_literal(name.substr(0, begin)) + conversion + pattern_literal(tail);
        if (rank > best_rank || (rank == best_rank && pattern < best)) {
            best = std::move(pattern);
            best_rank = rank;
        }
    }
    closedir(dir);
    return best;
}

}  // namespace zemb::media

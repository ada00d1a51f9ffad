// Fuzz target: frame and mask patterns against printf.
//
// The first 8 bytes are a frame number, the rest the pattern's text. A text
// the parser accepts is a printf format with one integer conversion, so
// printf itself must write the same name for every number an int holds;
// the name fits name_capacity(); and any text made literal with
// pattern_literal() and given a %d reads back as itself and the number.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "media/media.h"

namespace {

using namespace zemb;

[[noreturn]] void fail(const char* what, const std::string& text)
{
    std::fprintf(stderr, "pattern_fuzzer: invariant broken: %s (pattern '%s')\n", what, text.c_str());
    std::abort();
}

void check_name(const media::FramePattern& pattern, long long number, const std::string& expected)
{
    std::vector<char> out(pattern.name_capacity() + 1, '\x7F');
    const std::size_t length = pattern.format(number, out.data());
    if (length + 1 > pattern.name_capacity() || out[pattern.name_capacity()] != '\x7F')
        fail("name longer than name_capacity()", pattern.text());
    if (std::string(out.data(), length) != expected || pattern.name(number) != expected)
        fail("name differs from the expected", pattern.text() + "' -> '" + std::string(out.data(), length) +
                                                   "', expected '" + expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < sizeof(std::int64_t))
        return 0;
    std::int64_t raw;
    std::memcpy(&raw, data, sizeof raw);
    const std::string text(reinterpret_cast<const char*>(data) + sizeof raw, size - sizeof raw);
    const long long number = raw < 0 ? -(raw + 1) : raw;  // frame numbers are not negative

    media::FramePattern pattern;
    if (media::FramePattern::parse(text, pattern) == media::PatternFault::none && text.find('\0') == std::string::npos) {
        const int as_int = int(number % (1LL << 31));
        const int length = std::snprintf(nullptr, 0, text.c_str(), as_int);
        if (length < 0)
            fail("printf refuses an accepted pattern", text);
        std::vector<char> expected(std::size_t(length) + 1);
        std::snprintf(expected.data(), expected.size(), text.c_str(), as_int);
        check_name(pattern, as_int, std::string(expected.data(), std::size_t(length)));
        (void)media::pattern_base_name(pattern);
    }

    // Any text, made literal, then numbered, reads back as itself.
    const std::string literal = media::pattern_literal(text) + "%d";
    media::FramePattern plain;
    const media::PatternFault fault = media::FramePattern::parse(literal, plain);
    if (text.find('\0') == std::string::npos) {
        if (fault != media::PatternFault::none)
            fail("a literal text with %d appended is refused", literal);
        check_name(plain, number, text + std::to_string(number));
    }
    return 0;
}

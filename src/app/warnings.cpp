// Warnings about command lines and frame ranges that a run goes on with, but
// not the way its user probably meant: arguments no switch read, frame
// numbers that are not plain numbers, ranges that give no mask.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app/startup.h"

namespace zemb {

namespace {

// Long names people type for a switch that has none. A word whose switch
// is not in the table is left out of the suggestions.
struct SwitchWord {
    const char* word;
    const char* name;
};
constexpr SwitchWord switch_words[] = {
    {"threads", "-j"}, {"jobs", "-j"},  {"shadow", "-s"},
    {"shadows", "-s"}, {"model", "-m"}, {"models", "-m"},
};

// An argument that looks like a switch rather than a value: a '-' followed by
// anything but a number ("-5" and "-.5" are values).
bool looks_like_switch(const char* text)
{
    return text[0] == '-' && text[1] != '\0' && !std::isdigit(static_cast<unsigned char>(text[1])) &&
           text[1] != '.';
}

std::string lowercase(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// The name without its leading dashes, in lower case: "-E2" and "--e2" give "e2".
std::string stem(std::string_view name)
{
    while (!name.empty() && name.front() == '-')
        name.remove_prefix(1);
    return lowercase(name);
}

// One substitution, insertion, deletion or swap of neighbours apart.
bool one_edit_apart(const std::string& a, const std::string& b)
{
    if (a == b)
        return false;
    const std::size_t m = a.size(), n = b.size();
    if (m == n) {
        std::size_t i = 0;
        while (a[i] == b[i])
            ++i;
        if (a.compare(i + 1, std::string::npos, b, i + 1, std::string::npos) == 0)
            return true;  // one substitution
        return i + 1 < m && a[i] == b[i + 1] && a[i + 1] == b[i] &&
               a.compare(i + 2, std::string::npos, b, i + 2, std::string::npos) == 0;
    }
    if (m + 1 != n && n + 1 != m)
        return false;
    const std::string& shorter = m < n ? a : b;
    const std::string& longer = m < n ? b : a;
    std::size_t i = 0;
    while (i < shorter.size() && shorter[i] == longer[i])
        ++i;
    return shorter.compare(i, std::string::npos, longer, i + 1, std::string::npos) == 0;
}

const KnownSwitch* find_switch(const SwitchTable& known, std::string_view name)
{
    for (const KnownSwitch& s : known)
        if (name == s.name)
            return &s;
    return nullptr;
}

// What an unknown switch-like argument was probably meant to be.
struct Guess {
    std::string text;                  // "-K", "-n 5" or "-e1 or -e2"; empty: no guess
    const KnownSwitch* only = nullptr;  // the one switch guessed, when its values may follow
};

Guess guess_switch(const char* typed, const SwitchTable& known)
{
    const std::string typed_stem = stem(typed);
    Guess guess;
    // The same letters in another case or with other dashes: -k, -E2, --K.
    for (const KnownSwitch& s : known)
        if (stem(s.name) == typed_stem)
            return {s.name, &s};
    // A long word for a switch: --threads.
    for (const SwitchWord& w : switch_words)
        if (typed_stem == w.word)
            if (const KnownSwitch* s = find_switch(known, w.name))
                return {s->name, s};
    // The value glued on: -n5, -K=10, --threads=2.
    for (const KnownSwitch& s : known) {
        const std::string name_stem = stem(s.name);
        std::string_view rest(typed_stem);
        if (s.values != 1 || rest.substr(0, name_stem.size()) != name_stem)
            continue;
        rest.remove_prefix(name_stem.size());
        if (!rest.empty() && rest.front() == '=')
            rest.remove_prefix(1);
        const char first = rest.empty() ? '\0' : rest.front();
        if (std::isdigit(static_cast<unsigned char>(first)) || first == '.' || first == '-' ||
            first == '+')
            return {std::string(s.name) + " " + std::string(rest), nullptr};
    }
    const std::size_t equals = typed_stem.find('=');
    if (equals != std::string::npos)
        for (const SwitchWord& w : switch_words)
            if (typed_stem.compare(0, equals, w.word) == 0)
                if (const KnownSwitch* s = find_switch(known, w.name))
                    return {std::string(s->name) + " " + typed_stem.substr(equals + 1), nullptr};
    // A slip of one letter: -e3, -tSS. Single letters are too close to all
    // the others to guess from.
    if (typed_stem.size() < 2)
        return guess;
    int found = 0;
    for (const KnownSwitch& s : known) {
        if (!one_edit_apart(typed_stem, stem(s.name)))
            continue;
        if (found > 0)
            guess.text += " or ";
        guess.text += s.name;
        guess.only = found == 0 ? &s : nullptr;
        ++found;
    }
    return guess;
}

void print_unread(const std::string& arguments, const std::string& why)
{
    std::fprintf(stderr, "zemb: \"%s\" was not read: %s\n", arguments.c_str(), why.c_str());
}

}  // namespace

void warn_frame_number(const char* role, const char* text, int value)
{
    const char* digits = text + (*text == '-' || *text == '+' ? 1 : 0);
    const std::size_t count = std::strspn(digits, "0123456789");
    if (count == 0 || digits[count] != '\0') {
        std::fprintf(stderr, "zemb: %s \"%s\" is not a plain decimal number; read as %d\n", role,
                     text, value);
        return;
    }
    errno = 0;
    const long long exact = std::strtoll(text, nullptr, 10);
    if (errno == ERANGE || exact != value)
        std::fprintf(stderr, "zemb: %s \"%s\" is beyond the int range; read as %d\n", role, text,
                     value);
}

void warn_unread_arguments(const std::vector<char*>& before, int argc, char* const* argv,
                           const SwitchTable& known)
{
    // The reads only remove arguments, keeping the order of the rest: walk
    // both lists together to find where each remaining one stood.
    constexpr int positional = 4;  // the program and its three positional arguments
    std::vector<int> unread;       // positions in `before`
    int at = 1;
    for (int i = 1; i < argc; ++i) {
        while (at < static_cast<int>(before.size()) && before[static_cast<std::size_t>(at)] != argv[i])
            ++at;
        if (at >= positional && at < static_cast<int>(before.size()))
            unread.push_back(at);
        ++at;
    }
    // A repeated or mistyped switch takes the values right behind it along,
    // so that "-k 100" is one warning, not two.
    auto text_at = [&](std::size_t k) { return before[static_cast<std::size_t>(unread[k])]; };
    auto take_values = [&](std::size_t& k, const KnownSwitch* s, std::string& arguments) {
        for (int v = 0; s != nullptr && v < s->values && k + 1 < unread.size() &&
                        unread[k + 1] == unread[k] + 1 && !looks_like_switch(text_at(k + 1));
             ++v) {
            ++k;
            arguments += ' ';
            arguments += text_at(k);
        }
    };
    for (std::size_t k = 0; k < unread.size(); ++k) {
        const char* text = text_at(k);
        std::string arguments = text;
        if (const KnownSwitch* s = find_switch(known, text)) {
            take_values(k, s, arguments);
            print_unread(arguments, std::string(s->name) +
                                        " is given twice, and only its first copy is read");
        } else if (looks_like_switch(text)) {
            const Guess guess = guess_switch(text, known);
            take_values(k, guess.only, arguments);
            std::string why = std::string("there is no switch ") + text;
            if (!guess.text.empty())
                why += "; did you mean " + guess.text + "?";
            print_unread(arguments, why);
        } else {
            print_unread(arguments, "a value without a switch");
        }
    }
}

void warn_range(const RunParameters& p)
{
    const long long first = p.first_frame, last = p.last_frame, K = p.K;
    if (last < first) {
        std::fprintf(stderr,
                     "zemb: the last frame, %lld, comes before the first, %lld: no masks will be "
                     "written, and calibration still reads frames %lld to %lld\n",
                     last, first, first, first + K - 1);
    } else if (last < first + K) {
        const std::string later = "a last frame of " + std::to_string(first + K) + " or more";
        const std::string remedy =
            last > first ? "-K " + std::to_string(last - first) + " or less, or " + later + ","
                         : later;
        const std::string taken = K == 1 ? "frame " + std::to_string(first)
                                         : "frames " + std::to_string(first) + " to " +
                                               std::to_string(first + K - 1);
        std::fprintf(stderr,
                     "zemb: -K %lld takes %s for calibration, so no frame up to the last, %lld, "
                     "is left for masks: no masks will be written; %s would give some\n",
                     K, taken.c_str(), last, remedy.c_str());
    }
}

}  // namespace zemb

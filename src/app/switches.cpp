#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "app/switches.h"

namespace zemb {

namespace {

// Joined values of multi-value switches live for the rest of the run, like
// the argument texts themselves.
std::deque<std::string>& joined_values()
{
    static std::deque<std::string> values;
    return values;
}

}  // namespace

const char* take_switch(int& argc, char** argv, const char* name, int n, const char* absent,
                        SwitchFault& fault)
{
    if (argc <= 1)
        return absent;
    if (n < 0)
        n = 0;
    int i = 1;
    while (i < argc && std::strcmp(argv[i], name) != 0)
        ++i;
    if (i == argc)
        return absent;
    if (static_cast<long long>(i) + n >= argc) {
        fault = SwitchFault::missing_value;
        return absent;
    }
    const char* result = n >= 1 ? argv[i + 1] : argv[i];
    if (n > 1) {
        std::string joined = argv[i + 1];
        for (int k = 2; k <= n; ++k) {
            joined += ' ';
            joined += argv[i + k];
        }
        result = joined_values().emplace_back(std::move(joined)).c_str();
    }
    for (int j = i; j + n + 1 < argc; ++j)
        argv[j] = argv[j + n + 1];
    argc -= n + 1;
    return result;
}

int take_int_switch(int& argc, char** argv, const char* name, int fallback, SwitchFault& fault)
{
    // Absent, or without its value (the fault is then set): the fallback.
    const char* text = take_switch(argc, argv, name, 1, nullptr, fault);
    if (text == nullptr)
        return fallback;
    char* end = nullptr;
    long value = std::strtol(text, &end, 0);  // base from the prefix: 0x hex, 0 octal
    if (*end != '\0') {
        fault = SwitchFault::not_integer;
        return fallback;
    }
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

double take_real_switch(int& argc, char** argv, const char* name, double fallback,
                        SwitchFault& fault)
{
    // Absent, or without its value (the fault is then set): the fallback.
    const char* text = take_switch(argc, argv, name, 1, nullptr, fault);
    if (text == nullptr)
        return fallback;
    char* end = nullptr;
    double value = std::strtod(text, &end);
    if (*end != '\0') {
        fault = SwitchFault::not_real;
        return fallback;
    }
    return value;
}

void print_switch_fault(SwitchFault fault, const char* name)
{
    switch (fault) {
    case SwitchFault::none: return;
    case SwitchFault::missing_value:
        std::fprintf(stderr, "Lread_switch: Manca arg. dopo \"%s\"\n", name);
        return;
    case SwitchFault::not_integer:
        std::fprintf(stderr, "Lread_iswitch: Manca arg. per \"%s\"\n", name);
        return;
    case SwitchFault::not_real:
        std::fprintf(stderr, "Lread_dswitch: Manca arg. per \"%s\"\n", name);
        return;
    }
}

}  // namespace zemb

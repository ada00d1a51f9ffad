#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/switches.h"

namespace zemb {

const char* take_switch(int& argc, char** argv, const char* name, bool with_value,
                        const char* absent, SwitchFault& fault)
{
    if (argc <= 1)
        return absent;
    const int n = with_value ? 1 : 0;
    int i = 1;
    while (i < argc && std::strcmp(argv[i], name) != 0)
        ++i;
    if (i == argc)
        return absent;
    if (static_cast<long long>(i) + n >= argc) {
        fault = SwitchFault::missing_value;
        return absent;
    }
    const char* result = argv[i + n];
    for (int j = i; j + n + 1 < argc; ++j)
        argv[j] = argv[j + n + 1];
    argc -= n + 1;
    return result;
}

int take_int_switch(int& argc, char** argv, const char* name, int fallback, SwitchFault& fault,
                    const char** typed)
{
    // Absent, or without its value (the fault is then set): the fallback.
    const char* text = take_switch(argc, argv, name, true, nullptr, fault);
    if (typed != nullptr)
        *typed = text;
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
                        SwitchFault& fault, const char** typed)
{
    // Absent, or without its value (the fault is then set): the fallback.
    const char* text = take_switch(argc, argv, name, true, nullptr, fault);
    if (typed != nullptr)
        *typed = text;
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

void print_switch_fault(SwitchFault fault, const char* name, const char* typed)
{
    const char* value = typed != nullptr ? typed : "";
    switch (fault) {
    case SwitchFault::none: return;
    case SwitchFault::missing_value:
        std::fprintf(stderr, "Lread_switch: Manca arg. dopo \"%s\"\n", name);
        std::fprintf(stderr, "zemb: %s: its value is missing; it is the last argument\n", name);
        return;
    case SwitchFault::not_integer:
        std::fprintf(stderr, "Lread_iswitch: Manca arg. per \"%s\"\n", name);
        std::fprintf(stderr, "zemb: %s \"%s\": not a whole number\n", name, value);
        return;
    case SwitchFault::not_real: {
        std::fprintf(stderr, "Lread_dswitch: Manca arg. per \"%s\"\n", name);
        // A decimal comma is the usual slip: name the number meant.
        std::string pointed = value;
        std::replace(pointed.begin(), pointed.end(), ',', '.');
        char* end = nullptr;
        std::strtod(pointed.c_str(), &end);
        if (pointed != value && *end == '\0')
            std::fprintf(stderr, "zemb: %s \"%s\": not a number; decimals take a point: %s\n",
                         name, value, pointed.c_str());
        else
            std::fprintf(stderr, "zemb: %s \"%s\": not a number\n", name, value);
        return;
    }
    }
}

}  // namespace zemb

// The command line's switches: a switch is an argument equal to its text,
// followed by its value arguments.
#pragma once

#include <vector>

namespace zemb {

// A switch is an argument equal to its text, followed by its value argument
// when it takes one. A read removes the switch and its value from argv and
// lowers argc; the search starts at position 1 and takes the first match.
enum class SwitchFault {
    none,
    missing_value,  // no argument follows a switch that takes a value
    not_integer,    // the value of an integer switch is not wholly a number
    not_real,       // the value of a real switch is not wholly a number
};

// Each reports a fault through `fault` (left alone when all is well), and
// the number readers the value as typed through `typed` (when not null).
// take_switch returns the value, or for a flag (`with_value` false) the
// switch's own text; `absent` when the switch is not there.
const char* take_switch(int& argc, char** argv, const char* name, bool with_value,
                        const char* absent, SwitchFault& fault);
int take_int_switch(int& argc, char** argv, const char* name, int fallback, SwitchFault& fault,
                    const char** typed = nullptr);
double take_real_switch(int& argc, char** argv, const char* name, double fallback,
                        SwitchFault& fault, const char** typed = nullptr);

// The message for a fault of switch `name` whose value was `typed` (null
// when there was none), as printed on standard error: the Italian line the
// command line has always given, then what is wrong in plain English.
void print_switch_fault(SwitchFault fault, const char* name, const char* typed);

// A switch the command line knows: its text and how many values follow it.
struct KnownSwitch {
    const char* name;
    int values;
};
// The switches as the start-up reads them, noted by the reads themselves, so
// that a new switch is known everywhere as soon as it is read.
using SwitchTable = std::vector<KnownSwitch>;

}  // namespace zemb

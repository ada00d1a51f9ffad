// The program's start-up: the command line read into a run configuration,
// the warnings about it, the usage text and the settings echo.
#pragma once

#include <string>
#include <vector>

#include "app/switches.h"
#include "run/config.h"
#include "run/fault.h"

namespace zemb {

// Outcome of reading the command line.
enum class StartUp {
    run,           // config is complete: print the echo and run
    usage,         // fewer than three arguments
    command_line,  // a faulty switch or a value the run cannot use (exit 2)
    cannot_start,  // the first frame cannot give the run a size (exit 1)
};

// Reads the positional arguments, the thirteen switches, -j, -o and -O into
// `config` (whose values stand for the switches not given: a
// default-constructed config holds the defaults), checks the values a run
// cannot use, makes the output folder and opens the frames at the first one.
// Prints only the messages of the faults it finds (on standard error, and the
// file-open message on standard output) and the warnings below. Consumes the
// switches from argv.
StartUp configure_run(int& argc, char** argv, RunConfig& config);

// Checks -o and -O (null when absent) and stores them in `config`; says
// what is wrong with them and returns false for a faulty command line.
bool take_output_switches(const char* folder, const char* mask_pattern, RunConfig& config);

// Splits a sequence name at its last "/" or "\\" into directory (keeping the
// separator) and base name ("L0" when nothing follows the separator).
void split_sequence_name(const char* name, std::string& directory, std::string& base);

// The last-frame argument that runs until the input ends.
constexpr const char* end_word = "end";

// The C library's atoi, saturating at the int range instead of overflowing.
int parse_frame_number(const char* text);

// Prints a fault that stops a run from starting; nothing for none.
void print_fault(const RunFault& fault);

void print_usage();
void print_settings_echo(const RunConfig& config);

// ---- Warnings -------------------------------------------------------------

// What a run goes on with but its user should know, one line each on
// standard error at start-up. Nothing here changes what the run does.

// A frame-number argument that is not a plain decimal number of the int
// range: `role` is "first frame" or "last frame", `value` what it reads as.
void warn_frame_number(const char* role, const char* text, int value);

// Every argument after the three positional ones that no switch read took:
// `before` is argv as it was before the reads, argc and argv as they left
// it. Names the switch meant where the argument is close to one.
void warn_unread_arguments(const std::vector<char*>& before, int argc, char* const* argv,
                           const SwitchTable& known);

// A range that gives no online frame, so no mask at all.
void warn_range(const RunParameters& params);
}  // namespace zemb

// The whole program, from the command line to the exit status.
#pragma once

#include "run/engine.h"

namespace zemb {

// Exit status of a faulty command line (a run's own are in run/driver.h).
constexpr int exit_command_line = 2;

int zemb_main(int argc, char** argv, Engine engine);

}  // namespace zemb

// Run control: the command-line switches, the run configuration and file
// names, the platform services (performance counter, key wait), and the phase
// driver that runs a whole sequence.
#pragma once

#include "app/run_parameters.h"

namespace zemb {}

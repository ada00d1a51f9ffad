#include "app/run_parameters.h"

namespace zemb {

namespace {
RunParameters the_parameters;
}

const RunParameters& run_parameters() { return the_parameters; }

void set_run_parameters(const RunParameters& parameters) { the_parameters = parameters; }

}  // namespace zemb

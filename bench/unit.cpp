// Prints the vector unit a run of zemb would use here: the widest the
// processor has, or the one ZEMB_VECTOR_UNIT forces. Exit status 1 (with
// zemb's message) when the variable names a unit this processor lacks.
#include <cstdio>

#include "run/engine.h"

int main()
{
    zemb::VectorUnit unit = zemb::VectorUnit::scalar;
    const zemb::RunFault fault = zemb::run_vector_unit(unit);
    if (!fault.ok()) {
        std::fprintf(stderr, "%s\n", zemb::message(fault).c_str());
        return 1;
    }
    std::printf("%s\n", zemb::vector_unit_name(unit));
    return 0;
}

// zemb-reference: the program with the straightforward per-frame functions,
// the baseline that the benchmark and the whole-run tests compare with.
#include "app/program.h"

int main(int argc, char** argv) { return zemb::zemb_main(argc, argv, zemb::Engine::reference); }

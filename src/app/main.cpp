// ZEMB: foreground/background separation of a numbered PPM sequence.
#include "app/program.h"

int main(int argc, char** argv) { return zemb::zemb_main(argc, argv, zemb::Engine::fast); }

// zemb: separates moving foreground from static background in video (numbered
// PPM frames, image patterns or video files), writing a mask per frame.
#include "app/program.h"

int main(int argc, char** argv) { return zemb::zemb_main(argc, argv, zemb::Engine::fast); }

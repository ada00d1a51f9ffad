#include <csignal>
#include <cstdio>

#include "app/app.h"

namespace zemb {

int zemb_main(int argc, char** argv, Engine engine)
{
    // A file-size limit makes a write fail (and be reported) instead of
    // killing the process halfway through a file.
    std::signal(SIGXFSZ, SIG_IGN);

    RunConfig config;
    switch (configure_run(argc, argv, config)) {
    case StartUp::usage:
        print_usage();
        std::printf("Hit any key to continue...\n");
        wait_for_key();
        return exit_complete;
    case StartUp::command_line:
        return exit_command_line;
    case StartUp::cannot_start:
        return exit_failed;
    case StartUp::run:
        break;
    }
    print_settings_echo(config);
    set_run_parameters(config.params);
    return run_sequence(config, engine);
}

}  // namespace zemb

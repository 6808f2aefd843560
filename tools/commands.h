// The subcommands of the tremora program, one declaration each.
#pragma once

#include "cli.h"

namespace tool {

cli::Command runCommand();
cli::Command analyzeCommand();

// All subcommands in the order --help lists them.
inline void addAllCommands()
{
    cli::add(runCommand());
    cli::add(analyzeCommand());
}

} // namespace tool

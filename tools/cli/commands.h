// The subcommands of the tremora program, one declaration each.
#pragma once

#include "cli.h"

namespace tool {

cli::Command runCommand();
cli::Command selectCommand();
cli::Command confoundCommand();
cli::Command displacementCommand();
cli::Command reportCommand();
cli::Command synthCommand();
cli::Command analyzeCommand();
cli::Command importCommand();
cli::Command processCommand();
cli::Command batchCommand();
cli::Command bidsCommand();

// All subcommands in the order --help lists them.
inline void addAllCommands()
{
    cli::add(selectCommand());
    cli::add(confoundCommand());
    cli::add(displacementCommand());
    cli::add(reportCommand());
    cli::add(analyzeCommand());
    cli::add(importCommand());
    cli::add(processCommand());
    cli::add(batchCommand());
    cli::add(bidsCommand());
    cli::add(runCommand());
    cli::add(synthCommand());
}

} // namespace tool

// The proof's commands, which this room adds to klia's command table.
#pragma once

#include "shell/app.h"

namespace klia {

// Each adds its subcommands to klia's command table.
void AddProbeCommand(CLI::App &app, Context &context);    // probe
void AddCompareCommand(CLI::App &app, Context &context);  // compare
void AddTraceCommands(CLI::App &app, Context &context);   // trace show|diff|replay

}  // namespace klia

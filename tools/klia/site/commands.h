// The site operations' commands, which this room adds to klia's command table.
#pragma once

#include "shell/app.h"

namespace klia {

// Each adds its subcommands to klia's command table.
void AddSwapCommand(CLI::App &app, Context &context);  // swap
void AddSpyCommands(CLI::App &app, Context &context);  // spy install|remove|status|forget

}  // namespace klia

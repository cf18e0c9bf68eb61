// The board commands this room adds to klia's command table, in the order --help shows them.
#pragma once

#include "shell/app.h"

namespace klia {

// Each adds its subcommands to klia's command table.
void AddBoardCommands(CLI::App &app, Context &context);  // board, info
void AddFormatCommand(CLI::App &app, Context &context);  // format
void AddUserCommands(CLI::App &app, Context &context);   // user, login, logout, xid
void AddDataCommands(CLI::App &app, Context &context);   // data, log, config, hwstep
void AddClockCommands(CLI::App &app, Context &context);  // clock, watchdog
void AddTourCommand(CLI::App &app, Context &context);    // tour

}  // namespace klia

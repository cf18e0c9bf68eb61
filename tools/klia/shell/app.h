// What every klia command shares: the global options and the action that the chosen
// subcommand leaves to run once the whole command line has been parsed.
#pragma once

#include <functional>
#include <string>

namespace CLI {
class App;
}

namespace klia {

struct Context {
  std::string board;         // --board PATH: the virtual board's image
  bool board_given = false;  // --board was on the command line (an empty PATH is refused)
  bool json = false;         // --json: results and errors as JSON
  std::string library;       // --library PATH: the interface library to drive instead of klia's own
  std::function<int()> run;
};

// Each adds its subcommands to the application.
void AddBoardCommands(CLI::App &app, Context &context);   // board, info
void AddUserCommands(CLI::App &app, Context &context);    // user, login, logout, xid
void AddDataCommands(CLI::App &app, Context &context);    // data, log, config, hwstep
void AddClockCommands(CLI::App &app, Context &context);   // clock, watchdog
void AddFormatCommand(CLI::App &app, Context &context);   // format
void AddTourCommand(CLI::App &app, Context &context);     // tour
void AddShellCommands(CLI::App &app, Context &context);   // completion, manpage (from this table)
void AddTraceCommands(CLI::App &app, Context &context);   // trace show|diff|replay
void AddProbeCommand(CLI::App &app, Context &context);    // probe
void AddCompareCommand(CLI::App &app, Context &context);  // compare
void AddSwapCommand(CLI::App &app, Context &context);     // swap
void AddSpyCommands(CLI::App &app, Context &context);     // spy install|remove|status

}  // namespace klia

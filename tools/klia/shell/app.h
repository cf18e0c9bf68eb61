// What every klia command shares: the global options and the action that the chosen
// subcommand leaves to run once the whole command line has been parsed. Each room of commands
// adds its own to the command table (board/commands.h, proof/commands.h, site/commands.h).
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

}  // namespace klia

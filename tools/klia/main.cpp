// klia: administration tool for the IA board, a caller of the mviahlp library like any
// other. It uses only the library's public interface.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "app.h"
#include "cp866.h"
#include "errors.h"
#include "mviahlp.h"
#include "output.h"

int main(int argc, char **argv) {
  klia::InitTerminalEncoding();

  CLI::App app{"klia " MVIAHLP_VERSION_STRING
               " - administration tool for the IA board, through the mviahlp library.\n"
               "Talks to the virtual board image chosen by --board, else HWLINK_VBOARD_IMAGE, else a default "
               "image (see 'klia board path')."};
  app.name("klia");
  app.fallthrough();
  app.require_subcommand(1);
  klia::Context context;
  app.add_option("--board", context.board, "the virtual board's image file (created on first use)");
  app.add_flag("--json", context.json, "print results as JSON (errors too)");

  klia::AddBoardCommands(app, context);
  klia::AddFormatCommand(app, context);
  klia::AddUserCommands(app, context);
  klia::AddDataCommands(app, context);
  klia::AddClockCommands(app, context);
  klia::AddTourCommand(app, context);
  klia::AddTraceCommands(app, context);

  std::vector<std::string> arguments = klia::CommandLineArguments(argc, argv);
  std::vector<char *> pointers;
  for (std::string &argument : arguments) pointers.push_back(argument.data());
  try {
    app.parse(static_cast<int>(pointers.size()), pointers.data());
  } catch (const CLI::ParseError &e) {
    return app.exit(e) == 0 ? klia::kExitOk : klia::kExitUsage;
  }
  if (!context.run) {
    std::fputs(app.help().c_str(), stderr);
    return klia::kExitUsage;
  }

  try {
    return context.run();
  } catch (const klia::UsageError &e) {
    std::fprintf(stderr, "klia: %s\n", e.what());
    if (context.json) klia::PrintJson({{"error", {{"usage", e.what()}}}});
    return klia::kExitUsage;
  } catch (const klia::BoardFailure &e) {
    std::fflush(stdout);
    const std::string text = klia::DescribeFailure(e);
    std::fputs(text.c_str(), stderr);
    if (context.json) klia::PrintJson(klia::FailureToJson(e));
    return klia::kExitBoardFailure;
  } catch (const klia::NothingStored &e) {
    std::fprintf(stderr, "klia: %s\n", e.what());
    if (context.json) klia::PrintJson({{"error", {{"nothing_stored", e.what()}}}});
    return klia::kExitBoardFailure;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "klia: %s\n", e.what());
    return klia::kExitBoardFailure;
  }
}

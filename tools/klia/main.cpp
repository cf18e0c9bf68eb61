// klia: administration tool for the IA board, a caller of the mviahlp library like any
// other. It uses only the library's public interface.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "board/commands.h"
#include "library/board_failure.h"
#include "library/library_loader.h"
#include "library/spy_pin.h"
#include "mviahlp.h"
#include "platform/platform.h"
#include "proof/commands.h"
#include "shell/app.h"
#include "shell/command_line.h"
#include "shell/errors.h"
#include "shell/output.h"
#include "shell/process.h"
#include "site/commands.h"

namespace {

bool WantsJson(const std::vector<std::string> &arguments) {
  for (const std::string &argument : arguments) {
    if (argument == "--") break;
    if (argument == "--json") return true;
  }
  return false;
}

int ReportUsageError(const std::string &message) {
  if (klia::JsonOutput()) {
    klia::PrintJsonError({{"error", {{"usage", message}}}});
  } else {
    std::fprintf(stderr, "klia: %s\n", message.c_str());
  }
  return klia::kExitUsage;
}

int Run(int argc, char **argv) {
  // A closed standard stream must not hand its number to a file klia or the virtual board
  // opens: the next line of output would land in that file.
  klia::ReserveStandardStreams();
  klia::InitTerminalEncoding();

  CLI::App app{"klia " MVIAHLP_VERSION_STRING
               " - administration tool for the IA board, through the mviahlp library.\n"
               "Talks to the virtual board image chosen by --board, else HWLINK_VBOARD_IMAGE, else a default "
               "image (see 'klia board path')."};
  klia::Context context;
  klia::BuildGlobalOptions(app, context);
  // The command table, in the order --help lists it: the board commands, probe and compare, the
  // site operations, trace, and the shell's own (completion and the man page, made from the rest).
  klia::AddBoardCommands(app, context);
  klia::AddFormatCommand(app, context);
  klia::AddUserCommands(app, context);
  klia::AddDataCommands(app, context);
  klia::AddClockCommands(app, context);
  klia::AddTourCommand(app, context);
  klia::AddProbeCommand(app, context);
  klia::AddCompareCommand(app, context);
  klia::AddSwapCommand(app, context);
  klia::AddSpyCommands(app, context);
  klia::AddTraceCommands(app, context);
  klia::AddShellCommands(app, context);

  std::vector<std::string> arguments = klia::CommandLineArguments(argc, argv);
  klia::SetJsonOutput(WantsJson(arguments));
  std::vector<char *> pointers;
  for (std::string &argument : arguments) pointers.push_back(argument.data());
  try {
    app.parse(static_cast<int>(pointers.size()), pointers.data());
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp &e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion &e) {
    return app.exit(e);
  } catch (const CLI::ParseError &e) {
    return ReportUsageError(klia::ExplainParseError(app, arguments, e));
  }
  if (!context.run) {
    if (klia::JsonOutput()) return ReportUsageError("no command given (see 'klia --help')");
    std::fputs(app.help().c_str(), stderr);
    return klia::kExitUsage;
  }

  try {
    if (app.get_option("--library")->count() > 0 && context.library.empty()) {
      throw klia::UsageError("--library: the path is empty; name the interface library's file");
    }
    klia::ChooseLibrary(context.library);
    return context.run();
  } catch (const klia::UsageError &e) {
    return ReportUsageError(e.what());
  } catch (const klia::SpyNotPinned &e) {
    // The command could not be kept from changing the board: it called nothing.
    if (klia::JsonOutput()) {
      klia::PrintJsonError({{"error", {{e.kind(), e.what()}}}});
    } else {
      std::fflush(stdout);
      std::fprintf(stderr, "klia: %s\n", e.what());
    }
    return klia::kExitUsage;
  } catch (const klia::BoardFailure &e) {
    if (klia::JsonOutput()) {
      klia::PrintJsonError(klia::FailureToJson(e));
    } else {
      std::fflush(stdout);
      std::fputs(klia::DescribeFailure(e).c_str(), stderr);
    }
    return klia::kExitBoardFailure;
  } catch (const klia::Failure &e) {
    if (klia::JsonOutput()) {
      klia::PrintJsonError({{"error", {{e.kind(), e.what()}}}});
    } else {
      std::fflush(stdout);
      std::fprintf(stderr, "klia: %s\n", e.what());
    }
    return klia::kExitBoardFailure;
  } catch (const std::exception &e) {
    if (klia::JsonOutput()) {
      klia::PrintJsonError({{"error", {{"failure", e.what()}}}});
    } else {
      std::fprintf(stderr, "klia: %s\n", e.what());
    }
    return klia::kExitBoardFailure;
  }
}

}  // namespace

int main(int argc, char **argv) {
  const int status = Run(argc, argv);
  // With --json, the notices and the transport's messages that no error object carried.
  klia::FinishOutput();
  return status;
}

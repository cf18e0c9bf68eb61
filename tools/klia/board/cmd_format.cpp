// klia format.
#include <memory>

#include <CLI/CLI.hpp>

#include "board/commands.h"
#include "shell/app.h"
#include "library/board_session.h"
#include "shell/command_line.h"
#include "shell/errors.h"
#include "board/format_progress.h"
#include "board/info_view.h"
#include "shell/output.h"
#include "shell/process.h"
#include "shell/text_input.h"

namespace klia {
namespace {

struct FormatOptions {
  std::string check_word;
  bool yes = false;
};

// Formatting erases the whole board: a person at a terminal confirms it, a script says --yes.
void Confirm(const BoardChoice &board, bool yes) {
  ConfirmDestruction("formatting erases every user record, data area and the log of the board in " + board.path, yes,
                     "Format it?", "not formatted: nothing was changed");
}

int Format(const Context &context, const FormatOptions &options) {
  const uint16_t check_word =
      static_cast<uint16_t>(ParseUnsigned(options.check_word, kCheckWordMin, kCheckWordMax, "--check-word"));
  Confirm(ChooseBoard(context), options.yes);
  Open(context, Access::kWrite);
  // With --json standard output holds only JSON and standard error only JSON errors: the
  // progress is shown on standard error when a person watches it there.
  std::FILE *own_errors = OwnStandardError();
  FormatBoard(check_word, !context.json                                  ? stdout
                          : own_errors != nullptr && IsTerminal(own_errors) ? own_errors
                                                                          : nullptr);
  const Info info = DecodeInfo(ReadInfo());
  Emit("formatted\n" + InfoText(info), {{"formatted", true}, {"info", InfoJson(info)}});
  return kExitOk;
}

}  // namespace

void AddFormatCommand(CLI::App &app, Context &context) {
  auto options = std::make_shared<FormatOptions>();
  CLI::App *format =
      app.add_subcommand("format", "Format the board's database: erases every user, data area and the log");
  format->add_option("--check-word", options->check_word, "the check word to store, 1-65534 (e.g. 0x1234)")
      ->type_name(kNumberLabel)
      ->required();
  format->add_flag("--yes", options->yes, "do not ask for confirmation (needed when standard input is not a terminal)");
  format->callback([&context, options] { context.run = [&context, options] { return Format(context, *options); }; });
}

}  // namespace klia

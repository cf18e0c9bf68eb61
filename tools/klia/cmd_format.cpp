// klia format.
#include <memory>

#include <CLI/CLI.hpp>

#include "app.h"
#include "board_session.h"
#include "errors.h"
#include "format_progress.h"
#include "info_view.h"
#include "output.h"
#include "text_input.h"

namespace klia {
namespace {

int Format(const Context &context, const std::string &check_word_text) {
  const uint16_t check_word =
      static_cast<uint16_t>(ParseUnsigned(check_word_text, kCheckWordMin, kCheckWordMax, "--check-word"));
  Open(context);
  // With --json the progress goes to standard error and standard output holds only JSON.
  FormatBoard(check_word, context.json ? stderr : stdout);
  const Info info = DecodeInfo(ReadInfo());
  if (context.json) {
    PrintJson({{"formatted", true}, {"info", InfoJson(info)}});
  } else {
    PrintText("formatted\n" + InfoText(info));
  }
  return kExitOk;
}

}  // namespace

void AddFormatCommand(CLI::App &app, Context &context) {
  auto check_word = std::make_shared<std::string>();
  CLI::App *format = app.add_subcommand("format", "Format the board's database (erases everything) with progress");
  format->add_option("--check-word", *check_word, "the check word to store, 1-65534 (e.g. 0x1234)")->required();
  format->callback([&context, check_word] {
    context.run = [&context, check_word] { return Format(context, *check_word); };
  });
}

}  // namespace klia

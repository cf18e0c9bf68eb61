// klia's command table: every subcommand with its options, help and handler, built once.
// Help, the parse-error messages, shell completion and the man page all come from it.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "shell/app.h"

namespace klia {

// The formatter of a command whose form the generated usage line cannot show (a command to
// run after --): its usage line, in --help and the man page, is the form written out.
class FixedUsage : public CLI::Formatter {
 public:
  FixedUsage(const CLI::App &parent, std::string form);
  std::string make_usage(const CLI::App *app, std::string name) const override;
  const std::string &form() const { return form_; }

 private:
  std::string form_;
};

// The table's frame: klia's name and version, how options are written, and the global options
// (--board, --json, --library). The rooms then add their commands (main.cpp), the shell's own last.
void BuildGlobalOptions(CLI::App &app, Context &context);

// completion, manpage: the shell script and the man page, made from the table as built.
void AddShellCommands(CLI::App &app, Context &context);

// What a parse error means, naming the command it belongs to; an unknown subcommand comes
// with the closest known ones ("did you mean ...").
std::string ExplainParseError(const CLI::App &app, const std::vector<std::string> &arguments,
                              const CLI::ParseError &error);

// The bash (or zsh) completion script and the man page (roff), generated from the table.
std::string CompletionScript(const CLI::App &app, const std::string &shell);
std::string ManPage(const CLI::App &app);

// Labels of option values in --help.
inline constexpr const char *kNumberLabel = "NUMBER";  // decimal, or hex with 0x
inline constexpr const char *kHexLabel = "HEX";        // bytes as hex digits
inline constexpr const char *kTextLabel = "TEXT";      // text, stored in code page 866
inline constexpr const char *kFileLabel = "FILE";

}  // namespace klia

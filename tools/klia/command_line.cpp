#include "command_line.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <utility>

#include "mviahlp.h"
#include "output.h"

namespace klia {
namespace {

// Levenshtein distance, for suggestions.
size_t Distance(const std::string &a, const std::string &b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::vector<const CLI::App *> Subcommands(const CLI::App &app) {
  return app.get_subcommands([](const CLI::App *sub) { return !sub->get_name().empty() && !sub->get_group().empty(); });
}

const CLI::App *Subcommand(const CLI::App &app, const std::string &name) {
  for (const CLI::App *sub : Subcommands(app)) {
    if (sub->get_name() == name) return sub;
  }
  return nullptr;
}

std::string CommandPath(const CLI::App *app) {
  std::string path;
  for (; app != nullptr; app = app->get_parent()) path = app->get_name() + (path.empty() ? "" : " " + path);
  return path;
}

// The subcommand's words after the program's name ("data read"), which lead a message that
// klia prints after its own name; empty for the program itself.
std::string SubcommandWords(const CLI::App *app) {
  std::string words;
  for (; app != nullptr && app->get_parent() != nullptr; app = app->get_parent()) {
    words = app->get_name() + (words.empty() ? "" : " " + words);
  }
  return words;
}

// The options of `app` that take a value, so that the value is not taken for a subcommand.
bool TakesValue(const CLI::App &app, const std::string &argument) {
  if (argument.rfind("--", 0) != 0 || argument.find('=') != std::string::npos) return false;
  for (const CLI::Option *option : app.get_options()) {
    if (option->check_lname(argument.substr(2))) return option->get_items_expected_min() > 0;
  }
  return false;
}

std::string Suggestions(const CLI::App &app, const std::string &word) {
  std::vector<std::string> close;
  for (const CLI::App *sub : Subcommands(app)) {
    const std::string &name = sub->get_name();
    if (Distance(word, name) <= std::max<size_t>(1, name.size() / 3) || name.rfind(word, 0) == 0) close.push_back(name);
  }
  if (close.empty()) return "";
  std::string text = "; did you mean ";
  for (size_t i = 0; i < close.size(); ++i) text += (i == 0 ? "'" : i + 1 == close.size() ? " or '" : ", '") + close[i] + "'";
  return text + "?";
}

std::string KnownSubcommands(const CLI::App &app) {
  std::string text;
  for (const CLI::App *sub : Subcommands(app)) text += (text.empty() ? "" : ", ") + sub->get_name();
  return text;
}

}  // namespace

std::string ExplainParseError(const CLI::App &app, const std::vector<std::string> &arguments,
                              const CLI::ParseError &error) {
  // Follow the subcommands named on the command line as far as they are known.
  const CLI::App *level = &app;
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string &word = arguments[i];
    if (word == "--") break;
    if (word.rfind("-", 0) == 0) {
      if (TakesValue(*level, word) || (level != &app && TakesValue(app, word))) ++i;
      continue;
    }
    if (const CLI::App *sub = Subcommand(*level, word)) {
      level = sub;
      continue;
    }
    if (!Subcommands(*level).empty()) {
      return "unknown subcommand '" + word + "' of '" + CommandPath(level) + "'" + Suggestions(*level, word) +
             " (known: " + KnownSubcommands(*level) + ")";
    }
    break;
  }
  std::string message = error.what();
  if (dynamic_cast<const CLI::RequiredError *>(&error) != nullptr && !Subcommands(*level).empty() &&
      message.find("subcommand") != std::string::npos) {
    return "'" + CommandPath(level) + "' needs a subcommand: " + KnownSubcommands(*level) + " (see '" +
           CommandPath(level) + " --help')";
  }
  const std::string words = SubcommandWords(level);
  return (words.empty() ? "" : words + ": ") + message + " (see '" + CommandPath(level) + " --help')";
}

FixedUsage::FixedUsage(const CLI::App &parent, std::string form) : form_(std::move(form)) {
  // The layout of the rest of the help stays the parent's.
  column_width(parent.get_formatter()->get_column_width());
}

std::string FixedUsage::make_usage(const CLI::App *, std::string) const {
  return get_label("Usage") + ": " + form_ + "\n";
}

void AddFieldOptions(CLI::App *command, const std::vector<RecordField> &fields,
                     std::map<std::string, std::string> &typed) {
  for (const RecordField &field : fields) {
    const std::string name = field.name;
    const char *label = kNumberLabel;
    switch (field.kind) {
      case FieldKind::kString: label = kTextLabel; break;
      case FieldKind::kData: label = kHexLabel; break;
      case FieldKind::kFlag: label = "0|1"; break;
      case FieldKind::kFlags8: label = "BITS"; break;
      default: break;
    }
    command
        ->add_option_function<std::string>(
            "--" + name, [&typed, name](const std::string &value) { typed[name] = value; }, field.help)
        ->type_name(label);
  }
}

void BuildCommandLine(CLI::App &app, Context &context) {
  app.name("klia");
  // Options are written --name on every system. On Windows CLI11 would also take /name as an
  // option, and with it every file named by a rooted path (/traces/a.jsonl, a path on the
  // current drive to Windows, or /home/... under Wine). Set before the subcommands are added,
  // which copy it.
  app.allow_windows_style_options(false);
  app.fallthrough();
  app.require_subcommand(1);
  app.get_formatter()->column_width(34);
  app.set_version_flag("--version", "klia " MVIAHLP_VERSION_STRING);
  app.add_option("--board", context.board, "the virtual board's image file (see 'klia board path')")
      ->type_name("PATH")
      ->each([&context](const std::string &) { context.board_given = true; });
  app.add_flag("--json", context.json, "print results, and errors on standard error, as JSON");
  app.add_option("--library", context.library,
                 "drive this interface library (a DLL with the board library's 26 functions, natively a shared "
                 "object) instead of klia's own")
      ->type_name("PATH");

  AddBoardCommands(app, context);
  AddFormatCommand(app, context);
  AddUserCommands(app, context);
  AddDataCommands(app, context);
  AddClockCommands(app, context);
  AddTourCommand(app, context);
  AddProbeCommand(app, context);
  AddCompareCommand(app, context);
  AddSwapCommand(app, context);
  AddSpyCommands(app, context);
  AddTraceCommands(app, context);
  AddShellCommands(app, context);
}

// Completion and man page ----------------------------------------------------------------

namespace {

std::vector<std::string> OptionNames(const CLI::App &app) {
  std::vector<std::string> names;
  for (const CLI::Option *option : app.get_options()) {
    for (const std::string &name : option->get_lnames()) names.push_back("--" + name);
  }
  return names;
}

void CollectPaths(const CLI::App &app, const std::string &path, std::vector<std::pair<std::string, const CLI::App *>> &out) {
  out.emplace_back(path, &app);
  for (const CLI::App *sub : Subcommands(app)) CollectPaths(*sub, path.empty() ? sub->get_name() : path + " " + sub->get_name(), out);
}

std::string Join(const std::vector<std::string> &words) {
  std::string text;
  for (const std::string &word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

std::string RoffEscape(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else if ((c == '.' || c == '\'') && (i == 0 || text[i - 1] == '\n')) {
      out += "\\&";
      out += c;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string CompletionScript(const CLI::App &app, const std::string &shell) {
  std::vector<std::pair<std::string, const CLI::App *>> paths;
  CollectPaths(app, "", paths);
  std::string cases, folder_paths;
  for (const auto &[path, level] : paths) {
    std::vector<std::string> words;
    for (const CLI::App *sub : Subcommands(*level)) words.push_back(sub->get_name());
    const std::vector<std::string> options = OptionNames(*level);
    words.insert(words.end(), options.begin(), options.end());
    cases += "    \"" + path + "\") words=\"" + Join(words) + "\" ;;\n";
    // A command that takes a folder (klia swap FOLDER, klia spy install FOLDER) completes folders too.
    for (const CLI::Option *option : level->get_options()) {
      if (option->get_positional() && option->get_type_name() == "FOLDER") {
        folder_paths += (folder_paths.empty() ? "\"" : "|\"") + path + "\"";
      }
    }
  }
  std::string script =
      "# " + std::string(shell == "zsh" ? "zsh" : "bash") +
      " completion for klia, generated by 'klia completion " + shell + "'.\n" +
      (shell == "zsh" ? "autoload -U +X bashcompinit && bashcompinit\n" : "") +
      "_klia() {\n"
      "  local current=${COMP_WORDS[COMP_CWORD]} path=\"\" word i words\n"
      "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
      "    word=${COMP_WORDS[i]}\n"
      "    case \"$word\" in\n"
      "      --) COMPREPLY=($(compgen -c -f -- \"$current\")); return ;;\n"
      "      --board|--library) ((i++)) ;;\n"
      "      -*) ;;\n"
      "      *) case \" $(_klia_words \"$path\") \" in *\" $word \"*) path=${path:+$path }$word ;; esac ;;\n"
      "    esac\n"
      "  done\n"
      "  case \"${COMP_WORDS[COMP_CWORD-1]}\" in\n"
      "    --board|--in|--out|--library|--old|--new|--transport|--folder|--record|--spy|--trace|--key-file|--password-file|--block-file) COMPREPLY=($(compgen -f -- \"$current\")); return ;;\n"
      "  esac\n"
      "  COMPREPLY=($(compgen -W \"$(_klia_words \"$path\") --board --library --json --help\" -- \"$current\"))\n" +
      (folder_paths.empty() ? std::string()
                            : "  case \"$path\" in\n    " + folder_paths +
                                  ") [[ $current == -* ]] || COMPREPLY+=($(compgen -d -- \"$current\")) ;;\n  esac\n") +
      "}\n"
      "_klia_words() {\n"
      "  case \"$1\" in\n" +
      cases +
      "  esac\n"
      "  echo \"$words\"\n"
      "}\n"
      "complete -F _klia klia\n";
  return script;
}

std::string ManPage(const CLI::App &app) {
  std::string page = ".TH KLIA 1 \"\" \"klia " MVIAHLP_VERSION_STRING "\" \"User Commands\"\n";
  page += ".SH NAME\nklia \\- administration tool for the IA board, through the mviahlp library\n";
  page += ".SH SYNOPSIS\n.B klia\n[\\fB\\-\\-board\\fR \\fIPATH\\fR] [\\fB\\-\\-library\\fR \\fIPATH\\fR] [\\fB\\-\\-json\\fR] \\fICOMMAND\\fR ...\n";
  page += ".SH DESCRIPTION\n" + RoffEscape(app.get_description()) + "\n";
  page +=
      ".PP\nExit status: 0 success; 1 the board, the library or the board image refused (the message says "
      "what to do); 2 a bad argument, refused before anything is sent to the board; 128 + the signal's number "
      "when a signal ended klia (130 Ctrl-C, 143 SIGTERM, 129 SIGHUP).\n";
  page += ".SH GLOBAL OPTIONS\n";
  for (const CLI::Option *option : app.get_options()) {
    page += ".TP\n.B " + RoffEscape(option->get_name(false, true)) + "\n" + RoffEscape(option->get_description()) + "\n";
  }
  page += ".SH COMMANDS\n";
  std::vector<std::pair<std::string, const CLI::App *>> paths;
  CollectPaths(app, "", paths);
  for (const auto &[path, level] : paths) {
    if (path.empty() || !Subcommands(*level).empty()) continue;
    std::string synopsis = "klia " + path;
    const auto *fixed = dynamic_cast<const FixedUsage *>(level->get_formatter().get());
    if (fixed != nullptr) synopsis = fixed->form();
    for (const CLI::Option *option : level->get_options()) {
      if (fixed != nullptr) break;
      if (option->get_name() == "--help") continue;
      if (option->get_positional()) {
        synopsis += option->get_required() ? " " + option->get_name() : " [" + option->get_name() + "]";
      } else {
        std::string item = option->get_name(false, true);
        if (option->get_items_expected_min() > 0) item += " " + option->get_type_name();
        synopsis += option->get_required() ? " " + item : " [" + item + "]";
      }
    }
    page += ".SS " + RoffEscape(path) + "\n" + RoffEscape(level->get_description()) + "\n.PP\n.B " +
            RoffEscape(synopsis) + "\n";
    for (const CLI::Option *option : level->get_options()) {
      if (option->get_name() == "--help") continue;
      page += ".TP\n.I " + RoffEscape(option->get_name(false, true)) + "\n" + RoffEscape(option->get_description()) + "\n";
    }
    if (!level->get_footer().empty()) page += ".PP\n" + RoffEscape(level->get_footer()) + "\n";
  }
  page += ".SH ENVIRONMENT\n.TP\n.B HWLINK_VBOARD_IMAGE\nthe board image used without \\-\\-board.\n";
  page += ".SH FILES\n.TP\n.I ~/.local/state/klia/board.img\nthe default board image ($XDG_STATE_HOME/klia/board.img), made on first use.\n";
  return page;
}

void AddShellCommands(CLI::App &app, Context &context) {
  auto shell = std::make_shared<std::string>("bash");
  CLI::App *completion = app.add_subcommand("completion", "Print the shell completion script (bash or zsh)");
  completion->add_option("shell", *shell, "bash or zsh")->check(CLI::IsMember({"bash", "zsh"}))->capture_default_str();
  completion->callback([&app, &context, shell] {
    context.run = [&app, shell] {
      PrintText(CompletionScript(app, *shell));
      return 0;
    };
  });
  CLI::App *manpage = app.add_subcommand("manpage", "Print the manual page (roff), generated from this help");
  manpage->callback([&app, &context] {
    context.run = [&app] {
      PrintText(ManPage(app));
      return 0;
    };
  });
}

}  // namespace klia

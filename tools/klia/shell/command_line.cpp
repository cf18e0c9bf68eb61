// The frame of klia's command table, parse errors explained, and the completion script and
// the man page made from the table.
#include "shell/command_line.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <utility>

#include "mviahlp.h"
#include "shell/output.h"

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

void BuildGlobalOptions(CLI::App &app, Context &context) {
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

}

// Completion and man page ----------------------------------------------------------------

namespace {

// The options offered at `level`: its own, then the global ones it takes too (every command
// takes them), each once. --version belongs to klia alone.
std::vector<std::string> OptionNames(const CLI::App &level) {
  std::vector<std::string> names;
  auto add = [&names](const CLI::App &app, bool global) {
    for (const CLI::Option *option : app.get_options()) {
      for (const std::string &name : option->get_lnames()) {
        if (global && name == "version") continue;
        if (std::find(names.begin(), names.end(), "--" + name) == names.end()) names.push_back("--" + name);
      }
    }
  };
  add(level, false);
  if (const CLI::App *parent = level.get_parent()) {
    while (parent->get_parent() != nullptr) parent = parent->get_parent();
    add(*parent, true);
  }
  return names;
}

// The values an option or operand takes from a fixed set: those of an IsMember check (CLI11
// adds them to the type name: "TEXT:{bash,zsh}"), or those the type name lists ("read-only|off").
std::vector<std::string> FixedValues(const CLI::Option &option) {
  const std::string type = option.get_type_name();
  std::vector<std::string> values;
  if (const size_t open = type.find(":{"); open != std::string::npos && type.back() == '}') {
    std::string list = type.substr(open + 2, type.size() - open - 3);
    for (size_t at = 0; at <= list.size();) {
      const size_t end = std::min(list.find(',', at), list.size());
      const std::string value = list.substr(at, end - at);
      values.push_back(value.substr(0, value.find("->")));  // a map's keys are what is typed
      at = end + 1;
    }
    return values;
  }
  if (type.find('|') == std::string::npos) return values;
  for (const char c : type) {
    if (!std::islower(static_cast<unsigned char>(c)) && !std::isdigit(static_cast<unsigned char>(c)) && c != '-' &&
        c != '|') {
      return values;
    }
  }
  for (size_t at = 0; at <= type.size();) {
    const size_t end = std::min(type.find('|', at), type.size());
    values.push_back(type.substr(at, end - at));
    at = end + 1;
  }
  return values;
}

// How the value of an option or an operand completes: "files", "folders", "one of V1 V2 ...",
// or "text" (a number, hex digits, words: nothing to offer). Its type name says which; an
// operand without one of its own is known by its name (klia trace show file).
std::string ValueKind(const CLI::Option &option) {
  const std::vector<std::string> values = FixedValues(option);
  if (!values.empty()) {
    std::string kind = "one of";
    for (const std::string &value : values) kind += " " + value;
    return kind;
  }
  const std::string type = option.get_type_name().substr(0, option.get_type_name().find(':'));
  const std::string name = option.get_positional() ? option.get_name() : "";
  if (type == "FOLDER" || type == "DIR" || name == "folder") return "folders";
  if (type == "PATH" || type == "FILE" || type == "LIB" || type == "NEW" || name == "file" || name == "files") {
    return "files";
  }
  return "text";
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

// Whether `text` names the option `name` ("--library", not "--library-path").
bool NamesOption(const std::string &text, const std::string &name) {
  for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
    const size_t end = at + name.size();
    if (end == text.size() || !(std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '-')) return true;
  }
  return false;
}

// Every variable klia, the transport spy and the virtual board read, with what it does. A test
// checks that each variable the code reads is here.
const std::vector<std::pair<const char *, const char *>> kEnvironment = {
    {"HWLINK_VBOARD_IMAGE",
     "The board image used without --board. It is the virtual board's own variable: a program run with it (natively "
     "through a folder whose libhwlink32.so is the virtual board) reaches the same board as klia run with it."},
    {"HWLINK_VBOARD_CREATE",
     "Set (to anything but 0): the virtual board makes a missing image of HWLINK_VBOARD_IMAGE at the first use; "
     "without it a missing image is an error. klia sets it itself for 'board create', the tour and the first use "
     "of the default image."},
    {"HWLINK_VBOARD_READ_ONLY",
     "Set (to anything but 0): the virtual board serves the image read-only and never makes one. klia sets it for "
     "the commands that only read."},
    {"HWLINK_VBOARD_GEOMETRY",
     "The geometry of an image the virtual board makes without one, e.g. "
     "users=32,data=200,log=16,page=256,version=0x123,devices=4,ext=0 (missing keys keep the default). "
     "'klia board create' sets it from its options."},
    {"HWLINK_VBOARD_TRACE",
     "A board trace file to which the virtual board appends every exchange: a new file, an empty one or a trace, "
     "never through a symbolic link."},
    {"HWLINK_SPY_TARGET",
     "The real transport the spy forwards to: a full path, or a bare file name (default: HWLINK32-REAL.DLL, "
     "natively libhwlink32-real.so, beside the spy); it wins over target = in hwlink-spy.conf. 'klia compare' "
     "sets it for its probes; 'klia trace replay' clears it."},
    {"HWLINK_SPY_TRACE",
     "The spy's trace file (default: hwlink-trace.jsonl beside the spy); none: no trace at all. The spy klia "
     "probe pins in front of the library writes a trace only when this names one."},
    {"HWLINK_SPY_SECRETS",
     "keep: the spy records logon blocks and user records as they are, which a replay needs (a lab board only); "
     "otherwise they are withheld."},
    {"HWLINK_SPY_GUARD",
     "read-only (or any value but off; empty is unset): only the calls that read the board reach it. off does not "
     "lower a guard that hwlink-spy.conf asks for. 'klia probe' and 'klia compare' turn the guard on whatever it "
     "says."},
    {"HWLINK_SPY_REPLAY",
     "A trace the spy answers from instead of forwarding: 'klia trace replay' sets it for the command it runs."},
    {"XDG_STATE_HOME", "The default image is $XDG_STATE_HOME/klia/board.img."},
    {"HOME",
     "Without XDG_STATE_HOME, the default image is ~/.local/state/klia/board.img; without either, klia-board.img "
     "in the current folder."},
    {"LOCALAPPDATA", "On Windows, the default image is %LOCALAPPDATA%\\klia\\board.img."},
    {"TMPDIR",
     "Where the tour keeps its fresh board and 'klia trace replay' the replayed session's own trace (on Windows "
     "TMP or TEMP)."},
    {"LD_PRELOAD", "'klia trace replay' puts the spy first in it for the command it runs, keeping what was there."},
    {"LD_LIBRARY_PATH",
     "'klia trace replay' puts the spy's folder first in it for the command it runs, keeping what was there."},
    {"PATH",
     "Where 'klia trace replay' finds the command it runs; on Windows also the last folders searched for the "
     "transport a library would load (after its own folder and the system folders), when klia pins the spy in "
     "front of it."},
};

// The files klia reads and writes besides those named on its command line. FOLDER is a program's
// folder given to 'klia swap' or 'klia spy install'.
const std::vector<std::pair<const char *, const char *>> kFiles = {
    {"~/.local/state/klia/board.img",
     "The default board image ($XDG_STATE_HOME/klia/board.img; on Windows %LOCALAPPDATA%\\klia\\board.img), made "
     "on first use with a notice. 'klia board path' shows which image is used."},
    {"FOLDER/klia-swap.json",
     "klia swap's record: the original library's name, size and SHA-256, when, and what replaced it."},
    {"FOLDER/klia-spy.json", "klia spy install's record of the files it put into the folder and kept."},
    {"FOLDER/hwlink-spy.conf",
     "The spy's settings, beside it: the real transport by its full path, the trace and the guard. klia spy "
     "install writes it; one that was there is kept and put back."},
    {"FOLDER/NAME.klia-original",
     "A library klia swap replaced, kept as it was (mviahlp.dll.klia-original, natively "
     "libmviahlp.so.1.klia-original)."},
    {"FOLDER/HWLINK32-REAL.DLL, FOLDER/libhwlink32-real.so",
     "The program's transport, kept under this name while the spy stands in its place."},
    {"FOLDER/NAME.klia-new, FOLDER/NAME.klia-previous, FOLDER/NAME.klia-removed",
     "Scratch names while a folder changes. A klia killed between two steps leaves them; --status lists them and "
     "the next undo or removal clears them."},
    {"hwlink-trace.jsonl",
     "The spy's default trace, beside the spy (see HWLINK_SPY_TRACE). klia spy remove leaves it and names it."},
    {"klia-compare-DATE-TIME/",
     "The folder klia compare makes (or --folder DIR): both traces (old.jsonl, new.jsonl), each run's output and "
     "report.txt."},
};

}  // namespace

std::string CompletionScript(const CLI::App &app, const std::string &shell) {
  std::vector<std::pair<std::string, const CLI::App *>> paths;
  CollectPaths(app, "", paths);
  std::string words_cases, value_cases, global_cases, operand_cases;
  for (const auto &[path, level] : paths) {
    std::vector<std::string> words;
    for (const CLI::App *sub : Subcommands(*level)) words.push_back(sub->get_name());
    const std::vector<std::string> options = OptionNames(*level);
    words.insert(words.end(), options.begin(), options.end());
    words_cases += "    \"" + path + "\") words=\"" + Join(words) + "\" ;;\n";
    bool operand_seen = false;
    for (const CLI::Option *option : level->get_options()) {
      if (option->get_positional()) {
        // The first operand that has something to offer: a folder, a file, one of a few words.
        const std::string kind = ValueKind(*option);
        if (!operand_seen && kind != "text") operand_cases += "    \"" + path + "\") echo \"" + kind + "\" ;;\n";
        operand_seen = operand_seen || kind != "text";
        continue;
      }
      if (option->get_items_expected_min() == 0) continue;  // a flag
      for (const std::string &name : option->get_lnames()) {
        // Global options are taken at every level, after the command's own.
        (path.empty() ? global_cases : value_cases) +=
            "    " + std::string(path.empty() ? "*" : "\"" + path + "\"") + "\"|--" + name + "\") echo \"" +
            ValueKind(*option) + "\" ;;\n";
      }
    }
  }
  return "# " + std::string(shell == "zsh" ? "zsh" : "bash") + " completion for klia, generated by 'klia completion " +
         shell + "'.\n" + (shell == "zsh" ? "autoload -U +X bashcompinit && bashcompinit\n" : "") +
         "_klia() {\n"
         "  local current=${COMP_WORDS[COMP_CWORD]} path=\"\" word kind i\n"
         "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
         "    word=${COMP_WORDS[i]}\n"
         "    case \"$word\" in\n"
         "      --) COMPREPLY=($(compgen -c -f -- \"$current\")); return ;;\n"
         "      -*=*) ;;\n"
         "      -*)\n"
         "        kind=$(_klia_value \"$path\" \"$word\")\n"
         "        if [[ -n $kind ]]; then\n"
         "          if ((i + 1 == COMP_CWORD)); then COMPREPLY=($(_klia_offer \"$kind\" \"$current\")); return; fi\n"
         "          ((i++))\n"
         "        fi ;;\n"
         "      *) case \" $(_klia_words \"$path\") \" in *\" $word \"*) path=${path:+$path }$word ;; esac ;;\n"
         "    esac\n"
         "  done\n"
         "  COMPREPLY=($(compgen -W \"$(_klia_words \"$path\")\" -- \"$current\"))\n"
         "  kind=$(_klia_operand \"$path\")\n"
         "  [[ -z $kind || $current == -* ]] || COMPREPLY+=($(_klia_offer \"$kind\" \"$current\"))\n"
         "  return 0\n"
         "}\n"
         "# What completes KIND (files, folders, \"one of WORDS\", text) that begins with CURRENT.\n"
         "_klia_offer() {\n"
         "  case \"$1\" in\n"
         "    files) compgen -f -- \"$2\" ;;\n"
         "    folders) compgen -d -- \"$2\" ;;\n"
         "    \"one of \"*) compgen -W \"${1#one of }\" -- \"$2\" ;;\n"
         "  esac\n"
         "}\n"
         "# The subcommands and options of a command.\n"
         "_klia_words() {\n"
         "  local words=\"\"\n"
         "  case \"$1\" in\n" +
         words_cases +
         "  esac\n"
         "  echo \"$words\"\n"
         "}\n"
         "# What the value of an option of a command is; nothing for a flag or an unknown option.\n"
         "_klia_value() {\n"
         "  case \"$1|$2\" in\n" +
         value_cases + global_cases +
         "  esac\n"
         "}\n"
         "# What a command's operands are, when they can be offered.\n"
         "_klia_operand() {\n"
         "  case \"$1\" in\n" +
         operand_cases +
         "  esac\n"
         "}\n"
         "complete -F _klia klia\n";
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
    // A global option that a command's help names is one of its own (klia swap puts in place
    // the library named by --library): its synopsis shows it too.
    const std::string help = level->get_description() + " " + level->get_footer();
    for (const CLI::Option *option : app.get_options()) {
      const std::string name = option->get_name(false, true);
      if (fixed != nullptr || option->get_items_expected_min() == 0 || !NamesOption(help, name)) continue;
      synopsis += " [" + name + " " + option->get_type_name() + "]";
    }
    page += ".SS " + RoffEscape(path) + "\n" + RoffEscape(level->get_description()) + "\n.PP\n.B " +
            RoffEscape(synopsis) + "\n";
    for (const CLI::Option *option : level->get_options()) {
      if (option->get_name() == "--help") continue;
      page += ".TP\n.I " + RoffEscape(option->get_name(false, true)) + "\n" + RoffEscape(option->get_description()) + "\n";
    }
    if (!level->get_footer().empty()) page += ".PP\n" + RoffEscape(level->get_footer()) + "\n";
  }
  page += ".SH ENVIRONMENT\n";
  for (const auto &[name, text] : kEnvironment) page += ".TP\n.B " + std::string(name) + "\n" + RoffEscape(text) + "\n";
  page += ".SH FILES\n";
  for (const auto &[name, text] : kFiles) page += ".TP\n.I " + RoffEscape(name) + "\n" + RoffEscape(text) + "\n";
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

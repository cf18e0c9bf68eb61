#include "shell/secret_input.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <utility>

#include <CLI/CLI.hpp>

#include "platform/platform.h"
#include "shell/command_line.h"
#include "shell/errors.h"
#include "shell/output.h"
#include "shell/process.h"
#include "shell/text_input.h"

namespace klia {

void WipeMemory(void *data, size_t size) {
  volatile unsigned char *bytes = static_cast<volatile unsigned char *>(data);
  for (size_t i = 0; i < size; ++i) bytes[i] = 0;
}

SecretValue::SecretValue(std::string what_, size_t size_, std::string argument_, std::string file_option_)
    : what(std::move(what_)), size(size_), argument(std::move(argument_)), file_option(std::move(file_option_)) {}

SecretValue::~SecretValue() { WipeMemory(bytes.data(), bytes.size()); }

void AddSecretOptions(CLI::App *command, CLI::Option *argument_option, SecretValue &value) {
  argument_option->each([&value](const std::string &) { value.typed_given = true; });
  command
      ->add_option(value.file_option, value.file,
                   "read the " + value.what + " (" + std::to_string(2 * value.size) +
                       " hex digits) from FILE instead; - reads standard input")
      ->type_name(kFileLabel)
      ->each([&value](const std::string &) { value.file_given = true; });
}

namespace {

// More than any value with separators and whitespace: a larger file is not a key file (and
// /dev/zero given by mistake ends here).
constexpr size_t kSecretTextMax = 4096;

void Wipe(std::string &text) { WipeMemory(text.data(), text.size()); }

// Lines that hold secrets, wiped when they go, however the scope is left.
struct SecretLines {
  std::vector<std::string> lines;
  ~SecretLines() {
    for (std::string &line : lines) Wipe(line);
  }
};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

std::string Trimmed(const std::string &text) {
  size_t begin = 0, end = text.size();
  while (begin < end && IsSpace(text[begin])) ++begin;
  while (end > begin && IsSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// The lines of `text`, each without the whitespace around it; none when `text` is only
// whitespace, so that a final newline (or a line ending \r\n) does not count as a line. The
// text is wiped.
void SplitLines(std::string &text, SecretLines &into) {
  std::string whole = Trimmed(text);
  Wipe(text);
  for (size_t begin = 0; !whole.empty();) {
    const size_t end = whole.find('\n', begin);
    std::string line = whole.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    into.lines.push_back(Trimmed(line));
    Wipe(line);
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  Wipe(whole);
}

std::string HexDigits(size_t size) { return std::to_string(2 * size) + " hex digits"; }

// The values, each as `part` words it, in a list: "a, b and c" (or with `last` before c).
template <typename Part>
std::string Listed(const std::vector<SecretValue *> &values, const std::string &last, Part part) {
  std::string text;
  for (size_t i = 0; i < values.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == values.size() ? last : ", ") + part(*values[i]);
  }
  return text;
}

std::string TheValues(const std::vector<SecretValue *> &values, const std::string &last) {
  return Listed(values, last, [](const SecretValue &value) { return "the " + value.what; });
}

std::string FileOptions(const std::vector<SecretValue *> &values) {
  return Listed(values, " and ", [](const SecretValue &value) { return value.file_option + " FILE"; });
}

// A file or standard input whole, in storage reserved once, so that no copy of the secret is
// left behind in memory given back.
std::string ReadWhole(std::FILE *stream, const std::string &source, const std::string &holds) {
  std::string text;
  text.reserve(kSecretTextMax);
  char buffer[256];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, stream)) > 0) {
    if (text.size() + got > kSecretTextMax) {
      WipeMemory(buffer, sizeof buffer);
      Wipe(text);
      throw UsageError(source + " holds more than " + std::to_string(kSecretTextMax) + " bytes: it should hold " +
                       holds);
    }
    text.append(buffer, got);
  }
  WipeMemory(buffer, sizeof buffer);
  if (std::ferror(stream)) {
    const int error = errno;
    Wipe(text);
    throw UsageError("cannot read " + source + ": " + std::strerror(error));
  }
  return text;
}

// A key file that others may read is no secret: say so, with the cure.
void WarnWhenOthersMayRead(std::FILE *file, const SecretValue &value) {
  const std::optional<unsigned> others = ModeOthersMayRead(file);
  if (!others) return;
  char mode[8];
  std::snprintf(mode, sizeof mode, "%03o", *others);
  Notice("warning: " + value.file_option + " " + value.file + " can be read by other users of this computer (mode " +
         mode + "); keep it to yourself: chmod 600 " + value.file);
}

std::string ReadSecretFile(const SecretValue &value) {
  const std::string source = value.file_option + " " + value.file;
  std::FILE *file = OpenNotInherited(value.file, "rb");  // not handed to programs klia starts
  if (file == nullptr) {
    throw UsageError(value.file_option + ": cannot open " + value.file + ": " + std::strerror(errno) +
                     "; name a file that holds the " + value.what + ", or - for standard input");
  }
  WarnWhenOthersMayRead(file, value);
  try {
    std::string text = ReadWhole(file, source, "the " + value.what + " alone (" + HexDigits(value.size) + ")");
    std::fclose(file);
    return text;
  } catch (...) {
    std::fclose(file);
    throw;
  }
}

// The value in a file that should hold it alone.
std::vector<uint8_t> ReadFromFile(const std::string &command, const SecretValue &value) {
  SecretLines read;
  std::string text = ReadSecretFile(value);
  SplitLines(text, read);
  const std::string source = value.file_option + " " + value.file;
  const std::string holds = "the " + value.what + " (" + HexDigits(value.size) + ")";
  const size_t count = read.lines.size();
  if (count == 0) throw UsageError(command + ": " + source + " is empty: it should hold " + holds);
  if (count > 1) {
    throw UsageError(command + ": " + source + " holds " + std::to_string(count) + " lines: it should hold " + holds +
                     " alone, on one line");
  }
  return ParseHexExactly(read.lines[0], value.size, source, /*secret*/ true);
}

// The values read from standard input, one a line in the command's order.
void ReadFromStandardInput(const std::string &command, const std::vector<SecretValue *> &values) {
  const std::string holds = values.size() > 1 ? TheValues(values, ", then ") + ", one a line"
                                              : TheValues(values, "") + " (" + HexDigits(values[0]->size) + ")";
  SecretLines read;
  std::string text = ReadWhole(stdin, "standard input", holds);
  SplitLines(text, read);
  const size_t count = read.lines.size();
  if (count != values.size()) {
    throw UsageError(
        command + ": standard input " +
        (count == 0 ? std::string("is empty") : "holds " + std::to_string(count) + (count == 1 ? " line" : " lines")) +
        ": it should hold " + holds);
  }
  for (size_t i = 0; i < count; ++i) {
    SecretValue &value = *values[i];
    const std::string where =
        value.what + " on standard input" + (count > 1 ? " (line " + std::to_string(i + 1) + ")" : "");
    value.bytes = ParseHexExactly(read.lines[i], value.size, where, /*secret*/ true);
  }
}

// One value typed at the prompt: `name` and how many digits it takes.
std::vector<uint8_t> AskHex(const std::string &command, const std::string &name, size_t size,
                            const std::string &prompt) {
  SecretLines typed;
  std::string line;
  line.reserve(kSecretTextMax);
  const bool ended = !ReadWithoutEcho(prompt, line, kSecretTextMax);
  SplitLines(line, typed);
  if (ended) throw UsageError(command + ": the input ended before the " + name + " was typed; nothing was done");
  if (typed.lines.empty()) throw UsageError(command + ": nothing typed for the " + name + "; nothing was done");
  return ParseHexExactly(typed.lines[0], size, name + " as typed", /*secret*/ true);
}

std::vector<uint8_t> Ask(const std::string &command, const SecretValue &value) {
  if (value.parts.empty()) {
    return AskHex(command, value.what, value.size, value.what + " (" + HexDigits(value.size) + "): ");
  }
  const size_t part_size = value.size / value.parts.size();
  std::vector<uint8_t> bytes;
  bytes.reserve(value.size);
  for (size_t i = 0; i < value.parts.size(); ++i) {
    const std::string &name = value.parts[i];
    std::vector<uint8_t> part = AskHex(command, name, part_size, name + " (" + HexDigits(part_size) + "): ");
    if (i + 1 == value.parts.size()) {
      // The last part is a new value: a typing slip there would lock its owner out.
      std::vector<uint8_t> again = AskHex(command, name, part_size, name + " again: ");
      const bool same = again == part;
      WipeMemory(again.data(), again.size());
      if (!same) {
        WipeMemory(part.data(), part.size());
        WipeMemory(bytes.data(), bytes.size());
        throw UsageError(command + ": the " + name +
                         " typed the second time differs from the first; nothing was "
                         "changed, run the command again");
      }
    }
    bytes.insert(bytes.end(), part.begin(), part.end());
    WipeMemory(part.data(), part.size());
  }
  return bytes;
}

bool SameFile(const std::string &a, const std::string &b) {
  std::error_code error;
  return a == b || std::filesystem::equivalent(a, b, error);
}

// A file holds one value: two options naming one file (standard input aside) are a slip.
void RefuseOneFileForTwo(const std::string &command, const std::vector<SecretValue *> &values) {
  for (size_t i = 0; i < values.size(); ++i) {
    for (size_t j = i + 1; j < values.size(); ++j) {
      const SecretValue &a = *values[i], &b = *values[j];
      if (a.file_given && b.file_given && a.file != "-" && b.file != "-" && SameFile(a.file, b.file)) {
        throw UsageError(command + ": " + a.file_option + " and " + b.file_option + " name the same file (" + b.file +
                         "), and a file holds one value: give each its own file, or both on standard input (-), " +
                         "one a line, the " + a.what + " first");
      }
    }
  }
}

}  // namespace

void ObtainSecrets(const std::string &command, const std::vector<SecretValue *> &values) {
  std::vector<SecretValue *> missing, typed, from_input;
  for (SecretValue *value : values) {
    if (value->typed_given && value->file_given) {
      throw UsageError(command + ": give the " + value->what + " either as " + value->argument + " or with " +
                       value->file_option + ", not both");
    }
    if (value->file_given && value->file.empty()) {
      throw UsageError(command + ": " + value->file_option + ": the path is empty; name a file that holds the " +
                       value->what + ", or - for standard input");
    }
    if (value->typed_given) typed.push_back(value);
    if (value->file_given && value->file == "-") from_input.push_back(value);
    if (!value->typed_given && !value->file_given && value->needed) missing.push_back(value);
  }
  RefuseOneFileForTwo(command, values);
  const bool terminal = IsTerminal(stdin);
  if (!missing.empty() && !terminal) {
    const bool one = missing.size() == 1;
    const auto what = [](const SecretValue &value) { return value.what; };
    throw UsageError(
        command + ": no " + Listed(missing, " and no ", what) +
        " given, and standard input is not a terminal to ask for " + (one ? "it" : "them") + ": give " +
        FileOptions(missing) + " (- reads standard input" + (one ? "" : ", one value a line in this order") + "), or " +
        Listed(missing, " and ", [](const SecretValue &value) { return value.argument; }) + " on the command line");
  }
  if (!typed.empty()) {
    Notice("warning: " + TheValues(typed, " and ") + " given on the command line can be seen by other users of this " +
           "computer (in the process list) and stay in the shell history; read " + (typed.size() == 1 ? "it" : "them") +
           " from a file instead with " + FileOptions(typed) +
           " (- reads standard input; on a terminal, a prompt without echo)");
  }
  // Arguments and files first, so that nothing is asked for before a bad value is refused.
  for (SecretValue *value : values) {
    if (value->typed_given) {
      value->bytes = ParseHexExactly(value->typed, value->size, value->argument);
    } else if (value->file_given && value->file != "-") {
      value->bytes = ReadFromFile(command, *value);
    }
  }
  if (!from_input.empty() && !terminal) ReadFromStandardInput(command, from_input);
  // Then what is asked for on the terminal, in the command's order.
  for (SecretValue *value : values) {
    const bool asked = value->file_given ? value->file == "-" && terminal : !value->typed_given && value->needed;
    if (asked) value->bytes = Ask(command, *value);
  }
}

}  // namespace klia

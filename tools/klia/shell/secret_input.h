// Secrets a command takes (a logon key, a password, a password block) without the command
// line, where every user of the computer can read them (the process list) and where they stay
// (the shell history): read from a file, from standard input, or typed at a prompt without
// echo. The argument forms remain for scripts, with a notice.
//
// Where a value comes from, for each value of a command:
//   - its argument (KEY, --key HEX): taken as typed, with a notice on standard error;
//   - its file option (--key-file FILE): the file holds the value alone, in hex as on the
//     command line; whitespace around it and a final newline do not count. "-" is standard
//     input: off a terminal it holds the values read from it one a line, in the command's
//     order (key before password); on a terminal each is asked for without echo;
//   - neither, for a value the command needs: asked for without echo on a terminal; off one
//     (cron, a pipe) a usage error that names the options, at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace klia {

// Overwrites `size` bytes at `data` with zeros, in a way the compiler does not leave out.
void WipeMemory(void *data, size_t size);

// One secret value a command takes, where it may come from, and, once obtained, its bytes.
struct SecretValue {
  SecretValue(std::string what, size_t size, std::string argument, std::string file_option);
  ~SecretValue();
  SecretValue(const SecretValue &) = delete;
  SecretValue &operator=(const SecretValue &) = delete;

  std::string what;         // what a person calls it: "logon key", "password block"
  size_t size;              // bytes it must have
  std::string argument;     // its argument form, and its name in messages: "KEY", "--key"
  std::string file_option;  // "--key-file"
  bool needed = true;       // without argument or file, asked for (false: left out, not changed)
  // On a terminal the value is asked for in parts of equal size, each by its name, the last
  // twice (a password block: the current password, then the new one). Empty: asked whole.
  std::vector<std::string> parts;

  // From the command line.
  std::string typed;
  bool typed_given = false;
  std::string file;
  bool file_given = false;

  // Obtained: `size` bytes, or none when the value is not needed and was not given.
  std::vector<uint8_t> bytes;
  bool present() const { return !bytes.empty(); }
};

// Adds the value's file option to `command`, and notes when its argument form (added by the
// caller, `argument_option`) is given, even as an empty word.
void AddSecretOptions(CLI::App *command, CLI::Option *argument_option, SecretValue &value);

// Obtains every value of `command` ("login", "user password") from where it is given (see the
// top of this file), checks it as the argument form is checked, and fills in its bytes. Throws
// UsageError with a message naming where a bad value came from, without the value itself.
void ObtainSecrets(const std::string &command, const std::vector<SecretValue *> &values);

}  // namespace klia

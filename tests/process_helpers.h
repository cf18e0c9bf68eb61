// Helpers of the tests that work in a temporary folder of their own and run programs as separate
// processes through the shell: the folder made and removed, files read and written whole, a
// folder filled with copies of the build's files, words quoted for sh, a program run with what
// it printed captured, and variables of the test's own environment changed for a while.
//
// The folder and file helpers serve the Windows builds of the tests too; running programs
// through sh and changing the environment are for the native tests only.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>

#include <cstdlib>
#include <map>
#include <optional>
#endif

namespace process_helpers {

// What a program run left: its exit code (-1 when it did not exit) and its two output streams.
struct Outcome {
  int exit_code = -1;
  std::string out;
  std::string err;
};

inline std::string ReadFile(const std::filesystem::path &path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const std::filesystem::path &path, const std::string &bytes) {
  std::ofstream file(path, std::ios::binary);
  file << bytes;
}

// A new empty folder "<prefix>-<a random number>" in the system's temporary folder, for one test.
inline std::filesystem::path MakeTemporaryFolder(const std::string &prefix) {
  std::random_device random;
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / (prefix + "-" + std::to_string(random()));
  std::filesystem::create_directories(folder);
  return folder;
}

// Removes `folder` with everything in it, as far as it can: a test's clean-up never fails.
inline void RemoveFolder(const std::filesystem::path &folder) {
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

// Makes `folder` (and the folders above it) and copies files into it: {name in the folder, file}.
inline void CopyIntoFolder(const std::filesystem::path &folder,
                           const std::vector<std::pair<std::string, std::filesystem::path>> &copies) {
  std::filesystem::create_directories(folder);
  for (const auto &[name, file] : copies) std::filesystem::copy_file(file, folder / name);
}

// `word` as one sh word, whatever it holds.
inline std::string Quoted(const std::string &word) {
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// `program` and its arguments, each one sh word.
inline std::string CommandLine(const std::string &program, const std::vector<std::string> &args) {
  std::string line = Quoted(program);
  for (const std::string &arg : args) line += " " + Quoted(arg);
  return line;
}

#ifndef _WIN32

// The exit code in a wait status of std::system or waitpid, -1 when a signal ended the program.
inline int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

// Runs `command` (a line for sh) with its standard output going to the file "out" of `folder`
// and its standard error to the file "err", then `redirections` (sh syntax, such as where
// standard input comes from; "" leaves it the test's own), and returns what the run left.
inline Outcome RunCaptured(const std::string &command, const std::filesystem::path &folder,
                           const std::string &redirections) {
  const std::filesystem::path out = folder / "out", err = folder / "err";
  const int status = std::system((command + " >" + Quoted(out) + " 2>" + Quoted(err) + redirections).c_str());
  Outcome run;
  run.exit_code = ExitCode(status);
  run.out = ReadFile(out);
  run.err = ReadFile(err);
  return run;
}

// Variables of the test's own environment set or taken out for as long as this lives, for what
// the test loads into its own process; each gets back the value it had (or its absence) at the end.
class EnvironmentChange {
 public:
  EnvironmentChange() = default;
  EnvironmentChange(const EnvironmentChange &) = delete;
  EnvironmentChange &operator=(const EnvironmentChange &) = delete;
  ~EnvironmentChange() {
    for (const auto &[name, value] : before_) Put(name, value ? value->c_str() : nullptr);
  }

  // `name` set to `value`, or taken out when `value` is null.
  void Set(const std::string &name, const char *value) {
    if (before_.count(name) == 0) {
      const char *now = std::getenv(name.c_str());
      before_[name] = now != nullptr ? std::optional<std::string>(now) : std::nullopt;
    }
    Put(name, value);
  }
  void Set(const std::string &name, const std::string &value) { Set(name, value.c_str()); }
  void Remove(const std::string &name) { Set(name, nullptr); }

 private:
  static void Put(const std::string &name, const char *value) {
    if (value != nullptr) {
      setenv(name.c_str(), value, 1);
    } else {
      unsetenv(name.c_str());
    }
  }

  std::map<std::string, std::optional<std::string>> before_;
};

#endif

}  // namespace process_helpers

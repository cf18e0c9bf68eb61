// Running klia again as a child process behind the transport spy (klia compare): where the
// spy and the default transport are, how a library is put in front of the spy, and the run.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace klia {

// Something a comparison needs cannot be had: which library, transport or file, and why.
class CannotRun : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct SpyLocation {
  std::filesystem::path library;  // the spy's file (libhwlink32.so, HWLINK32.DLL)
  std::string library_path;       // natively: the folder to put first on LD_LIBRARY_PATH
};

// The spy beside an installed klia, else in the build tree. Throws CannotRun naming
// where it was looked for.
SpyLocation FindSpy();

// The transport klia's own library would use: natively the virtual board (libhwlink32.so
// beside klia's library); on Windows the HWLINK32.DLL beside klia.exe (the virtual board in
// the simulator folder). Throws CannotRun when there is none.
std::filesystem::path DefaultTransport();

// Puts `library` where it loads the spy as its transport and returns the file to load:
// natively the library itself (the spy comes first on the library path); on Windows a copy
// in `folder` (made new) beside a copy of the spy as HWLINK32.DLL, which the loader then takes
// for it. Throws CannotRun.
std::filesystem::path PlaceLibrary(const std::filesystem::path &library, const SpyLocation &spy,
                                   const std::filesystem::path &folder);

// klia's own program file.
std::filesystem::path OwnProgram();

// The first of the '|'-separated folders (relative ones taken from klia's own folder) that
// holds `file`, or an empty path.
std::filesystem::path FirstHolding(const std::string &folders, const char *file);

struct ChildRun {
  std::filesystem::path program;
  std::vector<std::string> arguments;
  // Set in the child's environment; an empty value removes the variable.
  std::vector<std::pair<std::string, std::string>> environment;
  std::string library_path;        // natively: put first on LD_LIBRARY_PATH
  std::filesystem::path out, err;  // the child's standard output and error go there
};

// How a child process ended: its exit status, the signal that ended it, or (on Windows) the
// exception that ended it.
struct ChildEnd {
  bool started = false;
  bool exited = false;   // it exited, with `status`
  int status = -1;
  int signal = 0;        // natively: the signal that ended it
  uint32_t exception = 0;  // on Windows: the exception code that ended it (0xC0000005, ...)
  bool crashed = false;  // ended by a fault of its own (a crash, an abort), not by someone's signal

  bool Interrupted() const;  // Ctrl-C: exit status 130 or SIGINT
  // "exited with status 3", "was ended by SIGTERM", "crashed (SIGSEGV)", "aborted (SIGABRT)",
  // "crashed (exception 0xC0000005)", "could not be started".
  std::string Words() const;
  // {"exit_status": 3} or {"signal": "SIGSEGV", "crashed": true} or {"exception": "0xC0000005",
  // "crashed": true} or {"started": false}.
  nlohmann::json Json() const;
};

// Runs the child and waits for it, Ctrl-C reaching the child alone.
ChildEnd RunChild(const ChildRun &child);

#ifdef _WIN32
// Runs `command` (its program looked for as the shell would) with klia's own standard streams
// and waits for it; each word reaches the program as one argument, spaces and quotes
// included. Its exit status, or -1 when it could not be started.
int RunCommandAndWait(const std::vector<std::string> &command);
#endif

}  // namespace klia

#include "platform/process_runner.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "platform/windows/wide_text.h"
#include "platform/platform.h"

#ifndef KLIA_SPY_FOLDERS
#define KLIA_SPY_FOLDERS ""
#endif
#ifndef KLIA_VBOARD_FOLDERS
#define KLIA_VBOARD_FOLDERS ""
#endif

namespace klia {
namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
constexpr const char *kTransportFile = "HWLINK32.DLL";
#else
constexpr const char *kTransportFile = "libhwlink32.so";
#endif

}  // namespace

bool ChildEnd::Interrupted() const {
#ifdef _WIN32
  return exited && status == kExitInterrupted;
#else
  return (exited && status == kExitInterrupted) || (!exited && signal == SIGINT);
#endif
}

namespace {

std::string SignalName(int signal) {
#ifdef _WIN32
  return std::to_string(signal);
#else
  const char *name = sigabbrev_np(signal);
  return name != nullptr ? "SIG" + std::string(name) : "signal " + std::to_string(signal);
#endif
}

std::string Hex32(uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", code);
  return text;
}

}  // namespace

std::string ChildEnd::Words() const {
  if (!started) return "could not be started";
  if (exited) return "exited with status " + std::to_string(status);
  if (exception != 0) return "crashed (exception " + Hex32(exception) + ")";
#ifndef _WIN32
  if (signal == SIGABRT) return "aborted (SIGABRT)";
#endif
  return (crashed ? "crashed (" : "was ended by ") + SignalName(signal) + (crashed ? ")" : "");
}

nlohmann::json ChildEnd::Json() const {
  if (!started) return {{"started", false}};
  if (exited) return {{"exit_status", status}};
  if (exception != 0) return {{"exception", Hex32(exception)}, {"crashed", true}};
  return {{"signal", SignalName(signal)}, {"crashed", crashed}};
}

fs::path FirstHolding(const std::string &folders, const char *file) {
  std::error_code ignored;
  const fs::path own_folder = OwnProgram().parent_path();
  size_t at = 0;
  while (at <= folders.size()) {
    const size_t end = std::min(folders.find('|', at), folders.size());
    fs::path folder = folders.substr(at, end - at);
    at = end + 1;
    if (folder.empty()) continue;
    if (folder.is_relative()) folder = own_folder / folder;
    if (fs::is_regular_file(folder / file, ignored)) return fs::weakly_canonical(folder / file, ignored);
  }
  return {};
}

fs::path OwnProgram() {
#ifdef _WIN32
  wchar_t path[MAX_PATH * 4] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
  return fs::path(std::wstring(path, length));
#else
  std::error_code ignored;
  return fs::read_symlink("/proc/self/exe", ignored);
#endif
}

SpyLocation FindSpy() {
  const fs::path spy = FirstHolding(KLIA_SPY_FOLDERS, kTransportFile);
  if (spy.empty()) {
    throw CannotRun(std::string("cannot find the transport spy (") + kTransportFile + ") beside klia (" +
                    KLIA_SPY_FOLDERS + "); reinstall klia with its spy");
  }
  return {spy, spy.parent_path().string()};
}

fs::path DefaultTransport() {
#ifdef _WIN32
  const fs::path beside = OwnProgram().parent_path() / kTransportFile;
  std::error_code ignored;
  if (fs::is_regular_file(beside, ignored)) return beside;
  throw CannotRun("no board transport " + beside.string() + " beside klia; name one with --transport");
#else
  const fs::path board = FirstHolding(KLIA_VBOARD_FOLDERS, kTransportFile);
  if (board.empty()) {
    throw CannotRun(std::string("cannot find the virtual board (") + kTransportFile + ") beside klia (" +
                    KLIA_VBOARD_FOLDERS + "); name a transport with --transport");
  }
  return board;
#endif
}

fs::path PlaceLibrary(const fs::path &library, const SpyLocation &spy, const fs::path &folder) {
#ifdef _WIN32
  std::error_code error;
  fs::create_directory(folder, error);
  const fs::path copy = folder / library.filename();
  if (error || !fs::copy_file(library, copy, error) || !fs::copy_file(spy.library, folder / kTransportFile, error)) {
    throw CannotRun("cannot put " + library.string() + " beside the spy in " + folder.string() + ": " +
                    error.message());
  }
  return copy;
#else
  (void)spy;
  (void)folder;
  return library;
#endif
}

#ifdef _WIN32
namespace {

// One argument as the C runtime of the child splits its command line.
std::wstring Quote(const std::wstring &word) {
  if (!word.empty() && word.find_first_of(L" \t\"") == std::wstring::npos) return word;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : word) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(2 * backslashes, L'\\');
  return quoted + L"\"";
}

}  // namespace

int RunCommandAndWait(const std::vector<std::string> &command) {
  std::vector<std::wstring> words;
  for (const std::string &word : command) words.push_back(Quote(Utf8ToWide(word)));
  std::vector<const wchar_t *> argv;
  for (const std::wstring &word : words) argv.push_back(word.c_str());
  argv.push_back(nullptr);
  std::fflush(stdout);
  std::fflush(stderr);
  const intptr_t status = _wspawnvp(_P_WAIT, Utf8ToWide(command.front()).c_str(), argv.data());
  return status < 0 ? -1 : static_cast<int>(status);
}

ChildEnd RunChild(const ChildRun &child) {
  for (const auto &[name, value] : child.environment) _putenv_s(name.c_str(), value.c_str());
  std::vector<std::wstring> words = {Quote(child.program.wstring())};
  for (const std::string &argument : child.arguments) words.push_back(Quote(Utf8ToWide(argument)));
  std::vector<const wchar_t *> argv;
  for (const std::wstring &word : words) argv.push_back(word.c_str());
  argv.push_back(nullptr);
  std::fflush(stdout);
  std::fflush(stderr);
  // The child inherits standard output and error pointed at the two files.
  const int out =
      _wopen(child.out.wstring().c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
  const int err =
      _wopen(child.err.wstring().c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (out < 0 || err < 0) {
    if (out >= 0) _close(out);
    if (err >= 0) _close(err);
    return {};
  }
  const int saved_out = _dup(1);
  const int saved_err = _dup(2);
  _dup2(out, 1);
  _dup2(err, 2);
  errno = 0;
  const intptr_t status = _wspawnv(_P_WAIT, child.program.wstring().c_str(), argv.data());
  const int spawn_error = errno;
  _dup2(saved_out, 1);
  _dup2(saved_err, 2);
  for (int fd : {out, err, saved_out, saved_err}) _close(fd);
  ChildEnd end;
  if (status == -1 && spawn_error != 0) return end;
  end.started = true;
  // A process ended by an exception has the exception's code (0xC0000005, ...) as its status.
  const uint32_t code = static_cast<uint32_t>(status);
  if (code >= 0xC0000000u) {
    end.exception = code;
    end.crashed = true;
  } else {
    end.exited = true;
    end.status = static_cast<int>(code);
  }
  return end;
}
#else
ChildEnd RunChild(const ChildRun &child) {
  std::vector<char *> argv;
  const std::string program = child.program.string();
  argv.push_back(const_cast<char *>(program.c_str()));
  for (const std::string &argument : child.arguments) argv.push_back(const_cast<char *>(argument.c_str()));
  argv.push_back(nullptr);
  const int out = open(child.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  const int err = open(child.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (out < 0 || err < 0) {
    if (out >= 0) close(out);
    if (err >= 0) close(err);
    return {};
  }
  std::fflush(stdout);
  std::fflush(stderr);
  // Ctrl-C reaches the child; klia waits for it and then reports.
  struct sigaction ignore {
  }, old_int{}, old_quit{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGINT, &ignore, &old_int);
  sigaction(SIGQUIT, &ignore, &old_quit);
  const pid_t pid = fork();
  if (pid == 0) {
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGQUIT, &old_quit, nullptr);
    dup2(out, 1);
    dup2(err, 2);
    for (const auto &[name, value] : child.environment) {
      if (value.empty()) {
        unsetenv(name.c_str());
      } else {
        setenv(name.c_str(), value.c_str(), 1);
      }
    }
    if (!child.library_path.empty()) {
      const char *old = std::getenv("LD_LIBRARY_PATH");
      const std::string path = child.library_path + (old != nullptr && *old != '\0' ? ":" + std::string(old) : "");
      setenv("LD_LIBRARY_PATH", path.c_str(), 1);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out);
  close(err);
  int status = 0;
  if (pid > 0) {
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  sigaction(SIGINT, &old_int, nullptr);
  sigaction(SIGQUIT, &old_quit, nullptr);
  ChildEnd end;
  // 127: the child could not start klia (execv failed).
  if (pid < 0 || (WIFEXITED(status) && WEXITSTATUS(status) == 127)) return end;
  end.started = true;
  if (WIFEXITED(status)) {
    end.exited = true;
    end.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    end.signal = WTERMSIG(status);
    end.crashed = WCOREDUMP(status) || end.signal == SIGSEGV || end.signal == SIGBUS || end.signal == SIGILL ||
                  end.signal == SIGFPE || end.signal == SIGABRT;
  }
  return end;
}
#endif

}  // namespace klia

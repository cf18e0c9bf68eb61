// Processes on Windows: klia's own environment, and the programs it starts with the C
// runtime's _wspawn functions, their command lines quoted as the child's C runtime splits them.
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "platform/windows/wide_text.h"
#include "platform/platform.h"

namespace klia {
namespace {

namespace fs = std::filesystem;

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

bool LibrariesLieBesideProgram() { return true; }

std::string UserStateFolder() { return Environment("LOCALAPPDATA"); }

void SetEnvironment(const char *name, const std::string &value) { _putenv_s(name, value.c_str()); }

// An empty value takes the variable out of the environment.
void RemoveEnvironment(const char *name) { _putenv_s(name, ""); }

bool MayWrite(const std::string &path) { return _access(path.c_str(), 2) == 0; }

bool ModeLetsOthersRead(fs::perms) { return false; }

bool CreateNewFileForOwner(const std::string &path) {
  SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, 0, &security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  CloseHandle(handle);
  return true;
}

std::string SignalName(int signal) { return std::to_string(signal); }

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

}  // namespace klia

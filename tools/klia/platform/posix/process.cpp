// Processes on POSIX systems: klia's own program and environment, and the programs it starts
// with fork and exec, Ctrl-C reaching them alone while klia waits.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "platform/platform.h"

namespace klia {
namespace {

namespace fs = std::filesystem;

// Runs `in_child` in a new process, which ends with an exec or with _exit(127), and waits for
// it. Ctrl-C (and Ctrl-\) reach the child; klia ignores them while it waits and then reports.
// False when no child could be made; else its wait status in `status`.
bool ForkAndWait(const std::function<void()> &in_child, int &status) {
  struct sigaction ignore {
  }, old_int{}, old_quit{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGINT, &ignore, &old_int);
  sigaction(SIGQUIT, &ignore, &old_quit);
  const pid_t pid = fork();
  if (pid == 0) {
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGQUIT, &old_quit, nullptr);
    in_child();
    _exit(127);
  }
  status = 0;
  if (pid > 0) {
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  sigaction(SIGINT, &old_int, nullptr);
  sigaction(SIGQUIT, &old_quit, nullptr);
  return pid > 0;
}

}  // namespace

fs::path OwnProgram() {
  std::error_code ignored;
  return fs::read_symlink("/proc/self/exe", ignored);
}

bool LibrariesLieBesideProgram() { return false; }

std::string UserStateFolder() {
  std::string base = Environment("XDG_STATE_HOME");
  if (base.empty()) {
    const std::string home = Environment("HOME");
    if (home.empty()) return "";
    base = (fs::path(home) / ".local" / "state").string();
  }
  return base;
}

void SetEnvironment(const char *name, const std::string &value) { setenv(name, value.c_str(), 1); }

void RemoveEnvironment(const char *name) { unsetenv(name); }

bool MayWrite(const std::string &path) { return access(path.c_str(), W_OK) == 0; }

bool ModeLetsOthersRead(fs::perms perms) {
  return (perms & (fs::perms::group_read | fs::perms::others_read)) != fs::perms::none;
}

bool CreateNewFileForOwner(const std::string &path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  close(fd);
  return true;
}

std::string SignalName(int signal) {
  const char *name = sigabbrev_np(signal);
  return name != nullptr ? "SIG" + std::string(name) : "signal " + std::to_string(signal);
}

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
  int status = 0;
  const bool forked = ForkAndWait(
      [&] {
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
          const std::string path =
              child.library_path + (old != nullptr && *old != '\0' ? ":" + std::string(old) : "");
          setenv("LD_LIBRARY_PATH", path.c_str(), 1);
        }
        execv(argv[0], argv.data());
      },
      status);
  close(out);
  close(err);
  ChildEnd end;
  // 127: the child could not start klia (execv failed).
  if (!forked || (WIFEXITED(status) && WEXITSTATUS(status) == 127)) return end;
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

int RunCommandAndWait(const std::vector<std::string> &command) {
  std::vector<char *> argv;
  for (const std::string &word : command) argv.push_back(const_cast<char *>(word.c_str()));
  argv.push_back(nullptr);
  std::fflush(stdout);
  std::fflush(stderr);
  int status = 0;
  if (!ForkAndWait([&] { execvp(argv[0], argv.data()); }, status)) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status) == 127 ? -1 : WEXITSTATUS(status);
  return ExitCodeForSignal(WTERMSIG(status));
}

}  // namespace klia

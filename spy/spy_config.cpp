#include "spy_config.h"

#ifdef _WIN32
#include <windows.h>

#include "trace_file.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace spy {

namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char &c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

const char kGuardOnBecause[] = "; the guard is on (read-only) because of it";

// A setting as the file gives it: its value and its line (0: not in the file).
struct FileValue {
  std::string value;
  unsigned line = 0;
};

struct FileSettings {
  FileValue target, trace, secrets, guard;
  // What in the file the spy did not understand, each as "PATH line N: cause": every one of
  // them turns the guard on.
  std::vector<std::string> damage;
};

// Lines "key = value"; blank lines and lines starting with # are skipped, a UTF-8 byte-order
// mark at the start is skipped, and keys are matched without regard to case (as Windows
// settings files are written). A line that is not "key = value", an unknown key, a key
// without a value and a key given twice are each named, with what the spy does instead.
FileSettings ParseConfigText(std::string_view text, const std::string &path, std::vector<std::string> &problems) {
  FileSettings file;
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) text.remove_prefix(kByteOrderMark.size());
  unsigned line_number = 0;
  while (!text.empty()) {
    ++line_number;
    const size_t end = text.find('\n');
    std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line.front() == '#') continue;
    const std::string where = path + " line " + std::to_string(line_number);
    auto damaged = [&](const std::string &cause, const std::string &instead) {
      file.damage.push_back(where + cause);
      problems.push_back(where + cause + "; " + instead + kGuardOnBecause);
    };
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      damaged(" is not \"setting = value\"", "left out");
      continue;
    }
    const std::string key = Lower(Trim(line.substr(0, equals)));
    const std::string value(Trim(line.substr(equals + 1)));
    FileValue *setting = key == "target"    ? &file.target
                         : key == "trace"   ? &file.trace
                         : key == "secrets" ? &file.secrets
                         : key == "guard"   ? &file.guard
                                            : nullptr;
    if (setting == nullptr) {
      damaged(": unknown setting \"" + std::string(Trim(line.substr(0, equals))) + "\"", "left out");
    } else if (setting->line != 0) {
      // Neither line is taken silently: the first stands for target and trace, secrets are
      // withheld and the guard is on whatever either line says.
      damaged(": " + key + " is set again (first on line " + std::to_string(setting->line) + ")",
              key == "secrets" ? "secrets are withheld"
              : key == "guard" ? "neither line is taken"
                               : "the first line's value is taken");
      if (key == "secrets") setting->value = "withhold";
    } else if (value.empty()) {
      damaged(": " + key + " has no value", "left out");
      setting->line = line_number;
    } else {
      setting->value = value;
      setting->line = line_number;
    }
  }
  return file;
}

bool KeepSecrets(const std::string &value, const std::string &origin, std::vector<std::string> &problems,
                 const char *consequence = "") {
  if (value.empty() || value == "withhold") return false;
  if (value == "keep") return true;
  problems.push_back(origin + ": secrets \"" + value + "\" is neither \"keep\" nor \"withhold\"; secrets are withheld" +
                     consequence);
  return false;
}

// A guard that is asked for but misspelt still guards: forwarding writes to a board that
// someone meant to protect is the one mistake the guard exists to prevent.
bool ReadOnly(const std::string &value, const std::string &origin, std::vector<std::string> &problems) {
  if (value.empty() || value == "off") return false;
  if (value == kGuardReadOnly) return true;
  problems.push_back(origin + ": guard \"" + value + "\" is neither \"read-only\" nor \"off\"; the guard is on (read-only)");
  return true;
}

std::string Joined(const std::vector<std::string> &parts) {
  std::string text;
  for (const std::string &part : parts) text += (text.empty() ? "" : "; ") + part;
  return text;
}

}  // namespace

bool IsFullPath(std::string_view path) {
  if (!path.empty() && path.front() == '/') return true;
#ifdef _WIN32
  if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') return true;
  if (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) return true;
#endif
  return false;
}

bool IsBareName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
#ifdef _WIN32
  return name.find_first_of("/\\:") == std::string_view::npos;
#else
  return name.find('/') == std::string_view::npos;
#endif
}

std::string JoinPath(const std::string &folder, const std::string &name) {
  if (folder.empty()) return name;
#ifdef _WIN32
  const char separator = '\\';
  if (folder.back() == '\\' || folder.back() == '/') return folder + name;
#else
  const char separator = '/';
  if (folder.back() == '/') return folder + name;
#endif
  return folder + separator + name;
}

Settings ResolveSettings(const std::function<const char *(const char *)> &lookup, const ConfigFile &config,
                         const std::string &spy_folder) {
  Settings settings;
  const std::string path = config.path.empty() ? std::string(kConfigFileName) : config.path;
  FileSettings file;
  if (config.state == ConfigFile::State::kRead) {
    file = ParseConfigText(config.text, path, settings.problems);
  } else if (config.state == ConfigFile::State::kUnreadable) {
    file.damage.push_back(path + " cannot be read: " + config.error);
    settings.problems.push_back(path + " cannot be read (" + config.error + "); none of its settings are taken" +
                                kGuardOnBecause);
  }
  auto environment = [&lookup](const char *name) {
    const char *value = lookup(name);
    return value != nullptr ? std::string(value) : std::string();
  };
  auto where = [&path](const FileValue &setting) { return path + " line " + std::to_string(setting.line); };

  settings.target = kDefaultTargetName;
  settings.target_origin = "default";
  if (const std::string value = environment(kTargetVariable); !value.empty()) {
    settings.target = value;
    settings.target_origin = kTargetVariable;
  } else if (!file.target.value.empty()) {
    settings.target = file.target.value;
    settings.target_origin = kConfigFileName;
  }

  // A trace named in the file without a folder lies beside the file; one named in the
  // environment is taken as the person gave it.
  if (const std::string value = environment(kTraceVariable); value == kNoTrace) {
    settings.trace.clear();
  } else if (!value.empty()) {
    settings.trace = value;
  } else if (!file.trace.value.empty()) {
    settings.trace = IsFullPath(file.trace.value) ? file.trace.value : JoinPath(spy_folder, file.trace.value);
  } else {
    settings.trace = JoinPath(spy_folder, kDefaultTraceName);
  }

  if (const std::string value = environment(kSecretsVariable); !value.empty()) {
    settings.keep_secrets = KeepSecrets(value, kSecretsVariable, settings.problems);
  } else if (file.secrets.line != 0) {
    const size_t before = settings.problems.size();
    settings.keep_secrets = KeepSecrets(file.secrets.value, where(file.secrets), settings.problems, kGuardOnBecause);
    if (settings.problems.size() != before) {
      file.damage.push_back(where(file.secrets) + ": secrets \"" + file.secrets.value + "\" is not known");
    }
  }

  // The guard: every source that asks for it counts, and the file's damage asks for it. The
  // environment can ask for it but never lower what the file asks for.
  std::vector<std::string> on;
  for (const std::string &damage : file.damage) on.push_back(damage);
  if (file.guard.line != 0 && !file.guard.value.empty()) {
    if (ReadOnly(file.guard.value, where(file.guard), settings.problems)) {
      on.push_back(file.guard.value == kGuardReadOnly
                       ? std::string("guard = read-only in ") + path
                       : where(file.guard) + ": guard \"" + file.guard.value + "\" is not known");
    }
  }
  const bool file_asks = !on.empty();
  const std::string guard_variable = environment(kGuardVariable);
  if (ReadOnly(guard_variable, kGuardVariable, settings.problems)) {
    on.push_back(std::string(kGuardVariable) + "=" + guard_variable);
  } else if (guard_variable == "off" && file_asks) {
    settings.problems.push_back(std::string(kGuardVariable) + "=off does not lower the guard that " + path +
                                " asks for; the guard is on (read-only): to lower it, edit that file");
  }
  settings.read_only = !on.empty();
  if (settings.read_only) {
    settings.guard_reason = Joined(on);
  } else {
    std::vector<std::string> off;
    if (config.state == ConfigFile::State::kAbsent) {
      off.push_back("no " + path);
    } else if (file.guard.value == "off") {
      off.push_back("guard = off in " + path);
    } else {
      off.push_back(path + " does not ask for it");
    }
    off.push_back(guard_variable.empty() ? std::string(kGuardVariable) + " is not set"
                                         : std::string(kGuardVariable) + "=" + guard_variable);
    settings.guard_reason = "not asked for: " + Joined(off);
  }
  settings.replay = environment(kReplayVariable);
  return settings;
}

Settings ResolveSettings(const std::function<const char *(const char *)> &lookup, const std::string *config_text,
                         const std::string &spy_folder) {
  ConfigFile config;
  config.path = JoinPath(spy_folder, kConfigFileName);
  if (config_text != nullptr) {
    config.state = ConfigFile::State::kRead;
    config.text = *config_text;
  }
  return ResolveSettings(lookup, config, spy_folder);
}

ConfigFile ReadConfigFile(const std::string &spy_folder) {
  ConfigFile config;
  if (spy_folder.empty()) {
    config.state = ConfigFile::State::kUnreadable;
    config.path = kConfigFileName;
    config.error = "the spy library's own folder cannot be told, so its settings file cannot be looked for";
    return config;
  }
  config.path = JoinPath(spy_folder, kConfigFileName);
#ifdef _WIN32
  SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
  HANDLE handle = CreateFileA(config.path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              &security, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return config;
    config.state = ConfigFile::State::kUnreadable;
    config.error = hwtrace::WindowsErrorText(code);
    return config;
  }
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    config.state = ConfigFile::State::kUnreadable;
    config.error = "it is not a regular file";
    return config;
  }
  char buffer[4096];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(handle, buffer, sizeof buffer, &got, nullptr)) {
      config.state = ConfigFile::State::kUnreadable;
      config.error = hwtrace::WindowsErrorText(GetLastError());
      CloseHandle(handle);
      return config;
    }
    if (got == 0) break;
    config.text.append(buffer, got);
  }
  CloseHandle(handle);
#else
  int fd;
  do {
    // Non-blocking: a fifo in its place must not hang the program that loads the spy.
    fd = open(config.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == ENOENT) return config;
    config.state = ConfigFile::State::kUnreadable;
    config.error = std::strerror(errno);
    return config;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    config.state = ConfigFile::State::kUnreadable;
    config.error = S_ISDIR(info.st_mode) ? "it is a folder" : "it is not a regular file";
    close(fd);
    return config;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      config.state = ConfigFile::State::kUnreadable;
      config.error = std::strerror(errno);
      close(fd);
      return config;
    }
    if (got == 0) break;
    config.text.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
#endif
  config.state = ConfigFile::State::kRead;
  return config;
}

}  // namespace spy

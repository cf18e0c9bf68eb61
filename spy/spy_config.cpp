#include "spy_config.h"

namespace spy {

namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

struct FileSettings {
  std::string target, trace, secrets, guard;
};

// Lines "key = value"; blank lines and lines starting with # are skipped.
FileSettings ParseConfigText(std::string_view text, std::vector<std::string> &problems) {
  FileSettings file;
  unsigned line_number = 0;
  while (!text.empty()) {
    ++line_number;
    const size_t end = text.find('\n');
    std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line.front() == '#') continue;
    const size_t equals = line.find('=');
    const std::string where = std::string(kConfigFileName) + " line " + std::to_string(line_number);
    if (equals == std::string_view::npos) {
      problems.push_back(where + " is not \"setting = value\"; left out");
      continue;
    }
    const std::string key(Trim(line.substr(0, equals)));
    const std::string value(Trim(line.substr(equals + 1)));
    if (key == "target") {
      file.target = value;
    } else if (key == "trace") {
      file.trace = value;
    } else if (key == "secrets") {
      file.secrets = value;
    } else if (key == "guard") {
      file.guard = value;
    } else {
      problems.push_back(where + ": unknown setting \"" + key + "\"; left out");
    }
  }
  return file;
}

bool KeepSecrets(const std::string &value, const std::string &origin, std::vector<std::string> &problems) {
  if (value.empty() || value == "withhold") return false;
  if (value == "keep") return true;
  problems.push_back(origin + ": secrets \"" + value + "\" is neither \"keep\" nor \"withhold\"; secrets are withheld");
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

Settings ResolveSettings(const std::function<const char *(const char *)> &lookup, const std::string *config_text,
                         const std::string &spy_folder) {
  Settings settings;
  FileSettings file;
  if (config_text != nullptr) file = ParseConfigText(*config_text, settings.problems);
  auto environment = [&lookup](const char *name) {
    const char *value = lookup(name);
    return value != nullptr ? std::string(value) : std::string();
  };

  settings.target = kDefaultTargetName;
  settings.target_origin = "default";
  if (const std::string value = environment(kTargetVariable); !value.empty()) {
    settings.target = value;
    settings.target_origin = kTargetVariable;
  } else if (!file.target.empty()) {
    settings.target = file.target;
    settings.target_origin = kConfigFileName;
  }

  // A trace named in the file without a folder lies beside the file; one named in the
  // environment is taken as the person gave it.
  if (const std::string value = environment(kTraceVariable); value == kNoTrace) {
    settings.trace.clear();
  } else if (!value.empty()) {
    settings.trace = value;
  } else if (!file.trace.empty()) {
    settings.trace = IsFullPath(file.trace) ? file.trace : JoinPath(spy_folder, file.trace);
  } else {
    settings.trace = JoinPath(spy_folder, kDefaultTraceName);
  }

  if (const std::string value = environment(kSecretsVariable); !value.empty()) {
    settings.keep_secrets = KeepSecrets(value, kSecretsVariable, settings.problems);
  } else {
    settings.keep_secrets = KeepSecrets(file.secrets, kConfigFileName, settings.problems);
  }
  if (const std::string value = environment(kGuardVariable); !value.empty()) {
    settings.read_only = ReadOnly(value, kGuardVariable, settings.problems);
  } else {
    settings.read_only = ReadOnly(file.guard, kConfigFileName, settings.problems);
  }
  settings.replay = environment(kReplayVariable);
  return settings;
}

}  // namespace spy

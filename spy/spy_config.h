// The spy's settings: where the real transport is, where the trace goes, whether secrets
// are kept, whether only reads reach the board, and whether a recording is replayed instead
// of forwarding.
//
// They come from the environment and from the file hwlink-spy.conf beside the spy library,
// and from nowhere else (never the current folder, never a user profile). The environment
// wins over the file, except for the read-only guard: any source that asks for it turns it
// on, and nothing lowers a guard that the file asks for. A file that cannot be read whole and
// understood (unreadable, a line without "=", an unknown or repeated setting, a value the spy
// does not know) turns the guard on as well.
//
// Built as a static library of its own so that klia can tell which guard the spy beside a
// program will apply, by the same rules.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace spy {

inline constexpr char kConfigFileName[] = "hwlink-spy.conf";
inline constexpr char kTargetVariable[] = "HWLINK_SPY_TARGET";
inline constexpr char kTraceVariable[] = "HWLINK_SPY_TRACE";
inline constexpr char kSecretsVariable[] = "HWLINK_SPY_SECRETS";
inline constexpr char kReplayVariable[] = "HWLINK_SPY_REPLAY";
inline constexpr char kGuardVariable[] = "HWLINK_SPY_GUARD";
inline constexpr char kGuardReadOnly[] = "read-only";
// The spy library's own exports besides the transport's, looked up by name: both take nothing
// and return uint32_t, with the transport's calling convention. HwSpyGuard: 1 when the
// read-only guard is on in the process, 0 when off; HwSpyGuardedCalls: how many calls the
// guard has kept from the board so far.
inline constexpr char kGuardExport[] = "HwSpyGuard";
inline constexpr char kGuardedCallsExport[] = "HwSpyGuardedCalls";
inline constexpr char kDefaultTraceName[] = "hwlink-trace.jsonl";
// HWLINK_SPY_TRACE=none: no trace is written (klia probe's own spy, when nobody asked for one).
inline constexpr char kNoTrace[] = "none";
#ifdef _WIN32
inline constexpr char kDefaultTargetName[] = "HWLINK32-REAL.DLL";
#else
inline constexpr char kDefaultTargetName[] = "libhwlink32-real.so";
#endif

// The settings file beside the spy, as found.
struct ConfigFile {
  enum class State { kAbsent, kRead, kUnreadable };
  State state = State::kAbsent;
  std::string path;   // its full path ("" when the spy's folder cannot be told)
  std::string text;   // kRead: the whole file
  std::string error;  // kUnreadable: why, in words
};

// Reads hwlink-spy.conf in `spy_folder`. A file that does not exist is kAbsent (no settings);
// one that exists and cannot be read whole (permissions, a folder, not a regular file, an I/O
// error), or a spy folder that cannot be told (""), is kUnreadable.
ConfigFile ReadConfigFile(const std::string &spy_folder);

struct Settings {
  std::string target;         // a full path, or a bare file name
  std::string target_origin;  // where it came from: "HWLINK_SPY_TARGET", "hwlink-spy.conf", "default"
  std::string trace;          // the trace file; "" for none
  bool keep_secrets = false;  // the lab switch: logon blocks and user pages are recorded as they are
  std::string replay;         // a recording to serve instead of forwarding ("" = forward)
  // The read-only guard: only calls that read the board are forwarded.
  bool read_only = false;
  // Why the guard is on or off, in words: each source that turned it on ("guard = read-only in
  // /opt/prog/hwlink-spy.conf", "HWLINK_SPY_GUARD=read-only", "/opt/prog/hwlink-spy.conf line 3:
  // unknown setting \"colour\""), or that nothing asked for it.
  std::string guard_reason;
  std::vector<std::string> problems;  // settings that were wrong, in words, each with what the spy did instead
};

// Settings from the environment (`lookup` returns null for an unset variable), the settings
// file as read, and the spy library's folder.
Settings ResolveSettings(const std::function<const char *(const char *)> &lookup, const ConfigFile &config,
                         const std::string &spy_folder);
// The same for a file's text (null: no file), as if read from hwlink-spy.conf in `spy_folder`.
Settings ResolveSettings(const std::function<const char *(const char *)> &lookup, const std::string *config_text,
                         const std::string &spy_folder);

// True for a full path ("/x", "C:\x", "\\server\x"); false for a bare name or a relative path.
bool IsFullPath(std::string_view path);
// True when the name has no folder part.
bool IsBareName(std::string_view name);
std::string JoinPath(const std::string &folder, const std::string &name);

}  // namespace spy

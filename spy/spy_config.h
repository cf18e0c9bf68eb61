// The spy's settings: where the real transport is, where the trace goes, whether secrets
// are kept, whether only reads reach the board, and whether a recording is replayed instead
// of forwarding.
//
// They come from the environment and from the file hwlink-spy.conf beside the spy library,
// and from nowhere else (never the current folder, never a user profile). The environment
// wins over the file.
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
inline constexpr char kDefaultTraceName[] = "hwlink-trace.jsonl";
// HWLINK_SPY_TRACE=none: no trace is written (klia probe's own spy, when nobody asked for one).
inline constexpr char kNoTrace[] = "none";
#ifdef _WIN32
inline constexpr char kDefaultTargetName[] = "HWLINK32-REAL.DLL";
#else
inline constexpr char kDefaultTargetName[] = "libhwlink32-real.so";
#endif

struct Settings {
  std::string target;         // a full path, or a bare file name
  std::string target_origin;  // where it came from: "HWLINK_SPY_TARGET", "hwlink-spy.conf", "default"
  std::string trace;          // the trace file; "" for none
  bool keep_secrets = false;  // the lab switch: logon blocks and user pages are recorded as they are
  std::string replay;         // a recording to serve instead of forwarding ("" = forward)
  // The read-only guard: only calls that read the board are forwarded. Also on when the guard
  // setting holds a value the spy does not know.
  bool read_only = false;
  std::vector<std::string> problems;  // settings that were wrong and left out, in words
};

// Settings from the environment (`lookup` returns null for an unset variable), the text of
// the configuration file (null when there is none) and the spy library's folder.
Settings ResolveSettings(const std::function<const char *(const char *)> &lookup, const std::string *config_text,
                         const std::string &spy_folder);

// True for a full path ("/x", "C:\x", "\\server\x"); false for a bare name or a relative path.
bool IsFullPath(std::string_view path);
// True when the name has no folder part.
bool IsBareName(std::string_view name);
std::string JoinPath(const std::string &folder, const std::string &name);

}  // namespace spy

// klia trace show|diff|replay: reading, comparing and replaying board traces, the JSON Lines
// records that the transport spy and the virtual board write (trace/README.md).
//
// These commands never touch a board. Exit codes: show 0, or 2 on an unreadable trace; diff
// 0 equal, 1 different, 2 unreadable; replay 0 clean, 1 diverged, 2 unreadable trace or a
// command that cannot be run.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "proof/commands.h"
#include "shell/app.h"
#include "library/board_session.h"
#include "shell/command_line.h"
#include "shell/errors.h"
#include "shell/installation.h"
#include "shell/output.h"
#include "platform/platform.h"
#include "shell/text_input.h"
#include "trace_decode.h"
#include "trace_file.h"
#include "trace_format.h"

namespace klia {
namespace {

using hwtrace::Exchange;
using hwtrace::Trace;
using nlohmann::json;

constexpr int kExitDiffer = 1;
constexpr int kExitUnreadable = 2;
constexpr size_t kContext = 3;  // exchanges shown on each side of a divergence

// An unreadable trace: said on stderr (as a JSON error object with --json), exit 2.
int Unreadable(const Context &, const std::string &what, const char *kind = "trace") {
  std::fflush(stdout);
  if (JsonOutput()) {
    PrintJsonError({{"error", {{kind, what}}}});
  } else {
    std::fprintf(stderr, "klia: %s\n", what.c_str());
  }
  return kExitUnreadable;
}

std::string UtcTime(uint64_t micros, bool with_date) {
  const std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
  const std::tm t = UniversalTime(seconds);
  char text[64];
  if (with_date) {
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d UTC", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec);
  } else {
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%06u", t.tm_hour, t.tm_min, t.tm_sec,
                  static_cast<unsigned>(micros % 1000000));
  }
  return text;
}

json BlockJson(const hwtrace::Block &block) {
  switch (block.kind) {
    case hwtrace::Block::Kind::kAbsent: return nullptr;
    case hwtrace::Block::Kind::kRedacted: return {{"redacted", block.length}};
    case hwtrace::Block::Kind::kBytes: return hwtrace::Hex(block.data.data(), block.data.size());
  }
  return nullptr;
}

json OptionalJson(const std::optional<uint8_t> &value) { return value ? json(*value) : json(nullptr); }

// The record as the file holds it, with its meaning added.
json ExchangeJson(const Exchange &x, const hwtrace::UserPages &pages) {
  return {{"type", "exchange"},
          {"line", x.line},
          {"seq", x.seq},
          {"pid", x.pid},
          {"start_us", x.start_us},
          {"duration_us", x.duration_us},
          {"entry", x.entry},
          {"command", x.command},
          {"param_length", x.param_length},
          {"param", BlockJson(x.param)},
          {"out_length", x.out_length},
          {"out", BlockJson(x.out)},
          {"in_length", x.in_length},
          {"in", BlockJson(x.in)},
          {"status", OptionalJson(x.status)},
          {"aux", OptionalJson(x.aux)},
          {"result", x.result},
          {"guarded", x.guarded},
          {"name", hwtrace::CommandName(x)},
          {"words", hwtrace::CommandWords(x, pages)},
          {"status_words", hwtrace::StatusWords(x)},
          {"failed", !x.succeeded() || x.status != 0}};
}

// ---------------------------------------------------------------------------------------
// show

struct CommandStatistics {
  std::string name;
  std::vector<uint64_t> durations;
  uint64_t total = 0;
  uint32_t failures = 0;  // guarded calls included: the caller saw them fail
  uint32_t guarded = 0;
};

uint64_t Median(std::vector<uint64_t> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Per command name (set and read clock apart), in order of command code.
std::vector<CommandStatistics> Statistics(const Trace &trace) {
  std::map<std::pair<uint8_t, std::string>, CommandStatistics> by_command;
  for (const Exchange &x : trace.exchanges) {
    CommandStatistics &s = by_command[{x.command, hwtrace::CommandName(x)}];
    s.name = hwtrace::CommandName(x) + " [" + std::to_string(x.command) + "]";
    s.durations.push_back(x.duration_us);
    s.total += x.duration_us;
    if (!x.succeeded() || x.status != 0) ++s.failures;
    if (x.guarded) ++s.guarded;
  }
  std::vector<CommandStatistics> list;
  for (auto &[key, s] : by_command) list.push_back(std::move(s));
  return list;
}

// Exchanges that the spy's read-only guard kept from the board.
size_t GuardedCount(const Trace &trace) {
  return static_cast<size_t>(
      std::count_if(trace.exchanges.begin(), trace.exchanges.end(), [](const Exchange &x) { return x.guarded; }));
}

std::string ExchangeLine(const Exchange &x, const hwtrace::UserPages &pages) {
  char head[96];
  std::snprintf(head, sizeof head, "%6llu  %s  %4u  ", static_cast<unsigned long long>(x.seq),
                UtcTime(x.start_us, false).c_str(), x.entry);
  return std::string(head) + hwtrace::Describe(x, pages) + "  (" + std::to_string(x.duration_us) + " us)";
}

int ShowTrace(const Context &context, const std::string &path) {
  Trace trace;
  try {
    trace = hwtrace::ReadTraceFile(path);
  } catch (const hwtrace::TraceError &e) {
    return Unreadable(context, e.what());
  }
  if (!trace.warning.empty()) Notice(path + ": " + trace.warning);

  // Records in file order: sessions, exchanges and notes.
  struct Item {
    uint32_t line;
    int kind;  // 0 header, 1 exchange, 2 note
    size_t index;
  };
  std::vector<Item> items;
  for (size_t i = 0; i < trace.headers.size(); ++i) items.push_back({trace.headers[i].line, 0, i});
  for (size_t i = 0; i < trace.exchanges.size(); ++i) items.push_back({trace.exchanges[i].line, 1, i});
  for (size_t i = 0; i < trace.notes.size(); ++i) items.push_back({trace.notes[i].line, 2, i});
  std::sort(items.begin(), items.end(), [](const Item &a, const Item &b) { return a.line < b.line; });

  const std::vector<CommandStatistics> statistics = Statistics(trace);
  hwtrace::UserPages pages;
  if (context.json) {
    json records = json::array();
    for (const Item &item : items) {
      if (item.kind == 0) {
        const hwtrace::Header &h = trace.headers[item.index];
        records.push_back({{"type", "header"},
                           {"line", h.line},
                           {"format", hwtrace::kFormatName},
                           {"version", std::to_string(h.major) + "." + std::to_string(h.minor)},
                           {"writer", h.writer},
                           {"source", h.source},
                           {"guard", h.guard.empty() ? json(nullptr) : json(h.guard)},
                           {"pid", h.pid},
                           {"start_us", h.start_us}});
      } else if (item.kind == 1) {
        const Exchange &x = trace.exchanges[item.index];
        pages.Learn(x);
        records.push_back(ExchangeJson(x, pages));
      } else {
        const hwtrace::Note &n = trace.notes[item.index];
        records.push_back({{"type", "note"}, {"line", n.line}, {"pid", n.pid}, {"start_us", n.start_us}, {"text", n.text}});
      }
    }
    json table = json::array();
    for (const CommandStatistics &s : statistics) {
      table.push_back({{"command", s.name},
                       {"count", s.durations.size()},
                       {"total_us", s.total},
                       {"median_us", Median(s.durations)},
                       {"failures", s.failures},
                       {"guarded", s.guarded}});
    }
    json result = {{"file", path}, {"records", records}, {"statistics", table}, {"guarded", GuardedCount(trace)}};
    if (!trace.warning.empty()) result["warning"] = trace.warning;
    PrintJson(result);
    return kExitOk;
  }

  std::string text = "trace " + path + ": " + std::to_string(trace.headers.size()) + " session(s), " +
                     std::to_string(trace.exchanges.size()) + " exchange(s)";
  if (const size_t guarded = GuardedCount(trace)) {
    text += ", " + std::to_string(guarded) + " of them kept from the board by the spy's read-only guard";
  }
  text += "\n";
  for (const Item &item : items) {
    if (item.kind == 0) {
      const hwtrace::Header &h = trace.headers[item.index];
      text += "-- session of process " + std::to_string(h.pid) + ", recorded by " + h.writer + " (" + h.source +
              "), format " + std::to_string(h.major) + "." + std::to_string(h.minor) + ", " +
              UtcTime(h.start_us, true) + (h.guard.empty() ? "" : ", guard " + h.guard) + "\n";
    } else if (item.kind == 1) {
      const Exchange &x = trace.exchanges[item.index];
      pages.Learn(x);
      text += ExchangeLine(x, pages) + "\n";
    } else {
      const hwtrace::Note &n = trace.notes[item.index];
      text += "   note  " + UtcTime(n.start_us, false) + "  process " + std::to_string(n.pid) + ": " + n.text + "\n";
    }
  }
  text += "\nPer command:\n";
  char line[200];
  std::snprintf(line, sizeof line, "  %-28s %8s %12s %10s %9s %8s\n", "command", "count", "total us", "median us",
                "failures", "guarded");
  text += line;
  for (const CommandStatistics &s : statistics) {
    std::snprintf(line, sizeof line, "  %-28s %8llu %12llu %10llu %9u %8u\n", s.name.c_str(),
                  static_cast<unsigned long long>(s.durations.size()),
                  static_cast<unsigned long long>(s.total), static_cast<unsigned long long>(Median(s.durations)),
                  s.failures, s.guarded);
    text += line;
  }
  PrintText(text);
  return kExitOk;
}

// ---------------------------------------------------------------------------------------
// diff

struct Comparison {
  size_t same_prefix = 0;  // exchanges equal from the start
  size_t same_suffix = 0;  // exchanges equal from the end, not overlapping the prefix
  bool equal = false;
};

Comparison Compare(const Trace &a, const Trace &b) {
  Comparison c;
  const size_t na = a.exchanges.size();
  const size_t nb = b.exchanges.size();
  while (c.same_prefix < na && c.same_prefix < nb &&
         hwtrace::SameExchange(a.exchanges[c.same_prefix], b.exchanges[c.same_prefix])) {
    ++c.same_prefix;
  }
  c.equal = c.same_prefix == na && na == nb;
  while (c.same_suffix < na - c.same_prefix && c.same_suffix < nb - c.same_prefix &&
         hwtrace::SameExchange(a.exchanges[na - 1 - c.same_suffix], b.exchanges[nb - 1 - c.same_suffix])) {
    ++c.same_suffix;
  }
  return c;
}

// Lines of the exchanges [from, to) of one trace, marked with `mark`.
std::string ContextLines(const Trace &t, size_t from, size_t to, const char *mark) {
  hwtrace::UserPages pages;
  for (size_t i = 0; i < from && i < t.exchanges.size(); ++i) pages.Learn(t.exchanges[i]);
  std::string text;
  for (size_t i = from; i < to && i < t.exchanges.size(); ++i) {
    const Exchange &x = t.exchanges[i];
    text += std::string("  ") + mark + " #" + std::to_string(i + 1) + " (line " + std::to_string(x.line) + ")  " +
            hwtrace::Describe(x, pages) + "\n";
    pages.Learn(x);
  }
  return text;
}

std::map<std::string, std::pair<size_t, size_t>> CommandCounts(const Trace &a, const Trace &b) {
  std::map<std::string, std::pair<size_t, size_t>> counts;
  for (const Exchange &x : a.exchanges) ++counts[hwtrace::CommandName(x) + " [" + std::to_string(x.command) + "]"].first;
  for (const Exchange &x : b.exchanges) ++counts[hwtrace::CommandName(x) + " [" + std::to_string(x.command) + "]"].second;
  return counts;
}

int DiffTraces(const Context &context, const std::string &path_a, const std::string &path_b) {
  Trace a, b;
  try {
    a = hwtrace::ReadTraceFile(path_a);
    b = hwtrace::ReadTraceFile(path_b);
  } catch (const hwtrace::TraceError &e) {
    return Unreadable(context, e.what());
  }
  for (const auto &[path, t] : {std::pair{path_a, &a}, std::pair{path_b, &b}}) {
    if (!t->warning.empty()) Notice(path + ": " + t->warning);
  }
  const Comparison c = Compare(a, b);
  const size_t na = a.exchanges.size();
  const size_t nb = b.exchanges.size();
  const size_t k = c.same_prefix;
  const size_t a_middle = na - k - c.same_suffix;
  const size_t b_middle = nb - k - c.same_suffix;

  if (context.json) {
    json result = {{"a", path_a},      {"b", path_b},      {"equal", c.equal},
                   {"a_exchanges", na}, {"b_exchanges", nb}, {"a_guarded", GuardedCount(a)},
                   {"b_guarded", GuardedCount(b)}};
    if (!c.equal) {
      hwtrace::UserPages pages_a, pages_b;
      for (size_t i = 0; i < k; ++i) {
        pages_a.Learn(a.exchanges[i]);
        pages_b.Learn(b.exchanges[i]);
      }
      json first = {{"exchange", k + 1}};
      first["a"] = k < na ? ExchangeJson(a.exchanges[k], pages_a) : json(nullptr);
      first["b"] = k < nb ? ExchangeJson(b.exchanges[k], pages_b) : json(nullptr);
      if (k < na && k < nb) first["differences"] = hwtrace::Differences(a.exchanges[k], b.exchanges[k]);
      result["first_difference"] = first;
      result["same_prefix"] = k;
      result["same_suffix"] = c.same_suffix;
      result["a_only"] = a_middle;
      result["b_only"] = b_middle;
      json commands = json::array();
      for (const auto &[name, count] : CommandCounts(a, b)) {
        if (count.first != count.second) commands.push_back({{"command", name}, {"a", count.first}, {"b", count.second}});
      }
      result["command_counts"] = commands;
    }
    PrintJson(result);
    return c.equal ? kExitOk : kExitDiffer;
  }

  if (c.equal) {
    const size_t guarded = GuardedCount(a);
    PrintText("the traces hold the same " + std::to_string(na) + " exchange(s)" +
              (guarded != 0 ? ", " + std::to_string(guarded) + " of them kept from the board by the spy's read-only guard"
                            : std::string()) +
              " (times, process ids and withheld bytes aside)\n");
    return kExitOk;
  }
  std::string text = "the traces differ at exchange " + std::to_string(k + 1) + ":\n";
  if (k < na && k < nb) {
    text += "  " + hwtrace::Differences(a.exchanges[k], b.exchanges[k]) + "\n";
  } else if (k >= na) {
    text += "  " + path_a + " ends there; " + path_b + " goes on\n";
  } else {
    text += "  " + path_b + " ends there; " + path_a + " goes on\n";
  }
  const size_t before = k > kContext ? k - kContext : 0;
  text += "\nbefore it, the same in both:\n";
  text += k == 0 ? "  (nothing: the traces differ from the first exchange)\n" : ContextLines(a, before, k, "=");
  text += "\nfrom there, A (" + path_a + "):\n";
  text += k < na ? ContextLines(a, k, k + kContext + 1, "A") : "  (no more exchanges)\n";
  text += "from there, B (" + path_b + "):\n";
  text += k < nb ? ContextLines(b, k, k + kContext + 1, "B") : "  (no more exchanges)\n";

  text += "\nsummary: A has " + std::to_string(na) + " exchange(s), B " + std::to_string(nb) + "; the first " +
          std::to_string(k) + " are the same";
  if (c.same_suffix != 0) text += ", and so are the last " + std::to_string(c.same_suffix);
  text += "; between them A has " + std::to_string(a_middle) + " and B " + std::to_string(b_middle) + "\n";
  std::string counts;
  for (const auto &[name, count] : CommandCounts(a, b)) {
    if (count.first != count.second) {
      counts += "  " + name + ": A " + std::to_string(count.first) + ", B " + std::to_string(count.second) + "\n";
    }
  }
  if (!counts.empty()) text += "commands sent a different number of times:\n" + counts;
  const size_t guarded_a = GuardedCount(a), guarded_b = GuardedCount(b);
  if (guarded_a != 0 || guarded_b != 0) {
    text += "kept from the board by the spy's read-only guard: A " + std::to_string(guarded_a) + ", B " +
            std::to_string(guarded_b) + " exchange(s)\n";
  }
  PrintText(text);
  return kExitDiffer;
}

// ---------------------------------------------------------------------------------------
// replay

// The folder holding the spy library: --spy, else beside an installed klia, else the build
// tree's (shell/installation.h).
std::filesystem::path FindSpyFolder(const std::string &given) {
  namespace fs = std::filesystem;
  const char *library = kTransportFileName;
  std::error_code ignored;
  if (!given.empty()) {
    if (!fs::exists(fs::path(given) / library, ignored)) {
      throw UsageError("--spy " + given + ": no " + library + " in that folder");
    }
    return fs::absolute(given, ignored);
  }
  for (const fs::path &folder : SpyFolders()) {
    if (fs::exists(folder / library, ignored)) return folder;
  }
  throw UsageError(std::string("cannot find the transport spy (") + library + "); name its folder with --spy");
}

// Creates a new, empty file in the temporary folder, readable by its owner only, for the
// replayed session's trace. Made here, exclusively, so that nobody can put a file or a link
// of their own in its place before the spy appends to it.
std::string TemporaryTracePath() {
  namespace fs = std::filesystem;
  std::random_device random;
  std::error_code ignored;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string path = (fs::temp_directory_path(ignored) / ("klia-replay-" + std::to_string(hwtrace::ProcessId()) +
                                                                  "-" + std::to_string(random()) + ".jsonl"))
                                 .string();
    if (CreateNewFileForOwner(path)) return path;
  }
  throw UsageError("cannot create a temporary file for the replayed session's trace in " +
                   fs::temp_directory_path(ignored).string());
}

// Runs the command with the spy replaying; returns its exit status, or -1 when it could not
// be started.
int RunReplayed(const std::vector<std::string> &command, const std::string &recording, const std::string &trace,
                const std::filesystem::path &spy_folder) {
  SetEnvironment("HWLINK_SPY_REPLAY", recording);
  SetEnvironment("HWLINK_SPY_TRACE", trace);
  RemoveEnvironment("HWLINK_SPY_TARGET");
  // Natively the spy is loaded into the command's processes before anything else: a library that
  // needs libhwlink32.so then binds to it whatever its own run path says (the loader searches a
  // DT_RPATH before the library path), and no exchange can reach a board. Windows loads the
  // HWLINK32.DLL beside the program: the spy must be installed there.
  if (!PreloadIntoChildren(spy_folder, kTransportFileName)) {
    throw UsageError("the transport spy " + (spy_folder / kTransportFileName).string() +
                     " has a space or a colon in its path, which the loader's preload list cannot hold; name a "
                     "--spy folder without them");
  }
  return RunCommandAndWait(command);
}

struct ReplayOutcome {
  bool clean = false;
  size_t served = 0;  // exchanges answered as recorded
  std::string divergence;
  size_t at = 0;  // the exchange, from 1, where the run left the recording
};

// Judges the replayed session against the recording's first `stop` exchanges: the run must
// ask for exactly those, in order.
ReplayOutcome JudgeReplay(const Trace &recording, const Trace &replayed, size_t stop) {
  ReplayOutcome outcome;
  for (const Exchange &x : replayed.exchanges) {
    // Served: the request matched and the recorded answer went back (a refused one answers
    // "no exchange" instead).
    if (outcome.served < stop && hwtrace::SameRequest(recording.exchanges[outcome.served], x) &&
        recording.exchanges[outcome.served].result == x.result) {
      ++outcome.served;
    } else {
      break;
    }
  }
  if (outcome.served == stop && replayed.exchanges.size() > stop) {
    // The spy answered on from the rest of the recording; the run was to stop before.
    hwtrace::UserPages pages;
    for (size_t i = 0; i < stop; ++i) pages.Learn(replayed.exchanges[i]);
    outcome.at = stop + 1;
    outcome.divergence = "the run went on past the stop after exchange " + std::to_string(stop) + ": it asked for " +
                         hwtrace::Describe(replayed.exchanges[stop], pages);
    return outcome;
  }
  for (const hwtrace::Note &note : replayed.notes) {
    if (note.text.rfind("replay: ", 0) == 0) {
      outcome.divergence = note.text.substr(8);
      outcome.at = outcome.served + 1;
      return outcome;
    }
    if (note.text.find("cannot replay") != std::string::npos) {
      outcome.divergence = note.text;
      outcome.at = 1;
      return outcome;
    }
  }
  if (outcome.served < stop) {
    hwtrace::UserPages pages;
    for (size_t i = 0; i < outcome.served; ++i) pages.Learn(recording.exchanges[i]);
    const Exchange &next = recording.exchanges[outcome.served];
    outcome.at = outcome.served + 1;
    outcome.divergence = "exchange " + std::to_string(outcome.at) + " (line " + std::to_string(next.line) +
                         ") was not asked for: the program made " + std::to_string(outcome.served) +
                         " exchange(s) and ended; expected " + hwtrace::Describe(next, pages);
    return outcome;
  }
  outcome.clean = true;
  return outcome;
}

struct ReplayOptions {
  std::string path, record, spy;
  std::string process, exchanges;  // where the replay stops: empty, the recording's end
  std::vector<std::string> command;
  bool separated = false;  // the command came after --
};

// The number of recorded exchanges the run is to ask for: all of them, or up to the end of
// the process given with --process (its session: every process that wrote to the trace
// starts one, 'trace show' numbers them), or the count given with --exchanges.
size_t ReplayStop(const Trace &recording, const ReplayOptions &o) {
  const size_t recorded = recording.exchanges.size();
  if (!o.exchanges.empty()) {
    const size_t stop = static_cast<size_t>(ParseUnsigned(o.exchanges, 1, UINT32_MAX, "--exchanges"));
    if (stop > recorded) {
      throw UsageError("--exchanges " + o.exchanges + ": " + o.path + " holds " + std::to_string(recorded) +
                       " exchange(s)");
    }
    return stop;
  }
  if (!o.process.empty()) {
    const size_t process = static_cast<size_t>(ParseUnsigned(o.process, 1, UINT32_MAX, "--process"));
    const size_t processes = recording.headers.size();
    if (process > processes) {
      throw UsageError("--process " + o.process + ": " + o.path + " holds " + std::to_string(processes) +
                       " process(es) ('klia trace show' numbers them)");
    }
    if (process == processes) return recorded;
    const uint32_t next_session = recording.headers[process].line;
    size_t stop = 0;
    while (stop < recorded && recording.exchanges[stop].line < next_session) ++stop;
    return stop;
  }
  return recorded;
}

int ReplayTrace(const Context &context, const ReplayOptions &o) {
  namespace fs = std::filesystem;
  const std::string &path = o.path;
  const std::string &record_path = o.record;
  const std::string &spy = o.spy;
  const std::vector<std::string> &command = o.command;
  // Without -- the command's own options would have been taken as klia's.
  if (command.empty() || !o.separated) {
    throw UsageError("name the command to run after --, e.g. klia trace replay FILE -- klia info");
  }
  Trace recording;
  try {
    recording = hwtrace::ReadTraceFile(path);
  } catch (const hwtrace::TraceError &e) {
    return Unreadable(context, e.what());
  }
  const size_t stop = ReplayStop(recording, o);
  std::error_code ignored;
  if (!record_path.empty() && fs::exists(record_path, ignored)) {
    throw UsageError("--record " + record_path + " exists already; name a new file");
  }
  // Windows loads the HWLINK32.DLL beside the program: the spy installed there, and no folder of
  // a spy is looked for.
  const fs::path spy_folder = CanPreloadIntoChildren() ? FindSpyFolder(spy) : fs::path();
  const std::string output = record_path.empty() ? TemporaryTracePath() : record_path;
  const std::string absolute = fs::absolute(path, ignored).string();

  const int status = RunReplayed(command, absolute, output, spy_folder);
  Trace replayed;
  bool have_output = fs::exists(output, ignored);
  std::string output_error;
  if (have_output) {
    try {
      replayed = hwtrace::ReadTraceFile(output);
    } catch (const hwtrace::TraceError &e) {
      output_error = e.what();
    }
  }
  if (record_path.empty()) fs::remove(output, ignored);
  if (status < 0) {
    return Unreadable(context, "cannot run " + command.front() + ": check the command's name and path", "command");
  }
  if (!output_error.empty()) return Unreadable(context, "the replayed session's trace: " + output_error);

  const ReplayOutcome outcome = JudgeReplay(recording, replayed, stop);
  const bool stopped = stop < recording.exchanges.size();
  if (context.json) {
    json result = {{"recording", path},
                   {"exchanges_recorded", recording.exchanges.size()},
                   {"exchanges_expected", stop},
                   {"exchanges_served", outcome.served},
                   {"clean", outcome.clean},
                   {"command_exit_status", status}};
    if (!outcome.clean) result["divergence"] = {{"exchange", outcome.at}, {"text", outcome.divergence}};
    PrintJson(result);
    return outcome.clean ? kExitOk : kExitDiffer;
  }
  const std::string what = "replay of " + path +
                           (stopped ? " up to exchange " + std::to_string(stop) + " of " +
                                          std::to_string(recording.exchanges.size())
                                    : "");
  std::string text;
  if (outcome.clean) {
    text = what + ": all " + std::to_string(outcome.served) + " exchange(s) came as recorded";
  } else {
    text = what + ": the run left the recording at exchange " + std::to_string(outcome.at) + ":\n  " +
           outcome.divergence + "\n";
    const size_t k = outcome.at - 1;
    if (k > 0) {
      text += "served before it:\n" + ContextLines(recording, k > kContext ? k - kContext : 0, k, "=");
    }
    text += std::to_string(outcome.served) + " of " + std::to_string(stop) +
            (stopped ? " expected" : " recorded") + " exchange(s) served";
  }
  text += "; the command exited with status " + std::to_string(status) + "\n";
  PrintText(text);
  return outcome.clean ? kExitOk : kExitDiffer;
}

}  // namespace

void AddTraceCommands(CLI::App &app, Context &context) {
  CLI::App *trace = app.add_subcommand("trace", "Board traces of the transport spy and the virtual board");
  trace->require_subcommand(1);

  auto show_path = std::make_shared<std::string>();
  CLI::App *show = trace->add_subcommand("show", "Each exchange of a trace in words, and statistics per command");
  show->add_option("file", *show_path, "the trace (JSON Lines)")->required();
  show->callback([&context, show_path] { context.run = [&context, show_path] { return ShowTrace(context, *show_path); }; });

  auto diff_paths = std::make_shared<std::vector<std::string>>();
  CLI::App *diff = trace->add_subcommand(
      "diff", "Compare two traces exchange by exchange (times, process ids, withheld bytes aside); exit 0 equal, 1 "
              "different, 2 unreadable");
  diff->add_option("files", *diff_paths, "trace A and trace B")->required()->expected(2);
  diff->callback([&context, diff_paths] {
    context.run = [&context, diff_paths] { return DiffTraces(context, (*diff_paths)[0], (*diff_paths)[1]); };
  });

  auto options = std::make_shared<ReplayOptions>();
  CLI::App *replay = trace->add_subcommand(
      "replay", "Run a command against the recorded answers of a trace and report the first exchange that differs "
                "(exit 0 clean, 1 differs, 2 unreadable)");
  replay->formatter(std::make_shared<FixedUsage>(
      *trace, "klia trace replay FILE [--record NEW] [--spy FOLDER] [--process N | --exchanges N] -- COMMAND..."));
  replay->add_option("file", options->path, "the recorded trace")->type_name(kFileLabel)->required();
  replay->add_option("command", options->command, "the command to run, after --")->required();
  replay->add_option("--record", options->record, "keep the replayed session's own trace in this new file")
      ->type_name("NEW");
  replay->add_option("--spy", options->spy, "the folder of the transport spy library")->type_name("FOLDER");
  CLI::Option *process = replay
      ->add_option("--process", options->process,
                   "stop at the end of the recording's Nth process ('klia trace show' numbers them): the command "
                   "runs that many processes")
      ->type_name("N");
  replay->add_option("--exchanges", options->exchanges, "stop after the recording's first N exchanges")
      ->type_name("N")
      ->excludes(process);
  replay->footer(
      "Options go before --; everything after it is the command, its own options included. Several processes "
      "that the command runs one after another go on where the previous one stopped. No board is reached: "
      "natively the spy is loaded into the command's processes before anything else (LD_PRELOAD), so that a "
      "library that finds its transport through its own run path is served by the recording too; a klia "
      "command run under the replay loads the spy in front of its library itself, on Windows as well. The "
      "command's own output comes as it writes it, before klia's report: with --json klia's object is the "
      "last one on standard output, and an error object of klia's the last one on standard error.");
  replay->callback([&context, options, replay] {
    // CLI11 keeps the -- that separated the command among the arguments it left over.
    const std::vector<std::string> left = replay->remaining();
    options->separated = std::find(left.begin(), left.end(), "--") != left.end();
    context.run = [&context, options] { return ReplayTrace(context, *options); };
  });
}

}  // namespace klia

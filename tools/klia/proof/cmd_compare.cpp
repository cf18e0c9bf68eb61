// klia compare --old LIB --new LIB [--transport PATH]: the same probe session (klia probe)
// driven once through each library, each in a process of its own, each through the transport
// spy with its read-only guard in front of the same transport, and the two traces compared
// exchange by exchange.
//
// Both runs must see the same board and must not change it. The spy's guard lets only reads
// through to the transport, and with the virtual board (the default transport) the probe
// serves the board image klia would use (--board, HWLINK_VBOARD_IMAGE, the default image)
// read-only and never creates one. The libraries are judged by what they send: the answers
// are the board's. Between the two runs the board's clock runs on, so a clock read's answer
// is set aside; any other answer that differs means the board itself changed between the runs
// (a board in use logs events), and the report says so beside the verdict.
//
// The folder it names holds both traces (old.jsonl, new.jsonl), each probe's output and
// errors, and report.txt. Traces withhold the bytes of user records, as the spy always does
// unless asked otherwise, so the folder can be sent as it is.
//
// Exit: 0 the same exchanges; 1 they differ (the first difference, with the exchanges around
// it); 2 it could not run (which library or transport, and why).
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <CLI/CLI.hpp>

#include "proof/commands.h"
#include "shell/app.h"
#include "library/board_session.h"
#include "shell/command_line.h"
#include "proof/compare_report.h"
#include "shell/errors.h"
#include "site/folder_files.h"
#include "site/library_check.h"
#include "shell/output.h"
#include "proof/probe.h"
#include "shell/installation.h"
#include "shell/process.h"
#include "site/program_folder.h"
#include "spy_config.h"
#include "shell/text_input.h"
#include "platform/platform.h"
#include "trace_decode.h"
#include "trace_file.h"
#include "trace_format.h"

namespace klia {
namespace {

namespace fs = std::filesystem;
using hwtrace::Exchange;
using hwtrace::Trace;
using nlohmann::json;

constexpr int kExitDiffer = 1;
constexpr int kExitCannotRun = 2;

struct CompareOptions {
  std::string old_library, new_library, transport, folder, pages = "4";
};

// Ctrl-C reached a probe: the comparison stops there.
struct Interrupted {};

// One library's run of the probe.
struct Run {
  std::string role;  // "old" or "new"
  fs::path library;  // as given, absolute
  fs::path loaded;   // the file klia loads (on Windows a copy in the run's own folder)
  fs::path trace;
  ChildEnd end;
  std::string out, err;
};

// The comparison could not run; `child` says how the probe that could not run ended, when one did.
struct CannotCompare : CannotRun {
  CannotCompare(const std::string &what, json child_end) : CannotRun(what), child(std::move(child_end)) {}
  json child;
};

std::string ReadWhole(const fs::path &path) {
  std::FILE *file = std::fopen(path.string().c_str(), "rb");
  if (file == nullptr) return "";
  std::string text;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  std::fclose(file);
  return text;
}

bool WriteWhole(const fs::path &path, const std::string &text) {
  std::FILE *file = std::fopen(path.string().c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && written;
}

// A new folder for this comparison: the one named, which must not exist yet, or
// klia-compare-<date>-<time> in the current folder.
fs::path MakeFolder(const std::string &named) {
  std::error_code error;
  if (!named.empty()) {
    if (fs::exists(named, error)) throw UsageError("--folder " + named + " exists already; name a new folder");
    if (!fs::create_directory(named, error)) {
      throw CannotRun("cannot create the folder " + named + ": " + error.message());
    }
    return fs::absolute(named, error);
  }
  const std::time_t now = std::time(nullptr);
  const std::tm t = LocalTime(now);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "klia-compare-%Y%m%d-%H%M%S", &t);
  for (int n = 0; n < 100; ++n) {
    const fs::path folder =
        fs::absolute(n == 0 ? std::string(stamp) : std::string(stamp) + "-" + std::to_string(n), error);
    if (fs::create_directory(folder, error)) return folder;
    if (error) throw CannotRun("cannot create the folder " + folder.string() + ": " + error.message());
  }
  throw CannotRun(std::string("cannot create a new folder named ") + stamp + " here");
}

fs::path RequireFile(const std::string &path, const char *what) {
  std::error_code error;
  if (!fs::is_regular_file(path, error)) {
    throw CannotRun(std::string(what) + " " + path + (fs::exists(path, error) ? " is not a file" : " does not exist"));
  }
  return fs::absolute(path, error);
}

enum class Role { kLibrary, kTransport };

// The file named for a library or for the transport, judged from its bytes before any run, so
// that what is wrong with it comes first and not as a probe that could not bind.
void RequireRole(const fs::path &path, const char *option, Role role) {
  try {
    const std::string bytes = ReadFileAt(path.string(), 1u << 30);
    if (role == Role::kTransport) {
      if (SpyVersion(bytes)) {
        throw Failure("library", path.string() + " is klia's transport spy, which each run puts in front of the "
                                                 "transport itself");
      }
      CheckTransport(bytes, path.string());
    } else {
      CheckInterfaceLibrary(bytes, path.string());
    }
  } catch (const FileStepFailure &e) {
    throw CannotRun(std::string(option) + ": " + e.what());
  } catch (const Failure &e) {
    throw CannotRun(std::string(option) + ": " + e.what() +
                    (role == Role::kTransport
                         ? "; name the board's transport (" + std::string(kTransportFile) +
                               "), or leave --transport out to compare against the virtual board"
                         : std::string("; name the file of an interface library")));
  }
}

// Puts `library` where it loads the spy as its transport and returns the file to load:
// natively the library itself (the child probe pins the spy in front of it); on Windows a copy
// in `folder` (made new) beside a copy of the spy as HWLINK32.DLL, which the loader then takes
// for it. Throws CannotRun.
fs::path PlaceLibrary(const fs::path &library, const SpyLocation &spy, const fs::path &folder) {
  std::error_code error;
  const fs::path placed = PlaceBesideTransport(library, spy.library, folder, error);
  if (placed.empty()) {
    throw CannotRun("cannot put " + library.string() + " beside the spy in " + folder.string() + ": " +
                    error.message());
  }
  return placed;
}

// What a probe that could not run said on its standard error: klia's error ("kind: text") and
// the transport's own lines (the virtual board's, the spy's). It is one JSON object; a probe
// that was killed may have left the lines as they are, or an object of its own beside them.
struct ProbeErrors {
  std::string error;
  std::vector<std::string> transport;
};

std::string ErrorWords(const json &error) {
  if (error.is_object() && !error.empty()) {
    const auto first = error.begin();
    if (first->is_string()) return first.key() + ": " + first->get<std::string>();
    if (error.contains("operation") && error["operation"].is_string()) {
      return error["operation"].get<std::string>() + " failed";
    }
  }
  return error.dump();
}

void TakeObject(const json &object, ProbeErrors &errors) {
  if (!object.is_object()) return;
  if (object.contains("error") && errors.error.empty()) errors.error = ErrorWords(object["error"]);
  if (object.contains("transport_messages") && object["transport_messages"].is_array()) {
    for (const json &line : object["transport_messages"]) {
      if (line.is_string()) errors.transport.push_back(line.get<std::string>());
    }
  }
}

ProbeErrors ReadProbeErrors(const std::string &err) {
  ProbeErrors errors;
  try {
    TakeObject(json::parse(err), errors);
    return errors;
  } catch (const json::exception &) {
  }
  for (size_t at = 0; at < err.size();) {
    const size_t end = std::min(err.find('\n', at), err.size());
    const std::string line = err.substr(at, end - at);
    if (line.rfind("hwlink", 0) == 0) errors.transport.push_back(line);
    if (line.rfind("{", 0) == 0) {
      // An object runs to the first line that is a lone "}" (klia's), or is one line (the signal's).
      const size_t close = line == "{" ? err.find("\n}", at) : end;
      try {
        TakeObject(json::parse(err.substr(at, close == std::string::npos ? std::string::npos
                                                                         : close + (line == "{" ? 2 : 0) - at)),
                   errors);
      } catch (const json::exception &) {
      }
      if (line == "{" && close != std::string::npos) {
        at = close + 2;
        continue;
      }
    }
    at = end + 1;
  }
  return errors;
}

// The probe of one library, run through the spy with its guard. Throws CannotRun when the
// probe could not run at all.
void ProbeThrough(const Context &context, const SpyLocation &spy, const fs::path &transport, const std::string &pages,
                  const fs::path &folder, Run &run) {
  run.trace = folder / (run.role + ".jsonl");
  ChildRun child;
  child.program = OwnProgram();
  child.arguments = {"--json", "--library", run.loaded.string()};
  if (context.board_given) child.arguments.insert(child.arguments.end(), {"--board", context.board});
  child.arguments.insert(child.arguments.end(), {"probe", "--pages", pages});
  child.environment = {{"HWLINK_SPY_TARGET", transport.string()},
                       {"HWLINK_SPY_TRACE", run.trace.string()},
                       {"HWLINK_SPY_GUARD", "read-only"},
                       {"HWLINK_SPY_SECRETS", ""},
                       {"HWLINK_SPY_REPLAY", ""}};
  // The child probe pins klia's spy in front of the library itself (spy_pin.h): the library
  // binds to it whatever its own run path says.
  (void)spy;
  child.out = folder / (run.role + "-probe.json");
  child.err = folder / (run.role + "-probe.err");
  run.end = RunChild(child);
  run.out = ReadWhole(child.out);
  run.err = ReadWhole(child.err);
  if (!run.end.started) {
    throw CannotRun("cannot run " + child.program.string() + " for the " + run.role + " library");
  }
  if (run.end.Interrupted()) throw Interrupted();
  // The probe ran when it printed its result, problems or not.
  bool result = false;
  try {
    result = !run.out.empty() && json::parse(run.out).contains("areas");
  } catch (const json::exception &) {
  }
  if (result) return;
  // What the transport said first (the virtual board's, the spy's words: the cause, as a
  // rule), then how the probe ended and klia's words, which then need not send the person to
  // the transport's message.
  const ProbeErrors errors = ReadProbeErrors(run.err);
  std::string why;
  for (const std::string &line : errors.transport) {
    if (line.find(": active in process") == std::string::npos) why += line + "; ";
  }
  const bool transport_said = !why.empty();
  why += (transport_said ? "so it " : "it ") + run.end.Words();
  if (std::string error = errors.error; !error.empty()) {
    if (const size_t at = error.find(kTransportMessagesInObject); at != std::string::npos && transport_said) {
      error.erase(at);
      while (!error.empty() && (error.back() == ' ' || error.back() == ':' || error.back() == ';')) error.pop_back();
    }
    why += "; " + error;
  }
  throw CannotCompare("the probe through the " + run.role + " library " + run.library.string() +
                          " could not run: " + why + " (see " + child.err.string() + ")",
                      run.end.Json());
}

// Each run's trace must say that the spy's read-only guard was on for it: a run that was not
// guarded is not a proof of anything, whatever it sent.
void RequireGuarded(const Trace &trace, const Run &run) {
  for (const hwtrace::Header &header : trace.headers) {
    if (header.guard == spy::kGuardReadOnly) continue;
    throw CannotRun("the trace of the " + run.role + " library's run " + run.trace.string() +
                    " was written without the spy's read-only guard (process " + std::to_string(header.pid) +
                    "); its board may have been written: check it before trusting the comparison");
  }
}

// How many problems a probe's result lists.
size_t ProbeProblems(const std::string &out) {
  try {
    return json::parse(out).value("problem_count", size_t{0});
  } catch (const json::exception &) {
    return 0;
  }
}

json ExchangeSummary(const Trace &t, size_t k) { return k < t.exchanges.size() ? json(DescribeAt(t, k)) : json(); }

int Compare(const Context &context, const CompareOptions &options) {
  ParseProbePages(options.pages);
  Run old_run, new_run;
  old_run.role = "old";
  new_run.role = "new";
  fs::path folder;
  try {
    old_run.library = RequireFile(options.old_library, "--old");
    new_run.library = RequireFile(options.new_library, "--new");
    const fs::path transport =
        options.transport.empty() ? DefaultTransport() : RequireFile(options.transport, "--transport");
    RequireRole(old_run.library, "--old", Role::kLibrary);
    RequireRole(new_run.library, "--new", Role::kLibrary);
    if (!options.transport.empty()) RequireRole(transport, "--transport", Role::kTransport);
    if (options.transport.empty()) {
      // The virtual board serves the image klia would use; the probe never makes one.
      const BoardChoice board = ChooseBoard(context);
      std::error_code error;
      if (!fs::exists(board.path, error)) {
        throw CannotRun("no board image at " + board.path + " (chosen by " + board.source +
                        "): the comparison runs against the virtual board's image; make one with 'klia board "
                        "create', name another with --board, or name a real transport with --transport");
      }
    }
    const SpyLocation spy = FindSpy();
    folder = MakeFolder(options.folder);
    for (Run *run : {&old_run, &new_run}) {
      run->loaded = PlaceLibrary(run->library, spy, folder / run->role);
      ProbeThrough(context, spy, transport, options.pages, folder, *run);
    }
  } catch (const Interrupted &) {
    const std::string what = "interrupted: the comparison is incomplete; what the runs left is in " + folder.string();
    std::fflush(stdout);
    if (JsonOutput()) {
      PrintJsonError({{"error", {{"interrupted", what}}}});
    } else {
      std::fprintf(stderr, "klia: compare: %s\n", what.c_str());
    }
    return kExitInterrupted;
  } catch (const CannotRun &e) {
    std::fflush(stdout);
    if (JsonOutput()) {
      json error = {{"cannot_run", e.what()}};
      if (const auto *run = dynamic_cast<const CannotCompare *>(&e)) error["child"] = run->child;
      PrintJsonError({{"error", error}});
    } else {
      std::fprintf(stderr, "klia: compare: %s\n", e.what());
    }
    if (!folder.empty()) WriteWhole(folder / "report.txt", std::string("could not run: ") + e.what() + "\n");
    return kExitCannotRun;
  }

  Trace a, b;
  try {
    a = hwtrace::ReadTraceFile(old_run.trace.string());
    b = hwtrace::ReadTraceFile(new_run.trace.string());
    RequireGuarded(a, old_run);
    RequireGuarded(b, new_run);
  } catch (const std::exception &e) {
    const std::string what = dynamic_cast<const hwtrace::TraceError *>(&e) != nullptr
                                 ? std::string("a trace of the runs cannot be read: ") + e.what()
                                 : std::string(e.what());
    if (JsonOutput()) {
      PrintJsonError({{"error", {{"cannot_run", what}}}});
    } else {
      std::fprintf(stderr, "klia: compare: %s\n", what.c_str());
    }
    return kExitCannotRun;
  }
  const Verdict v = Judge(a, b);
  std::string report = CompareReport({old_run.library.string(), old_run.trace.filename().string(),
                                      new_run.library.string(), new_run.trace.filename().string()},
                                     a, b, v);
  // A read that failed in a probe is the same failure whichever library: said, not judged.
  for (const Run *run : {&old_run, &new_run}) {
    const size_t problems = ProbeProblems(run->out);
    if (problems != 0) {
      report += "the probe through the " + run->role + " library met " + std::to_string(problems) +
                " problem(s) on this board (see " + run->role + "-probe.json)\n";
    }
  }
  const bool kept = WriteWhole(folder / "report.txt", report);
  const int exit_code = v.same ? kExitOk : kExitDiffer;
  json result = {{"folder", folder.string()},           {"old", old_run.library.string()},
                 {"new", new_run.library.string()},     {"old_exchanges", a.exchanges.size()},
                 {"new_exchanges", b.exchanges.size()}, {"same", v.same},
                 {"answers_differ", v.answers_differ},  {"clock_moved", v.clock_moved != 0}};
  if (v.answers_differ != 0) result["first_answer_difference"] = v.first_answer + 1;
  if (!v.same) {
    result["first_difference"] = {{"exchange", v.at + 1},
                                  {"old", ExchangeSummary(a, v.at)},
                                  {"new", ExchangeSummary(b, v.at)},
                                  {"differences", v.at < a.exchanges.size() && v.at < b.exchanges.size()
                                                      ? hwtrace::Differences(a.exchanges[v.at], b.exchanges[v.at])
                                                      : std::string()}};
  }
  Emit(report + "the traces, each probe's output and this report are in " + folder.string() + "\n", result);
  if (!kept) Notice("could not write the report into " + folder.string());
  return exit_code;
}

}  // namespace

void AddCompareCommand(CLI::App &app, Context &context) {
  auto options = std::make_shared<CompareOptions>();
  CLI::App *compare = app.add_subcommand(
      "compare",
      "Run the probe through two interface libraries against the same board, each behind the "
      "transport spy's read-only guard, and compare what they sent (exit 0 same, 1 differ, 2 could not run)");
  compare->add_option("--old", options->old_library, "the library to compare with (e.g. the site's own)")
      ->type_name("LIB")
      ->required();
  compare->add_option("--new", options->new_library, "the library to check (e.g. klia's own)")
      ->type_name("LIB")
      ->required();
  compare
      ->add_option("--transport", options->transport,
                   "the board transport both runs go through (default: the one beside klia, the virtual board)")
      ->type_name("PATH");
  compare
      ->add_option("--folder", options->folder,
                   "a new folder for the traces and the report (default: klia-compare-DATE-TIME here)")
      ->type_name("DIR");
  compare->add_option("--pages", options->pages, "as for klia probe")->type_name(kNumberLabel)->capture_default_str();
  compare->footer(
      "Each run is a 'klia --library LIB probe' of its own, which loads the spy in front of the library itself "
      "(whatever the library's run path says) with its read-only guard on: nothing but reads reaches the board; "
      "a run whose trace does not say the guard was on is refused. A run that could not finish is named with "
      "how it ended (exit status, signal, crash). With the virtual board the board image klia would use is served read-only. The "
      "libraries are judged by the requests they send; the clock's answer is set aside, and any other answer "
      "that differs (the board changed between the runs) is reported beside the verdict. The folder keeps "
      "old.jsonl, new.jsonl, each probe's output and report.txt; the traces withhold user records' bytes.");
  compare->callback([&context, options] { context.run = [&context, options] { return Compare(context, *options); }; });
}

}  // namespace klia

// klia spy install FOLDER [--trace PATH] [--guard read-only] [--transport PATH] | klia spy
// remove FOLDER | klia spy status FOLDER: the transport spy put in front of the board
// transport a program's folder holds, and taken out again, as one command each.
//
// Install: the folder's transport (HWLINK32.DLL; natively libhwlink32.so) is kept under the
// spy's default target name (HWLINK32-REAL.DLL; libhwlink32-real.so), the spy takes its name,
// and hwlink-spy.conf beside it names the real transport by its full path, the trace and the
// guard (a hwlink-spy.conf that was there is kept as hwlink-spy.conf.klia-original). A folder
// without a transport of its own gets the spy in front of the one --transport names. Removal
// puts every file back exactly and says where the traces are; klia leaves the traces.
//
// Both are one file transaction with klia's record klia-spy.json (folder_install.h).
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "app.h"
#include "errors.h"
#include "folder_command.h"
#include "folder_files.h"
#include "folder_install.h"
#include "install_report.h"
#include "library_check.h"
#include "output.h"
#include "process.h"
#include "process_runner.h"
#include "program_folder.h"

namespace klia {
namespace {

using nlohmann::json;

struct SpyOptions {
  std::string folder, trace, guard = "off", transport;
};

struct SpyFolder {
  explicit SpyFolder(const std::string &given)
      : files(given),
        transport(files.Spelled(kTransportFile)),
        settings(files.Spelled(kSpySettingsFile)),
        install(files, kSpyRecordFile, "spy",
                {"klia spy status " + Pasteable(files.folder()), "klia spy remove " + Pasteable(files.folder())},
                &InterruptDeferral::Interrupted) {
    RequireFolder(files, given);
  }
  std::string RemoveCommand() const { return "klia spy remove " + Pasteable(files.folder()); }
  FolderReport Report() const {
    return install.Report({files.Spelled(kRealTransportFile), settings + kOriginalSuffix});
  }

  FolderFiles files;
  std::string transport, settings;
  FolderInstall install;
};

// The spy reads its settings file in the system's ANSI code page (Windows) and line by line:
// a path klia writes there must come through as written.
void CheckSettingsPath(const std::string &path, const std::string &what) {
  for (const char c : path) {
    if (c == '\n' || c == '\r') throw UsageError(what + " " + path + " holds a line break");
#ifdef _WIN32
    if (static_cast<unsigned char>(c) >= 0x80) {
      throw UsageError(what + " " + path + " holds characters beyond plain ASCII, which the spy cannot read from its "
                       "settings file: name a path of plain ASCII characters");
    }
#endif
  }
}

std::string SettingsText(const std::map<std::string, std::string> &details, bool trace_named) {
  std::string text = "# Written by klia spy install on " + UtcNow() +
                     ". 'klia spy remove' takes the spy out and this file with it\n"
                     "# (klia's record of what it put here: " + std::string(kSpyRecordFile) + ").\n";
  text += "target = " + details.at("transport") + "\n";
  if (trace_named) text += "trace = " + details.at("trace") + "\n";
  if (details.at("guard") == "read-only") text += "guard = read-only\n";
  return text;
}

std::string TraceWords(const std::string &trace) {
  const std::optional<uint64_t> size = FileSizeAt(trace);
  return trace + (size ? " (" + std::to_string(*size) + " bytes)" : " (none written)");
}

// The folder's transport is the spy already, put there without klia.
void RefuseSpyByHand(const SpyFolder &folder) {
  throw Failure("spy_by_hand",
                folder.files.PathOf(folder.transport) + " is the transport spy already, put there without klia (no " +
                    kSpyRecordFile + " beside it): take it out by hand (delete it and rename " + kRealTransportFile +
                    " back, spy/README.md), then run klia again");
}

bool TransportIsSpy(const SpyFolder &folder) {
  try {
    return SpyVersion(folder.files.Read(folder.transport, 256u << 20)).has_value();
  } catch (const FileStepFailure &) {
    return false;
  }
}

int Status(SpyFolder &folder) {
  const FolderReport report = folder.Report();
  json result = ReportJson(folder.files, report);
  std::string text = folder.files.folder() + ": ";
  if (!report.manifest) {
    const bool by_hand = folder.files.Inspect(folder.transport).exists() && TransportIsSpy(folder);
    text += by_hand ? "the transport spy is in front of the transport, put there WITHOUT klia (no " +
                          std::string(kSpyRecordFile) + "): take it out by hand (spy/README.md)\n"
                    : "no spy put there by klia\n";
    result["spy_by_hand"] = by_hand;
  } else {
    text += "transport spy of " + report.manifest->time + ": " + StateWords(report.state) + "\n";
    const auto &details = report.manifest->details;
    for (const char *key : {"transport", "trace", "guard"}) {
      if (details.count(key) != 0) {
        text += std::string("  ") + key + std::string(12 - std::string(key).size(), ' ') +
                (std::string(key) == "trace" ? TraceWords(details.at(key)) : details.at(key)) + "\n";
      }
    }
  }
  text += ReportLines(report);
  text += NextStep(report, "To take it out", folder.RemoveCommand(), "remove", result);
  Emit(text, result);
  return kExitOk;
}

int Remove(SpyFolder &folder) {
  const FolderReport report = folder.Report();
  if (!report.manifest && folder.files.Inspect(folder.transport).exists() && TransportIsSpy(folder)) {
    RefuseSpyByHand(folder);
  }
  folder.install.TakeOut(report);
  if (!report.manifest) {
    Emit("nothing to remove: no spy put there by klia in " + folder.files.folder() +
             (report.scratch.empty() ? "" : " (the scratch file of an interrupted klia is removed)") + "\n",
         {{"folder", folder.files.folder()}, {"changed", !report.scratch.empty()}, {"state", "none"}});
    return kExitOk;
  }
  const std::string trace = report.manifest->details.count("trace") != 0 ? report.manifest->details.at("trace") : "";
  std::string text = "took the transport spy out of " + folder.files.folder() + ": every file is back as it was\n";
  if (!trace.empty()) text += "the traces are in " + TraceWords(trace) + "; klia leaves them\n";
  json result = {{"folder", folder.files.folder()}, {"changed", true}};
  if (!trace.empty()) result["trace"] = trace;
  if (const auto size = FileSizeAt(trace)) result["trace_size"] = *size;
  Emit(text, result);
  return kExitOk;
}

int Install(const SpyOptions &options, SpyFolder &folder) {
  if (options.guard != "read-only" && options.guard != "off") {
    throw UsageError("--guard " + options.guard + ": read-only or off");
  }
  const SpyLocation spy = FindSpy();
  const std::string spy_path = spy.library.string();
  const std::string spy_bytes = ReadFileToPlace(spy_path, "the transport spy");
  const BinaryImage spy_image = CheckTransport(spy_bytes, spy_path);
  const std::optional<std::string> version = SpyVersion(spy_bytes);

  // The settings asked for, compared with those of a spy klia put there already.
  std::map<std::string, std::string> details;
  const bool trace_named = !options.trace.empty();
  details["transport"] = options.transport.empty() ? folder.files.PathOf(folder.files.Spelled(kRealTransportFile))
                                                   : AbsolutePath(options.transport);
  details["trace"] = trace_named ? AbsolutePath(options.trace) : folder.files.PathOf(spy::kDefaultTraceName);
  details["guard"] = options.guard;
  const FolderReport report = folder.Report();
  if (report.manifest) {
    if (report.state != FolderState::kInPlace) {
      throw Failure("incomplete", "the spy klia put into " + folder.files.folder() + " is " + StateWords(report.state) +
                                      ": run '" + folder.RemoveCommand() + "' first (see 'klia spy status " +
                                      Pasteable(folder.files.folder()) + "')");
    }
    if (report.manifest->details != details) {
      throw Failure("installed", "the spy is in front of the transport in " + folder.files.folder() +
                                     " already, with other settings (see 'klia spy status " +
                                     Pasteable(folder.files.folder()) + "'): take it out with '" +
                                     folder.RemoveCommand() + "', then install it again");
    }
    Emit("the spy is in front of the transport in " + folder.files.folder() + " already (since " +
             report.manifest->time + "): nothing to do. To take it out: " + folder.RemoveCommand() + "\n",
         {{"folder", folder.files.folder()}, {"changed", false}, {"details", details}});
    return kExitOk;
  }
  CheckSettingsPath(details["transport"], "the transport");
  CheckSettingsPath(details["trace"], "--trace");

  const FileState transport = folder.files.Inspect(folder.transport);
  std::string keep_transport;
  if (transport.exists()) {
    if (!options.transport.empty()) {
      throw UsageError(folder.files.PathOf(folder.transport) +
                       " is there: the spy goes in front of it, and --transport is for a folder without a transport "
                       "of its own");
    }
    keep_transport = folder.files.Spelled(kRealTransportFile);
  } else if (!options.transport.empty()) {
    const std::string bytes = ReadFileToPlace(details["transport"], "--transport " + options.transport);
    if (SpyVersion(bytes)) throw UsageError("--transport " + options.transport + " is the transport spy itself: name the real transport");
    CheckSameMachine(spy_image, spy_path, CheckTransport(bytes, details["transport"]),
                     "the board transport it goes in front of, " + details["transport"]);
  } else {
    throw Failure("missing", "no " + folder.transport + " in " + folder.files.folder() +
                                 ": the spy goes in front of the board transport of a program's folder. Name the "
                                 "folder that holds it, or name the transport the program uses with --transport PATH "
                                 "(the spy then goes into this folder in front of it)");
  }
  if (transport.exists()) {
    if (TransportIsSpy(folder)) RefuseSpyByHand(folder);
    const std::string bytes = folder.files.Read(folder.transport, 256u << 20);
    CheckSameMachine(spy_image, spy_path, CheckTransport(bytes, folder.files.PathOf(folder.transport)),
                     "the board transport it goes in front of, " + folder.files.PathOf(folder.transport));
  }
  if (const std::string trace_folder = AbsolutePath(details["trace"] + "/.."); !FolderFiles(trace_folder).FolderExists()) {
    throw UsageError("--trace " + options.trace + ": there is no folder " + trace_folder + " for it");
  }

  const FileState settings = folder.files.Inspect(folder.settings);
  const std::vector<FileToPlace> files = {
      {folder.transport, spy_bytes, transport.exists() ? transport.mode : 0755, keep_transport, spy_path,
       "hwlink-spy " + version.value_or("")},
      {folder.settings, SettingsText(details, trace_named), 0644,
       settings.exists() ? folder.settings + kOriginalSuffix : "", "klia spy install", "the spy's settings"}};
  folder.install.Place(files, details);

  std::string text = "the transport spy is in front of " + details["transport"] + " in " + folder.files.folder() +
                     "\ntraces go to " + details["trace"] +
                     (options.guard == "read-only" ? "\nguard: read-only (only calls that read the board reach it)"
                                                   : "") +
                     "\nEvery program that loads it says 'hwlink spy: active ...' on its standard error.\n";
  if (settings.exists()) text += "the earlier " + folder.settings + " is kept as " + folder.settings + kOriginalSuffix + "\n";
  text += "To take it out: " + folder.RemoveCommand() + "\n";
  Emit(text, {{"folder", folder.files.folder()},
              {"changed", true},
              {"details", details},
              {"spy", spy_path},
              {"record", folder.files.PathOf(kSpyRecordFile)},
              {"remove", folder.RemoveCommand()}});
  return kExitOk;
}

}  // namespace

void AddSpyCommands(CLI::App &app, Context &context) {
  auto options = std::make_shared<SpyOptions>();
  CLI::App *spy = app.add_subcommand("spy", "Put the transport spy in front of a program's board transport, and take it out");
  spy->require_subcommand(1);

  CLI::App *install = spy->add_subcommand(
      "install", std::string("Put the spy in front of the board transport (") + kTransportFile +
                     ") of a program's folder: the transport kept as " + kRealTransportFile + ", " + kSpySettingsFile +
                     " written");
  install->add_option("folder", options->folder, "the program's folder")->type_name("FOLDER")->required();
  install->add_option("--trace", options->trace, "the trace file (default: hwlink-trace.jsonl beside the spy)")
      ->type_name("PATH");
  install->add_option("--guard", options->guard, "read-only: only calls that read the board reach it")
      ->type_name("read-only|off")
      ->capture_default_str();
  install
      ->add_option("--transport", options->transport,
                   "for a folder without a transport of its own: the transport the program uses, by its full path")
      ->type_name("PATH");
  install->footer(
      "The folder's transport must export the transport's two entry points and be built for the spy's machine; "
      "a spy already there without klia is refused. klia keeps its record in klia-spy.json; the change is written "
      "beside and renamed into place, and a failure or Ctrl-C leaves the folder as it was.");
  install->callback([&context, options] {
    context.run = [options] {
      SpyFolder folder(options->folder);
      return RunFolderChange("spy install", [&] { return Install(*options, folder); });
    };
  });

  CLI::App *remove = spy->add_subcommand("remove", "Take the spy out: every file back as it was (checked by SHA-256); the traces stay");
  remove->add_option("folder", options->folder, "the program's folder")->type_name("FOLDER")->required();
  remove->callback([&context, options] {
    context.run = [options] {
      SpyFolder folder(options->folder);
      return RunFolderChange("spy remove", [&] { return Remove(folder); });
    };
  });

  CLI::App *status = spy->add_subcommand("status", "Say whether the spy is in front of the transport, since when, and where its traces go");
  status->add_option("folder", options->folder, "the program's folder")->type_name("FOLDER")->required();
  status->callback([&context, options] {
    context.run = [options] {
      SpyFolder folder(options->folder);
      return Status(folder);
    };
  });
}

}  // namespace klia

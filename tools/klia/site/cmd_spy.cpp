// klia spy install FOLDER [--trace PATH] [--guard read-only] [--transport PATH] | klia spy
// remove FOLDER | klia spy status FOLDER | klia spy forget FOLDER: the transport spy put in
// front of the board transport a program's folder holds, and taken out again, as one command
// each; forget drops klia's record of a folder changed by hand since, every file staying.
//
// Install: the folder's transport (HWLINK32.DLL; natively libhwlink32.so) is kept under the
// spy's default target name (HWLINK32-REAL.DLL; libhwlink32-real.so), the spy takes its name,
// and hwlink-spy.conf beside it names the real transport by its full path, the trace and the
// guard (a hwlink-spy.conf that was there is kept as hwlink-spy.conf.klia-original). A folder
// without a transport of its own gets the spy in front of the one --transport names. The
// trace must be a new file or a trace: never a file of the folder's that klia puts there or
// keeps, nor another file the spy's records would be appended to. Removal puts every file
// back exactly; the traces are the site's record of its sessions, and klia leaves them, naming
// each one it leaves in the folder.
//
// Both are one file transaction with klia's record klia-spy.json (folder_install.h).
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "shell/app.h"
#include "shell/errors.h"
#include "site/commands.h"
#include "site/folder_command.h"
#include "site/folder_files.h"
#include "site/file_transaction.h"
#include "site/folder_install.h"
#include "image_names.h"
#include "site/install_manifest.h"
#include "site/install_report.h"
#include "site/library_check.h"
#include "shell/output.h"
#include "shell/process.h"
#include "platform/platform.h"
#include "shell/installation.h"
#include "site/program_folder.h"
#include "trace_format.h"

namespace klia {
namespace {

using nlohmann::json;

struct SpyOptions {
  std::string folder, trace, guard = "off", transport;
  bool yes = false;
};

struct SpyFolder {
  explicit SpyFolder(const std::string &given)
      : files(given),
        transport(files.Spelled(kTransportFile)),
        settings(files.Spelled(kSpySettingsFile)),
        install(files, kSpyRecordFile, "spy",
                {"klia spy status " + Pasteable(files.folder()), "klia spy remove " + Pasteable(files.folder()),
                 "klia spy forget " + Pasteable(files.folder())},
                &InterruptDeferral::Interrupted) {
    RequireFolder(files, given);
  }
  std::string RemoveCommand() const { return "klia spy remove " + Pasteable(files.folder()); }
  std::string ForgetCommand() const { return "klia spy forget " + Pasteable(files.folder()); }
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
    if (SettingsFileTakesOnlyAscii() && static_cast<unsigned char>(c) >= 0x80) {
      throw UsageError(what + " " + path + " holds characters beyond plain ASCII, which the spy cannot read from its "
                       "settings file: name a path of plain ASCII characters");
    }
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

// The folder and the file name of a path.
std::string FolderOf(const std::string &path) { return FolderFiles(path + "/..").folder(); }
std::string NameOf(const std::string &path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// True when `path` is a file in the program's folder.
bool InFolder(const SpyFolder &folder, const std::string &path) {
  return SamePlace(FolderOf(path), folder.files.folder());
}

// The names klia puts into a program's folder or keeps there, klia swap's and klia spy's, with
// the scratch names of each (the real transport's kept name, too, before it exists).
bool KliaUses(const std::string &name) {
  const std::string suffix = kOriginalSuffix;
  for (const std::string &own :
       {std::string(kInterfaceLibraryFile), kInterfaceLibraryFile + suffix, std::string(kTransportFile),
        std::string(kRealTransportFile), std::string(kSpySettingsFile), kSpySettingsFile + suffix,
        std::string(kSwapRecordFile), std::string(kSpyRecordFile)}) {
    std::vector<std::string> names = FileTransaction::ScratchNames(own);
    names.push_back(own);
    for (const std::string &candidate : names) {
      if (SameFileName(candidate, name)) return true;
    }
  }
  return false;
}

// The spy appends its records to the trace: it must be a new file or a trace. Throws
// UsageError naming what `trace` is instead (`what` says where it was given).
void CheckTrace(const SpyFolder &folder, const std::string &trace, const std::string &what) {
  const std::string cure = "; the spy appends its records to its trace: name a new file or an existing trace";
  if (InFolder(folder, trace) && KliaUses(NameOf(trace))) {
    throw UsageError(what + " is a name klia uses for the files it puts into " + folder.files.folder() +
                     " or keeps there" + cure);
  }
  switch (KindAt(trace)) {
    case FileState::Kind::kAbsent: return;
    case FileState::Kind::kLink:
      throw UsageError(what + " is a symbolic link, which the spy would follow to another file" + cure);
    case FileState::Kind::kOther:
      throw UsageError(what + (FolderFiles(trace).FolderExists() ? " is a folder" : " is not a plain file") + cure);
    case FileState::Kind::kFile: break;
  }
  std::string start;
  try {
    start = FolderFiles(FolderOf(trace)).Read(NameOf(trace), 64u << 10, true);
  } catch (const FileStepFailure &e) {
    throw UsageError(what + ": " + e.what());
  }
  if (start.empty()) return;  // a file made ready for the program's user to write
  if (start.compare(0, sizeof vboard::kImageMagic, vboard::kImageMagic, sizeof vboard::kImageMagic) == 0) {
    throw UsageError(what + " is a board image" + cure);
  }
  if (start.rfind("\x7f" "ELF", 0) == 0 || start.rfind("MZ", 0) == 0) {
    throw UsageError(what + " is a library or a program" + cure);
  }
  try {
    hwtrace::ParseTrace(start.substr(0, start.find('\n')));
  } catch (const hwtrace::TraceError &) {
    throw UsageError(what + " is not a board trace: it does not begin with a trace's header line" + cure);
  }
}

// The spy writes the trace as the program's user, who need not be klia's: when only the owner
// of the trace (or of its folder, where it is new) may write it, and that owner is klia's user
// or root, a program run as another user finds it cannot, and says so only on its standard
// error. An owner other than those may well be the program's user. (Natively only: on Windows
// SoleWriterOnKliasSide names no one.)
std::optional<std::string> TraceWriteWarning(const std::string &trace) {
  const bool exists = FileSizeAt(trace).has_value();
  const std::string place = exists ? trace : FolderOf(trace);
  const std::optional<std::string> writer = SoleWriterOnKliasSide(place);
  if (!writer) return std::nullopt;
  const std::string where = exists ? "the trace " + trace : "in " + place + ", where the trace goes";
  return "only " + *writer + " may write " + where + ": a program run as another user cannot write its " +
         "trace (the spy says so only on that program's standard error). If the program runs as another user, name " +
         "a trace where it may write (--trace PATH), or let it write " + (exists ? trace : "in " + place);
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

// The guard the spy in `folder` will apply in a program started with klia's environment, by the
// spy's own rules: its settings file as it lies there (hand edits included) and the
// environment. Said as "read-only (...)" or "off (writes reach the board; ...)".
struct AppliedGuard {
  bool on = false;
  std::string reason;
  std::string Words() const {
    return (on ? "read-only (only calls that read the board reach it)" : "off (writes reach the board)") +
           (reason.empty() ? "" : "; " + reason);
  }
  json Json() const { return {{"on", on}, {"reason", reason}}; }
};

AppliedGuard GuardApplied(const FolderFiles &files) {
  const spy::Settings settings = spy::ResolveSettings([](const char *name) { return std::getenv(name); },
                                                      spy::ReadConfigFile(files.folder()), files.folder());
  return {settings.read_only, settings.guard_reason};
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
    for (const char *key : {"transport", "trace"}) {
      if (details.count(key) != 0) {
        text += std::string("  ") + key + std::string(12 - std::string(key).size(), ' ') +
                (std::string(key) == "trace" ? TraceWords(details.at(key)) : details.at(key)) + "\n";
      }
    }
  }
  // What the spy will do, not what was asked at install time: the settings file may have been
  // edited since, and the environment counts too.
  if (report.manifest || result.value("spy_by_hand", false)) {
    const AppliedGuard guard = GuardApplied(folder.files);
    text += "  guard       " + guard.Words() + "\n";
    if (report.manifest && report.manifest->details.count("guard") != 0) {
      text += "              (installed with --guard " + report.manifest->details.at("guard") +
              "; the guard shown is for a program started from this environment)\n";
    }
    result["guard_applied"] = guard.Json();
  }
  text += ReportLines(report);
  text += NextStep(report, "To take it out", folder.RemoveCommand(), "remove", folder.ForgetCommand(), result);
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
  // The trace is the site's record of the sessions: klia leaves it, and names it when it is
  // left in the folder, which is then not as it was.
  std::vector<std::string> left;
  if (!trace.empty() && KindAt(trace) != FileState::Kind::kAbsent && InFolder(folder, trace)) left.push_back(trace);
  std::string text = "took the transport spy out of " + folder.files.folder() +
                     (left.empty() ? ": every file is back as it was\n"
                                   : ": every file klia put there is gone, every file it replaced is back\n");
  for (const std::string &name : left) {
    text += "left the trace " + name + ": it holds the recorded sessions; delete it when no longer needed\n";
  }
  if (!trace.empty() && left.empty()) text += "the traces are in " + TraceWords(trace) + "; klia leaves them\n";
  json result = {{"folder", folder.files.folder()}, {"changed", true}, {"left", left}};
  if (!trace.empty()) result["trace"] = trace;
  if (const auto size = FileSizeAt(trace)) result["trace_size"] = *size;
  Emit(text, result);
  return kExitOk;
}

// What is left to the site once klia has forgotten its spy: the spy, if still in front, and
// how the folder is put back by hand.
std::string AfterForgetting(const SpyFolder &folder, const std::vector<std::string> &there) {
  auto stays = [&](const std::string &name) { return std::find(there.begin(), there.end(), name) != there.end(); };
  const std::string real = folder.files.Spelled(kRealTransportFile);
  const std::string kept_settings = folder.settings + kOriginalSuffix;
  std::string text = "klia no longer accounts for these files.";
  const bool spy_there = stays(folder.transport) && TransportIsSpy(folder);
  if (spy_there) {
    text += " The spy stays in front of the transport: to take it out by hand, close the folder's programs, delete " +
            folder.transport + " (the spy) and " + folder.settings;
    if (stays(real)) text += ", rename " + real + " back to " + folder.transport;
    if (stays(kept_settings)) text += ", rename " + kept_settings + " back to " + folder.settings;
    text += ".";
  } else if (stays(real)) {
    text += " " + real + " is the transport klia kept, the site's to look after now.";
  }
  return text + " klia spy install here refuses while " + real + " or " + kept_settings + " is there";
}

int Forget(const SpyOptions &options, SpyFolder &folder) {
  return ForgetRecord(folder.install, folder.files, "klia spy forget",
                      {folder.transport, folder.settings, folder.files.Spelled(kRealTransportFile),
                       folder.settings + kOriginalSuffix},
                      options.yes,
                      [&](const std::vector<std::string> &there) { return AfterForgetting(folder, there); });
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
    if (report.state == FolderState::kChanged) {
      throw Failure("changed", "the files of the spy klia put into " + folder.files.folder() +
                                   " were changed since (see 'klia spy status " + Pasteable(folder.files.folder()) +
                                   "'): klia will not overwrite them. Put them back as klia left them, or keep the "
                                   "folder as it is and drop klia's record with '" + folder.ForgetCommand() +
                                   "' (it says what stays and asks first)");
    }
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
  if (const std::string trace_folder = FolderOf(details["trace"]); !FolderFiles(trace_folder).FolderExists()) {
    throw UsageError("--trace " + options.trace + ": there is no folder " + trace_folder + " for it");
  }
  CheckTrace(folder, details["trace"],
             trace_named ? "--trace " + details["trace"]
                         : details["trace"] + ", where the spy writes its trace unless --trace names another,");
  std::vector<std::string> warnings;
  if (const auto warning = TraceWriteWarning(details["trace"])) warnings.push_back(*warning);

  const FileState settings = folder.files.Inspect(folder.settings);
  const std::vector<FileToPlace> files = {
      {folder.transport, spy_bytes, 0755, keep_transport, spy_path,
       "hwlink-spy " + version.value_or("")},
      {folder.settings, SettingsText(details, trace_named), 0644,
       settings.exists() ? folder.settings + kOriginalSuffix : "", "klia spy install", "the spy's settings"}};
  folder.install.Place(files, details);

  // The guard as the spy will apply it, from the settings just written and this environment.
  const AppliedGuard guard = GuardApplied(folder.files);
  std::string text = "the transport spy is in front of " + details["transport"] + " in " + folder.files.folder() +
                     "\ntraces go to " + details["trace"] + "\nguard: " + guard.Words() +
                     "\nEvery program that loads it says 'hwlink spy: active ...' on its standard error.\n";
  for (const std::string &warning : warnings) text += "warning: " + warning + "\n";
  if (settings.exists()) text += "the earlier " + folder.settings + " is kept as " + folder.settings + kOriginalSuffix + "\n";
  text += "To take it out: " + folder.RemoveCommand() + "\n";
  Emit(text, {{"folder", folder.files.folder()},
              {"changed", true},
              {"details", details},
              {"guard_applied", guard.Json()},
              {"spy", spy_path},
              {"record", folder.files.PathOf(kSpyRecordFile)},
              {"remove", folder.RemoveCommand()},
              {"warnings", warnings}});
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
  install->add_option("--guard", options->guard,
                      "read-only: only calls that read the board reach it; off: writes reach the board too")
      ->type_name("read-only|off")
      ->capture_default_str();
  install
      ->add_option("--transport", options->transport,
                   "for a folder without a transport of its own: the transport the program uses, by its full path")
      ->type_name("PATH");
  install->footer(
      "The folder's transport must export the transport's two entry points and be built for the spy's machine; "
      "a spy already there without klia is refused. The spy gets the owner, group and mode of the transport it "
      "replaces (on Windows its access control list). The trace must be a new file or a trace: a symbolic link, a "
      "library, a board image, any other file that is not a trace, or a name klia uses in the folder is refused; "
      "natively klia warns when only the owner of the trace's folder may write there. Without --guard the guard "
      "is off: writes reach the board. klia keeps its record in klia-spy.json; the change is written beside and "
      "renamed into place, and a failure or Ctrl-C leaves the folder as it was.");
  install->callback([&context, options] {
    context.run = [options] {
      SpyFolder folder(options->folder);
      return RunFolderChange("spy install", [&] { return Install(*options, folder); });
    };
  });

  CLI::App *remove = spy->add_subcommand(
      "remove", "Take the spy out: every file back as it was (checked by SHA-256); the traces stay, one left in the "
                "folder named");
  remove->add_option("folder", options->folder, "the program's folder")->type_name("FOLDER")->required();
  remove->callback([&context, options] {
    context.run = [options] {
      SpyFolder folder(options->folder);
      return RunFolderChange("spy remove", [&] { return Remove(folder); });
    };
  });

  CLI::App *forget = spy->add_subcommand(
      "forget", "For a folder changed by hand since the spy went in: drop klia's record, leaving every file as it "
                "lies (the real transport kept included)");
  forget->add_option("folder", options->folder, "the program's folder")->type_name("FOLDER")->required();
  forget->add_flag("--yes", options->yes, "do not ask for confirmation (needed off a terminal)");
  forget->footer(std::string("When a file klia put into the folder or kept there was changed since (a settings file "
                             "edited, a transport updated), or klia cannot read its record, 'klia spy remove' "
                             "changes nothing. forget says what stays, asks (--yes off a terminal) and removes only ") +
                 kSpyRecordFile + " and klia's scratch files; it then says how the spy is taken out by hand.");
  forget->callback([&context, options] {
    context.run = [options] {
      SpyFolder folder(options->folder);
      return RunFolderChange("spy forget", [&] { return Forget(*options, folder); });
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

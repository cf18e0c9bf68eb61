// klia swap FOLDER --library PATH | klia swap --undo FOLDER | klia swap --status FOLDER |
// klia swap --forget FOLDER: a library put in place of the interface library of a program's
// folder (mviahlp.dll; natively libmviahlp.so.1), the original kept beside it as
// NAME.klia-original with klia's record klia-swap.json, and put back exactly. When the folder
// was changed by hand since, --forget drops the record and leaves every file as it lies.
//
// Before anything changes, the library is checked from its bytes (never loaded): the 26
// functions at their ordinals under their names (natively by name: a shared object has no
// ordinals), built for the machine of the library it replaces and of the folder's programs.
// The change is one file transaction (folder_install.h): whole, or undone.
#include <algorithm>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "shell/app.h"
#include "shell/errors.h"
#include "site/commands.h"
#include "site/folder_command.h"
#include "site/folder_files.h"
#include "site/folder_install.h"
#include "site/install_report.h"
#include "site/library_check.h"
#include "shell/installation.h"
#include "mviahlp.h"
#include "shell/output.h"
#include "shell/process.h"
#include "site/program_folder.h"
#include "platform/platform.h"

namespace klia {
namespace {

using nlohmann::json;

struct SwapOptions {
  std::string folder;
  bool undo = false;
  bool status = false;
  bool forget = false;
  bool yes = false;
};

struct SwapFolder {
  explicit SwapFolder(const std::string &given)
      : files(given),
        library(files.Spelled(kInterfaceLibraryFile)),
        kept(library + kOriginalSuffix),
        install(files, kSwapRecordFile, "swap",
                {"klia swap --status " + Pasteable(files.folder()), "klia swap --undo " + Pasteable(files.folder()),
                 "klia swap --forget " + Pasteable(files.folder())},
                &InterruptDeferral::Interrupted) {
    RequireFolder(files, given);
  }
  std::string UndoCommand() const { return "klia swap --undo " + Pasteable(files.folder()); }
  std::string ForgetCommand() const { return "klia swap --forget " + Pasteable(files.folder()); }

  FolderFiles files;
  std::string library, kept;
  FolderInstall install;
};

// What the library is, for the record: klia's own library is named with its version, a DLL
// with a version resource by its file version.
std::string VersionOf(const std::string &bytes, const BinaryImage &image) {
  try {
    const std::string own = ReadFileAt(OwnLibraryFile(), 256u << 20);
    if (own == bytes) return std::string("mviahlp ") + MVIAHLP_VERSION_STRING + " (klia's own library)";
  } catch (const FileStepFailure &) {
  }
  return image.file_version.empty() ? std::string() : "file version " + image.file_version;
}

// The library must load where the one it replaces loaded: the same machine as that one (the
// original, kept or still in place), as the transport beside it and as the folder's programs.
void CheckMachine(const BinaryImage &image, const std::string &path, const SwapFolder &folder,
                  const FolderReport &report) {
  const bool kept = report.manifest && !report.files.empty() && report.files.front().kept_intact;
  const std::string original = kept ? folder.kept : folder.library;
  if (const auto reference = ImageInFolder(folder.files, original, false)) {
    CheckSameMachine(image, path, *reference, "the library it replaces, " + folder.files.PathOf(original));
  }
  if (const auto transport = ImageInFolder(folder.files, folder.files.Spelled(kTransportFile), false)) {
    CheckSameMachine(image, path, *transport,
                     "the board transport beside it, " + folder.files.PathOf(folder.files.Spelled(kTransportFile)));
  }
  CheckFolderPrograms(image, path, folder.files);
}

int Status(SwapFolder &folder) {
  const FolderReport report = folder.install.Report({folder.kept});
  json result = ReportJson(folder.files, report);
  std::string text = folder.files.folder() + ": ";
  if (!report.manifest) {
    const FileState now = folder.files.Inspect(folder.library);
    text += "no klia swap recorded; " + folder.library +
            (now.exists() ? " is the folder's own (" + DescribeContent({now.size, now.sha256}) + ")" : " is not there") +
            "\n";
    if (now.exists()) result["library"] = {{"name", folder.library}, {"size", now.size}, {"sha256", now.sha256}};
  } else {
    text += "klia swap of " + report.manifest->time + ": " + StateWords(report.state) + "\n";
  }
  text += ReportLines(report);
  text += NextStep(report, "To put the original back", folder.UndoCommand(), "undo", folder.ForgetCommand(), result);
  Emit(text, result);
  return kExitOk;
}

int Undo(SwapFolder &folder) {
  const FolderReport report = folder.install.Report({folder.kept});
  folder.install.TakeOut(report);
  if (!report.manifest) {
    Emit("nothing to undo: no klia swap is recorded in " + folder.files.folder() +
             (report.scratch.empty() ? "" : " (the scratch file of an interrupted klia is removed)") + "\n",
         {{"folder", folder.files.folder()}, {"changed", !report.scratch.empty()}, {"state", "none"}});
    return kExitOk;
  }
  const PlacedFile &file = report.manifest->files.front();
  std::string text = "put the original " + folder.library + " back in " + folder.files.folder() + " (" +
                     DescribeContent(file.original->content) + ")";
  text += report.state == FolderState::kTakenOut ? "; it was back already, klia's record is removed\n"
                                                 : "; klia's library and record are removed\n";
  Emit(text, {{"folder", folder.files.folder()},
              {"changed", true},
              {"library", folder.library},
              {"original", {{"size", file.original->content.size}, {"sha256", file.original->content.sha256}}}});
  return kExitOk;
}

// What is left to the site once klia has forgotten its swap: the original it kept, and how
// the folder is put back by hand.
std::string AfterForgetting(const SwapFolder &folder, const std::vector<std::string> &there) {
  if (std::find(there.begin(), there.end(), folder.kept) == there.end()) {
    return "klia no longer accounts for " + folder.files.folder() + "; 'klia swap --status' says what is there";
  }
  return folder.kept + " is the site's to look after now: klia neither uses nor removes it. To put it back by hand, "
         "close the folder's programs and rename it to " + folder.library + " (replacing the one there); to swap "
         "again with klia, first move it out of the folder, somewhere safe";
}

int Forget(const SwapOptions &options, SwapFolder &folder) {
  return ForgetRecord(folder.install, folder.files, "klia swap --forget", {folder.library, folder.kept}, options.yes,
                      [&](const std::vector<std::string> &there) { return AfterForgetting(folder, there); });
}

int Swap(const Context &context, SwapFolder &folder) {
  if (context.library.empty()) {
    throw UsageError("name the library to put in place: klia swap " + Pasteable(folder.files.folder()) +
                     " --library PATH");
  }
  // Recorded and shown by its full path: a relative one would mean another file from another folder.
  const std::string source = AbsolutePath(context.library);
  const std::string bytes = ReadFileToPlace(context.library, "--library " + context.library);
  const BinaryImage image = CheckInterfaceLibrary(bytes, context.library);
  const FolderReport report = folder.install.Report({folder.kept});
  CheckMachine(image, context.library, folder, report);
  const std::string digest = Sha256Hex(bytes);
  const std::string record = folder.files.PathOf(kSwapRecordFile);
  const std::string undo = folder.UndoCommand();
  json result = {{"folder", folder.files.folder()}, {"library", folder.library}, {"record", record}, {"undo", undo},
                 {"placed", {{"size", bytes.size()}, {"sha256", digest}, {"source", source}}}};

  if (report.manifest) {
    const PlacedFile &placed = report.manifest->files.front();
    if (report.state == FolderState::kChanged) {
      throw Failure("changed", "the files of the klia swap recorded in " + record +
                                   " were changed since (see 'klia swap --status " + Pasteable(folder.files.folder()) +
                                   "'): klia will not overwrite them. Put them back as klia left them, or keep the "
                                   "folder as it is and drop klia's record with '" + folder.ForgetCommand() +
                                   "' (it says what stays and asks first)");
    }
    if (report.state != FolderState::kInPlace) {
      throw Failure("incomplete", "the klia swap recorded in " + record + " is " + StateWords(report.state) +
                                      ": run '" + undo + "' first (see 'klia swap --status " +
                                      Pasteable(folder.files.folder()) + "')");
    }
    if (placed.original && placed.original->content.sha256 == digest) {
      throw Failure("original", context.library + " is the original " + folder.library +
                                    " that klia keeps: to put it back, run '" + undo + "'");
    }
    // Nothing to do only when this very library is in place: another one replaces it.
    if (report.files.front().holding == Holding::kPlaced && placed.installed.sha256 == digest) {
      result["changed"] = false;
      Emit(context.library + " is in place in " + folder.files.folder() + " already (klia swap of " +
               report.manifest->time + "): nothing to do. To put the original back: " + undo + "\n",
           result);
      return kExitOk;
    }
    folder.install.Renew(report, {{folder.library, bytes, 0755, "", source, VersionOf(bytes, image)}});
    result["changed"] = true;
    result["replaced"] = {{"size", placed.installed.size}, {"sha256", placed.installed.sha256},
                          {"source", placed.source}};
    Emit("put " + source + " in place of the library klia had put into " + folder.files.folder() + " (" +
             (placed.source.empty() ? "" : placed.source + ", ") + DescribeContent(placed.installed) +
             "); the original stays kept as " + folder.files.PathOf(placed.original->kept_as) +
             ".\nTo put the original back: " + undo + "\n",
         result);
    return kExitOk;
  }

  const FileState now = folder.files.Inspect(folder.library);
  if (!now.exists()) {
    throw Failure("missing", "no " + folder.library + " in " + folder.files.folder() +
                                 ": klia swap replaces the interface library of a program's folder and never adds "
                                 "one; name the folder that holds the program's " + folder.library);
  }
  if (now.sha256 == digest) {
    result["changed"] = false;
    Emit(folder.files.PathOf(folder.library) + " is this library already (the same SHA-256): nothing to do\n", result);
    return kExitOk;
  }
  folder.install.Place({{folder.library, bytes, 0755, folder.kept, source, VersionOf(bytes, image)}}, {});
  result["changed"] = true;
  result["original"] = {{"kept_as", folder.kept}, {"size", now.size}, {"sha256", now.sha256}};
  Emit("put " + source + " in place of " + folder.files.PathOf(folder.library) + "\nthe original (" +
           DescribeContent({now.size, now.sha256}) + ") is kept as " + folder.files.PathOf(folder.kept) +
           "; klia's record: " + record + "\nTo put the original back: " + undo + "\n",
       result);
  return kExitOk;
}

}  // namespace

void AddSwapCommand(CLI::App &app, Context &context) {
  auto options = std::make_shared<SwapOptions>();
  CLI::App *swap = app.add_subcommand(
      "swap", std::string("Put the library named by --library in place of the interface library (") +
                  kInterfaceLibraryFile +
                  ") of a program's folder, keeping the original beside it; --undo puts it back, --status shows "
                  "what is there");
  swap->add_option("folder", options->folder, "the program's folder")->type_name("FOLDER")->required();
  swap->add_flag("--undo", options->undo, "put the original library back and remove what klia added");
  swap->add_flag("--status", options->status, "say which library is in place and what can be undone");
  swap->add_flag("--forget", options->forget,
                 "for a folder changed by hand since the swap: drop klia's record, leaving every file as it lies "
                 "(the original kept included)");
  swap->add_flag("--yes", options->yes, "with --forget: do not ask for confirmation (needed off a terminal)");
  swap->footer(
      std::string("The library (--library PATH, before or after 'swap') is checked from its bytes, never loaded: "
                  "it must export the 26 functions of the interface (a DLL at ordinals 1-26 under their names; "
                  "a shared object by name) and be built for the machine of the library it replaces and of the "
                  "folder's programs. The original is kept as ") +
      kInterfaceLibraryFile + kOriginalSuffix + ", recorded with its size and SHA-256 in " + kSwapRecordFile +
      "; the library is written beside and renamed into place in one step. A failure, Ctrl-C or SIGTERM leaves "
      "the folder as it was. The library gets the owner, group and mode of the one it replaces (on Windows its access "
      "control list), whatever the umask; klia refuses, changing nothing, when it may not give it that owner. "
      "Another library while one is in place replaces it, the original staying kept; the same library again, or "
      "--undo with nothing to undo, says there is nothing to do. --undo puts back exactly the original (checked by "
      "its SHA-256) and refuses, changing nothing, when a recorded file was changed since or the record names a "
      "file a swap does not use. For such a folder --forget is the way out: it says what stays, asks (--yes off a "
      "terminal), and removes only klia's record (and klia's scratch files); the original stays as " +
      kInterfaceLibraryFile + kOriginalSuffix +
      ", the site's to put back by hand or move away. Paths in the record are full paths. Ended by a signal, klia "
      "exits with 128 + its number (130 for Ctrl-C, 143 for SIGTERM, 129 for SIGHUP).");
  swap->callback([&context, options] {
    context.run = [&context, options] {
      if (int(options->undo) + int(options->status) + int(options->forget) > 1) {
        throw UsageError("swap: --undo, --status and --forget: give one of them");
      }
      SwapFolder folder(options->folder);
      if (options->status) return Status(folder);
      return RunFolderChange("swap", [&] {
        return options->forget ? Forget(*options, folder) : options->undo ? Undo(folder) : Swap(context, folder);
      });
    };
  });
}

}  // namespace klia

#include "site/folder_command.h"

#include <cstdio>
#include <optional>

#include "shell/errors.h"
#include "site/folder_install.h"
#include "site/install_report.h"
#include "site/library_check.h"
#include "shell/output.h"
#include "shell/process.h"

namespace klia {
namespace {

constexpr size_t kMostPlaced = 256u << 20;   // a library or transport, with room to spare
constexpr size_t kProgramHeaders = 64u << 10;  // enough for a program's headers

}  // namespace

void RequireFolder(const FolderFiles &files, const std::string &given) {
  if (!files.FolderExists()) {
    // The full path too when the given one was relative.
    throw UsageError("no folder " + given + (given == files.folder() ? "" : " (" + files.folder() + ")") +
                     ": name the program's folder");
  }
}

std::string ReadFileToPlace(const std::string &path, const std::string &what) {
  try {
    return ReadFileAt(path, kMostPlaced);
  } catch (const FileStepFailure &e) {
    throw UsageError(what + ": " + e.what());
  }
}

std::optional<BinaryImage> ImageInFolder(const FolderFiles &files, const std::string &name, bool with_exports) {
  try {
    return ReadBinaryImage(files.Read(name, with_exports ? kMostPlaced : kProgramHeaders, !with_exports), with_exports);
  } catch (const FileStepFailure &) {
  } catch (const ImageError &) {
  }
  return std::nullopt;
}

// Natively no name in the folder is a program's (IsProgramFileName): a native program folder
// holds libraries, and which program loads them is not to be told from it.
void CheckFolderPrograms(const BinaryImage &candidate, const std::string &candidate_path, const FolderFiles &files) {
  std::string programs;
  std::optional<BinaryImage> first;
  std::string first_name;
  for (const std::string &name : files.Names()) {
    if (!IsProgramFileName(name)) continue;
    const std::optional<BinaryImage> program = ImageInFolder(files, name, false);
    if (!program || program->library || program->format != ImageFormat::kPe) continue;
    if (program->machine == candidate.machine && program->bits == candidate.bits) return;
    programs += (programs.empty() ? "" : ", ") + name + " (" + MachineName(*program) + ")";
    if (!first) {
      first = program;
      first_name = name;
    }
  }
  if (first) CheckSameMachine(candidate, candidate_path, *first, "the folder's program " + first_name + " (of: " + programs + ")");
}

std::string Pasteable(const std::string &path) {
  return path.find_first_of(" \t") == std::string::npos ? path : "\"" + path + "\"";
}

int ForgetRecord(FolderInstall &install, const FolderFiles &files, const std::string &command,
                 const std::vector<std::string> &names, bool yes,
                 const std::function<std::string(const std::vector<std::string> &there)> &afterwards) {
  const FolderInstall::ForgetPlan plan = install.PlanForget(names);
  const std::string record = files.PathOf(install.record_name());
  if (!plan.record) {
    install.Forget(plan);
    Emit("nothing to forget: klia keeps no record in " + files.folder() +
             (plan.scratch.empty() ? "" : " (the scratch file of an interrupted klia is removed)") + "\n",
         {{"folder", files.folder()}, {"changed", !plan.scratch.empty()}, {"state", "none"}});
    return kExitOk;
  }
  // What stays, as the status says it; without a readable record, each of klia's names there.
  std::string stays;
  if (plan.report) {
    stays = RecordedLines(*plan.report);
  } else {
    for (const std::string &name : plan.there) {
      const FileState now = files.Inspect(name);
      stays += FileLine(name, now.sha256.empty() ? std::string("not a plain file")
                                                 : DescribeContent({now.size, now.sha256}));
    }
  }
  std::string removed;
  for (const std::string &scratch : plan.scratch) removed += (removed.empty() ? "" : ", ") + scratch;
  const std::string why = plan.report ? "the files it recorded there were changed since"
                                      : "klia cannot read it: " + plan.unreadable.substr(0, plan.unreadable.find(';'));
  ConfirmDestruction(command + " leaves every file as it lies:\n" + stays + "and removes klia's record " + record +
                         ", the account by which klia puts back what it replaced (" + why + ")",
                     yes, "Forget?", "klia's record is kept: nothing was changed");
  install.Forget(plan);
  std::vector<std::string> there;
  for (const std::string &name : plan.there) {
    if (files.Inspect(name).exists()) there.push_back(name);
  }
  const std::string next = afterwards(there);
  Emit("removed klia's record " + record + "; every other file stays as it lies:\n" + stays +
           (removed.empty() ? "" : "(klia's scratch files went with it: " + removed + ")\n") + next + "\n",
       {{"folder", files.folder()},
        {"changed", true},
        {"forgotten", record},
        {"stays", there},
        {"removed", plan.scratch},
        {"by_hand", next}});
  return kExitOk;
}

int RunFolderChange(const std::string &command, const std::function<int()> &change) {
  const InterruptDeferral deferral;
  try {
    return change();
  } catch (const Interrupted &e) {
    const int signal = InterruptDeferral::Signal();
    // The message begins with "interrupted"; another signal than Ctrl-C is named after it.
    std::string what = e.what();
    if (what.rfind("interrupted", 0) == 0) what = InterruptedWords(signal) + what.substr(11);
    std::fflush(stdout);
    if (JsonOutput()) {
      PrintJsonError({{"error", {{"interrupted", what}}}});
    } else {
      std::fprintf(stderr, "klia: %s: %s\n", command.c_str(), what.c_str());
    }
    return signal != 0 ? ExitCodeForSignal(signal) : kExitInterrupted;
  }
}

}  // namespace klia

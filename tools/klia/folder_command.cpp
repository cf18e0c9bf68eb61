#include "folder_command.h"

#include <cstdio>
#include <optional>

#include "errors.h"
#include "folder_install.h"
#include "library_check.h"
#include "output.h"
#include "process.h"

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

void CheckFolderPrograms(const BinaryImage &candidate, const std::string &candidate_path, const FolderFiles &files) {
#ifdef _WIN32
  std::string programs;
  std::optional<BinaryImage> first;
  std::string first_name;
  for (const std::string &name : files.Names()) {
    if (name.size() < 4) continue;
    std::string ending = name.substr(name.size() - 4);
    for (char &c : ending) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (ending != ".exe") continue;
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
#else
  // A native program folder holds libraries; which program loads them is not to be told from it.
  (void)candidate;
  (void)candidate_path;
  (void)files;
#endif
}

std::string Pasteable(const std::string &path) {
  return path.find_first_of(" \t") == std::string::npos ? path : "\"" + path + "\"";
}

int RunFolderChange(const std::string &command, const std::function<int()> &change) {
  const InterruptDeferral deferral;
  try {
    return change();
  } catch (const Interrupted &e) {
    std::fflush(stdout);
    if (JsonOutput()) {
      PrintJsonError({{"error", {{"interrupted", e.what()}}}});
    } else {
      std::fprintf(stderr, "klia: %s: %s\n", command.c_str(), e.what());
    }
    return kExitInterrupted;
  }
}

}  // namespace klia

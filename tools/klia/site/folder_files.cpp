// The file steps in a program's folder: each names the file in the folder, tells BeforeChange
// of a change first, and leaves the step itself to the system (platform.h).
#include "site/folder_files.h"

namespace klia {

FolderFiles::FolderFiles(const std::string &folder) : folder_(AbsoluteFolderPath(folder)) {}

void FolderFiles::BeforeChange(std::string_view, const std::string &) {}

std::string FolderFiles::PathOf(const std::string &name) const { return PathInFolder(folder_, name); }

bool FolderFiles::FolderExists() const { return IsFolder(folder_); }

FileState FolderFiles::Inspect(const std::string &name) const { return InspectFileIn(folder_, PathOf(name)); }

std::string FolderFiles::Read(const std::string &name, size_t limit, bool start_only) const {
  return ReadFileIn(folder_, PathOf(name), limit, start_only);
}

std::vector<std::string> FolderFiles::Names() const { return NamesInFolder(folder_); }

std::string FolderFiles::Spelled(const std::string &name) const {
  for (const std::string &there : Names()) {
    if (SameFileName(there, name)) return there;
  }
  return name;
}

std::optional<FileAccess> FolderFiles::AccessOf(const std::string &name) const {
  return AccessOfFileIn(folder_, PathOf(name));
}

void FolderFiles::CheckAccessCanBeKept(const std::string &name) const {
  CheckAccessOfFileCanBeKept(folder_, PathOf(name));
}

void FolderFiles::Create(const std::string &name, std::string_view bytes, const FileAccess &access) {
  BeforeChange("create", name);
  CreateFileIn(folder_, PathOf(name), bytes, access, [&](std::string_view step) { BeforeChange(step, name); });
}

void FolderFiles::Keep(const std::string &name, const std::string &also) {
  KeepFileAs(folder_, PathOf(name), PathOf(also), [&](std::string_view step) { BeforeChange(step, also); });
}

void FolderFiles::Replace(const std::string &from, const std::string &to) {
  BeforeChange("rename", to);
  RenameReplacing(folder_, PathOf(from), PathOf(to));
}

void FolderFiles::Move(const std::string &from, const std::string &to) {
  BeforeChange("rename", to);
  RenameNotReplacing(folder_, PathOf(from), PathOf(to));
}

void FolderFiles::Remove(const std::string &name) {
  BeforeChange("remove", name);
  RemoveFileIn(folder_, PathOf(name));
}

void FolderFiles::SyncFolder() { SyncFolderNames(folder_); }

}  // namespace klia

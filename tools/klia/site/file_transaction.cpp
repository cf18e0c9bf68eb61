#include "site/file_transaction.h"

namespace klia {
namespace {

constexpr const char *kNew = ".klia-new";
constexpr const char *kPrevious = ".klia-previous";
constexpr const char *kRemoved = ".klia-removed";

}  // namespace

std::vector<std::string> FileTransaction::ScratchNames(const std::string &name) {
  return {name + kNew, name + kPrevious, name + kRemoved};
}

FileTransaction::~FileTransaction() {
  if (open_) Rollback();
}

void FileTransaction::PutInPlace(const std::string &name, const std::function<void(const std::string &)> &make) {
  const std::string fresh = name + kNew, previous = name + kPrevious;
  const bool replaces = files_.Inspect(name).exists();
  if (replaces) {
    files_.Keep(name, previous);
    undo_.push_back([this, previous] { files_.Remove(previous); });
    scratch_.push_back(previous);
  }
  make(fresh);
  undo_.push_back([this, fresh] { files_.Remove(fresh); });
  files_.Replace(fresh, name);
  if (replaces) {
    undo_.push_back([this, previous, name] { files_.Replace(previous, name); });
  } else {
    undo_.push_back([this, name] { files_.Remove(name); });
  }
}

void FileTransaction::Put(const std::string &name, std::string_view bytes, unsigned mode) {
  // Whoever could use the file at `name` can use the new one: it gets the replaced file's access.
  FileAccess access;
  access.mode = mode;
  if (const std::optional<FileAccess> replaced = files_.AccessOf(name)) access = *replaced;
  PutInPlace(name, [&](const std::string &fresh) { files_.Create(fresh, bytes, access); });
}

void FileTransaction::Link(const std::string &name, const std::string &also) {
  files_.Keep(name, also);
  undo_.push_back([this, also] { files_.Remove(also); });
}

void FileTransaction::MoveOver(const std::string &from, const std::string &to) {
  PutInPlace(to, [&](const std::string &fresh) { files_.Keep(from, fresh); });
  Drop(from);
}

void FileTransaction::Drop(const std::string &name) {
  const std::string removed = name + kRemoved;
  files_.Move(name, removed);
  undo_.push_back([this, removed, name] { files_.Move(removed, name); });
  scratch_.push_back(removed);
}

std::vector<FileStepFailure> FileTransaction::Commit() {
  open_ = false;
  std::vector<FileStepFailure> left;
  try {
    files_.SyncFolder();
  } catch (const FileStepFailure &e) {
    left.push_back(e);
  }
  for (const std::string &name : scratch_) {
    try {
      files_.Remove(name);
    } catch (const FileStepFailure &e) {
      left.push_back(e);
    }
  }
  undo_.clear();
  scratch_.clear();
  return left;
}

std::vector<std::string> FileTransaction::Rollback() {
  open_ = false;
  std::vector<std::string> left;
  for (auto undo = undo_.rbegin(); undo != undo_.rend(); ++undo) {
    try {
      (*undo)();
    } catch (const std::exception &e) {
      left.push_back(e.what());
    }
  }
  try {
    files_.SyncFolder();
  } catch (const std::exception &) {
  }
  undo_.clear();
  scratch_.clear();
  return left;
}

}  // namespace klia

// Several file changes in one folder that happen whole or not at all.
//
// Each step is done at once and leaves behind what undoes it: a file it replaces keeps a
// second name (NAME.klia-previous) until the end, a file it drops is first only renamed
// (NAME.klia-removed), a file it writes is written beside (NAME.klia-new) and renamed into
// place in one step. Rollback() undoes the steps done, newest first, and leaves the folder
// as it was; Commit() keeps the changes and removes the second names. A transaction that
// ends neither way (an exception) is rolled back by its destructor.
//
// The scratch names (ScratchNames) are klia's own: a klia killed between two steps leaves
// some of them, and whoever recovers the folder removes them.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "site/folder_files.h"

namespace klia {

class FileTransaction {
 public:
  explicit FileTransaction(FolderFiles &files) : files_(files) {}
  ~FileTransaction();
  FileTransaction(const FileTransaction &) = delete;
  FileTransaction &operator=(const FileTransaction &) = delete;

  // `name` holds `bytes` afterwards, put there in one step, whether or not a file was there;
  // with the access of the file it replaces, or (a new name) natively the permissions `mode`,
  // whatever the umask.
  void Put(const std::string &name, std::string_view bytes, unsigned mode);
  // The file `name` gets the second name `also`, which must not exist.
  void Link(const std::string &name, const std::string &also);
  // The file `from` takes the name `to` in one step (replacing a file there); `from` goes.
  void MoveOver(const std::string &from, const std::string &to);
  // `name` goes.
  void Drop(const std::string &name);

  // Keeps the changes, made durable, and removes the scratch files. Returns why scratch files
  // could not be removed (the changes stand all the same).
  std::vector<FileStepFailure> Commit();
  // Undoes every step done, newest first. Returns what could not be undone, in words; empty
  // when the folder is as it was.
  std::vector<std::string> Rollback();

  // The names a transaction on `name` may leave behind when it is killed between steps.
  static std::vector<std::string> ScratchNames(const std::string &name);

 private:
  // Puts at `name`, in one step, the file `make` makes under the name it is given (written
  // beside); a file at `name` keeps a second name until the end, for the undo.
  void PutInPlace(const std::string &name, const std::function<void(const std::string &)> &make);

  FolderFiles &files_;
  std::vector<std::function<void()>> undo_;  // newest last
  std::vector<std::string> scratch_;         // removed at Commit
  bool open_ = true;
};

}  // namespace klia

// The file steps klia takes in a program's folder, each on a plain name in that one folder:
// look at a file (kind, size, SHA-256), create one with given bytes (written beside, flushed
// to the disk before it is named), give a file a second name (a hard link, else a copy),
// rename in one step, remove. Nothing here follows a name out of the folder.
//
// Who may use a file (FileAccess) goes with it: a file created in place of another is given
// the other's owner, group and mode (on Windows its access control list) before it is named,
// and a second name is the same file, or a copy given the same; klia's umask plays no part.
//
// A step that fails throws FileStepFailure, which says what happened and what the person can
// do about it: a file in use (Windows refuses to replace a loaded DLL), a folder the user may
// not change, a full disk. A failed step leaves nothing of its own behind (a file being
// created is removed again).
//
// Each step is the system's own (platform.h, where FileStepFailure, FileState and FileAccess
// are too, with the steps on a path anywhere: AbsolutePath, ReadFileAt, KindAt...); a
// FolderFiles names the file in its folder and tells BeforeChange of each change first.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace klia {

class FolderFiles {
 public:
  // `folder` as given; it is made absolute.
  explicit FolderFiles(const std::string &folder);
  virtual ~FolderFiles() = default;
  FolderFiles(const FolderFiles &) = delete;
  FolderFiles &operator=(const FolderFiles &) = delete;

  const std::string &folder() const { return folder_; }
  // The full path of a name in the folder.
  std::string PathOf(const std::string &name) const;
  // True when the folder exists and is a folder.
  bool FolderExists() const;

  FileState Inspect(const std::string &name) const;
  // The bytes of a small file (a record, a settings file); throws FileStepFailure when it
  // cannot be read or is larger than `limit`. With `start_only` the first `limit` bytes of
  // a file of any size (the headers of a program).
  std::string Read(const std::string &name, size_t limit, bool start_only = false) const;
  // The names in the folder.
  std::vector<std::string> Names() const;
  // `name` as the folder spells it: Windows finds a file whatever the case of its name
  // (MVIAHLP.DLL for mviahlp.dll), and a file put back keeps its own spelling. Natively, and
  // where there is no such file, `name` itself.
  std::string Spelled(const std::string &name) const;

  // Who may use the file at `name` (natively that of the file a symbolic link leads to), or
  // nothing when there is no file.
  std::optional<FileAccess> AccessOf(const std::string &name) const;
  // Throws FileStepFailure (kOwner) when klia could not give a file it creates the access of
  // the file at `name` (natively: another owner, or a group klia's user is not in, without
  // root), saying who can.
  void CheckAccessCanBeKept(const std::string &name) const;

  // Creates `name`, which must not exist, holding `bytes`, on the disk before it returns,
  // with exactly `access`. On failure no `name` is left.
  void Create(const std::string &name, std::string_view bytes, const FileAccess &access);
  // Gives the file `name` the second name `also`, which must not exist: natively a hard link
  // where the file system has them, else (and always on Windows) a copy with the same bytes,
  // access and time. A symbolic link stays a link to the same place.
  void Keep(const std::string &name, const std::string &also);
  // Renames `from` to `to` in one step, replacing a file at `to`.
  void Replace(const std::string &from, const std::string &to);
  // Renames `from` to `to`, which must not exist.
  void Move(const std::string &from, const std::string &to);
  void Remove(const std::string &name);
  // Makes the folder's names as they are now durable (natively an fsync of the folder;
  // on Windows each rename is written through already).
  void SyncFolder();

 protected:
  // Called before each change, with the step ("create", "write", "link", "copy", "rename",
  // "remove") and the name it changes; a test makes a step fail here.
  virtual void BeforeChange(std::string_view step, const std::string &name);

 private:
  std::string folder_;
};

}  // namespace klia

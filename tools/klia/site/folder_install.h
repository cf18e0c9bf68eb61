// Files klia puts into a program's folder, with their record, and taking them out again.
//
// Placing: every name klia will use is checked first (a name it needs that is taken stops it
// before it changes anything, and so does a replaced file whose owner klia could not give the
// new one); then, in one file transaction, the record is written, each file
// that is replaced is kept under its recorded name, and each new file is put in place. A step
// that fails, or Ctrl-C, undoes the steps done: the folder is as it was.
//
// Taking out works from the record and the files as they are, so that it also finishes the
// work of a klia that was killed half-way: each recorded name must hold what klia put there
// (or an earlier file of the same record), the original, or nothing; anything else was
// changed since, and klia refuses, naming the file, before it changes anything. Then, again in
// one transaction, each original goes back to its name, each file klia added goes, and the
// record goes last.
//
// The states of a folder (FolderState):
//   kNone        no record (and none of klia's scratch files)
//   kInPlace     every recorded file holds what klia put there and every original is kept
//   kIncomplete  a klia ended between two steps: taking out finishes the folder
//   kTakenOut    every original is back, only the record is left: taking out removes it
//   kChanged     a recorded name holds something klia did not put there
// Scratch files (file_transaction.h) may be left besides in any of them by a klia that was
// killed; they are listed and removed by the next change.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "shell/errors.h"
#include "site/file_transaction.h"
#include "site/folder_files.h"
#include "site/install_manifest.h"

namespace klia {

// Ctrl-C came during the change, which was undone.
class Interrupted : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct FileToPlace {
  std::string name;
  std::string bytes;
  unsigned mode = 0644;  // for a new name; a file put in place of another gets the other's access
  std::string keep_as;  // the name the file now at `name` is kept under; empty: no file may be there
  std::string source, version;
};

enum class FolderState { kNone, kInPlace, kIncomplete, kTakenOut, kChanged };

// What a recorded name holds now.
enum class Holding { kPlaced, kPlacedEarlier, kOriginal, kNothing, kChanged };

struct FileReport {
  PlacedFile record;
  FileState now;
  Holding holding = Holding::kNothing;
  FileState kept;             // the kept original's name, now
  bool kept_intact = false;   // it holds the original
};

struct FolderReport {
  FolderState state = FolderState::kNone;
  std::optional<InstallManifest> manifest;
  std::vector<FileReport> files;
  std::vector<std::string> scratch;  // klia's scratch files present
  std::vector<std::string> strays;   // names klia uses that are there without a record
};

class FolderInstall {
 public:
  // `record_name`: klia-swap.json or klia-spy.json; `kind`: "swap" or "spy"; `commands`
  // name the person's next step in messages ("klia swap --status DIR", "klia swap --undo
  // DIR", "klia swap --forget DIR"); `stop` says whether Ctrl-C came (checked between steps).
  struct Commands {
    std::string status, take_out, forget;
  };
  FolderInstall(FolderFiles &files, std::string record_name, std::string kind, Commands commands,
                std::function<bool()> stop);

  const std::string &record_name() const { return record_name_; }

  // The record and the files as they are. `watched` are names klia would use (kept originals,
  // the files it places), looked for when there is no record. Throws Failure ("record") when
  // the record cannot be read.
  FolderReport Report(const std::vector<std::string> &watched = {}) const;

  // Puts the files in place with a new record holding `details`. Throws Failure naming the
  // cause and the cure, or Interrupted; the folder is then as it was.
  void Place(const std::vector<FileToPlace> &files, const std::map<std::string, std::string> &details);
  // Puts new files at the names of the record in place (each must hold what klia put there),
  // the originals staying kept.
  void Renew(const FolderReport &report, const std::vector<FileToPlace> &files);
  // Puts every original back, removes what the record added and, last, the record. Throws
  // Failure or Interrupted: the folder unchanged, or (a failure after the files were back)
  // only the record and scratch files left, which the next TakeOut removes. Without a record
  // it removes the scratch files of a record a killed klia did not put in place.
  void TakeOut(const FolderReport &report);

  // Forgetting is the way out of a folder klia cannot take its files out of: a recorded file
  // was changed since, or the record cannot be read. Only the record goes (with klia's scratch
  // files, never the only copy of anything); every other file stays as it lies, the originals
  // klia kept included, and becomes the site's to look after.
  struct ForgetPlan {
    std::optional<FolderReport> report;        // none: the record cannot be read
    std::string unreadable;                    // why, when it cannot
    std::vector<std::string> there;            // the names klia uses that are there: they stay
    std::vector<std::string> scratch;          // klia's scratch files: they go with the record
    bool record = false;                       // there is a record to forget
  };
  // `names`: every name klia uses in the folder. Throws Failure ("can_take_out") when the
  // record is sound and its files are as klia can take out: forgetting would throw away what
  // puts the originals back, so klia names the command that does instead.
  ForgetPlan PlanForget(const std::vector<std::string> &names) const;
  // Removes the scratch files and, last, the record. Throws Failure or Interrupted.
  void Forget(const ForgetPlan &plan);

 private:
  // Refuses (Failure "occupied") when `name` is there: klia never writes over a file it
  // cannot account for. `role` says what klia would use the name for.
  void CheckFree(const std::string &name, const std::string &role) const;
  // Refuses (Failure "owner") when klia could not give the file it puts in place of `name`
  // the access of the one there.
  void CheckAccessCanBeKept(const std::string &name) const;
  // Throws Interrupted when Ctrl-C came.
  void CheckStop() const;
  // Runs `steps` as one transaction: committed, or undone on a failure or Ctrl-C. Returns
  // why the commit could not remove scratch files.
  std::vector<FileStepFailure> Run(const std::function<void(FileTransaction &)> &steps);
  // Removes the scratch files listed in `report` (klia's own, never the only copy of anything).
  void RemoveScratch(const FolderReport &report);

  FolderFiles &files_;
  std::string record_name_, kind_;
  Commands commands_;
  std::function<bool()> stop_;
};

// A recorded file as the person reads it: "the original (N bytes, sha256 ...)".
std::string DescribeContent(const Content &content);

}  // namespace klia

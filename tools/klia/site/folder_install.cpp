#include "site/folder_install.h"

#include <algorithm>
#include <utility>

#include "mviahlp.h"
#include "shell/output.h"
#include "platform/platform.h"

namespace klia {
namespace {

constexpr size_t kRecordLimit = 1 << 20;

bool Holds(const FileState &now, const Content &content, const std::string &link = "") {
  if (!link.empty()) return now.kind == FileState::Kind::kLink && now.link_target == link && now.sha256 == content.sha256;
  return now.kind == FileState::Kind::kFile && now.size == content.size && now.sha256 == content.sha256;
}

Content ContentOf(const FileState &state) { return {state.size, state.sha256}; }

std::string Join(const std::vector<std::string> &items, const char *separator) {
  std::string text;
  for (const std::string &item : items) text += (text.empty() ? "" : separator) + item;
  return text;
}

}  // namespace

std::string DescribeContent(const Content &content) {
  return std::to_string(content.size) + " bytes, SHA-256 " + content.sha256.substr(0, 16) + "...";
}

FolderInstall::FolderInstall(FolderFiles &files, std::string record_name, std::string kind, Commands commands,
                             std::function<bool()> stop)
    : files_(files),
      record_name_(std::move(record_name)),
      kind_(std::move(kind)),
      commands_(std::move(commands)),
      stop_(std::move(stop)) {}

FolderReport FolderInstall::Report(const std::vector<std::string> &watched) const {
  FolderReport report;
  auto note_scratch = [&](const std::string &name) {
    for (const std::string &scratch : FileTransaction::ScratchNames(name)) {
      if (files_.Inspect(scratch).exists() &&
          std::find(report.scratch.begin(), report.scratch.end(), scratch) == report.scratch.end()) {
        report.scratch.push_back(scratch);
      }
    }
  };
  note_scratch(record_name_);
  const FileState record = files_.Inspect(record_name_);
  if (!record.exists()) {
    // Without a record only the record's own scratch files can be klia's (the record is put
    // in place before anything else and removed after everything else).
    for (const std::string &name : watched) {
      std::vector<std::string> names = FileTransaction::ScratchNames(name);
      names.insert(names.begin(), name);
      for (const std::string &candidate : names) {
        if (files_.Inspect(candidate).exists()) report.strays.push_back(candidate);
      }
    }
    return report;
  }
  const std::string path = files_.PathOf(record_name_);
  const std::string cure = "; klia changes nothing in " + files_.folder() +
                           " while it cannot read its record: put the record back as klia wrote it, or let klia drop "
                           "it, every other file staying as it lies, with '" + commands_.forget +
                           "' (it says what stays and asks first)";
  if (record.kind != FileState::Kind::kFile) throw Failure("record", path + " is not a plain file" + cure);
  InstallManifest manifest;
  try {
    manifest = DecodeManifest(files_.Read(record_name_, kRecordLimit), path);
  } catch (const ManifestError &e) {
    throw Failure("record", e.what() + cure);
  } catch (const FileStepFailure &e) {
    throw Failure("record", e.what() + cure);
  }
  if (manifest.kind != kind_) {
    throw Failure("record", path + " is a record of a klia " + manifest.kind + ", not of a klia " + kind_ + cure);
  }

  bool all_placed = true, all_back = true, changed = false;
  for (const PlacedFile &file : manifest.files) {
    FileReport entry;
    entry.record = file;
    entry.now = files_.Inspect(file.name);
    const bool earlier = std::any_of(file.earlier.begin(), file.earlier.end(),
                                     [&](const Content &content) { return Holds(entry.now, content); });
    if (Holds(entry.now, file.installed)) {
      entry.holding = Holding::kPlaced;
    } else if (earlier) {
      entry.holding = Holding::kPlacedEarlier;
    } else if (file.original && Holds(entry.now, file.original->content, file.original->link)) {
      entry.holding = Holding::kOriginal;
    } else if (!entry.now.exists()) {
      entry.holding = Holding::kNothing;
    } else {
      entry.holding = Holding::kChanged;
    }
    const bool placed = entry.holding == Holding::kPlaced || entry.holding == Holding::kPlacedEarlier;
    const bool back = entry.holding == Holding::kOriginal || (entry.holding == Holding::kNothing && !file.original);
    if (file.original) {
      entry.kept = files_.Inspect(file.original->kept_as);
      entry.kept_intact = Holds(entry.kept, file.original->content, file.original->link);
      note_scratch(file.original->kept_as);
      // The original must be somewhere: at its name, or kept.
      if (entry.kept.exists() ? !entry.kept_intact : entry.holding != Holding::kOriginal) changed = true;
      if (entry.kept.exists()) all_back = false;
    }
    note_scratch(file.name);
    changed = changed || entry.holding == Holding::kChanged;
    all_placed = all_placed && placed && (!file.original || entry.kept_intact);
    all_back = all_back && back;
    report.files.push_back(entry);
  }
  report.manifest = manifest;
  // Scratch files hold no file's only copy: they are listed, and the next change removes them.
  if (changed) {
    report.state = FolderState::kChanged;
  } else if (all_placed) {
    report.state = FolderState::kInPlace;
  } else if (all_back) {
    report.state = FolderState::kTakenOut;
  } else {
    report.state = FolderState::kIncomplete;
  }
  return report;
}

FolderInstall::ForgetPlan FolderInstall::PlanForget(const std::vector<std::string> &names) const {
  ForgetPlan plan;
  try {
    plan.report = Report();
  } catch (const Failure &e) {
    if (e.kind() != "record") throw;
    plan.unreadable = e.what();
  }
  plan.record = !plan.report || plan.report->manifest;
  if (plan.report && plan.report->manifest && plan.report->state != FolderState::kChanged) {
    throw Failure("can_take_out", "klia can still take its files out of " + files_.folder() +
                                      ", putting back every file it replaced: run '" + commands_.take_out +
                                      "' (forgetting is for a folder whose files were changed since klia put them "
                                      "there, or whose record klia cannot read)");
  }
  auto add_scratch = [&](const std::string &name) {
    for (const std::string &scratch : FileTransaction::ScratchNames(name)) {
      if (files_.Inspect(scratch).exists() &&
          std::find(plan.scratch.begin(), plan.scratch.end(), scratch) == plan.scratch.end()) {
        plan.scratch.push_back(scratch);
      }
    }
  };
  add_scratch(record_name_);
  for (const std::string &name : names) {
    if (files_.Inspect(name).exists()) plan.there.push_back(name);
    // Without a record only the record's own scratch files can be klia's (see Report).
    if (plan.record) add_scratch(name);
  }
  return plan;
}

void FolderInstall::Forget(const ForgetPlan &plan) {
  CheckStop();
  for (const std::string &scratch : plan.scratch) {
    try {
      files_.Remove(scratch);
    } catch (const FileStepFailure &e) {
      throw Failure(e.kind(), std::string(e.what()) + " (a scratch file of klia's); klia's record is kept");
    }
  }
  if (!plan.record) return;
  try {
    files_.Remove(record_name_);
    files_.SyncFolder();
  } catch (const FileStepFailure &e) {
    throw Failure(e.kind(), "klia's record " + files_.PathOf(record_name_) + " is left: " + e.what());
  }
}

void FolderInstall::CheckFree(const std::string &name, const std::string &role) const {
  if (!files_.Inspect(name).exists()) return;
  throw Failure("occupied", files_.PathOf(name) + " is there already, and klia " + role +
                                ": klia never writes over a file it cannot account for. Look at it, move it away, "
                                "then run klia again");
}

void FolderInstall::CheckAccessCanBeKept(const std::string &name) const {
  try {
    files_.CheckAccessCanBeKept(name);
  } catch (const FileStepFailure &e) {
    throw Failure(e.kind(), std::string(e.what()) + ". Nothing was changed: " + files_.folder() + " is as it was");
  }
}

void FolderInstall::CheckStop() const {
  if (stop_ && stop_()) throw Interrupted("interrupted");
}

void FolderInstall::RemoveScratch(const FolderReport &report) {
  for (const std::string &scratch : report.scratch) {
    try {
      files_.Remove(scratch);
    } catch (const FileStepFailure &e) {
      throw Failure(e.kind(), std::string(e.what()) + " (a scratch file of klia's). Nothing else was changed");
    }
  }
}

std::vector<FileStepFailure> FolderInstall::Run(const std::function<void(FileTransaction &)> &steps) {
  FileTransaction transaction(files_);
  try {
    CheckStop();  // Ctrl-C while klia was still checking: nothing is begun
    steps(transaction);
    CheckStop();
  } catch (const Interrupted &) {
    const std::vector<std::string> left = transaction.Rollback();
    throw Interrupted(left.empty() ? "interrupted: nothing was changed, " + files_.folder() + " is as it was"
                                   : "interrupted, and klia could not undo everything: " + Join(left, "; ") +
                                         " (see '" + commands_.status + "')");
  } catch (const FileStepFailure &e) {
    const std::vector<std::string> left = transaction.Rollback();
    throw Failure(e.kind(), std::string(e.what()) +
                                (left.empty() ? ". Nothing was changed: " + files_.folder() + " is as it was"
                                              : ". klia could not undo everything: " + Join(left, "; ") + " (see '" +
                                                    commands_.status + "')"));
  }
  return transaction.Commit();
}

void FolderInstall::Place(const std::vector<FileToPlace> &files, const std::map<std::string, std::string> &details) {
  const std::string record_role = "keeps its record of the files it puts into this folder under this name";
  CheckFree(record_name_, record_role);
  InstallManifest manifest;
  manifest.kind = kind_;
  manifest.time = UtcNow();
  manifest.klia_version = MVIAHLP_VERSION_STRING;
  manifest.details = details;
  auto check_scratch = [&](const std::string &name) {
    for (const std::string &scratch : FileTransaction::ScratchNames(name)) {
      CheckFree(scratch, "uses this name for a moment while it changes " + name);
    }
  };
  // The scratch files of a record a killed klia did not put in place: nothing else was changed.
  FolderReport leftovers;
  for (const std::string &scratch : FileTransaction::ScratchNames(record_name_)) {
    if (files_.Inspect(scratch).exists()) leftovers.scratch.push_back(scratch);
  }
  for (const FileToPlace &file : files) {
    const FileState now = files_.Inspect(file.name);
    PlacedFile placed;
    placed.name = file.name;
    placed.installed = {file.bytes.size(), Sha256Hex(file.bytes)};
    placed.source = file.source;
    placed.version = file.version;
    if (file.keep_as.empty()) {
      CheckFree(file.name, "adds it only where there is none");
    } else {
      if (now.kind == FileState::Kind::kAbsent || now.kind == FileState::Kind::kOther || now.sha256.empty()) {
        throw Failure("missing", files_.PathOf(file.name) + (now.exists() ? " is not a file klia can keep" : " is not there") +
                                     ": klia replaces only a file that is there");
      }
      CheckFree(file.keep_as, "keeps the original " + file.name + " under this name");
      CheckAccessCanBeKept(file.name);
      placed.original = KeptOriginal{file.keep_as, ContentOf(now),
                                     now.kind == FileState::Kind::kLink ? now.link_target : std::string()};
      check_scratch(file.keep_as);
    }
    check_scratch(file.name);
    manifest.files.push_back(placed);
  }
  RemoveScratch(leftovers);
  const std::vector<FileStepFailure> left = Run([&](FileTransaction &transaction) {
    transaction.Put(record_name_, EncodeManifest(manifest), 0644);
    for (const FileToPlace &file : files) {
      CheckStop();
      if (!file.keep_as.empty()) transaction.Link(file.name, file.keep_as);
      CheckStop();
      transaction.Put(file.name, file.bytes, file.mode);
    }
  });
  for (const FileStepFailure &problem : left) {
    Notice(std::string(problem.what()) + " (a scratch file of klia's: '" + commands_.status + "' lists it)");
  }
}

void FolderInstall::Renew(const FolderReport &report, const std::vector<FileToPlace> &files) {
  if (report.state != FolderState::kInPlace || !report.manifest) {
    throw Failure("changed", "the files klia put into " + files_.folder() + " are not as it left them (see '" +
                                 commands_.status + "')");
  }
  InstallManifest manifest = *report.manifest;
  for (const FileToPlace &file : files) {
    for (PlacedFile &placed : manifest.files) {
      if (placed.name != file.name) continue;
      const Content fresh{file.bytes.size(), Sha256Hex(file.bytes)};
      if (std::find(placed.earlier.begin(), placed.earlier.end(), placed.installed) == placed.earlier.end()) {
        placed.earlier.push_back(placed.installed);
      }
      placed.earlier.erase(std::remove(placed.earlier.begin(), placed.earlier.end(), fresh), placed.earlier.end());
      placed.installed = fresh;
      placed.source = file.source;
      placed.version = file.version;
    }
  }
  manifest.time = UtcNow();
  manifest.klia_version = MVIAHLP_VERSION_STRING;
  CheckAccessCanBeKept(record_name_);
  for (const FileToPlace &file : files) CheckAccessCanBeKept(file.name);
  RemoveScratch(report);
  const std::vector<FileStepFailure> left = Run([&](FileTransaction &transaction) {
    transaction.Put(record_name_, EncodeManifest(manifest), 0644);
    for (const FileToPlace &file : files) {
      CheckStop();
      transaction.Put(file.name, file.bytes, file.mode);
    }
  });
  for (const FileStepFailure &problem : left) {
    Notice(std::string(problem.what()) + " (a scratch file of klia's: '" + commands_.status + "' lists it)");
  }
}

void FolderInstall::TakeOut(const FolderReport &report) {
  if (!report.strays.empty()) {
    throw Failure("record", files_.PathOf(report.strays.front()) + " is there, but klia's record " +
                                files_.PathOf(record_name_) +
                                " is not: klia cannot account for it and changes nothing. Look at it; the README's "
                                "appendix says how the files are put back by hand");
  }
  if (report.state == FolderState::kChanged) {
    std::string what;
    for (const FileReport &file : report.files) {
      const std::string path = files_.PathOf(file.record.name);
      if (file.holding == Holding::kChanged) {
        what += "; " + path + " is not what klia put there (" + DescribeContent(ContentOf(file.now)) + ", klia put " +
                DescribeContent(file.record.installed) + ")";
      }
      if (file.record.original && (file.kept.exists() ? !file.kept_intact : file.holding != Holding::kOriginal)) {
        what += "; the original klia kept, " + files_.PathOf(file.record.original->kept_as) +
                (file.kept.exists() ? ", was changed since" : ", is gone");
      }
    }
    throw Failure("changed",
                  "klia changes nothing in " + files_.folder() + ": the files it recorded there were changed since" +
                      what +
                      ". Someone (an update, a person) put other files there; klia will not overwrite them. Put the "
                      "files back as klia left them (" + files_.PathOf(record_name_) +
                      " lists what klia put there and what it kept) and run klia again, or keep the folder as it is "
                      "and let klia drop its record with '" + commands_.forget +
                      "' (it says what stays, the original it kept included, and asks first)");
  }
  // Scratch files of a klia that was killed between two steps: klia's own, and never the only
  // copy of anything (the transaction keeps each file under a recorded name at every step).
  RemoveScratch(report);
  if (!report.manifest) return;
  const std::vector<FileStepFailure> left = Run([&](FileTransaction &transaction) {
    for (const FileReport &file : report.files) {
      CheckStop();
      if (file.record.original) {
        if (file.holding != Holding::kOriginal) {
          transaction.MoveOver(file.record.original->kept_as, file.record.name);
        } else if (file.kept.exists()) {
          transaction.Drop(file.record.original->kept_as);
        }
      } else if (file.now.exists()) {
        transaction.Drop(file.record.name);
      }
    }
  });
  // The record goes last, once nothing else of klia's is left: until then it is the account
  // by which the next klia finishes the work.
  const std::string finish = "; to finish, run '" + commands_.take_out + "' again";
  if (!left.empty()) {
    std::vector<std::string> problems;
    for (const FileStepFailure &problem : left) problems.push_back(problem.what());
    throw Failure(left.front().kind(), "the files are back as they were, but klia could not remove its scratch files: " +
                                           Join(problems, "; ") + finish);
  }
  try {
    files_.Remove(record_name_);
    files_.SyncFolder();
  } catch (const FileStepFailure &e) {
    throw Failure(e.kind(), "the files are back as they were, but klia's record " + files_.PathOf(record_name_) +
                                " is left: " + e.what() + finish);
  }
}

}  // namespace klia

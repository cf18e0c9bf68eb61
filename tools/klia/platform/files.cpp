// What the file steps of every system share: the words of a failure.
#include "platform/platform.h"

namespace klia {

const char *FileStepFailure::kind() const {
  switch (cause_) {
    case Cause::kInUse: return "in_use";
    case Cause::kPermission: return "permission";
    case Cause::kDiskFull: return "disk_full";
    case Cause::kOwner: return "owner";
    case Cause::kOther: break;
  }
  return "file";
}

std::string FileStepFailure::DiskFullCure(const std::string &folder) {
  return "the disk holding " + folder + " is full: free some space, then run klia again";
}

FileStepFailure FileStepFailure::TooLarge(const std::string &path, size_t limit) {
  return FileStepFailure(FileStepFailure::Cause::kOther,
                         path + " is larger than klia reads (" + std::to_string(limit) + " bytes at most)");
}

}  // namespace klia

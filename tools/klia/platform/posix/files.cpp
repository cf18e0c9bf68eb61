// The file steps on POSIX systems: each through the file's descriptor where there is one, a file
// created in place of another given its owner, group and mode before a byte is in it, flushed
// before it is named, and renamed in one step.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>  // renameat2
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/platform.h"

namespace klia {
namespace {

constexpr size_t kChunk = 64 * 1024;

FileStepFailure Failed(int error, const std::string &doing, const std::string &folder) {
  using Cause = FileStepFailure::Cause;
  Cause cause = Cause::kOther;
  std::string cure;
  switch (error) {
    case EACCES:
    case EPERM:
      cause = Cause::kPermission;
      cure = "you may not change " + folder + ": run klia as a user who may (for example with sudo), or make the folder "
             "writable";
      break;
    case EROFS:
      cause = Cause::kPermission;
      cure = "the file system holding " + folder + " is mounted read-only";
      break;
    case ENOSPC:
    case EDQUOT:
      cause = Cause::kDiskFull;
      cure = FileStepFailure::DiskFullCure(folder);
      break;
    case ETXTBSY:
    case EBUSY:
      cause = Cause::kInUse;
      cure = "the file is in use: close the programs that use it, then run klia again";
      break;
    default:
      break;
  }
  return FileStepFailure(cause, "cannot " + doing + ": " + std::strerror(error) + (cure.empty() ? "" : "; " + cure));
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Close() {
    const int result = close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

// Reads the whole of `fd`, handing each piece to `take`.
template <typename Take>
void ReadAll(int fd, const std::string &path, const std::string &folder, Take take) {
  std::vector<char> buffer(kChunk);
  for (;;) {
    const ssize_t got = read(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw Failed(errno, "read " + path, folder);
    if (got == 0) return;
    take(buffer.data(), static_cast<size_t>(got));
  }
}

void WriteAll(int fd, std::string_view bytes, const std::string &path, const std::string &folder) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0) throw Failed(errno, "write " + path, folder);
    if (wrote == 0) throw Failed(ENOSPC, "write " + path, folder);
    done += static_cast<size_t>(wrote);
  }
}

// Flushes and closes a file just written; on failure the file is removed again.
void Finish(Descriptor &file, const std::string &path, const std::string &folder) {
  if (fsync(file.get()) != 0) throw Failed(errno, "write " + path + " to the disk", folder);
  if (file.Close() != 0) throw Failed(errno, "write " + path, folder);
}

// "user NAME" ("user N" for a user without a name), for messages.
std::string UserName(uid_t user) {
  const struct passwd *entry = getpwuid(user);
  return entry != nullptr ? "user " + std::string(entry->pw_name) : "user " + std::to_string(user);
}

std::string GroupName(gid_t group) {
  const struct group *entry = getgrgid(group);
  return entry != nullptr ? "group " + std::string(entry->gr_name) : "group " + std::to_string(group);
}

bool InGroup(gid_t group) {
  if (group == getegid()) return true;
  const int count = getgroups(0, nullptr);
  std::vector<gid_t> groups(count > 0 ? static_cast<size_t>(count) : 0);
  if (count > 0 && getgroups(count, groups.data()) == count) {
    for (const gid_t member : groups) {
      if (member == group) return true;
    }
  }
  return false;
}

FileStepFailure OwnerRefused(const std::string &path, const std::string &reason) {
  return FileStepFailure(FileStepFailure::Cause::kOwner,
                         "cannot keep the owner and group of " + path + " for the file klia puts in its place: " +
                             reason + " (a program run as that owner or group might not load a file of klia's own); "
                             "run klia as root (for example with sudo) or as the owner of " + path);
}

// Gives the open file `fd` exactly `access`: the owner and group first, since a change of owner
// clears the set-user-ID and set-group-ID bits, then the mode, which the umask then no longer
// touches.
void GiveAccess(int fd, const FileAccess &access, const std::string &path, const std::string &folder) {
  struct stat info {};
  if (fstat(fd, &info) != 0) throw Failed(errno, "look at " + path, folder);
  const uid_t owner = access.owner.value_or(info.st_uid);
  const gid_t group = access.group.value_or(info.st_gid);
  if ((owner != info.st_uid || group != info.st_gid) && fchown(fd, owner, group) != 0) {
    if (errno == EPERM) throw OwnerRefused(path, "the system refused (" + std::string(std::strerror(errno)) + ")");
    throw Failed(errno, "give " + path + " its owner and group", folder);
  }
  if (fchmod(fd, static_cast<mode_t>(access.mode)) != 0) throw Failed(errno, "set the permissions of " + path, folder);
}

std::string ReadOpened(int fd, const std::string &path, const std::string &folder, size_t limit, bool start_only) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    throw FileStepFailure(FileStepFailure::Cause::kOther, path + " is not a plain file");
  }
  std::string text;
  std::vector<char> buffer(kChunk);
  for (;;) {
    const ssize_t got = read(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw Failed(errno, "read " + path, folder);
    if (got == 0) return text;
    text.append(buffer.data(), static_cast<size_t>(got));
    if (text.size() > limit) {
      if (start_only) return text.substr(0, limit);
      throw FileStepFailure::TooLarge(path, limit);
    }
  }
}

}  // namespace

std::string AbsolutePath(const std::string &path) {
  std::error_code ignored;
  return std::filesystem::absolute(path, ignored).lexically_normal().string();
}

std::string AbsoluteFolderPath(const std::string &folder) {
  std::string path = AbsolutePath(folder);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string PathInFolder(const std::string &folder, const std::string &name) {
  return folder + (folder.back() == '/' ? "" : "/") + name;
}

bool IsFolder(const std::string &path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::vector<std::string> NamesInFolder(const std::string &folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto &entry : std::filesystem::directory_iterator(folder, error)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

std::optional<uint64_t> FileSizeAt(const std::string &path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return static_cast<uint64_t>(info.st_size);
}

std::string ReadFileAt(const std::string &path, size_t limit) {
  Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file.valid()) throw Failed(errno, "read " + path, path);
  return ReadOpened(file.get(), path, path, limit, false);
}

FileState::Kind KindAt(const std::string &path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return FileState::Kind::kAbsent;
  if (S_ISLNK(info.st_mode)) return FileState::Kind::kLink;
  return S_ISREG(info.st_mode) ? FileState::Kind::kFile : FileState::Kind::kOther;
}

bool SamePlace(const std::string &a, const std::string &b) {
  std::error_code error;
  return std::filesystem::equivalent(a, b, error);
}

std::optional<std::string> SoleWriterOnKliasSide(const std::string &path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return std::nullopt;
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 || (info.st_uid != geteuid() && info.st_uid != 0)) return std::nullopt;
  return UserName(info.st_uid);
}

FileState InspectFileIn(const std::string &folder, const std::string &path) {
  FileState state;
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return state;
    throw Failed(errno, "look at " + path, folder);
  }
  int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
  if (S_ISLNK(info.st_mode)) {
    state.kind = FileState::Kind::kLink;
    std::vector<char> target(4096);
    const ssize_t length = readlink(path.c_str(), target.data(), target.size());
    if (length < 0) throw Failed(errno, "read the link " + path, folder);
    state.link_target.assign(target.data(), static_cast<size_t>(length));
  } else if (S_ISREG(info.st_mode)) {
    state.kind = FileState::Kind::kFile;
    flags |= O_NOFOLLOW;
  } else {
    state.kind = FileState::Kind::kOther;
    return state;
  }
  Descriptor file(open(path.c_str(), flags));
  struct stat opened {};
  if (!file.valid() || fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
    if (state.kind == FileState::Kind::kLink) return state;  // a link that leads to no file
    throw Failed(file.valid() ? EINVAL : errno, "read " + path, folder);
  }
  state.mode = opened.st_mode & 07777;
  Sha256 hash;
  ReadAll(file.get(), path, folder, [&](const char *bytes, size_t count) {
    hash.Update(bytes, count);
    state.size += count;
  });
  state.sha256 = Sha256Hex(hash.Finish());
  return state;
}

std::string ReadFileIn(const std::string &folder, const std::string &path, size_t limit, bool start_only) {
  Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!file.valid()) throw Failed(errno, "read " + path, folder);
  return ReadOpened(file.get(), path, folder, limit, start_only);
}

std::optional<FileAccess> AccessOfFileIn(const std::string &folder, const std::string &path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return std::nullopt;  // nothing there, or a link that leads to nothing
    throw Failed(errno, "look at " + path, folder);
  }
  FileAccess access;
  access.mode = info.st_mode & 07777;
  access.owner = info.st_uid;
  access.group = info.st_gid;
  return access;
}

void CheckAccessOfFileCanBeKept(const std::string &folder, const std::string &path) {
  const std::optional<FileAccess> access = AccessOfFileIn(folder, path);
  if (!access || geteuid() == 0) return;
  std::string reason;
  if (access->owner && *access->owner != geteuid()) {
    reason = "it belongs to " + UserName(*access->owner) + ", and klia runs as " + UserName(geteuid());
  } else if (access->group && !InGroup(*access->group)) {
    reason = "its group is " + GroupName(*access->group) + ", and klia runs as " + UserName(geteuid()) +
             ", who is not in it";
  } else {
    return;
  }
  // A folder this user may not change at all is the first thing to say.
  if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0 && (errno == EACCES || errno == EROFS)) {
    throw Failed(errno, "change " + folder, folder);
  }
  throw OwnerRefused(path, reason);
}

void CreateFileIn(const std::string &folder, const std::string &path, std::string_view bytes, const FileAccess &access,
                  const FileStepHook &before) {
  // Its owner's alone until it has its access, which it gets before a byte is in it.
  Descriptor file(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!file.valid()) throw Failed(errno, "create " + path, folder);
  try {
    before("write");
    GiveAccess(file.get(), access, path, folder);
    WriteAll(file.get(), bytes, path, folder);
    Finish(file, path, folder);
  } catch (...) {
    unlink(path.c_str());
    throw;
  }
}

void KeepFileAs(const std::string &folder, const std::string &from, const std::string &to, const FileStepHook &before) {
  before("link");
  // linkat without AT_SYMLINK_FOLLOW names a symbolic link itself, not the file it leads to.
  if (linkat(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), 0) == 0) return;
  const int error = errno;
  if (error != EPERM && error != EXDEV && error != EMLINK && error != ENOTSUP && error != EOPNOTSUPP &&
      error != ENOSYS) {
    throw Failed(error, "link " + from + " as " + to, folder);
  }
  // A file system without hard links: a copy with the same bytes, permissions and time.
  before("copy");
  struct stat info {};
  if (lstat(from.c_str(), &info) != 0) throw Failed(errno, "look at " + from, folder);
  if (S_ISLNK(info.st_mode)) {
    std::vector<char> target(4096);
    const ssize_t length = readlink(from.c_str(), target.data(), target.size() - 1);
    if (length < 0) throw Failed(errno, "read the link " + from, folder);
    target[static_cast<size_t>(length)] = '\0';
    if (symlink(target.data(), to.c_str()) != 0) throw Failed(errno, "link " + to + " to " + target.data(), folder);
    return;
  }
  Descriptor source(open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!source.valid()) throw Failed(errno, "read " + from, folder);
  Descriptor copy(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!copy.valid()) throw Failed(errno, "create " + to, folder);
  try {
    FileAccess access;
    access.mode = info.st_mode & 07777;
    access.owner = info.st_uid;
    access.group = info.st_gid;
    GiveAccess(copy.get(), access, to, folder);
    ReadAll(source.get(), from, folder, [&](const char *bytes, size_t count) {
      WriteAll(copy.get(), std::string_view(bytes, count), to, folder);
    });
    const struct timespec times[2] = {info.st_atim, info.st_mtim};
    futimens(copy.get(), times);
    Finish(copy, to, folder);
  } catch (...) {
    unlink(to.c_str());
    throw;
  }
}

void RenameReplacing(const std::string &folder, const std::string &from, const std::string &to) {
  if (rename(from.c_str(), to.c_str()) != 0) throw Failed(errno, "put " + from + " in place of " + to, folder);
}

void RenameNotReplacing(const std::string &folder, const std::string &from, const std::string &to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
  if (errno != EINVAL && errno != ENOSYS) throw Failed(errno, "rename " + from + " to " + to, folder);
  // A file system that cannot refuse to replace in the rename itself.
  struct stat info {};
  if (lstat(to.c_str(), &info) == 0) throw Failed(EEXIST, "rename " + from + " to " + to, folder);
  if (rename(from.c_str(), to.c_str()) != 0) throw Failed(errno, "rename " + from + " to " + to, folder);
}

void RemoveFileIn(const std::string &folder, const std::string &path) {
  if (unlink(path.c_str()) != 0 && errno != ENOENT) throw Failed(errno, "remove " + path, folder);
}

void SyncFolderNames(const std::string &folder) {
  Descriptor opened(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!opened.valid()) throw Failed(errno, "open the folder " + folder, folder);
  // Some file systems cannot flush a folder (EINVAL); their renames are as durable as they get.
  if (fsync(opened.get()) != 0 && errno != EINVAL && errno != EROFS) {
    throw Failed(errno, "write the folder " + folder + " to the disk", folder);
  }
}

}  // namespace klia

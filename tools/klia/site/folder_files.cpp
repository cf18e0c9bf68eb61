#include "site/folder_files.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h: the access control lists of files.
#include <aclapi.h>
#include <sddl.h>

#include "platform/windows/wide_text.h"
#else
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>  // renameat2
#endif

#include "platform/sha256.h"

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

namespace {

constexpr size_t kChunk = 64 * 1024;

std::string DiskFullCure(const std::string &folder) {
  return "the disk holding " + folder + " is full: free some space, then run klia again";
}

FileStepFailure TooLarge(const std::string &path, size_t limit) {
  return FileStepFailure(FileStepFailure::Cause::kOther,
                         path + " is larger than klia reads (" + std::to_string(limit) + " bytes at most)");
}

}  // namespace

void FolderFiles::BeforeChange(std::string_view, const std::string &) {}

std::string FolderFiles::Spelled(const std::string &name) const {
#ifdef _WIN32
  auto lower = [](std::string text) {
    for (char &c : text) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
  };
  for (const std::string &there : Names()) {
    if (lower(there) == lower(name)) return there;
  }
#endif
  return name;
}

#ifdef _WIN32

namespace {

std::wstring Wide(const std::string &path) { return Utf8ToWide(path); }

std::string SystemText(DWORD code) {
  wchar_t text[512] = {};
  FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                 static_cast<DWORD>(std::size(text)), nullptr);
  std::string reason = WideToUtf8(text);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' ' || reason.back() == '.')) {
    reason.pop_back();
  }
  return reason.empty() ? "error " + std::to_string(code) : reason;
}

constexpr const char *kInUseCure =
    "the file is in use: close the program that loaded it (every program that runs from this folder), then run "
    "klia again";

// `existing` names a file that is there and is being replaced or removed: Windows answers
// "access denied" both for a file in use (a loaded DLL) and for a folder the user may not
// change; the file's read-only mark is told apart.
FileStepFailure Failed(DWORD error, const std::string &doing, const std::string &folder,
                       const std::string &existing = "") {
  using Cause = FileStepFailure::Cause;
  Cause cause = Cause::kOther;
  std::string cure;
  switch (error) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
      cause = Cause::kInUse;
      cure = kInUseCure;
      break;
    case ERROR_ACCESS_DENIED:
      if (!existing.empty()) {
        const DWORD attributes = GetFileAttributesW(Wide(existing).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
          cause = Cause::kPermission;
          cure = existing + " is marked read-only: clear the mark (attrib -r \"" + existing + "\"), then run klia again";
        } else {
          cause = Cause::kInUse;
          cure = std::string(kInUseCure) + "; if no program has it open, run klia as administrator";
        }
      } else {
        cause = Cause::kPermission;
        cure = "you may not change " + folder + ": run klia as administrator (a folder under Program Files needs it)";
      }
      break;
    case ERROR_WRITE_PROTECT:
      cause = Cause::kPermission;
      cure = "the disk holding " + folder + " is write-protected";
      break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      cause = Cause::kDiskFull;
      cure = DiskFullCure(folder);
      break;
    default:
      break;
  }
  return FileStepFailure(cause, "cannot " + doing + ": " + SystemText(error) + (cure.empty() ? "" : "; " + cure));
}

class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (valid()) CloseHandle(handle_);
  }
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }
  bool Close() {
    const bool closed = CloseHandle(handle_) != 0;
    handle_ = INVALID_HANDLE_VALUE;
    return closed;
  }

 private:
  HANDLE handle_;
};

HANDLE OpenToRead(const std::string &path) {
  return CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The access control list of the file at `path`, in SDDL.
std::string AclOf(const std::string &path, const std::string &folder) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL acl = nullptr;
  const DWORD error = GetNamedSecurityInfoW(Wide(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                            nullptr, &acl, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) throw Failed(error, "read who may use " + path, folder);
  LPWSTR text = nullptr;
  const BOOL converted =
      ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                           nullptr);
  const DWORD convert_error = GetLastError();
  LocalFree(descriptor);
  if (!converted) throw Failed(convert_error, "read who may use " + path, folder);
  std::string acl_text = WideToUtf8(text);
  LocalFree(text);
  return acl_text;
}

// Gives the file at `path` the access control list `acl` (SDDL), protected from the folder's
// inherited entries exactly when the list it was taken from was.
void SetAcl(const std::string &path, const std::string &acl, const std::string &folder) {
  if (acl.empty()) return;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(Wide(acl).c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    throw Failed(GetLastError(), "give " + path + " its access control list", folder);
  }
  BOOL present = FALSE, defaulted = FALSE;
  PACL list = nullptr;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted);
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  std::wstring wide = Wide(path);
  const SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED) != 0
                                                                     ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                     : UNPROTECTED_DACL_SECURITY_INFORMATION);
  const DWORD error = SetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT, what, nullptr, nullptr,
                                            present ? list : nullptr, nullptr);
  LocalFree(descriptor);
  if (error != ERROR_SUCCESS) throw Failed(error, "give " + path + " its access control list", folder);
}

}  // namespace

std::string AbsolutePath(const std::string &path) {
  std::error_code ignored;
  return WideToUtf8(std::filesystem::absolute(std::filesystem::path(Wide(path)), ignored).lexically_normal().wstring());
}

std::optional<uint64_t> FileSizeAt(const std::string &path) {
  std::error_code error;
  const std::filesystem::path file(Wide(path));
  if (!std::filesystem::is_regular_file(file, error)) return std::nullopt;
  const uintmax_t size = std::filesystem::file_size(file, error);
  if (error) return std::nullopt;
  return static_cast<uint64_t>(size);
}

FileState::Kind KindAt(const std::string &path) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::symlink_status(std::filesystem::path(Wide(path)), error);
  if (error || !std::filesystem::exists(status)) return FileState::Kind::kAbsent;
  if (std::filesystem::is_symlink(status)) return FileState::Kind::kLink;
  return std::filesystem::is_regular_file(status) ? FileState::Kind::kFile : FileState::Kind::kOther;
}

bool SamePlace(const std::string &a, const std::string &b) {
  std::error_code error;
  return std::filesystem::equivalent(std::filesystem::path(Wide(a)), std::filesystem::path(Wide(b)), error);
}

FolderFiles::FolderFiles(const std::string &folder) : folder_(AbsolutePath(folder)) {
  while (folder_.size() > 3 && (folder_.back() == '\\' || folder_.back() == '/')) folder_.pop_back();
}

std::string FolderFiles::PathOf(const std::string &name) const {
  return folder_ + (folder_.back() == '\\' || folder_.back() == '/' ? "" : "\\") + name;
}

bool FolderFiles::FolderExists() const {
  const DWORD attributes = GetFileAttributesW(Wide(folder_).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

FileState FolderFiles::Inspect(const std::string &name) const {
  const std::string path = PathOf(name);
  FileState state;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return state;
    throw Failed(error, "look at " + path, folder_);
  }
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    state.kind = FileState::Kind::kOther;
    return state;
  }
  state.kind = FileState::Kind::kFile;
  Handle file(OpenToRead(path));
  if (!file.valid()) throw Failed(GetLastError(), "read " + path, folder_);
  Sha256 hash;
  std::vector<char> buffer(kChunk);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
      throw Failed(GetLastError(), "read " + path, folder_);
    }
    if (got == 0) break;
    hash.Update(buffer.data(), got);
    state.size += got;
  }
  state.sha256 = Sha256Hex(hash.Finish());
  return state;
}

namespace {

std::string ReadOpened(HANDLE file, const std::string &path, const std::string &folder, size_t limit, bool start_only) {
  std::string text;
  std::vector<char> buffer(kChunk);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
      throw Failed(GetLastError(), "read " + path, folder);
    }
    if (got == 0) break;
    text.append(buffer.data(), got);
    if (text.size() > limit) {
      if (start_only) return text.substr(0, limit);
      throw TooLarge(path, limit);
    }
  }
  return text;
}

}  // namespace

std::string FolderFiles::Read(const std::string &name, size_t limit, bool start_only) const {
  const std::string path = PathOf(name);
  Handle file(OpenToRead(path));
  if (!file.valid()) throw Failed(GetLastError(), "read " + path, folder_);
  return ReadOpened(file.get(), path, folder_, limit, start_only);
}

std::string ReadFileAt(const std::string &path, size_t limit) {
  Handle file(OpenToRead(path));
  if (!file.valid()) throw Failed(GetLastError(), "read " + path, path);
  return ReadOpened(file.get(), path, path, limit, false);
}

std::vector<std::string> FolderFiles::Names() const {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto &entry : std::filesystem::directory_iterator(std::filesystem::path(Wide(folder_)), error)) {
    names.push_back(WideToUtf8(entry.path().filename().wstring()));
  }
  return names;
}

std::optional<FileAccess> FolderFiles::AccessOf(const std::string &name) const {
  const std::string path = PathOf(name);
  if (GetFileAttributesW(Wide(path).c_str()) == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::nullopt;
    throw Failed(error, "look at " + path, folder_);
  }
  FileAccess access;
  access.acl = AclOf(path, folder_);
  return access;
}

// Whoever may write a file may give a file of their own its list.
void FolderFiles::CheckAccessCanBeKept(const std::string &) const {}

void FolderFiles::Create(const std::string &name, std::string_view bytes, const FileAccess &access) {
  const std::string path = PathOf(name);
  BeforeChange("create", name);
  Handle file(CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) throw Failed(GetLastError(), "create " + path, folder_);
  try {
    BeforeChange("write", name);
    size_t done = 0;
    while (done < bytes.size()) {
      const DWORD piece = bytes.size() - done > 0x10000000u ? 0x10000000u : static_cast<DWORD>(bytes.size() - done);
      DWORD wrote = 0;
      if (!WriteFile(file.get(), bytes.data() + done, piece, &wrote, nullptr) || wrote == 0) {
        throw Failed(GetLastError(), "write " + path, folder_);
      }
      done += wrote;
    }
    if (!FlushFileBuffers(file.get())) throw Failed(GetLastError(), "write " + path + " to the disk", folder_);
    if (!file.Close()) throw Failed(GetLastError(), "write " + path, folder_);
    SetAcl(path, access.acl, folder_);
  } catch (...) {
    if (file.valid()) file.Close();
    DeleteFileW(Wide(path).c_str());
    throw;
  }
}

void FolderFiles::Keep(const std::string &name, const std::string &also) {
  const std::string from = PathOf(name), to = PathOf(also);
  // A copy, not a hard link: on Windows a program that holds a file open (a DLL it loaded)
  // holds every name of it, and a second name klia made could then not be removed again.
  BeforeChange("copy", also);
  if (!CopyFileW(Wide(from).c_str(), Wide(to).c_str(), TRUE)) {
    const DWORD copy_error = GetLastError();
    if (copy_error != ERROR_FILE_EXISTS && copy_error != ERROR_ALREADY_EXISTS) DeleteFileW(Wide(to).c_str());
    throw Failed(copy_error, "copy " + from + " to " + to, folder_);
  }
  Handle copy(CreateFileW(Wide(to).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                          nullptr));
  if (!copy.valid() || !FlushFileBuffers(copy.get())) {
    const DWORD flush_error = GetLastError();
    if (copy.valid()) copy.Close();
    DeleteFileW(Wide(to).c_str());
    throw Failed(flush_error, "write " + to + " to the disk", folder_);
  }
  copy.Close();
  // A copy takes the folder's list for a new file: it gets the original's.
  try {
    SetAcl(to, AclOf(from, folder_), folder_);
  } catch (...) {
    DeleteFileW(Wide(to).c_str());
    throw;
  }
}

void FolderFiles::Replace(const std::string &from, const std::string &to) {
  BeforeChange("rename", to);
  if (!MoveFileExW(Wide(PathOf(from)).c_str(), Wide(PathOf(to)).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    throw Failed(GetLastError(), "put " + PathOf(from) + " in place of " + PathOf(to), folder_, PathOf(to));
  }
}

void FolderFiles::Move(const std::string &from, const std::string &to) {
  BeforeChange("rename", to);
  if (!MoveFileExW(Wide(PathOf(from)).c_str(), Wide(PathOf(to)).c_str(), MOVEFILE_WRITE_THROUGH)) {
    throw Failed(GetLastError(), "rename " + PathOf(from) + " to " + PathOf(to), folder_, PathOf(from));
  }
}

void FolderFiles::Remove(const std::string &name) {
  BeforeChange("remove", name);
  if (!DeleteFileW(Wide(PathOf(name)).c_str())) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return;
    throw Failed(error, "remove " + PathOf(name), folder_, PathOf(name));
  }
}

void FolderFiles::SyncFolder() {}

#else

namespace {

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
      cure = DiskFullCure(folder);
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

}  // namespace

std::string AbsolutePath(const std::string &path) {
  std::error_code ignored;
  return std::filesystem::absolute(path, ignored).lexically_normal().string();
}

std::string UserName(uint32_t user) {
  const struct passwd *entry = getpwuid(user);
  return entry != nullptr ? "user " + std::string(entry->pw_name) : "user " + std::to_string(user);
}

std::optional<uint64_t> FileSizeAt(const std::string &path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return static_cast<uint64_t>(info.st_size);
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

FolderFiles::FolderFiles(const std::string &folder) : folder_(AbsolutePath(folder)) {
  while (folder_.size() > 1 && folder_.back() == '/') folder_.pop_back();
}

std::string FolderFiles::PathOf(const std::string &name) const {
  return folder_ + (folder_.back() == '/' ? "" : "/") + name;
}

bool FolderFiles::FolderExists() const {
  struct stat info {};
  return stat(folder_.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

FileState FolderFiles::Inspect(const std::string &name) const {
  const std::string path = PathOf(name);
  FileState state;
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return state;
    throw Failed(errno, "look at " + path, folder_);
  }
  int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
  if (S_ISLNK(info.st_mode)) {
    state.kind = FileState::Kind::kLink;
    std::vector<char> target(4096);
    const ssize_t length = readlink(path.c_str(), target.data(), target.size());
    if (length < 0) throw Failed(errno, "read the link " + path, folder_);
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
    throw Failed(file.valid() ? EINVAL : errno, "read " + path, folder_);
  }
  state.mode = opened.st_mode & 07777;
  Sha256 hash;
  ReadAll(file.get(), path, folder_, [&](const char *bytes, size_t count) {
    hash.Update(bytes, count);
    state.size += count;
  });
  state.sha256 = Sha256Hex(hash.Finish());
  return state;
}

namespace {

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
      throw TooLarge(path, limit);
    }
  }
}

}  // namespace

std::string FolderFiles::Read(const std::string &name, size_t limit, bool start_only) const {
  const std::string path = PathOf(name);
  Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!file.valid()) throw Failed(errno, "read " + path, folder_);
  return ReadOpened(file.get(), path, folder_, limit, start_only);
}

std::string ReadFileAt(const std::string &path, size_t limit) {
  Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file.valid()) throw Failed(errno, "read " + path, path);
  return ReadOpened(file.get(), path, path, limit, false);
}

std::vector<std::string> FolderFiles::Names() const {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto &entry : std::filesystem::directory_iterator(folder_, error)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

std::optional<FileAccess> FolderFiles::AccessOf(const std::string &name) const {
  const std::string path = PathOf(name);
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return std::nullopt;  // nothing there, or a link that leads to nothing
    throw Failed(errno, "look at " + path, folder_);
  }
  FileAccess access;
  access.mode = info.st_mode & 07777;
  access.owner = info.st_uid;
  access.group = info.st_gid;
  return access;
}

void FolderFiles::CheckAccessCanBeKept(const std::string &name) const {
  const std::optional<FileAccess> access = AccessOf(name);
  if (!access || geteuid() == 0) return;
  const std::string path = PathOf(name);
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
  if (faccessat(AT_FDCWD, folder_.c_str(), W_OK | X_OK, AT_EACCESS) != 0 && (errno == EACCES || errno == EROFS)) {
    throw Failed(errno, "change " + folder_, folder_);
  }
  throw OwnerRefused(path, reason);
}

void FolderFiles::Create(const std::string &name, std::string_view bytes, const FileAccess &access) {
  const std::string path = PathOf(name);
  BeforeChange("create", name);
  // Its owner's alone until it has its access, which it gets before a byte is in it.
  Descriptor file(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!file.valid()) throw Failed(errno, "create " + path, folder_);
  try {
    BeforeChange("write", name);
    GiveAccess(file.get(), access, path, folder_);
    WriteAll(file.get(), bytes, path, folder_);
    Finish(file, path, folder_);
  } catch (...) {
    unlink(path.c_str());
    throw;
  }
}

void FolderFiles::Keep(const std::string &name, const std::string &also) {
  const std::string from = PathOf(name), to = PathOf(also);
  BeforeChange("link", also);
  // linkat without AT_SYMLINK_FOLLOW names a symbolic link itself, not the file it leads to.
  if (linkat(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), 0) == 0) return;
  const int error = errno;
  if (error != EPERM && error != EXDEV && error != EMLINK && error != ENOTSUP && error != EOPNOTSUPP &&
      error != ENOSYS) {
    throw Failed(error, "link " + from + " as " + to, folder_);
  }
  // A file system without hard links: a copy with the same bytes, permissions and time.
  BeforeChange("copy", also);
  struct stat info {};
  if (lstat(from.c_str(), &info) != 0) throw Failed(errno, "look at " + from, folder_);
  if (S_ISLNK(info.st_mode)) {
    std::vector<char> target(4096);
    const ssize_t length = readlink(from.c_str(), target.data(), target.size() - 1);
    if (length < 0) throw Failed(errno, "read the link " + from, folder_);
    target[static_cast<size_t>(length)] = '\0';
    if (symlink(target.data(), to.c_str()) != 0) throw Failed(errno, "link " + to + " to " + target.data(), folder_);
    return;
  }
  Descriptor source(open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!source.valid()) throw Failed(errno, "read " + from, folder_);
  Descriptor copy(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!copy.valid()) throw Failed(errno, "create " + to, folder_);
  try {
    FileAccess access;
    access.mode = info.st_mode & 07777;
    access.owner = info.st_uid;
    access.group = info.st_gid;
    GiveAccess(copy.get(), access, to, folder_);
    ReadAll(source.get(), from, folder_, [&](const char *bytes, size_t count) {
      WriteAll(copy.get(), std::string_view(bytes, count), to, folder_);
    });
    const struct timespec times[2] = {info.st_atim, info.st_mtim};
    futimens(copy.get(), times);
    Finish(copy, to, folder_);
  } catch (...) {
    unlink(to.c_str());
    throw;
  }
}

void FolderFiles::Replace(const std::string &from, const std::string &to) {
  BeforeChange("rename", to);
  if (rename(PathOf(from).c_str(), PathOf(to).c_str()) != 0) {
    throw Failed(errno, "put " + PathOf(from) + " in place of " + PathOf(to), folder_);
  }
}

void FolderFiles::Move(const std::string &from, const std::string &to) {
  BeforeChange("rename", to);
  const std::string source = PathOf(from), target = PathOf(to);
  if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return;
  if (errno != EINVAL && errno != ENOSYS) throw Failed(errno, "rename " + source + " to " + target, folder_);
  // A file system that cannot refuse to replace in the rename itself.
  struct stat info {};
  if (lstat(target.c_str(), &info) == 0) throw Failed(EEXIST, "rename " + source + " to " + target, folder_);
  if (rename(source.c_str(), target.c_str()) != 0) throw Failed(errno, "rename " + source + " to " + target, folder_);
}

void FolderFiles::Remove(const std::string &name) {
  BeforeChange("remove", name);
  if (unlink(PathOf(name).c_str()) != 0 && errno != ENOENT) throw Failed(errno, "remove " + PathOf(name), folder_);
}

void FolderFiles::SyncFolder() {
  Descriptor folder(open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid()) throw Failed(errno, "open the folder " + folder_, folder_);
  // Some file systems cannot flush a folder (EINVAL); their renames are as durable as they get.
  if (fsync(folder.get()) != 0 && errno != EINVAL && errno != EROFS) {
    throw Failed(errno, "write the folder " + folder_ + " to the disk", folder_);
  }
}

#endif

}  // namespace klia

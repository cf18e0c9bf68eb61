// The file steps on Windows: through the system's wide functions (names in UTF-16), a file's
// access control list carried over in SDDL, and renames written through to the disk. Windows
// refuses to replace or remove a file a program holds open (a loaded DLL): what it answers is
// told apart from a folder the user may not change.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h: the access control lists of files.
#include <aclapi.h>
#include <sddl.h>

#include <filesystem>
#include <vector>

#include "platform/windows/wide_text.h"
#include "platform/platform.h"

namespace klia {
namespace {

constexpr size_t kChunk = 64 * 1024;

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
      cure = FileStepFailure::DiskFullCure(folder);
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
      throw FileStepFailure::TooLarge(path, limit);
    }
  }
  return text;
}

}  // namespace

std::string AbsolutePath(const std::string &path) {
  std::error_code ignored;
  return WideToUtf8(std::filesystem::absolute(std::filesystem::path(Wide(path)), ignored).lexically_normal().wstring());
}

std::string AbsoluteFolderPath(const std::string &folder) {
  std::string path = AbsolutePath(folder);
  while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return path;
}

std::string PathInFolder(const std::string &folder, const std::string &name) {
  return folder + (folder.back() == '\\' || folder.back() == '/' ? "" : "\\") + name;
}

bool IsFolder(const std::string &path) {
  const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::vector<std::string> NamesInFolder(const std::string &folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto &entry : std::filesystem::directory_iterator(std::filesystem::path(Wide(folder)), error)) {
    names.push_back(WideToUtf8(entry.path().filename().wstring()));
  }
  return names;
}

std::optional<uint64_t> FileSizeAt(const std::string &path) {
  std::error_code error;
  const std::filesystem::path file(Wide(path));
  if (!std::filesystem::is_regular_file(file, error)) return std::nullopt;
  const uintmax_t size = std::filesystem::file_size(file, error);
  if (error) return std::nullopt;
  return static_cast<uint64_t>(size);
}

std::string ReadFileAt(const std::string &path, size_t limit) {
  Handle file(OpenToRead(path));
  if (!file.valid()) throw Failed(GetLastError(), "read " + path, path);
  return ReadOpened(file.get(), path, path, limit, false);
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

// A program's user on Windows is not told from the trace's access control list.
std::optional<std::string> SoleWriterOnKliasSide(const std::string &) { return std::nullopt; }

FileState InspectFileIn(const std::string &folder, const std::string &path) {
  FileState state;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return state;
    throw Failed(error, "look at " + path, folder);
  }
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    state.kind = FileState::Kind::kOther;
    return state;
  }
  state.kind = FileState::Kind::kFile;
  Handle file(OpenToRead(path));
  if (!file.valid()) throw Failed(GetLastError(), "read " + path, folder);
  Sha256 hash;
  std::vector<char> buffer(kChunk);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
      throw Failed(GetLastError(), "read " + path, folder);
    }
    if (got == 0) break;
    hash.Update(buffer.data(), got);
    state.size += got;
  }
  state.sha256 = Sha256Hex(hash.Finish());
  return state;
}

std::string ReadFileIn(const std::string &folder, const std::string &path, size_t limit, bool start_only) {
  Handle file(OpenToRead(path));
  if (!file.valid()) throw Failed(GetLastError(), "read " + path, folder);
  return ReadOpened(file.get(), path, folder, limit, start_only);
}

std::optional<FileAccess> AccessOfFileIn(const std::string &folder, const std::string &path) {
  if (GetFileAttributesW(Wide(path).c_str()) == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::nullopt;
    throw Failed(error, "look at " + path, folder);
  }
  FileAccess access;
  access.acl = AclOf(path, folder);
  return access;
}

// Whoever may write a file may give a file of their own its list.
void CheckAccessOfFileCanBeKept(const std::string &, const std::string &) {}

void CreateFileIn(const std::string &folder, const std::string &path, std::string_view bytes, const FileAccess &access,
                  const FileStepHook &before) {
  Handle file(CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) throw Failed(GetLastError(), "create " + path, folder);
  try {
    before("write");
    size_t done = 0;
    while (done < bytes.size()) {
      const DWORD piece = bytes.size() - done > 0x10000000u ? 0x10000000u : static_cast<DWORD>(bytes.size() - done);
      DWORD wrote = 0;
      if (!WriteFile(file.get(), bytes.data() + done, piece, &wrote, nullptr) || wrote == 0) {
        throw Failed(GetLastError(), "write " + path, folder);
      }
      done += wrote;
    }
    if (!FlushFileBuffers(file.get())) throw Failed(GetLastError(), "write " + path + " to the disk", folder);
    if (!file.Close()) throw Failed(GetLastError(), "write " + path, folder);
    SetAcl(path, access.acl, folder);
  } catch (...) {
    if (file.valid()) file.Close();
    DeleteFileW(Wide(path).c_str());
    throw;
  }
}

void KeepFileAs(const std::string &folder, const std::string &from, const std::string &to, const FileStepHook &before) {
  // A copy, not a hard link: on Windows a program that holds a file open (a DLL it loaded)
  // holds every name of it, and a second name klia made could then not be removed again.
  before("copy");
  if (!CopyFileW(Wide(from).c_str(), Wide(to).c_str(), TRUE)) {
    const DWORD copy_error = GetLastError();
    if (copy_error != ERROR_FILE_EXISTS && copy_error != ERROR_ALREADY_EXISTS) DeleteFileW(Wide(to).c_str());
    throw Failed(copy_error, "copy " + from + " to " + to, folder);
  }
  Handle copy(CreateFileW(Wide(to).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                          nullptr));
  if (!copy.valid() || !FlushFileBuffers(copy.get())) {
    const DWORD flush_error = GetLastError();
    if (copy.valid()) copy.Close();
    DeleteFileW(Wide(to).c_str());
    throw Failed(flush_error, "write " + to + " to the disk", folder);
  }
  copy.Close();
  // A copy takes the folder's list for a new file: it gets the original's.
  try {
    SetAcl(to, AclOf(from, folder), folder);
  } catch (...) {
    DeleteFileW(Wide(to).c_str());
    throw;
  }
}

void RenameReplacing(const std::string &folder, const std::string &from, const std::string &to) {
  if (!MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    throw Failed(GetLastError(), "put " + from + " in place of " + to, folder, to);
  }
}

void RenameNotReplacing(const std::string &folder, const std::string &from, const std::string &to) {
  if (!MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_WRITE_THROUGH)) {
    throw Failed(GetLastError(), "rename " + from + " to " + to, folder, from);
  }
}

void RemoveFileIn(const std::string &folder, const std::string &path) {
  if (!DeleteFileW(Wide(path).c_str())) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return;
    throw Failed(error, "remove " + path, folder, path);
  }
}

// Each rename is written through already (MOVEFILE_WRITE_THROUGH).
void SyncFolderNames(const std::string &) {}

}  // namespace klia

// The board image file: a board's memory and live state kept on disk, so that a board lives
// on between processes and several processes can serve it at once.
//
// Layout (all numbers little-endian):
//   0    8  magic "VBOARD01"
//   8    4  format version, 1
//   12   4  header size: where page 0 begins (512)
//   16  20  geometry: version, user count, page count, data page count, log first page,
//           log page count, page size (16-bit each), device count, reserved (8-bit each),
//           ext info (32-bit)
//   36  28  zero
//   64  32  live state: State, CurrentUserFlags (8-bit), CurrentUser, LogPage, LogOffset,
//           ErrorPage, watchdog (16-bit), clock offset (64-bit, seconds, two's complement),
//           clock frozen (8-bit), frozen clock block (6 bytes), zero
//   96 416  zero
//   512     pages 0 to page count, page size bytes each
//
// Every command holds an exclusive lock on the file, re-reads the live state, reads and
// writes only the bytes it touches and writes the live state back last, in one write. A
// process killed in the middle of a command leaves a well-formed image: at worst a page write
// is done and the state not yet moved. A new image is written under a temporary name and
// linked into place only when complete, so no process ever sees half an image.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "board_model.h"
#include "image_names.h"
#include "support/bytes.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vboard {

using mviahlp::get_le16;
using mviahlp::get_le32;
using mviahlp::put_le16;
using mviahlp::put_le32;

namespace {

constexpr uint32_t kFormatVersion = 1;
constexpr uint32_t kHeaderSize = 512;
constexpr uint32_t kGeometryAt = 16;
constexpr uint32_t kStateAt = 64;
constexpr uint32_t kStateSize = 32;
static_assert(kStateAt + kStateSize <= kHeaderSize);

void EncodeGeometry(const VBoardGeometry &g, uint8_t *p) {
  put_le16(p + 0, g.version);
  put_le16(p + 2, g.user_count);
  put_le16(p + 4, g.page_count);
  put_le16(p + 6, g.data_page_count);
  put_le16(p + 8, g.log_first_page);
  put_le16(p + 10, g.log_page_count);
  put_le16(p + 12, g.page_size);
  p[14] = g.device_count;
  p[15] = g.reserved;
  put_le32(p + 16, g.ext_info);
}

void DecodeGeometry(const uint8_t *p, VBoardGeometry &g) {
  g.version = get_le16(p + 0);
  g.user_count = get_le16(p + 2);
  g.page_count = get_le16(p + 4);
  g.data_page_count = get_le16(p + 6);
  g.log_first_page = get_le16(p + 8);
  g.log_page_count = get_le16(p + 10);
  g.page_size = get_le16(p + 12);
  g.device_count = p[14];
  g.reserved = p[15];
  g.ext_info = get_le32(p + 16);
}

void EncodeState(const LiveState &s, uint8_t p[kStateSize]) {
  std::memset(p, 0, kStateSize);
  p[0] = s.state;
  p[1] = s.current_user_flags;
  put_le16(p + 2, s.current_user);
  put_le16(p + 4, s.log_page);
  put_le16(p + 6, s.log_offset);
  put_le16(p + 8, s.error_page);
  put_le16(p + 10, s.watchdog);
  const uint64_t offset = static_cast<uint64_t>(s.clock_offset);
  put_le32(p + 12, static_cast<uint32_t>(offset));
  put_le32(p + 16, static_cast<uint32_t>(offset >> 32));
  p[20] = s.clock_frozen;
  std::memcpy(p + 21, s.frozen_clock.data(), 6);
}

void DecodeState(const uint8_t p[kStateSize], LiveState &s) {
  s.state = p[0];
  s.current_user_flags = p[1];
  s.current_user = get_le16(p + 2);
  s.log_page = get_le16(p + 4);
  s.log_offset = get_le16(p + 6);
  s.error_page = get_le16(p + 8);
  s.watchdog = get_le16(p + 10);
  const uint64_t offset = get_le32(p + 12) | (static_cast<uint64_t>(get_le32(p + 16)) << 32);
  s.clock_offset = static_cast<int64_t>(offset);
  s.clock_frozen = p[20];
  std::memcpy(s.frozen_clock.data(), p + 21, 6);
}

#if !defined(_WIN32)
// open() for a file of the board's, close-on-exec and never on descriptors 0-2: a process
// started with a standard stream closed would otherwise get the image there, and its next
// line of output would land in the board's memory. A descriptor below 3 is moved up and
// /dev/null put in its place, so that the stream stays harmlessly occupied.
int OpenAboveStandardStreams(const char *path, int flags, mode_t mode) {
  const int fd = ::open(path, flags | O_CLOEXEC, mode);
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int saved_errno = errno;
  const int null = ::open("/dev/null", O_RDWR);
  if (null >= 0 && null != fd) {
    ::dup2(null, fd);
    if (null > STDERR_FILENO) ::close(null);
  } else if (null < 0) {
    ::close(fd);
  }
  errno = saved_errno;
  return moved;
}
#endif

// An open file with positioned reads and writes and a whole-file exclusive lock.
class File {
 public:
  File() = default;
  File(const File &) = delete;
  File &operator=(const File &) = delete;
  ~File() { Close(); }

#if defined(_WIN32)
  bool Open(const std::string &path, bool read_only) {
    handle_ = CreateFileA(path.c_str(), read_only ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    return handle_ != INVALID_HANDLE_VALUE;
  }
  bool Create(const std::string &path) {
    handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    return handle_ != INVALID_HANDLE_VALUE;
  }
  bool CreateUnnamed(const std::string &) { return false; }
  bool LinkAs(const std::string &) { return false; }
  void Close() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }
  bool ReadAt(uint64_t at, void *data, uint32_t length) {
    auto *p = static_cast<uint8_t *>(data);
    while (length != 0) {
      OVERLAPPED where = Where(at);
      DWORD done = 0;
      if (!ReadFile(handle_, p, length, &done, &where) || done == 0) return false;
      p += done;
      at += done;
      length -= done;
    }
    return true;
  }
  bool WriteAt(uint64_t at, const void *data, uint32_t length) {
    const auto *p = static_cast<const uint8_t *>(data);
    while (length != 0) {
      OVERLAPPED where = Where(at);
      DWORD done = 0;
      if (!WriteFile(handle_, p, length, &done, &where) || done == 0) return false;
      p += done;
      at += done;
      length -= done;
    }
    return true;
  }
  // The lock covers one byte far beyond any image, so that it never blocks reading or
  // writing the image itself (Windows locks are mandatory).
  bool Lock() {
    OVERLAPPED where = Where(kLockAt);
    return LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &where) != 0;
  }
  void Unlock() {
    OVERLAPPED where = Where(kLockAt);
    UnlockFileEx(handle_, 0, 1, 0, &where);
  }
  bool Size(uint64_t &size) {
    LARGE_INTEGER value;
    if (!GetFileSizeEx(handle_, &value)) return false;
    size = static_cast<uint64_t>(value.QuadPart);
    return true;
  }

 private:
  static constexpr uint64_t kLockAt = 1ull << 62;
  static OVERLAPPED Where(uint64_t at) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    return where;
  }
  HANDLE handle_ = INVALID_HANDLE_VALUE;
#else
  bool Open(const std::string &path, bool read_only) {
    fd_ = OpenAboveStandardStreams(path.c_str(), read_only ? O_RDONLY : O_RDWR, 0);
    return fd_ >= 0;
  }
  bool Create(const std::string &path) {
    // An image holds users' logon keys and passwords: readable by its owner only.
    fd_ = OpenAboveStandardStreams(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    return fd_ >= 0;
  }
  // An unnamed file in `folder` that vanishes with its last descriptor unless it is linked
  // into place: a process interrupted while it fills a new image leaves nothing behind.
  // False where the file system cannot make one; the caller then uses a named file.
  bool CreateUnnamed(const std::string &folder) {
#if defined(O_TMPFILE)
    fd_ = OpenAboveStandardStreams(folder.c_str(), O_RDWR | O_TMPFILE, 0600);
    return fd_ >= 0;
#else
    (void)folder;
    return false;
#endif
  }
  // Gives the unnamed file the name `path`; fails when `path` exists.
  bool LinkAs(const std::string &path) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool ReadAt(uint64_t at, void *data, uint32_t length) {
    auto *p = static_cast<uint8_t *>(data);
    while (length != 0) {
      const ssize_t done = ::pread(fd_, p, length, static_cast<off_t>(at));
      if (done < 0 && errno == EINTR) continue;
      if (done <= 0) return false;
      p += done;
      at += static_cast<uint64_t>(done);
      length -= static_cast<uint32_t>(done);
    }
    return true;
  }
  bool WriteAt(uint64_t at, const void *data, uint32_t length) {
    const auto *p = static_cast<const uint8_t *>(data);
    while (length != 0) {
      const ssize_t done = ::pwrite(fd_, p, length, static_cast<off_t>(at));
      if (done < 0 && errno == EINTR) continue;
      if (done <= 0) return false;
      p += done;
      at += static_cast<uint64_t>(done);
      length -= static_cast<uint32_t>(done);
    }
    return true;
  }
  bool Lock() {
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) return false;
    }
    return true;
  }
  void Unlock() { ::flock(fd_, LOCK_UN); }
  bool Size(uint64_t &size) {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) return false;
    size = static_cast<uint64_t>(info.st_size);
    return true;
  }

 private:
  int fd_ = -1;
#endif

 public:
  bool EraseAt(uint64_t at, uint64_t length) {
    static const std::vector<uint8_t> erased(64 * 1024, 0xFF);
    while (length != 0) {
      const uint32_t piece = length < erased.size() ? static_cast<uint32_t>(length) : static_cast<uint32_t>(erased.size());
      if (!WriteAt(at, erased.data(), piece)) return false;
      at += piece;
      length -= piece;
    }
    return true;
  }
};

bool FileExists(const std::string &path) {
#if defined(_WIN32)
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
#endif
}

void RemoveFile(const std::string &path) {
#if defined(_WIN32)
  DeleteFileA(path.c_str());
#else
  ::unlink(path.c_str());
#endif
}

std::string SystemError() {
#if defined(_WIN32)
  return "system error " + std::to_string(GetLastError());
#else
  return std::strerror(errno);
#endif
}

bool FillNewImage(File &file, const VBoardGeometry &geometry) {
  std::vector<uint8_t> header(kHeaderSize, 0);
  std::memcpy(header.data(), kImageMagic, sizeof kImageMagic);
  put_le32(header.data() + 8, kFormatVersion);
  put_le32(header.data() + 12, kHeaderSize);
  EncodeGeometry(geometry, header.data() + kGeometryAt);
  EncodeState(LiveState{}, header.data() + kStateAt);
  const uint64_t memory = (static_cast<uint64_t>(geometry.page_count) + 1) * geometry.page_size;
  return file.WriteAt(0, header.data(), kHeaderSize) && file.EraseAt(kHeaderSize, memory);
}

// Makes a complete image and only then gives it the name `path`, unless another process got
// there first (its image is then the one served). Where the file system allows, the image is
// filled as an unnamed file, which an interrupted or killed process cannot leave behind;
// elsewhere under a temporary name, which is removed on failure and by the next creation
// when its process died.
bool CreateImage(const std::string &path, const VBoardGeometry &geometry, std::string &error) {
  RemoveAbandonedTemporaries(path);
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  {
    File file;
    if (file.CreateUnnamed(folder.empty() ? "." : folder.string())) {
      if (!FillNewImage(file, geometry)) {
        error = "cannot write a new image for " + path + ": " + SystemError();
        return false;
      }
      if (!file.LinkAs(path) && !FileExists(path)) {
        error = "cannot create " + path + ": " + SystemError();
        return false;
      }
      return true;
    }
  }
  static unsigned counter = 0;
  const std::string temporary = TemporaryImageName(path, ThisProcess(), ++counter);
  {
    File file;
    if (!file.Create(temporary)) {
      error = "cannot create " + temporary + ": " + SystemError();
      return false;
    }
    if (!FillNewImage(file, geometry)) {
      error = "cannot write " + temporary + ": " + SystemError();
      file.Close();
      RemoveFile(temporary);
      return false;
    }
  }
#if defined(_WIN32)
  if (!MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) RemoveFile(temporary);
#else
  ::link(temporary.c_str(), path.c_str());
  ::unlink(temporary.c_str());
#endif
  return true;
}

class ImageStorage final : public Storage {
 public:
  ImageStorage(std::unique_ptr<File> file, uint64_t memory_bytes, std::string path, bool read_only)
      : file_(std::move(file)), memory_bytes_(memory_bytes), path_(std::move(path)), read_only_(read_only) {}

  bool Begin(LiveState &state) override {
    if (!file_->Lock()) return false;
    uint8_t block[kStateSize];
    if (!file_->ReadAt(kStateAt, block, kStateSize)) {
      file_->Unlock();
      return false;
    }
    DecodeState(block, state);
    return true;
  }
  bool End(const LiveState &state, bool changed) override {
    bool written = true;
    if (changed) {
      uint8_t block[kStateSize];
      EncodeState(state, block);
      written = Writable() && file_->WriteAt(kStateAt, block, kStateSize);
    }
    file_->Unlock();
    return written;
  }
  bool Read(uint64_t at, uint32_t length, uint8_t *data) override {
    return length == 0 || file_->ReadAt(kHeaderSize + at, data, length);
  }
  bool Write(uint64_t at, uint32_t length, const uint8_t *data) override {
    return length == 0 || (Writable() && file_->WriteAt(kHeaderSize + at, data, length));
  }
  bool Erase(uint64_t at, uint64_t length) override { return Writable() && file_->EraseAt(kHeaderSize + at, length); }
  bool ResetAll(const LiveState &) override { return Writable() && file_->EraseAt(kHeaderSize, memory_bytes_); }

 private:
  // A read-only image answers every change with a storage failure, and says why once.
  bool Writable() {
    if (!read_only_) return true;
    if (!refusal_reported_) {
      std::fprintf(stderr, "hwlink32: %s is open read-only: the board refuses every change (status 0x07)\n",
                   path_.c_str());
      refusal_reported_ = true;
    }
    return false;
  }

  std::unique_ptr<File> file_;
  uint64_t memory_bytes_;
  std::string path_;
  bool read_only_;
  bool refusal_reported_ = false;
};

bool ReadOnlyDenial() {
#if defined(_WIN32)
  return GetLastError() == ERROR_ACCESS_DENIED;
#else
  return errno == EACCES || errno == EROFS || errno == EPERM;
#endif
}

}  // namespace

std::unique_ptr<Storage> OpenImageStorage(const std::string &path, const VBoardGeometry &create_geometry,
                                          VBoardGeometry &geometry, std::string &error, bool read_only, bool create) {
  if (path.empty()) {
    error = "no image file named";
    return nullptr;
  }
  if (!FileExists(path)) {
    if (read_only || !create) {
      error = "cannot open " + path + ": no such image";
      return nullptr;
    }
    if (!GeometryUsable(create_geometry)) {
      error = "unusable geometry for a new image";
      return nullptr;
    }
    if (!CreateImage(path, create_geometry, error)) return nullptr;
  }
  auto file = std::make_unique<File>();
  // An image the process may not write is still served, read-only.
  if (!file->Open(path, read_only)) {
    if (read_only || !ReadOnlyDenial() || !file->Open(path, true)) {
      error = "cannot open " + path + ": " + SystemError();
      return nullptr;
    }
    read_only = true;
  }
  uint8_t header[kStateAt];
  uint64_t size = 0;
  if (!file->ReadAt(0, header, sizeof header) || std::memcmp(header, kImageMagic, sizeof kImageMagic) != 0 ||
      get_le32(header + 8) != kFormatVersion || get_le32(header + 12) != kHeaderSize) {
    error = path + " is not a board image";
    return nullptr;
  }
  DecodeGeometry(header + kGeometryAt, geometry);
  const uint64_t memory = (static_cast<uint64_t>(geometry.page_count) + 1) * geometry.page_size;
  if (!GeometryUsable(geometry) || !file->Size(size) || size < kHeaderSize + memory) {
    error = path + " is a damaged board image";
    return nullptr;
  }
  return std::make_unique<ImageStorage>(std::move(file), memory, path, read_only);
}

}  // namespace vboard

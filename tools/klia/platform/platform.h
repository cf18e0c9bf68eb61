// What differs between Windows and POSIX, behind one door. Every room of klia that needs the
// system for something the two do differently (replacing and locking files, modes and access
// lists, starting a program and learning how it ended, loading a library, the terminal and the
// standard streams, code page 866, hashing) asks it here; each system's answer lies in a folder
// of its own (posix/, windows/), and the build takes one of them. Nothing outside this room
// says which system it is built for.
#pragma once

#include <array>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace klia {

// --- Signals and exit codes -------------------------------------------------------------

// A program that ends because of a signal ends as shells report a program the signal ended:
// 128 + its number (130 for Ctrl-C's SIGINT, 143 for SIGTERM, 129 for SIGHUP), so that a
// script tells one from another whether klia tidied up first or not.
constexpr int ExitCodeForSignal(int signal) { return 128 + signal; }
inline constexpr int kExitInterrupted = ExitCodeForSignal(SIGINT);

// --- Time -------------------------------------------------------------------------------

// The calendar time of `moment` where klia runs, and in UTC.
std::tm LocalTime(std::time_t moment);
std::tm UniversalTime(std::time_t moment);

// --- Files: replacing, locking, modes and access lists ------------------------------------

// The file names programs load the interface library and the board transport under:
// mviahlp.dll and HWLINK32.DLL on Windows, libmviahlp.so.1 and libhwlink32.so natively.
extern const char kInterfaceLibraryFileName[];
extern const char kTransportFileName[];

// What a library is here, in a person's words ("a Windows DLL"; natively "a shared object
// (ELF)"), and whether it is a PE file (Windows) rather than an ELF file.
extern const char *const kNativeLibraryKind;
extern const bool kNativeLibraryIsPe;

// True when `a` and `b` name the same file of a folder: on Windows whatever the case of their
// ASCII letters (MVIAHLP.DLL is mviahlp.dll), natively only when they are the same bytes.
bool SameFileName(std::string_view a, std::string_view b);

// True for the name of a program in a program's folder whose machine its headers tell: on
// Windows NAME.exe, in any case. Natively none: a native program folder holds libraries, and
// which program loads them is not to be told from it.
bool IsProgramFileName(const std::string &name);

// True where a path the spy reads from its settings file must be plain ASCII: on Windows the spy
// reads that file in the system's ANSI code page. Natively a path there is its bytes.
bool SettingsFileTakesOnlyAscii();

// A step on a file failed: what happened and what the person can do about it (a file in use:
// Windows refuses to replace a loaded DLL; a folder the user may not change; a full disk).
class FileStepFailure : public std::runtime_error {
 public:
  enum class Cause { kInUse, kPermission, kDiskFull, kOwner, kOther };
  FileStepFailure(Cause cause, const std::string &message) : std::runtime_error(message), cause_(cause) {}
  Cause cause() const { return cause_; }
  // The key of the JSON error object: "in_use", "permission", "disk_full", "owner", "file".
  const char *kind() const;

  // What the person is told to do when the disk holding `folder` is full.
  static std::string DiskFullCure(const std::string &folder);
  // The failure to read `path`, which is larger than `limit` bytes.
  static FileStepFailure TooLarge(const std::string &path, size_t limit);

 private:
  Cause cause_;
};

struct FileState {
  enum class Kind { kAbsent, kFile, kLink, kOther };
  Kind kind = Kind::kAbsent;
  std::string link_target;  // kLink: what the symbolic link says, as written
  uint64_t size = 0;        // the content's (a link's: the file it leads to)
  std::string sha256;       // the content's; empty when there is none to read (absent, a dangling link, not a file)
  unsigned mode = 0644;     // natively the content's permissions
  bool exists() const { return kind != Kind::kAbsent; }
};

// Who may use a file: natively its owner, group and permission bits (the owner and group:
// none for klia's own), on Windows its access control list (in SDDL; empty: what the folder
// gives a new file).
struct FileAccess {
  unsigned mode = 0644;
  std::optional<uint32_t> owner, group;
  std::string acl;
};

// Told the step a change of a file is about to take ("write", "link", "copy") before it takes
// it; a test makes the step fail by throwing.
using FileStepHook = std::function<void(std::string_view step)>;

// `path` made absolute (from the current folder), in klia's UTF-8.
std::string AbsolutePath(const std::string &path);
// `folder` made absolute, without a separator at its end (a root keeps its own).
std::string AbsoluteFolderPath(const std::string &folder);
// The full path of `name` in `folder` (an absolute folder path).
std::string PathInFolder(const std::string &folder, const std::string &name);
// True when there is a folder at `path`.
bool IsFolder(const std::string &path);
// The names in `folder` (none when it cannot be read).
std::vector<std::string> NamesInFolder(const std::string &folder);
// The size of the plain file at `path`, or nothing when there is none.
std::optional<uint64_t> FileSizeAt(const std::string &path);
// The bytes of the file at `path` (anywhere; a symbolic link is followed), at most `limit`.
// Throws FileStepFailure.
std::string ReadFileAt(const std::string &path, size_t limit);
// What is at `path`: a symbolic link itself, not what it leads to (kAbsent also when it
// cannot be looked at).
FileState::Kind KindAt(const std::string &path);
// True when `a` and `b` are the same folder or file, however each is spelled.
bool SamePlace(const std::string &a, const std::string &b);
// The user who alone may write the file or folder at `path` ("user NAME"; "user N" for a user
// without a name), when that is klia's own user or root: a program run as another user cannot
// write there. Nothing when others may write it too, when it belongs to someone else (who may
// well be that program's user), when nothing is at `path`, and on Windows, where a file's
// access control list is not judged for this.
std::optional<std::string> SoleWriterOnKliasSide(const std::string &path);

// The steps on a file of a program's folder. `path` is the file's full path in `folder`, and
// `folder` is what a failure names as the place to put right. Nothing follows a name out of
// the folder; each throws FileStepFailure, and a failed step leaves nothing of its own behind.
//
// The file at `path`: its kind, size and SHA-256 (natively its mode too).
FileState InspectFileIn(const std::string &folder, const std::string &path);
// The bytes of the plain file at `path`, at most `limit` (with `start_only` its first `limit`).
std::string ReadFileIn(const std::string &folder, const std::string &path, size_t limit, bool start_only);
// Who may use the file at `path` (natively that of the file a symbolic link leads to), or
// nothing when there is no file.
std::optional<FileAccess> AccessOfFileIn(const std::string &folder, const std::string &path);
// Throws FileStepFailure (kOwner) when klia could not give a file it creates the access of the
// file at `path` (natively: another owner, or a group klia's user is not in, without root),
// saying who can. On Windows whoever may write a file may give a file of their own its list.
void CheckAccessOfFileCanBeKept(const std::string &folder, const std::string &path);
// Creates the file `path`, which must not exist, holding `bytes`, on the disk before it
// returns, with exactly `access` (natively given before a byte is in it; on Windows once it is
// written). Tells `before` of "write" once the file is there; on failure the file is removed.
void CreateFileIn(const std::string &folder, const std::string &path, std::string_view bytes, const FileAccess &access,
                  const FileStepHook &before);
// Gives the file `from` the second name `to`, which must not exist: natively a hard link
// ("link") where the file system has them, else (and always on Windows) a copy ("copy") with
// the same bytes, access and time; a symbolic link stays a link to the same place.
void KeepFileAs(const std::string &folder, const std::string &from, const std::string &to, const FileStepHook &before);
// Renames `from` to `to` in one step, replacing a file at `to`.
void RenameReplacing(const std::string &folder, const std::string &from, const std::string &to);
// Renames `from` to `to`, which must not exist.
void RenameNotReplacing(const std::string &folder, const std::string &from, const std::string &to);
// Removes the file at `path`; none there is no failure.
void RemoveFileIn(const std::string &folder, const std::string &path);
// Makes the names of `folder` as they are now durable (natively an fsync of the folder; on
// Windows each rename is written through already).
void SyncFolderNames(const std::string &folder);

// --- Hashing ------------------------------------------------------------------------------

// SHA-256, as klia records and checks the files it puts into a program's folder: natively
// through the system's libcrypto (OpenSSL), on Windows through the system's own cryptography
// API (CNG, bcrypt.dll).
using Sha256Digest = std::array<uint8_t, 32>;

// A digest computed piece by piece. Throws std::runtime_error when the system's
// implementation cannot be had (it always can on a working system).
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256 &) = delete;
  Sha256 &operator=(const Sha256 &) = delete;

  void Update(const void *bytes, size_t count);
  // The digest of everything given; the object is spent.
  Sha256Digest Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The digest as 64 lowercase hex digits.
std::string Sha256Hex(const Sha256Digest &digest);
std::string Sha256Hex(std::string_view bytes);

// --- Processes: starting a program, waiting for it, how it ended ----------------------------

// --- Loading a library and finding the modules of this process ------------------------------

// --- The terminal and the standard streams -------------------------------------------------

// --- Text: code page 866 and the terminal's encoding ----------------------------------------

}  // namespace klia

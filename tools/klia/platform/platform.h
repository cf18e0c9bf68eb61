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
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

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

// klia's own program file.
std::filesystem::path OwnProgram();

// Windows takes a program's libraries from the program's own folder first, so klia's own
// interface library and the board transport are installed beside klia.exe. Natively they lie in
// a lib folder of their own (or the build tree's), which klia searches (shell/installation.h).
bool LibrariesLieBesideProgram();

// The folder where programs keep their own state for the person running klia: on Windows
// LOCALAPPDATA; natively XDG_STATE_HOME, else ~/.local/state. "" when the environment names none.
std::string UserStateFolder();

// The value of `name` in klia's own environment, "" when it is not set.
std::string Environment(const char *name);

// Sets `name` in klia's own environment, which the programs it starts inherit, or takes it out.
void SetEnvironment(const char *name, const std::string &value);
void RemoveEnvironment(const char *name);

// Whether this process may write the file at `path`; errno says why not.
bool MayWrite(const std::string &path);

// Whether a file's mode lets others than its owner read it. Natively its group and others' read
// bits; on Windows never, since access there is the folder's and the file's access control lists.
bool ModeLetsOthersRead(std::filesystem::perms perms);

// Creates `path` as a new, empty file readable by its owner only, for a child to write into:
// never one that is there already, nor through a link. False when it cannot be made.
bool CreateNewFileForOwner(const std::string &path);

struct ChildRun {
  std::filesystem::path program;
  std::vector<std::string> arguments;
  // Set in the child's environment; an empty value removes the variable.
  std::vector<std::pair<std::string, std::string>> environment;
  std::string library_path;        // natively: put first on LD_LIBRARY_PATH
  std::filesystem::path out, err;  // the child's standard output and error go there
};

// How a child process ended: its exit status, the signal that ended it, or (on Windows) the
// exception that ended it.
struct ChildEnd {
  bool started = false;
  bool exited = false;  // it exited, with `status`
  int status = -1;
  int signal = 0;          // natively: the signal that ended it
  uint32_t exception = 0;  // on Windows: the exception code that ended it (0xC0000005, ...)
  bool crashed = false;    // ended by a fault of its own (a crash, an abort), not by someone's signal

  bool Interrupted() const;  // Ctrl-C: exit status 130 or SIGINT
  // "exited with status 3", "was ended by SIGTERM", "crashed (SIGSEGV)", "aborted (SIGABRT)",
  // "crashed (exception 0xC0000005)", "could not be started".
  std::string Words() const;
  // {"exit_status": 3} or {"signal": "SIGSEGV", "crashed": true} or {"exception": "0xC0000005",
  // "crashed": true} or {"started": false}.
  nlohmann::json Json() const;
};

// A signal's name as a child's end names it: "SIGSEGV" natively; on Windows its number.
std::string SignalName(int signal);

// Runs the child and waits for it, Ctrl-C reaching the child alone.
ChildEnd RunChild(const ChildRun &child);

// Runs `command` (its program looked for as the shell would) with klia's own standard streams
// and waits for it; each word reaches the program as one argument, spaces and quotes
// included. Natively Ctrl-C reaches the command alone, and a command a signal ended ends as
// ExitCodeForSignal says. Its exit status, or -1 when it could not be started.
int RunCommandAndWait(const std::vector<std::string> &command);

// --- Loading a library and finding the modules of this process ------------------------------

// A loaded library: natively the dlopen handle, on Windows the HMODULE.
using LibraryHandle = void *;

// The characters that end a path's folder part ("\\/" on Windows, "/" natively).
const char *PathSeparators();

// A path as klia's text: UTF-8, on Windows from the system's UTF-16.
std::string PathText(const std::filesystem::path &path);

// Loads a library by its name, found where the system looks for libraries (a path is taken as
// it is). Null when it cannot be loaded, with the system's words for why in `reason`.
LibraryHandle LoadLibraryByName(const std::string &name, std::string &reason);

// Loads the library at `file` with its own folder searched first for what it imports, so that
// on Windows the HWLINK32.DLL beside it (a transport, or the spy in front of one) is the one it
// gets; natively its functions stay its own (local). Null when it cannot be loaded, with the
// system's words for why in `reason`.
LibraryHandle LoadLibraryFile(const std::string &file, std::string &reason);

// Loads the transport spy at `file` as LoadLibraryFile does; why it cannot be loaded is said on
// Windows by the system's error number ("Windows error 126").
LibraryHandle LoadSpyLibrary(const std::string &file, std::string &why);

// What to do when the loader refused the interface library for `reason`: klia's own when
// `chosen` is empty, else the file named with --library.
std::string LibraryLoadAdvice(const std::string &chosen, const std::string &reason);

// The function `name` of a loaded library, or null.
void *LibraryFunction(LibraryHandle library, const char *name);

// The interface function of `ordinal` (named `name`) of a loaded interface library, or null: on
// Windows by its ordinal, since the ordinals are the interface's contract and an old DLL need
// not export names; natively by its name.
void *InterfaceFunction(LibraryHandle library, int ordinal, const char *name);

// The file a loaded library was loaded from: on Windows its module's ("(unknown)" when the
// system does not say); natively the file of the object that defines its `function` ("" when
// none does).
std::string LoadedLibraryFile(LibraryHandle library, const char *function);

// The board transport already loaded in this process under the transport's own name, or null.
// Natively this takes a reference of its own to it.
LibraryHandle LoadedTransport();

// The file of the board transport loaded in this process (found among its modules by its file
// name), or "" when none is.
std::string LoadedTransportFile();

// The function `name` of the board transport loaded in this process, or null.
void *LoadedTransportFunction(const char *name);

// The board transport a library would load, as the system would find it for the library.
struct TransportLookup {
  enum class Outcome {
    kFound,      // `file` is the transport the library would load
    kUnknown,    // the system cannot say (loading the library then says why in its own words)
    kNotFound,   // the library needs the transport and finds none; `searched` says where it looked
    kOtherName,  // it loads its transport under another name, `file`
    kNotNeeded,  // it loads no board transport at all
  };
  Outcome outcome = Outcome::kUnknown;
  std::string file;
  std::string searched;
};

// Looks for the transport the library `library` (a full path) would load: on Windows in its own
// folder, the system folders, the current folder and PATH, as the loader searches them; natively
// by asking the dynamic loader itself, so that the library's run path, the library path and the
// system's cache count as they would. With `must_find` false only the library's need of the
// transport is judged (natively): one that is not found then is not said.
TransportLookup LookUpTransportOf(const std::string &library, bool must_find);

// Whether a loaded library's calls of the board transport go to the transport `spy`.
struct TransportBinding {
  enum class Outcome {
    kSpy,         // all of them
    kNoImport,    // on Windows: the library does not import the transport at all
    kNoFunction,  // natively: the library has no transport function `what`
    kOther,       // one goes to the transport in the file `what`
  };
  Outcome outcome = Outcome::kSpy;
  std::string what;
};

// On Windows judged from the library's import table, which the loader has filled in; natively
// from the transport functions HwTransfer and HwTransferEx as the library sees them.
TransportBinding BindingToTransport(LibraryHandle library, LibraryHandle spy);

// Puts `library` where it loads `transport` as its board transport and returns the file to
// load: on Windows a copy in `folder` (made new) beside a copy of `transport` as HWLINK32.DLL,
// which the loader then takes for it; natively the library itself. An empty path, with `error`
// saying why, when the copies cannot be made.
std::filesystem::path PlaceBesideTransport(const std::filesystem::path &library,
                                           const std::filesystem::path &transport,
                                           const std::filesystem::path &folder, std::error_code &error);

// Whether the programs klia starts can be made to load a library before anything else
// (natively through LD_PRELOAD). Windows has no such means: a program there loads the
// HWLINK32.DLL beside it.
bool CanPreloadIntoChildren();

// Makes the programs klia starts from now on load `file` of `folder` before anything else (after
// a sanitizer's runtime that klia itself was started with, which must stay first) and look for
// libraries in `folder` first. False, and nothing changed, when the path cannot be put on the
// loader's preload list (it has a space or a colon). Nothing to do on Windows.
bool PreloadIntoChildren(const std::filesystem::path &folder, const char *file);

// --- The terminal and the standard streams -------------------------------------------------

// Opens the null device on any of descriptors 0-2 that is closed, so that no file klia or the
// virtual board opens later is given a standard stream's number.
void ReserveStandardStreams();

bool IsTerminal(std::FILE *stream);

// Standard input or output carries bytes as they are: on a system whose C runtime turns line
// ends in text mode, the stream is switched to binary.
void UseBinaryMode(std::FILE *stream);

// std::fopen with `mode` ("rb", "wb"), for klia alone: where the system lets a file be opened
// so, the stream is not handed to programs klia starts. errno says why when it fails.
std::FILE *OpenNotInherited(const std::string &path, const char *mode);

// The permission bits of an open regular file that users other than its owner (its group, the
// rest) may read, as a chmod number (0644); nothing when they may not, or when the system keeps
// no such bits.
std::optional<unsigned> ModeOthersMayRead(std::FILE *file);

// Reads one line from standard input, a terminal, without echo, keeping at most `longest` of its
// bytes: `prompt` goes to the terminal first (even when standard error is sent elsewhere), and
// the echo comes back on every path, an interrupt (Ctrl-C, SIGTERM) included, which then ends
// klia as the signal would have. Returns false when the input ends before a line.
bool ReadWithoutEcho(const std::string &prompt, std::string &line, std::size_t longest);

// The signals that end klia with its work tidied up: Ctrl-C, a kill, and, where the system has
// one, a terminal that went away (SIGHUP). At most kMaxTidyEndingSignals of them.
inline constexpr std::size_t kMaxTidyEndingSignals = 3;
std::span<const int> TidyEndingSignals();
// Whether `signal` is the one of a terminal that went away (SIGHUP).
bool IsHangUpSignal(int signal);

// From now on, each signal that would end klia at once (a kill, a crash, Ctrl-C), and that klia
// was started with the default action for, first runs `last_words` and then ends klia as it
// would have. `last_words` runs in a signal handler: it may only write.
void RunBeforeEndingSignals(void (*last_words)());

// A file in the temporary folder, open for reading and writing, that no other program finds and
// that is gone however klia ends (never named where the system allows, else removed from its
// folder at once or when klia closes it). A descriptor, or -1.
int OpenUnnamedTemporaryFile();

// Descriptor 2 pointed at `file` (and, where the system keeps a standard error handle of its
// own, that handle too, so that a library whose C runtime starts later writes there as well).
// `own` is a copy of what descriptor 2 was (klia's own standard error, or -1 where no copy could
// be made) and `own_stream` a stream on it. When it cannot be done, `file` and the copy are
// closed and descriptor 2 is left as it was.
struct StandardErrorMoved {
  bool moved = false;
  int own = -1;
  std::FILE *own_stream = nullptr;
};
StandardErrorMoved MoveStandardErrorTo(int file);
// Descriptor 2 (and the system's handle) pointed back at `own`, from MoveStandardErrorTo.
void PutBackStandardError(int own);

// Descriptor calls that may be made from a signal handler. ReadDescriptorAt reads at most `size`
// bytes at `offset` and returns how many (0 at the end, -1 on failure); WriteToDescriptor writes
// all of `size` bytes, or stops at the first failure.
long long ReadDescriptorAt(int descriptor, long long offset, char *buffer, unsigned size);
void WriteToDescriptor(int descriptor, const char *text, std::size_t size);
// Removes the file at `path`; may be called from a signal handler.
void RemoveFileFromSignalHandler(const char *path);

// --- Text: code page 866 and the terminal's encoding ----------------------------------------

// Settles the terminal's encoding. On POSIX it is the locale's; on Windows klia writes UTF-8 and
// switches the console to it for as long as it runs. Call once at start-up.
void InitTerminalEncoding();

// The command line in the terminal's encoding. On Windows it is taken from the system in UTF-16,
// so that text outside the ANSI code page survives.
std::vector<std::string> CommandLineArguments(int argc, char **argv);

// Board text (code page 866) for display. Bytes that cannot be shown are written as \xNN.
std::string Cp866ToTerminal(std::string_view cp866);
// Board text as UTF-8 (for JSON).
std::string Cp866ToUtf8(std::string_view cp866);
// Typed text (terminal encoding) as code page 866; nothing when a character has no place in
// code page 866.
std::optional<std::string> TerminalToCp866(std::string_view text);

}  // namespace klia

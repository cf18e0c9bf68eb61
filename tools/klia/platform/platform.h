// What differs between Windows and POSIX, behind one door. Every room of klia that needs the
// system for something the two do differently (replacing and locking files, modes and access
// lists, starting a program and learning how it ended, loading a library, the terminal and the
// standard streams, code page 866, hashing) asks it here; each system's answer lies in a folder
// of its own (posix/, windows/), and the build takes one of them. Nothing outside this room
// says which system it is built for.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <optional>
#include <span>
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

// --- Hashing ------------------------------------------------------------------------------

// --- Processes: starting a program, waiting for it, how it ended ----------------------------

// --- Loading a library and finding the modules of this process ------------------------------

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

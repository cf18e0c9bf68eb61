#include "library/spy_pin.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "library/board_session.h"
#include "site/folder_files.h"
#include "site/library_check.h"
#include "mviahlp.h"
#include "platform/platform.h"
#include "shell/installation.h"
#include "site/program_folder.h"

namespace klia {
namespace {

namespace fs = std::filesystem;

// The spy's own query: 1 when its read-only guard is on in this process.
using GuardQuery = uint32_t(KLIA_CALL *)(void);

std::string g_command;  // the command that asked for the pinned spy
std::string g_spy_file;
LibraryHandle g_spy = nullptr;

bool Replaying() { return !Environment(spy::kReplayVariable).empty(); }

std::string Who() { return g_command.empty() ? "a command run under 'klia trace replay'" : g_command; }

// What every refusal ends with: nothing has been called, so the board is as it was.
std::string Untouched() { return "; " + Who() + " called nothing, the board is as it was"; }

// The file the library would load for its transport, as the system would find it. Throws
// SpyNotPinned when the library needs no such transport, needs one under another name (which
// the spy, loaded under the transport's name, would not stand in for), or finds none while
// `needed_here` (no other transport is named). "" when the system cannot say: loading the
// library then fails with the loader's own words.
std::string TransportTheLibraryWouldFind(const std::string &library, bool needed_here = true) {
  const TransportLookup lookup = LookUpTransportOf(library, needed_here);
  switch (lookup.outcome) {
    case TransportLookup::Outcome::kOtherName:
      throw SpyNotPinned("the library " + library + " loads its board transport as " + lookup.file + ", not as " +
                         kTransportFile + ": the spy cannot stand in front of it, so its writes could reach the "
                         "board" + Untouched());
    case TransportLookup::Outcome::kNotFound:
      throw SpyNotPinned("the library " + library + " finds no board transport " + kTransportFile + " (" +
                         lookup.searched + "); put the transport beside it, or name it with HWLINK_SPY_TARGET" +
                         Untouched());
    case TransportLookup::Outcome::kNotNeeded:
      throw SpyNotPinned("the library " + library + " does not load the board transport " + kTransportFile +
                         ": it reaches the board some other way, and the spy cannot stand in front of it" +
                         Untouched());
    case TransportLookup::Outcome::kFound: return lookup.file;
    case TransportLookup::Outcome::kUnknown: break;
  }
  return "";
}

GuardQuery FindGuardQuery(LibraryHandle spy) {
  void *address = LibraryFunction(spy, spy::kGuardExport);
  GuardQuery query = nullptr;
  static_assert(sizeof query == sizeof address);
  std::memcpy(&query, &address, sizeof query);
  return query;
}

bool IsSpy(const std::string &file) {
  try {
    return SpyVersion(ReadFileAt(file, 256u << 20)).has_value();
  } catch (const FileStepFailure &) {
    return false;
  }
}

}  // namespace

void RequirePinnedSpy(const std::string &command) { g_command = command; }

bool PinnedSpyWanted() { return !g_command.empty() || Replaying(); }

const std::string &PinnedSpyFile() { return g_spy_file; }

void PinSpy(const std::string &library) {
  if (g_spy != nullptr) return;
  const bool replaying = Replaying();
  // Judged from its bytes first: a file that is no interface library is not loaded at all.
  try {
    CheckInterfaceLibrary(ReadFileAt(library, 1u << 30), library);
  } catch (const FileStepFailure &e) {
    throw Failure("library", "cannot load " + library + ": " + e.what());
  }
  // The spy's settings, before it is loaded: it takes them when it is loaded. The guard is asked
  // for whatever this process inherited; under a replay no board is reached and no transport
  // is loaded.
  SetEnvironment(spy::kGuardVariable, spy::kGuardReadOnly);
  // A spy the library would find anyway (one that 'klia spy install' put into a program's folder)
  // is the one pinned: with its own settings, and the guard on. Two spies in one process would
  // both take the settings meant for one.
  std::string folder_spy;
  if (!replaying) {
    if (Environment(spy::kTargetVariable).empty()) {
      const std::string target = TransportTheLibraryWouldFind(library);
      if (!target.empty() && IsSpy(target)) {
        folder_spy = target;
      } else if (!target.empty()) {
        SetEnvironment(spy::kTargetVariable, target);
      }
    } else {
      TransportTheLibraryWouldFind(library, false);  // only its checks: the transport is named
    }
    if (folder_spy.empty() && Environment(spy::kTraceVariable).empty()) {
      SetEnvironment(spy::kTraceVariable, spy::kNoTrace);
    }
  }

  // A transport loaded already is the one the library will bind to: under a replay, the spy that
  // klia trace replay put before everything else; it must be a spy.
  LibraryHandle spy = LoadedTransport();
  std::string file;
  if (spy != nullptr) {
    file = LoadedLibraryFile(spy, spy::kGuardExport);
  } else {
    try {
      file = folder_spy.empty() ? FindSpy().library.string() : folder_spy;
    } catch (const CannotRun &e) {
      throw SpyNotPinned(std::string(e.what()) + ": " + Who() + " runs only behind it" + Untouched());
    }
    std::string why;
    spy = LoadSpyLibrary(file, why);
    if (spy == nullptr) {
      throw SpyNotPinned("cannot load the transport spy " + file + ": " + why + "; " + Who() +
                         " runs only behind it" + Untouched());
    }
  }
  const GuardQuery guard = FindGuardQuery(spy);
  if (guard == nullptr) {
    throw SpyNotPinned("the transport " + (file.empty() ? std::string(kTransportFile) : file) +
                       " loaded in front of the library is not klia's transport spy (it cannot say whether its "
                       "read-only guard is on)" + Untouched());
  }
  if (!replaying && guard() != 1) {
    throw SpyNotPinned("the transport spy " + file + " did not turn its read-only guard on" + Untouched());
  }
  g_spy = spy;
  g_spy_file = file;
}

void CheckBoundToPinnedSpy(void *module, const std::string &library) {
  if (g_spy == nullptr) return;
  const TransportBinding binding = BindingToTransport(module, g_spy);
  switch (binding.outcome) {
    case TransportBinding::Outcome::kSpy: return;
    case TransportBinding::Outcome::kNoImport:
      throw SpyNotPinned("the library " + library + " does not import the board transport " + kTransportFile +
                         ": it reaches the board some other way, and the spy cannot stand in front of it" +
                         Untouched());
    case TransportBinding::Outcome::kNoFunction:
    case TransportBinding::Outcome::kOther: break;
  }
  throw SpyNotPinned("the library " + library +
                     (binding.outcome == TransportBinding::Outcome::kNoFunction
                          ? " has no transport function " + binding.what
                          : " is bound to the transport " + binding.what) +
                     ", not to the spy " + g_spy_file + " klia put in front of it" + Untouched());
}

}  // namespace klia

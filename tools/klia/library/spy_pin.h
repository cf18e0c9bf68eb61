// The transport spy pinned in front of the interface library, for the commands that promise not
// to change the board (klia probe, and so each run of klia compare) and for any klia command run
// under klia trace replay.
//
// klia loads the spy itself, under the transport's own name, before it loads the library:
// natively the dynamic loader then takes the object already loaded under the soname
// libhwlink32.so for the library's libhwlink32.so, whatever the library's run path or the
// library path say; on Windows a module already loaded as HWLINK32.DLL is the one the library's
// import of HWLINK32.DLL binds to. The spy's settings are set in klia's own environment first,
// whatever was inherited: the read-only guard on, the transport the library would have found as
// the spy's target (unless HWLINK_SPY_TARGET names one), and no trace unless HWLINK_SPY_TRACE
// names one. Then the spy is asked whether its guard is on, and once the library is loaded, klia
// checks that the library's transport functions are the spy's. When any of this does not hold,
// nothing has been sent to the board through klia's calls and the command ends with exit 2,
// saying why.
#pragma once

#include <string>

#include "shell/errors.h"

namespace klia {

// The spy could not be put in front of the library, or the library does not use it: klia has
// called nothing and refuses (exit 2).
class SpyNotPinned : public Failure {
 public:
  explicit SpyNotPinned(const std::string &message) : Failure("unprotected", message) {}
};

// Asks that the interface library be loaded behind the pinned spy with its guard on. `command`
// names the command that promises not to change the board ("klia probe"). Call before the
// library is loaded.
void RequirePinnedSpy(const std::string &command);

// Whether the library must be loaded behind the pinned spy: asked for, or klia runs under a
// replay (HWLINK_SPY_REPLAY is set), where nothing may reach a board.
bool PinnedSpyWanted();

// Loads the spy before `library` (the file about to be loaded, a full path) is loaded, with its
// settings in the environment. Throws SpyNotPinned.
void PinSpy(const std::string &library);

// After the library `library` is loaded (`module` is its handle: the dlopen handle, or the
// HMODULE): throws SpyNotPinned unless the library's transport functions are the pinned spy's.
void CheckBoundToPinnedSpy(void *module, const std::string &library);

// The pinned spy's file, "" when none is pinned.
const std::string &PinnedSpyFile();

}  // namespace klia

// The emulated caller: runs a 32-bit mviahlp.dll's own code under the Unicorn CPU emulator,
// with no Windows, no Wine and no 32-bit process.
//
// Loading does what the Windows loader does for one DLL: it maps the headers and sections with
// their protections (at the preferred base, or at another one with the base relocations
// applied), gives the thread a thread block reached through FS, sets up the module's
// thread-local storage, binds every import to a host implementation of that function, runs the
// TLS callbacks and then the entry point with DLL_PROCESS_ATTACH. Detach() runs the entry point
// with DLL_PROCESS_DETACH.
//
// Imports. KERNEL32 and msvcrt functions the DLL uses are implemented here, on the host, behind
// thunks in emulated memory (an `int 0x80` the host answers, then the return that pops the
// function's own arguments). An import the caller does not provide refuses the load, naming the
// DLL and the function. HWLINK32.DLL is reached by ordinal only: imports by ordinal 1000
// (HwTransfer) and 1002 (HwTransferEx), and GetProcAddress by those ordinals on the handle
// LoadLibraryA("HWLINK32.DLL") returns, go to the native transport (libhwlink32.so, found by its
// soname), with the exchange's buffers copied between emulated memory and the host. An import
// or a GetProcAddress by name, or by any other ordinal, is a failure.
//
// The calling contract is checked on every call into the DLL (exports, the entry point, TLS
// callbacks): arguments in 32-bit stack slots, and on return the callee must have popped exactly
// 4 bytes per argument and kept EBX, ESI, EDI and EBP. Every failure (a breach, a fault in the
// DLL's code, abort, a refused import) throws EmuError, whose message names the function.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "pe_image.h"

struct uc_struct;

namespace emu32 {

class EmuError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct LoadOptions {
  // Map the DLL at this base instead of its preferred one (base relocations applied). The
  // address must be 64 KiB aligned and free.
  std::optional<uint32_t> base;
};

class EmulatedDll {
 public:
  // Loads and attaches; throws PeError or EmuError.
  explicit EmulatedDll(const std::string &path, const LoadOptions &options = {});
  ~EmulatedDll();
  EmulatedDll(const EmulatedDll &) = delete;
  EmulatedDll &operator=(const EmulatedDll &) = delete;

  // Runs the entry point with DLL_PROCESS_DETACH (once; later calls do nothing).
  void Detach();

  // Calls the export of this ordinal with stdcall arguments, one 32-bit slot each, and checks
  // the calling contract; returns EAX. `name` is the function's name for messages and is
  // checked against the export table's name for that ordinal.
  uint32_t Call(uint16_t ordinal, const std::string &name, const std::vector<uint32_t> &args);

  // Staging memory for the arguments of one call: Stage copies `size` bytes of `data` into
  // emulated memory (surrounded by guard bytes) and returns its address; ResetStaging frees
  // everything staged; CheckStaging fails with `who` named when a guard byte was overwritten
  // (a record written past its size).
  uint32_t Stage(const void *data, size_t size);
  void ResetStaging();
  void CheckStaging(const std::string &who) const;

  void Read(uint32_t address, void *data, size_t size) const;
  void Write(uint32_t address, const void *data, size_t size);

  // The host procedure behind the emulated address ProgressThunk() returns: called with the
  // message's short string (length byte first) when the DLL calls that address (stdcall, one
  // argument).
  void SetProgress(std::function<void(const uint8_t *message)> procedure) { progress_ = std::move(procedure); }
  uint32_t ProgressThunk() const;

  const PeImage &Image() const { return image_; }
  uint32_t Base() const { return base_; }

  struct HostFunction;
  // For the emulator's hooks only.
  void OnInterruptForHook(uint32_t number);
  void OnInvalidMemoryForHook(int type, uint64_t address, int size);

 private:
  void MapImage(const LoadOptions &options);
  void SetUpThread();
  void BindImports();
  void SetUpTls();
  uint32_t Run(uint32_t address, const std::string &name, const std::vector<uint32_t> &args);
  [[noreturn]] void Throw(const std::string &who, const std::string &what) const;
  void Fail(const std::string &what);  // from inside a hook: stops the emulator
  uint32_t Arg(unsigned index) const;  // argument `index` of the host function being called
  uint32_t Thunk(size_t index) const;
  size_t AddHostFunction(const std::string &dll, const std::string &name, unsigned arguments, bool stdcall,
                         std::function<uint32_t(EmulatedDll &)> body);
  std::string ReadString(uint32_t address, size_t limit = 65536) const;
  uint32_t ReadU32(uint32_t address) const;
  void WriteU32(uint32_t address, uint32_t value);
  uint32_t HeapAlloc(uint32_t size);
  void HeapFree(uint32_t address);
  uint32_t HeapRealloc(uint32_t address, uint32_t size);
  uint32_t Transfer(bool extended);
  std::string Format(uint32_t format, uint32_t arguments) const;

  PeImage image_;
  uc_struct *uc_ = nullptr;
  uint32_t base_ = 0;
  bool attached_ = false;
  bool running_ = false;
  std::string failure_;  // set by a hook, thrown after the emulator stops
  std::vector<std::shared_ptr<HostFunction>> host_functions_;
  std::map<std::string, size_t> host_by_name_;  // "DLL!name", upper-case DLL
  size_t progress_thunk_ = 0;
  size_t transfer_thunk_ = 0;
  size_t transfer_ex_thunk_ = 0;
  std::function<void(const uint8_t *)> progress_;
  std::map<uint32_t, uint32_t> heap_used_;  // address -> size
  std::map<uint32_t, uint32_t> heap_free_;
  uint32_t staging_top_ = 0;
  std::vector<std::pair<uint32_t, uint32_t>> staged_;  // address, size
  uint32_t last_error_ = 0;
  std::vector<uint32_t> tls_slots_;
};

}  // namespace emu32

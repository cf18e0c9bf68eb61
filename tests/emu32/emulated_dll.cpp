#include "emulated_dll.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>
#include <thread>

#include "board/hwlink.h"

namespace emu32 {

// The emulated address space. The DLL sits at its preferred base (0x64A80000 for ours) or where
// LoadOptions put it; everything else lies where no 32-bit DLL's preferred base falls, and the
// first 64 KiB stay unmapped so that a null address faults as on Windows.
namespace {

constexpr uint32_t kPage = 0x1000;
constexpr uint32_t kStackLimit = 0x00100000;  // 1 MiB of stack, down from kStackTop
constexpr uint32_t kStackTop = 0x001FF000;
constexpr uint32_t kStackEnd = 0x00200000;
constexpr uint32_t kHeap = 0x10000000;  // calloc/realloc/free of the DLL's C runtime
constexpr uint32_t kHeapSize = 0x01000000;
constexpr uint32_t kStaging = 0x20000000;  // a call's arguments, copied from the host
constexpr uint32_t kStagingSize = 0x00100000;
constexpr uint32_t kThunks = 0x7F000000;  // one 16-byte thunk per host function
constexpr uint32_t kThunkSize = 16;
constexpr uint32_t kThunkPages = 2;
constexpr uint32_t kReturn = kThunks + kThunkPages * kPage - 16;  // where every call returns to
constexpr uint32_t kRuntimeData = 0x7F010000;                     // msvcrt's data: _iob
constexpr uint32_t kIobEntrySize = 32;                            // sizeof(FILE) in the 32-bit msvcrt
constexpr uint32_t kTlsArray = 0x7F011000;                        // ThreadLocalStoragePointer's array
constexpr uint32_t kPeb = 0x7FFDD000;
constexpr uint32_t kTeb = 0x7FFDE000;
constexpr uint32_t kGdt = 0x7FFF0000;
constexpr uint32_t kTransportHandle = 0x7E000000;  // what LoadLibraryA("HWLINK32.DLL") returns
constexpr uint16_t kFsSelector = (1 << 3) | 3;     // GDT entry 1, requested privilege 3
constexpr uint16_t kDataSelector = 2 << 3;         // GDT entry 2, privilege 0
constexpr uint8_t kGuardByte = 0xCC;
constexpr uint32_t kGuardSize = 16;

// Values a caller leaves in the registers the callee must keep, each recognisable.
constexpr uint32_t kCallerEbx = 0x3B3B3B3B;
constexpr uint32_t kCallerEsi = 0x5E5E5E5E;
constexpr uint32_t kCallerEdi = 0xD1D1D1D1;
constexpr uint32_t kCallerEbp = 0xBEBEBEBE;

// DllMain's reasons.
constexpr uint32_t kProcessDetach = 0;
constexpr uint32_t kProcessAttach = 1;

// Windows page protections, as VirtualProtect and VirtualQuery speak of them.
constexpr uint32_t kPageNoAccess = 0x01;
constexpr uint32_t kPageReadOnly = 0x02;
constexpr uint32_t kPageReadWrite = 0x04;
constexpr uint32_t kPageWriteCopy = 0x08;
constexpr uint32_t kPageExecute = 0x10;
constexpr uint32_t kPageExecuteRead = 0x20;
constexpr uint32_t kPageExecuteReadWrite = 0x40;
constexpr uint32_t kPageExecuteWriteCopy = 0x80;

constexpr uint32_t kErrorModNotFound = 126;
constexpr uint32_t kErrorProcNotFound = 127;

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%08" PRIx64, value);
  return text;
}

std::string Upper(std::string text) {
  for (char &c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

uint32_t RoundUp(uint32_t value, uint32_t unit) { return (value + unit - 1) / unit * unit; }

uint32_t UnicornProtection(uint32_t windows) {
  switch (windows & 0xFF) {
    case kPageReadOnly: return UC_PROT_READ;
    case kPageReadWrite:
    case kPageWriteCopy: return UC_PROT_READ | UC_PROT_WRITE;
    case kPageExecute: return UC_PROT_EXEC;
    case kPageExecuteRead: return UC_PROT_READ | UC_PROT_EXEC;
    case kPageExecuteReadWrite:
    case kPageExecuteWriteCopy: return UC_PROT_ALL;
    default: return UC_PROT_NONE;
  }
}

uint32_t WindowsProtection(uint32_t unicorn) {
  const bool read = (unicorn & UC_PROT_READ) != 0, write = (unicorn & UC_PROT_WRITE) != 0;
  if ((unicorn & UC_PROT_EXEC) != 0) return write ? kPageExecuteReadWrite : read ? kPageExecuteRead : kPageExecute;
  return write ? kPageReadWrite : read ? kPageReadOnly : kPageNoAccess;
}

void Check(uc_err err, const std::string &what) {
  if (err != UC_ERR_OK) throw EmuError(what + ": " + uc_strerror(err));
}

uint32_t Reg(uc_engine *uc, int reg) {
  uint32_t value = 0;
  uc_reg_read(uc, reg, &value);
  return value;
}

void SetReg(uc_engine *uc, int reg, uint32_t value) { uc_reg_write(uc, reg, &value); }

void InterruptHook(uc_engine *, uint32_t number, void *user) {
  static_cast<EmulatedDll *>(user)->OnInterruptForHook(number);
}

bool InvalidMemoryHook(uc_engine *, uc_mem_type type, uint64_t address, int size, int64_t, void *user) {
  static_cast<EmulatedDll *>(user)->OnInvalidMemoryForHook(static_cast<int>(type), address, size);
  return false;
}

// msvcrt's _initterm(begin, end), run as guest code because it calls guest code: every
// non-null function pointer in [begin, end) in turn (cdecl, no arguments).
constexpr uint8_t kInitTermCode[] = {
    0x56,                    //     push esi
    0x57,                    //     push edi
    0x8B, 0x74, 0x24, 0x0C,  //     mov esi, [esp+12]   begin
    0x8B, 0x7C, 0x24, 0x10,  //     mov edi, [esp+16]   end
    0x39, 0xFE,              // L:  cmp esi, edi
    0x73, 0x0D,              //     jae done
    0x8B, 0x06,              //     mov eax, [esi]
    0x85, 0xC0,              //     test eax, eax
    0x74, 0x02,              //     jz next
    0xFF, 0xD0,              //     call eax
    0x83, 0xC6, 0x04,        // next: add esi, 4
    0xEB, 0xEF,              //     jmp L
    0x5F,                    // done: pop edi
    0x5E,                    //     pop esi
    0xC3,                    //     ret
};

}  // namespace

// A function the emulated caller provides: the thunk at its index runs `body` on the host.
struct EmulatedDll::HostFunction {
  std::string dll;
  std::string name;
  unsigned arguments;
  bool stdcall;
  std::function<uint32_t(EmulatedDll &)> body;  // empty: guest code in the thunk itself
  std::vector<uint8_t> guest_code;
};

EmulatedDll::EmulatedDll(const std::string &path, const LoadOptions &options) : image_(PeImage::Read(path)) {
  Check(uc_open(UC_ARCH_X86, UC_MODE_32, &uc_), "the emulator could not be started");
  try {
    MapImage(options);
    SetUpThread();
    BindImports();
    SetUpTls();
    attached_ = true;  // calls need an attached DLL; a refused attach undoes it below
    if (image_.EntryRva() != 0 && Run(base_ + image_.EntryRva(), "DllMain", {base_, kProcessAttach, 0}) == 0) {
      attached_ = false;
      throw EmuError(image_.Path() + ": DllMain refused DLL_PROCESS_ATTACH (returned FALSE)");
    }
  } catch (...) {
    uc_close(uc_);
    uc_ = nullptr;
    throw;
  }
}

EmulatedDll::~EmulatedDll() {
  if (uc_ != nullptr) uc_close(uc_);
}

void EmulatedDll::Detach() {
  if (!attached_) return;
  attached_ = false;
  // Windows calls the TLS callbacks before the entry point, for detach as for attach.
  if (image_.Tls() && image_.Tls()->callbacks != 0) {
    const uint32_t delta = base_ - image_.ImageBase();
    for (uint32_t at = image_.Tls()->callbacks + delta;; at += 4) {
      const uint32_t callback = ReadU32(at);
      if (callback == 0) break;
      Run(callback, "TLS callback", {base_, kProcessDetach, 0});
    }
  }
  if (image_.EntryRva() != 0) Run(base_ + image_.EntryRva(), "DllMain", {base_, kProcessDetach, 0});
}

[[noreturn]] void EmulatedDll::Throw(const std::string &who, const std::string &what) const {
  throw EmuError(who + ": " + what);
}

void EmulatedDll::Fail(const std::string &what) {
  if (failure_.empty()) failure_ = what;
  uc_emu_stop(uc_);
}

void EmulatedDll::Read(uint32_t address, void *data, size_t size) const {
  if (size == 0) return;
  if (uc_mem_read(uc_, address, data, size) != UC_ERR_OK) {
    throw EmuError("read of " + std::to_string(size) + " bytes at unmapped address " + Hex(address));
  }
}

void EmulatedDll::Write(uint32_t address, const void *data, size_t size) {
  if (size == 0) return;
  if (uc_mem_write(uc_, address, data, size) != UC_ERR_OK) {
    throw EmuError("write of " + std::to_string(size) + " bytes at unmapped address " + Hex(address));
  }
}

// 32-bit words of emulated memory, little-endian, one byte at a time.
uint32_t EmulatedDll::ReadU32(uint32_t address) const {
  uint8_t bytes[4];
  Read(address, bytes, 4);
  return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
         (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

void EmulatedDll::WriteU32(uint32_t address, uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  Write(address, bytes, 4);
}

std::string EmulatedDll::ReadString(uint32_t address, size_t limit) const {
  std::string text;
  for (;; ++address) {
    char c = 0;
    Read(address, &c, 1);
    if (c == 0) return text;
    if (text.size() >= limit) throw EmuError("unterminated string at " + Hex(address));
    text.push_back(c);
  }
}

// ---- the image ------------------------------------------------------------------------------

void EmulatedDll::MapImage(const LoadOptions &options) {
  base_ = options.base.value_or(image_.ImageBase());
  if (base_ % 0x10000 != 0) throw EmuError(image_.Path() + ": base " + Hex(base_) + " is not 64 KiB aligned");
  if (base_ != image_.ImageBase() && !image_.Relocatable()) {
    throw EmuError(image_.Path() + ": has no base relocations and cannot be moved from " + Hex(image_.ImageBase()));
  }
  const uint32_t size = RoundUp(image_.SizeOfImage(), kPage);
  // The caller's own regions: the stack, the heap, the staging area, and everything from the
  // thunks up.
  const std::pair<uint64_t, uint64_t> reserved[] = {
      {0, kStackEnd}, {kHeap, kHeap + kHeapSize}, {kStaging, kStaging + kStagingSize}, {kTransportHandle, 1ull << 32}};
  for (const auto &[begin, end] : reserved) {
    if (base_ < end && base_ + static_cast<uint64_t>(size) > begin) {
      throw EmuError(image_.Path() + ": base " + Hex(base_) + " overlaps the caller's own memory");
    }
  }
  Check(uc_mem_map(uc_, base_, size, UC_PROT_ALL),
        image_.Path() + ": cannot map " + Hex(size) + " bytes at " + Hex(base_));
  const std::vector<uint8_t> &bytes = image_.Bytes();
  Write(base_, bytes.data(), std::min<size_t>(image_.SizeOfHeaders(), bytes.size()));
  for (const PeSection &section : image_.Sections()) {
    const uint32_t length =
        std::min(section.raw_size, section.virtual_size == 0 ? section.raw_size : section.virtual_size);
    Write(base_ + section.rva, bytes.data() + section.raw_offset, length);
  }
  const uint32_t delta = base_ - image_.ImageBase();
  if (delta != 0) {
    for (uint32_t rva : image_.Relocations()) WriteU32(base_ + rva, ReadU32(base_ + rva) + delta);
  }
  // Protections last: the headers read-only, each section as its characteristics say.
  Check(uc_mem_protect(uc_, base_, RoundUp(image_.SizeOfHeaders(), kPage), UC_PROT_READ), "protecting the headers");
  for (const PeSection &section : image_.Sections()) {
    const uint32_t extent = RoundUp(std::max(section.virtual_size, section.raw_size), kPage);
    if (extent == 0) continue;
    uint32_t protection = 0;
    if (section.characteristics & 0x20000000u) protection |= UC_PROT_EXEC;
    if (section.characteristics & 0x40000000u) protection |= UC_PROT_READ;
    if (section.characteristics & 0x80000000u) protection |= UC_PROT_WRITE;
    Check(uc_mem_protect(uc_, base_ + section.rva, extent, protection), "protecting section " + section.name);
  }
}

// The thread's stack, its thread block at FS:0 (through a GDT entry whose base is the block),
// the process block, and the caller's own regions: heap, staging, thunks, runtime data.
void EmulatedDll::SetUpThread() {
  Check(uc_mem_map(uc_, kStackLimit, kStackEnd - kStackLimit, UC_PROT_READ | UC_PROT_WRITE), "mapping the stack");
  Check(uc_mem_map(uc_, kHeap, kHeapSize, UC_PROT_READ | UC_PROT_WRITE), "mapping the heap");
  heap_free_[kHeap] = kHeapSize;
  Check(uc_mem_map(uc_, kStaging, kStagingSize, UC_PROT_READ | UC_PROT_WRITE), "mapping the staging area");
  staging_top_ = kStaging;
  Check(uc_mem_map(uc_, kThunks, kThunkPages * kPage, UC_PROT_READ | UC_PROT_EXEC), "mapping the thunks");
  Check(uc_mem_map(uc_, kRuntimeData, 2 * kPage, UC_PROT_READ | UC_PROT_WRITE), "mapping the runtime's data");
  Check(uc_mem_map(uc_, kPeb, kPage, UC_PROT_READ | UC_PROT_WRITE), "mapping the process block");
  Check(uc_mem_map(uc_, kTeb, kPage, UC_PROT_READ | UC_PROT_WRITE), "mapping the thread block");
  Check(uc_mem_map(uc_, kGdt, kPage, UC_PROT_READ | UC_PROT_WRITE), "mapping the GDT");
  const uint8_t hlt = 0xF4;
  Write(kReturn, &hlt, 1);

  auto put32 = [this](uint32_t address, uint32_t value) { WriteU32(address, value); };
  put32(kTeb + 0x00, 0xFFFFFFFF);   // ExceptionList: no handler
  put32(kTeb + 0x04, kStackEnd);    // StackBase
  put32(kTeb + 0x08, kStackLimit);  // StackLimit
  put32(kTeb + 0x18, kTeb);         // Self
  put32(kTeb + 0x20, 0x1000);       // ClientId: process
  put32(kTeb + 0x24, 0x1004);       // ClientId: thread
  put32(kTeb + 0x2C, kTlsArray);    // ThreadLocalStoragePointer
  put32(kTeb + 0x30, kPeb);         // ProcessEnvironmentBlock
  put32(kPeb + 0x08, base_);        // ImageBaseAddress (of the process: the DLL stands in)

  // The GDT: entry 1 a 32-bit data segment over the thread block (FS, privilege 3), entry 2 a
  // flat 32-bit data segment for the stack and data (privilege 0). SS must be loaded with a
  // 32-bit segment, or pushes would wrap at 64 KiB.
  auto descriptor = [](uint32_t base, uint32_t limit, uint64_t access, uint64_t flags) {
    const uint64_t entry = (limit & 0xFFFF) | ((static_cast<uint64_t>(base) & 0xFFFFFF) << 16) | (access << 40) |
                           ((static_cast<uint64_t>(limit >> 16) & 0xF) << 48) | (flags << 52) |
                           ((static_cast<uint64_t>(base) >> 24) << 56);
    std::array<uint8_t, 8> bytes{};
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(entry >> (8 * i));
    return bytes;
  };
  const auto fs_entry = descriptor(kTeb, kPage - 1, 0xF2, 0x4);  // present, privilege 3, data, writable; bytes
  const auto data_entry = descriptor(0, 0xFFFFF, 0x92, 0xC);     // present, privilege 0, data, writable; 4 KiB, 32-bit
  Write(kGdt + 8, fs_entry.data(), 8);
  Write(kGdt + 16, data_entry.data(), 8);
  uc_x86_mmr gdtr{0, kGdt, 4 * 8 - 1, 0};
  Check(uc_reg_write(uc_, UC_X86_REG_GDTR, &gdtr), "loading the GDT");
  uint32_t fs = kFsSelector, data = kDataSelector;
  Check(uc_reg_write(uc_, UC_X86_REG_FS, &fs), "loading FS");
  Check(uc_reg_write(uc_, UC_X86_REG_SS, &data), "loading SS");
  Check(uc_reg_write(uc_, UC_X86_REG_DS, &data), "loading DS");
  Check(uc_reg_write(uc_, UC_X86_REG_ES, &data), "loading ES");

  uc_hook hook;
  Check(uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void *>(&InterruptHook), this, 1, 0),
        "hooking interrupts");
  Check(uc_hook_add(uc_, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void *>(&InvalidMemoryHook), this, 1, 0),
        "hooking invalid memory accesses");
}

// The module's implicit thread-local storage: index 0, its block a copy of the template.
void EmulatedDll::SetUpTls() {
  if (!image_.Tls()) return;
  const PeTls &tls = *image_.Tls();
  const uint32_t delta = base_ - image_.ImageBase();
  const uint32_t template_size = tls.raw_end - tls.raw_start;
  if (tls.raw_end < tls.raw_start || template_size > 0x100000)
    throw EmuError(image_.Path() + ": malformed TLS directory");
  const uint32_t block = HeapAlloc(template_size + tls.zero_fill + 4);
  std::vector<uint8_t> data(template_size);
  Read(tls.raw_start + delta, data.data(), data.size());
  Write(block, data.data(), data.size());
  WriteU32(kTlsArray, block);  // slot 0 of ThreadLocalStoragePointer's array
  if (tls.index_address != 0) WriteU32(tls.index_address + delta, 0);
  if (tls.callbacks == 0) return;
  for (uint32_t at = tls.callbacks + delta;; at += 4) {
    const uint32_t callback = ReadU32(at);
    if (callback == 0) break;
    Run(callback, "TLS callback", {base_, kProcessAttach, 0});
  }
}

// ---- calls into the DLL ------------------------------------------------------------------

uint32_t EmulatedDll::Call(uint16_t ordinal, const std::string &name, const std::vector<uint32_t> &args) {
  const std::string who = name + " (ordinal " + std::to_string(ordinal) + ")";
  if (!attached_) Throw(who, "the DLL is not attached");
  const auto found = image_.Exports().find(ordinal);
  if (found == image_.Exports().end()) Throw(who, "no export of this ordinal in " + image_.Path());
  if (!found->second.name.empty() && found->second.name != name) {
    Throw(who, "the export of this ordinal is named " + found->second.name);
  }
  return Run(base_ + found->second.rva, who, args);
}

uint32_t EmulatedDll::Run(uint32_t address, const std::string &who, const std::vector<uint32_t> &args) {
  if (running_) Throw(who, "called while another call into the DLL is still running (from a progress procedure?)");
  uint32_t esp = kStackTop;
  for (auto arg = args.rbegin(); arg != args.rend(); ++arg) {
    esp -= 4;
    WriteU32(esp, *arg);
  }
  esp -= 4;
  WriteU32(esp, kReturn);
  SetReg(uc_, UC_X86_REG_ESP, esp);
  SetReg(uc_, UC_X86_REG_EBX, kCallerEbx);
  SetReg(uc_, UC_X86_REG_ESI, kCallerEsi);
  SetReg(uc_, UC_X86_REG_EDI, kCallerEdi);
  SetReg(uc_, UC_X86_REG_EBP, kCallerEbp);
  SetReg(uc_, UC_X86_REG_EAX, 0xEAEAEAEA);
  SetReg(uc_, UC_X86_REG_ECX, 0xECECECEC);
  SetReg(uc_, UC_X86_REG_EDX, 0xEDEDEDED);
  SetReg(uc_, UC_X86_REG_EFLAGS, 0x202);  // interrupts on, direction flag clear

  failure_.clear();
  running_ = true;
  const uc_err err = uc_emu_start(uc_, address, kReturn, 0, 0);
  running_ = false;
  const uint32_t eip = Reg(uc_, UC_X86_REG_EIP);
  if (!failure_.empty()) Throw(who, failure_ + " (EIP " + Hex(eip) + ")");
  if (err != UC_ERR_OK) Throw(who, std::string("the emulator stopped: ") + uc_strerror(err) + " at EIP " + Hex(eip));
  if (eip != kReturn) Throw(who, "stopped at EIP " + Hex(eip) + " before returning");

  // The standard calling convention: `ret 4n` pops the return address and the n slots.
  const uint32_t expected = 4 * static_cast<uint32_t>(args.size());
  const uint32_t end_esp = Reg(uc_, UC_X86_REG_ESP);
  if (end_esp != kStackTop) {
    const int64_t popped = static_cast<int64_t>(end_esp) - static_cast<int64_t>(esp) - 4;
    Throw(who, "breaks the standard calling convention: the callee popped " + std::to_string(popped) +
                   " bytes of arguments on return, " + std::to_string(expected) + " expected (" +
                   (popped == 0 && expected != 0 ? "compiled cdecl?" : "stack imbalance") + ")");
  }
  const struct {
    int reg;
    const char *name;
    uint32_t value;
  } kept[] = {{UC_X86_REG_EBX, "EBX", kCallerEbx},
              {UC_X86_REG_ESI, "ESI", kCallerEsi},
              {UC_X86_REG_EDI, "EDI", kCallerEdi},
              {UC_X86_REG_EBP, "EBP", kCallerEbp}};
  for (const auto &reg : kept) {
    const uint32_t value = Reg(uc_, reg.reg);
    if (value != reg.value) {
      Throw(who, std::string("breaks the calling contract: ") + reg.name + " was " + Hex(reg.value) +
                     " before the call and " + Hex(value) + " after it");
    }
  }
  return Reg(uc_, UC_X86_REG_EAX);
}

// ---- staging ------------------------------------------------------------------------------

uint32_t EmulatedDll::Stage(const void *data, size_t size) {
  const uint32_t start = RoundUp(staging_top_, 16);
  const uint64_t end =
      static_cast<uint64_t>(start) + kGuardSize + RoundUp(static_cast<uint32_t>(size), 16) + kGuardSize;
  if (size > kStagingSize || end > kStaging + kStagingSize) throw EmuError("the staging area is full");
  const std::vector<uint8_t> guard(kGuardSize, kGuardByte);
  Write(start, guard.data(), guard.size());
  const uint32_t address = start + kGuardSize;
  Write(address, data, size);
  Write(address + static_cast<uint32_t>(size), guard.data(), guard.size());
  staged_.emplace_back(address, static_cast<uint32_t>(size));
  staging_top_ = address + static_cast<uint32_t>(size) + kGuardSize;
  return address;
}

void EmulatedDll::ResetStaging() {
  staging_top_ = kStaging;
  staged_.clear();
}

void EmulatedDll::CheckStaging(const std::string &who) const {
  for (const auto &[address, size] : staged_) {
    uint8_t before[kGuardSize], after[kGuardSize];
    Read(address - kGuardSize, before, kGuardSize);
    Read(address + size, after, kGuardSize);
    for (uint32_t i = 0; i < kGuardSize; ++i) {
      if (before[i] != kGuardByte || after[i] != kGuardByte) {
        throw EmuError(who + ": wrote outside the " + std::to_string(size) + "-byte buffer at " + Hex(address) +
                       " that the caller passed");
      }
    }
  }
}

// ---- host functions -----------------------------------------------------------------------

uint32_t EmulatedDll::Thunk(size_t index) const { return kThunks + static_cast<uint32_t>(index) * kThunkSize; }

uint32_t EmulatedDll::ProgressThunk() const { return Thunk(progress_thunk_); }

size_t EmulatedDll::AddHostFunction(const std::string &dll, const std::string &name, unsigned arguments, bool stdcall,
                                    std::function<uint32_t(EmulatedDll &)> body) {
  const size_t index = host_functions_.size();
  if (Thunk(index + 1) > kReturn) throw EmuError("too many host functions");
  auto function = std::make_shared<HostFunction>(HostFunction{dll, name, arguments, stdcall, std::move(body), {}});
  // int 0x80, then the return: `ret 4n` for the standard calling convention, `ret` for cdecl.
  std::vector<uint8_t> code = {0xCD, 0x80};
  if (stdcall && arguments != 0) {
    code.insert(code.end(), {0xC2, static_cast<uint8_t>(4 * arguments), 0x00});
  } else {
    code.push_back(0xC3);
  }
  Write(Thunk(index), code.data(), code.size());
  host_functions_.push_back(function);
  host_by_name_[Upper(dll) + "!" + name] = index;
  return index;
}

uint32_t EmulatedDll::Arg(unsigned index) const { return ReadU32(Reg(uc_, UC_X86_REG_ESP) + 4 + 4 * index); }

void EmulatedDll::OnInterruptForHook(uint32_t number) {
  const uint32_t eip = Reg(uc_, UC_X86_REG_EIP);
  const uint32_t thunk = eip - 2;
  if (number != 0x80 || thunk < kThunks || thunk >= kReturn || (thunk - kThunks) % kThunkSize != 0 ||
      (thunk - kThunks) / kThunkSize >= host_functions_.size() || !host_functions_[(thunk - kThunks) / kThunkSize] ||
      !host_functions_[(thunk - kThunks) / kThunkSize]->body) {
    Fail("interrupt " + std::to_string(number) + " raised by the DLL's code at " + Hex(eip));
    return;
  }
  const HostFunction &function = *host_functions_[(thunk - kThunks) / kThunkSize];
  try {
    const uint32_t result = function.body(*this);
    SetReg(uc_, UC_X86_REG_EAX, result);
    // What a caller may not rely on after a call: ECX and EDX.
    SetReg(uc_, UC_X86_REG_ECX, 0xC1C1C1C1);
    SetReg(uc_, UC_X86_REG_EDX, 0xD2D2D2D2);
  } catch (const std::exception &error) {
    Fail(function.dll + "!" + function.name + ": " + error.what());
  }
}

void EmulatedDll::OnInvalidMemoryForHook(int type, uint64_t address, int size) {
  const char *what = "access to";
  switch (type) {
    case UC_MEM_READ_UNMAPPED: what = "read of unmapped"; break;
    case UC_MEM_WRITE_UNMAPPED: what = "write to unmapped"; break;
    case UC_MEM_FETCH_UNMAPPED: what = "execution of unmapped"; break;
    case UC_MEM_WRITE_PROT: what = "write to read-only"; break;
    case UC_MEM_READ_PROT: what = "read of unreadable"; break;
    case UC_MEM_FETCH_PROT: what = "execution of non-executable"; break;
    default: break;
  }
  Fail(std::string("the DLL's code faulted: ") + what + " memory at " + Hex(address) + " (" + std::to_string(size) +
       " bytes)");
}

// ---- heap ---------------------------------------------------------------------------------

uint32_t EmulatedDll::HeapAlloc(uint32_t size) {
  const uint32_t need = RoundUp(std::max<uint32_t>(size, 1), 16);
  for (auto block = heap_free_.begin(); block != heap_free_.end(); ++block) {
    if (block->second < need) continue;
    const uint32_t address = block->first, left = block->second - need;
    heap_free_.erase(block);
    if (left != 0) heap_free_[address + need] = left;
    heap_used_[address] = need;
    return address;
  }
  return 0;
}

void EmulatedDll::HeapFree(uint32_t address) {
  if (address == 0) return;
  const auto used = heap_used_.find(address);
  if (used == heap_used_.end()) throw EmuError("free of " + Hex(address) + ", which no allocation returned");
  uint32_t start = address, size = used->second;
  heap_used_.erase(used);
  auto next = heap_free_.lower_bound(start);
  if (next != heap_free_.end() && start + size == next->first) {
    size += next->second;
    next = heap_free_.erase(next);
  }
  if (next != heap_free_.begin()) {
    auto previous = std::prev(next);
    if (previous->first + previous->second == start) {
      start = previous->first;
      size += previous->second;
      heap_free_.erase(previous);
    }
  }
  heap_free_[start] = size;
}

uint32_t EmulatedDll::HeapRealloc(uint32_t address, uint32_t size) {
  if (address == 0) return HeapAlloc(size);
  const auto used = heap_used_.find(address);
  if (used == heap_used_.end()) throw EmuError("realloc of " + Hex(address) + ", which no allocation returned");
  const uint32_t fresh = HeapAlloc(size);
  if (fresh == 0) return 0;
  std::vector<uint8_t> data(std::min(used->second, size));
  Read(address, data.data(), data.size());
  Write(fresh, data.data(), data.size());
  HeapFree(address);
  return fresh;
}

// ---- the transport ------------------------------------------------------------------------

// One exchange: the emulated buffers copied to the host, the native transport called, and what
// it may have written (the incoming block, the status and the auxiliary byte) copied back.
// Every incoming buffer starts as the emulated memory holds it, so bytes the transport leaves
// alone stay as they were.
uint32_t EmulatedDll::Transfer(bool extended) {
  const auto command = static_cast<uint8_t>(Arg(0));
  const auto param_length = static_cast<uint8_t>(Arg(1));
  const uint32_t param = Arg(2);
  const uint32_t out_length = extended ? (Arg(3) & 0xFFFF) : (Arg(3) & 0xFF);
  const uint32_t out = Arg(4);
  const uint32_t in_length = extended ? (Arg(5) & 0xFFFF) : (Arg(5) & 0xFF);
  const uint32_t in = Arg(6);
  const uint32_t status = Arg(7);
  const uint32_t aux = Arg(8);
  std::vector<uint8_t> param_bytes(param != 0 ? param_length : 0), out_bytes(out != 0 ? out_length : 0),
      in_bytes(in != 0 ? in_length : 0);
  Read(param, param_bytes.data(), param_bytes.size());
  Read(out, out_bytes.data(), out_bytes.size());
  Read(in, in_bytes.data(), in_bytes.size());
  uint8_t status_byte = 0, aux_byte = 0;
  if (status != 0) Read(status, &status_byte, 1);
  if (aux != 0) Read(aux, &aux_byte, 1);
  const void *param_host = param != 0 ? param_bytes.data() : nullptr;
  const void *out_host = out != 0 ? out_bytes.data() : nullptr;
  void *in_host = in != 0 ? in_bytes.data() : nullptr;
  uint8_t *status_host = status != 0 ? &status_byte : nullptr;
  uint8_t *aux_host = aux != 0 ? &aux_byte : nullptr;
  const uint32_t result = extended
                              ? HwTransferEx(command, param_length, param_host, static_cast<uint16_t>(out_length),
                                             out_host, static_cast<uint16_t>(in_length), in_host, status_host, aux_host)
                              : HwTransfer(command, param_length, param_host, static_cast<uint8_t>(out_length),
                                           out_host, static_cast<uint8_t>(in_length), in_host, status_host, aux_host);
  Write(in, in_bytes.data(), in_bytes.size());
  if (status != 0) Write(status, &status_byte, 1);
  if (aux != 0) Write(aux, &aux_byte, 1);
  return result;
}

// vfprintf's text: the format with its arguments taken from the va_list (32-bit slots).
std::string EmulatedDll::Format(uint32_t format, uint32_t arguments) const {
  const std::string pattern = ReadString(format);
  std::string text;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') {
      text.push_back(pattern[i]);
      continue;
    }
    size_t end = i + 1;
    while (end < pattern.size() && std::strchr("-+ #0123456789.lhz", pattern[end]) != nullptr) ++end;
    if (end >= pattern.size()) break;
    const char conversion = pattern[end];
    std::string directive = pattern.substr(i, end - i);
    directive.erase(std::remove_if(directive.begin(), directive.end(), [](char c) { return c == 'l' || c == 'h' || c == 'z'; }),
               directive.end());
    char piece[512];
    if (conversion == '%') {
      text.push_back('%');
    } else {
      const uint32_t value = ReadU32(arguments);
      arguments += 4;
      if (conversion == 's') {
        std::snprintf(piece, sizeof piece, (directive + "s").c_str(),
                      value != 0 ? ReadString(value, 400).c_str() : "(null)");
      } else if (conversion == 'd' || conversion == 'i') {
        std::snprintf(piece, sizeof piece, (directive + "d").c_str(), static_cast<int32_t>(value));
      } else if (conversion == 'p') {
        std::snprintf(piece, sizeof piece, "%08" PRIX32, value);
      } else if (std::strchr("uxXoc", conversion) != nullptr) {
        std::snprintf(piece, sizeof piece, (directive + conversion).c_str(), static_cast<unsigned>(value));
      } else {
        std::snprintf(piece, sizeof piece, "<%%%c>", conversion);
      }
      text += piece;
    }
    i = end;
  }
  return text;
}

// Binds every import: a host function of that DLL and name, msvcrt's _iob to the runtime's
// data, HWLINK32.DLL by ordinal to the transport. Anything else refuses the load by name.
void EmulatedDll::BindImports() {
  using Self = EmulatedDll;
  const std::string kernel = "KERNEL32.dll", crt = "msvcrt.dll";
  auto add = [this](const std::string &dll, const std::string &name, unsigned arguments, bool stdcall,
                    std::function<uint32_t(Self &)> body) {
    return AddHostFunction(dll, name, arguments, stdcall, body);
  };

  // One thread, so the critical sections only need to look initialised.
  add(kernel, "InitializeCriticalSection", 1, true, [](Self &dll) {
    const uint8_t section[24] = {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    dll.Write(dll.Arg(0), section, sizeof section);
    return 0u;
  });
  for (const char *name : {"EnterCriticalSection", "LeaveCriticalSection", "DeleteCriticalSection"}) {
    add(kernel, name, 1, true, [](Self &) { return 0u; });
  }
  add(kernel, "GetLastError", 0, true, [](Self &dll) { return dll.last_error_; });
  add(kernel, "GetLocalTime", 1, true, [](Self &dll) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    const uint16_t fields[8] = {static_cast<uint16_t>(local.tm_year + 1900), static_cast<uint16_t>(local.tm_mon + 1),
                                static_cast<uint16_t>(local.tm_wday),        static_cast<uint16_t>(local.tm_mday),
                                static_cast<uint16_t>(local.tm_hour),        static_cast<uint16_t>(local.tm_min),
                                static_cast<uint16_t>(local.tm_sec),         static_cast<uint16_t>(millis)};
    uint8_t bytes[16];
    for (int i = 0; i < 8; ++i) {
      bytes[2 * i] = static_cast<uint8_t>(fields[i]);
      bytes[2 * i + 1] = static_cast<uint8_t>(fields[i] >> 8);
    }
    dll.Write(dll.Arg(0), bytes, sizeof bytes);
    return 0u;
  });
  add(kernel, "GetModuleHandleA", 1, true, [](Self &dll) -> uint32_t {
    if (dll.Arg(0) == 0) return dll.base_;
    const std::string name = Upper(dll.ReadString(dll.Arg(0), 260));
    if (name == "MVIAHLP.DLL" || name == "MVIAHLP") return dll.base_;
    dll.last_error_ = kErrorModNotFound;
    return 0;
  });
  add(kernel, "LoadLibraryA", 1, true, [](Self &dll) -> uint32_t {
    const std::string name = Upper(dll.ReadString(dll.Arg(0), 260));
    if (name == "HWLINK32.DLL" || name == "HWLINK32") return kTransportHandle;
    dll.last_error_ = kErrorModNotFound;  // as Windows answers for a DLL that is not there
    return 0;
  });
  add(kernel, "FreeLibrary", 1, true,
      [](Self &dll) -> uint32_t { return dll.Arg(0) == kTransportHandle || dll.Arg(0) == dll.base_; });
  add(kernel, "GetProcAddress", 2, true, [](Self &dll) -> uint32_t {
    const uint32_t module = dll.Arg(0), what = dll.Arg(1);
    const bool by_ordinal = (what >> 16) == 0;
    if (module == kTransportHandle) {
      if (by_ordinal && what == 1000) return dll.Thunk(dll.transfer_thunk_);
      if (by_ordinal && what == 1002) return dll.Thunk(dll.transfer_ex_thunk_);
      dll.Fail(by_ordinal ? "GetProcAddress(HWLINK32.DLL, ordinal " + std::to_string(what) +
                                "): the transport is reached by ordinal 1000 and 1002 only"
                          : "GetProcAddress(HWLINK32.DLL, \"" + dll.ReadString(what, 256) +
                                "\"): the transport is reached by ordinal, never by name");
      return 0;
    }
    dll.last_error_ = kErrorProcNotFound;
    return 0;
  });
  add(kernel, "Sleep", 1, true, [](Self &dll) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<uint32_t>(dll.Arg(0), 1000)));
    return 0u;
  });
  add(kernel, "TlsGetValue", 1, true, [](Self &dll) -> uint32_t {
    const uint32_t index = dll.Arg(0);
    dll.last_error_ = 0;
    return index < dll.tls_slots_.size() ? dll.tls_slots_[index] : 0;
  });
  add(kernel, "VirtualQuery", 3, true, [](Self &dll) -> uint32_t {
    const uint32_t address = dll.Arg(0), info = dll.Arg(1), length = dll.Arg(2);
    if (length < 28) return 0;
    uc_mem_region *regions = nullptr;
    uint32_t count = 0;
    Check(uc_mem_regions(dll.uc_, &regions, &count), "listing memory");
    uint32_t fields[7] = {address & ~(kPage - 1), 0, 0, kPage, 0x10000 /* MEM_FREE */, kPageNoAccess, 0};
    for (uint32_t i = 0; i < count; ++i) {
      if (address >= regions[i].begin && address <= regions[i].end) {
        const uint32_t protection = WindowsProtection(regions[i].perms);
        fields[1] = dll.base_;
        fields[2] = kPageExecuteWriteCopy;
        fields[3] = static_cast<uint32_t>(regions[i].end + 1 - fields[0]);
        fields[4] = 0x1000;  // MEM_COMMIT
        fields[5] = protection;
        fields[6] = 0x1000000;  // MEM_IMAGE
      }
    }
    uc_free(regions);
    uint8_t bytes[28];
    for (int i = 0; i < 7; ++i) {
      for (int b = 0; b < 4; ++b) bytes[4 * i + b] = static_cast<uint8_t>(fields[i] >> (8 * b));
    }
    dll.Write(info, bytes, sizeof bytes);
    return 28;
  });
  add(kernel, "VirtualProtect", 4, true, [](Self &dll) -> uint32_t {
    const uint32_t address = dll.Arg(0), size = dll.Arg(1), protection = dll.Arg(2), old = dll.Arg(3);
    const uint32_t start = address & ~(kPage - 1), end = RoundUp(address + size, kPage);
    uc_mem_region *regions = nullptr;
    uint32_t count = 0;
    Check(uc_mem_regions(dll.uc_, &regions, &count), "listing memory");
    uint32_t previous = kPageNoAccess;
    for (uint32_t i = 0; i < count; ++i) {
      if (start >= regions[i].begin && start <= regions[i].end) previous = WindowsProtection(regions[i].perms);
    }
    uc_free(regions);
    if (uc_mem_protect(dll.uc_, start, end - start, UnicornProtection(protection)) != UC_ERR_OK) return 0;
    if (old != 0) {
      const uint8_t bytes[4] = {static_cast<uint8_t>(previous), 0, 0, 0};
      dll.Write(old, bytes, 4);
    }
    return 1;
  });

  // msvcrt: cdecl, the caller pops.
  add(crt, "calloc", 2, false, [](Self &dll) -> uint32_t {
    const uint64_t size = static_cast<uint64_t>(dll.Arg(0)) * dll.Arg(1);
    if (size > kHeapSize) return 0;
    const uint32_t address = dll.HeapAlloc(static_cast<uint32_t>(size));
    if (address != 0) dll.Write(address, std::vector<uint8_t>(size).data(), size);
    return address;
  });
  add(crt, "realloc", 2, false, [](Self &dll) { return dll.HeapRealloc(dll.Arg(0), dll.Arg(1)); });
  add(crt, "free", 1, false, [](Self &dll) {
    dll.HeapFree(dll.Arg(0));
    return 0u;
  });
  add(crt, "memcpy", 3, false, [](Self &dll) {
    std::vector<uint8_t> data(dll.Arg(2));
    dll.Read(dll.Arg(1), data.data(), data.size());
    dll.Write(dll.Arg(0), data.data(), data.size());
    return dll.Arg(0);
  });
  add(crt, "strlen", 1, false, [](Self &dll) { return static_cast<uint32_t>(dll.ReadString(dll.Arg(0)).size()); });
  add(crt, "strncmp", 3, false, [](Self &dll) -> uint32_t {
    for (uint32_t i = 0; i < dll.Arg(2); ++i) {
      uint8_t a = 0, b = 0;
      dll.Read(dll.Arg(0) + i, &a, 1);
      dll.Read(dll.Arg(1) + i, &b, 1);
      if (a != b) return a < b ? static_cast<uint32_t>(-1) : 1u;
      if (a == 0) break;
    }
    return 0;
  });
  // The runtime writes only its own failure reports; they go to the host's standard error.
  add(crt, "fwrite", 4, false, [](Self &dll) -> uint32_t {
    const uint64_t size = static_cast<uint64_t>(dll.Arg(1)) * dll.Arg(2);
    std::vector<uint8_t> data(std::min<uint64_t>(size, 1 << 20));
    dll.Read(dll.Arg(0), data.data(), data.size());
    std::fwrite(data.data(), 1, data.size(), stderr);
    return dll.Arg(1) != 0 ? static_cast<uint32_t>(data.size() / dll.Arg(1)) : 0;
  });
  add(crt, "vfprintf", 3, false, [](Self &dll) {
    const std::string text = dll.Format(dll.Arg(1), dll.Arg(2));
    std::fputs(text.c_str(), stderr);
    return static_cast<uint32_t>(text.size());
  });
  add(crt, "_lock", 1, false, [](Self &) { return 0u; });
  add(crt, "_unlock", 1, false, [](Self &) { return 0u; });
  add(crt, "abort", 0, false, [](Self &dll) {
    dll.Fail("the DLL called abort()");
    return 0u;
  });
  add(crt, "_amsg_exit", 1, false, [](Self &dll) {
    dll.Fail("the DLL's runtime called _amsg_exit(" + std::to_string(dll.Arg(0)) + ")");
    return 0u;
  });
  {
    const size_t index = add(crt, "_initterm", 2, false, nullptr);
    Write(Thunk(index), kInitTermCode, sizeof kInitTermCode);
    static_assert(sizeof kInitTermCode <= kThunkSize * 2, "_initterm's code takes two thunk slots");
    host_functions_.push_back(nullptr);  // the second slot its code runs into
  }

  // The transport, and the progress procedure the face hands to KLIAFormatDatabase.
  transfer_thunk_ = add("HWLINK32.DLL", "#1000", 9, true, [](Self &dll) { return dll.Transfer(false); });
  transfer_ex_thunk_ = add("HWLINK32.DLL", "#1002", 9, true, [](Self &dll) { return dll.Transfer(true); });
  progress_thunk_ = add("(caller)", "progress procedure", 1, true, [](Self &dll) {
    if (!dll.progress_) throw EmuError("the DLL called a progress procedure it was not given");
    uint8_t message[256] = {0};
    dll.Read(dll.Arg(0), message, 1);
    dll.Read(dll.Arg(0) + 1, message + 1, message[0]);
    dll.progress_(message);
    return 0u;
  });

  // msvcrt's _iob: three FILE records (stdin, stdout, stderr), as data.
  const uint32_t iob = kRuntimeData;

  for (const PeImport &import : image_.Imports()) {
    const std::string dll = Upper(import.dll);
    const std::string what = import.ordinal ? "ordinal " + std::to_string(*import.ordinal) : import.name;
    uint32_t address = 0;
    if (dll == "HWLINK32.DLL") {
      if (!import.ordinal) {
        throw EmuError(image_.Path() + ": imports HWLINK32.DLL!" + import.name +
                       " by name; the transport must be imported by ordinal (1000 HwTransfer, 1002 HwTransferEx)");
      }
      if (*import.ordinal == 1000) address = Thunk(transfer_thunk_);
      if (*import.ordinal == 1002) address = Thunk(transfer_ex_thunk_);
      if (address == 0)
        throw EmuError(image_.Path() + ": imports HWLINK32.DLL ordinal " + what +
                       ", which the transport does not have");
    } else if (dll == "MSVCRT.DLL" && import.name == "_iob") {
      address = iob;
    } else if (!import.ordinal) {
      const auto found = host_by_name_.find(dll + "!" + import.name);
      if (found != host_by_name_.end() && host_functions_[found->second]) address = Thunk(found->second);
    }
    if (address == 0) {
      throw EmuError(image_.Path() + ": imports " + import.dll + "!" + what +
                     ", which the emulated caller does not provide (add it to tests/emu32/emulated_dll.cpp)");
    }
    // The import address table may lie in a read-only section: written as the loader writes it.
    uc_mem_protect(uc_, (base_ + import.iat_rva) & ~(kPage - 1), kPage, UC_PROT_ALL);
    WriteU32(base_ + import.iat_rva, address);
  }
  // Re-apply the sections' protections over the pages the import tables were written to.
  for (const PeSection &section : image_.Sections()) {
    const uint32_t extent = RoundUp(std::max(section.virtual_size, section.raw_size), kPage);
    uint32_t protection = 0;
    if (section.characteristics & 0x20000000u) protection |= UC_PROT_EXEC;
    if (section.characteristics & 0x40000000u) protection |= UC_PROT_READ;
    if (section.characteristics & 0x80000000u) protection |= UC_PROT_WRITE;
    if (extent != 0) uc_mem_protect(uc_, base_ + section.rva, extent, protection);
  }
}

}  // namespace emu32

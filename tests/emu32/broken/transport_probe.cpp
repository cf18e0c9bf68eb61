// A small DLL that reaches the transport at run time, as a caller may: LoadLibraryA, then
// GetProcAddress by ordinal or by name. The emulated caller must hand out ordinals 1000 and 1002
// and fail on anything else, naming the request. Not part of the library; see CMakeLists.txt.
#include <windows.h>

#include <cstdint>

namespace {

using Transfer = uint32_t(__stdcall *)(uint8_t command, uint8_t param_length, const void *param, uint8_t out_length,
                                       const void *out, uint8_t in_length, void *in, uint8_t *status, uint8_t *aux);

HMODULE Transport() { return LoadLibraryA("HWLINK32.DLL"); }

}  // namespace

extern "C" {

// GetProcAddress by `ordinal`: 1 when found, 0 when not, 0xFFFFFFFF when the DLL did not load.
uint32_t __stdcall ProbeByOrdinal(uint32_t ordinal) {
  const HMODULE transport = Transport();
  if (transport == nullptr) return 0xFFFFFFFF;
  return GetProcAddress(transport, MAKEINTRESOURCEA(ordinal)) != nullptr ? 1 : 0;
}

// GetProcAddress by the name HwTransfer.
uint32_t __stdcall ProbeByName(void) {
  const HMODULE transport = Transport();
  if (transport == nullptr) return 0xFFFFFFFF;
  return GetProcAddress(transport, "HwTransfer") != nullptr ? 1 : 0;
}

// The board's 51-byte information block (command 16) through ordinal 1000 found at run time.
uint32_t __stdcall ProbeTransfer(void *info51, uint8_t *status) {
  const HMODULE transport = Transport();
  if (transport == nullptr) return 0xFFFFFFFF;
  // Through void (*)(void), as callers of GetProcAddress convert its result.
  const auto transfer =
      reinterpret_cast<Transfer>(reinterpret_cast<void (*)(void)>(GetProcAddress(transport, MAKEINTRESOURCEA(1000))));
  if (transfer == nullptr) return 0xFFFFFFFE;
  const uint32_t result = transfer(16, 0, nullptr, 0, nullptr, 51, info51, status, nullptr);
  FreeLibrary(transport);
  return result;
}

}  // extern "C"

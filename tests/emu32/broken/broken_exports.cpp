// Deliberately broken replacements for one export each, for DLLs the emu32 road must refuse.
// None of this ships: each is built into a test DLL of its own (see CMakeLists.txt here).
#include <cstdint>
#include <cstring>

#include "mviahlp.h"

extern "C" {

// KLIAGetInfo compiled with the C calling convention: the caller's argument stays on the stack.
__attribute__((cdecl)) KLIA_BOOL BrokenCdeclGetInfo(void *info58) { return KLIAGetInfo(info58); }

// KLIAGetInfo writing its record through a struct the compiler aligned: every 16-bit field after
// the signature's 11 bytes moves to an even offset, so the record no longer has the public
// header's layout. The mistake the byte-by-byte record encoders exist to prevent.
KLIA_BOOL __stdcall BrokenPackingGetInfo(void *info58) {
  uint8_t packed[KLIA_INFO_RECORD_SIZE];
  const KLIA_BOOL result = KLIAGetInfo(packed);
  struct AlignedInfo {
    uint8_t signature[11];
    uint8_t zero[10];
    uint16_t check_word;  // 22, not 21
    uint8_t state_class;  // 24, not 23
    uint16_t current_user;
    uint16_t user_count;
    uint8_t rest[28];
  } aligned{};
  std::memcpy(aligned.signature, packed, 11);
  std::memcpy(&aligned.check_word, packed + KLIA_INFO_CHECK_WORD, 2);
  aligned.state_class = packed[KLIA_INFO_STATE_CLASS];
  std::memcpy(&aligned.current_user, packed + KLIA_INFO_CURRENT_USER, 2);
  std::memcpy(&aligned.user_count, packed + KLIA_INFO_USER_COUNT, 2);
  std::memcpy(aligned.rest, packed + 30, sizeof aligned.rest);
  std::memcpy(info58, &aligned, KLIA_INFO_RECORD_SIZE);
  return result;
}

}  // extern "C"

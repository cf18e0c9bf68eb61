#include "spy_guard.h"

#include "trace_format.h"

namespace spy {

namespace {

enum : uint8_t { kReadInfo = 16, kReadMemory = 21, kClock = 28, kWatchdog = 30 };
constexpr uint16_t kInfoLength = 51;
constexpr uint8_t kAddressBlockLength = 6;
constexpr uint16_t kClockLength = 6;
constexpr uint16_t kWatchdogLength = 2;

}  // namespace

bool IsBoardRead(uint16_t entry, uint8_t command, uint8_t param_length, const uint8_t *param, uint16_t out_length,
                 uint16_t in_length) {
  if (out_length != 0) return false;
  switch (command) {
    case kReadInfo:
      return entry == hwtrace::kEntryTransfer && param_length == 0 && in_length == kInfoLength;
    case kClock:
      return entry == hwtrace::kEntryTransfer && param_length == 0 && in_length == kClockLength;
    case kWatchdog:
      return entry == hwtrace::kEntryTransfer && param_length == 0 && in_length == kWatchdogLength;
    case kReadMemory: {
      // The address block: page, offset, count, each 16-bit little-endian; the count is the
      // incoming length.
      if (entry != hwtrace::kEntryTransferEx || param_length != kAddressBlockLength || param == nullptr) return false;
      const auto count = static_cast<uint16_t>(param[4] | param[5] << 8);
      return in_length == count;
    }
    default:
      return false;
  }
}

}  // namespace spy

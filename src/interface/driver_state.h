// DriverState: the one process-wide state record of the library. All fields are zero at load.
#pragma once

#include <cstdint>

namespace mviahlp {

struct DriverStateRecord {
  uint8_t ConfigFlag;     // bit 0x02 of byte 9 of the stored configuration record, kept by a read
  uint16_t BindError;     // 7500 once a forwarding export ran unbound; never cleared
  uint32_t Present;       // 1 while the OperationTable is bound; written only by BindDriver
  uint16_t LastError;     // code of the last driver operation, 0 for success
  uint16_t DeviceStatus;  // raw CommandStatus of the last board command an operation recorded
};

extern DriverStateRecord DriverState;

// Error codes kept in BindError and LastError.
inline constexpr uint16_t kErrNotBound = 7500;
inline constexpr uint16_t kErrLogonUnknown = 7504;
inline constexpr uint16_t kErrLogonRefused = 7505;
inline constexpr uint16_t kErrOutOfRange = 7506;
inline constexpr uint16_t kErrPageFailed = 7507;
inline constexpr uint16_t kErrWriteFailed = 7508;
inline constexpr uint16_t kErrLogonBlocked = 7511;

}  // namespace mviahlp

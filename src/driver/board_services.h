// Driver state of the device-access sequence, kept between calls: what KLIASetIaResult with
// kind 255 hands over, and what KLIASetupAccessToDevices sends. Both 0 at load.
#pragma once

#include <cstdint>

namespace mviahlp {

// Bit i set: device i (0-7) is given the access bit 0x40 in the access sequence.
extern uint8_t DeviceAccessMask;
// Nonzero: the byte for the last device of the sequence carries the closing bit 0x80.
extern uint8_t DeviceAccessClosing;

// Result kinds of KLIASetIaResult.
inline constexpr uint8_t kIaResultKindFull = 2;        // bytes 0-31 of the record go to the board
inline constexpr uint8_t kIaResultKindName = 4;        // bytes 0-12 (the first short string) go to the board
inline constexpr uint8_t kIaResultKindAccess = 255;    // the access word becomes the access settings
inline constexpr uint8_t kIaResultFullLength = 32;
inline constexpr uint8_t kIaResultNameLength = 13;

// Bits of a device byte of board command 6, above the device number.
inline constexpr uint8_t kDeviceHasAccess = 0x40;
inline constexpr uint8_t kDeviceClosesSequence = 0x80;

}  // namespace mviahlp

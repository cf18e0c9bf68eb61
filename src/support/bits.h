// The small bit and byte routines shared by the driver and the interface layer.
#pragma once

#include <cstdint>

namespace mviahlp {

constexpr uint16_t LowByteOf(uint32_t value) { return static_cast<uint16_t>(value & 0xFF); }
constexpr uint8_t HighByteOf(uint16_t value) { return static_cast<uint8_t>(value >> 8); }
constexpr uint16_t MinWord(uint16_t a, uint16_t b) { return a < b ? a : b; }
constexpr void SetBits(uint8_t &place, uint8_t mask) { place = static_cast<uint8_t>(place | mask); }
constexpr void ClearBits(uint8_t &place, uint8_t mask) { place = static_cast<uint8_t>(place & ~mask); }
constexpr bool TestBits(uint8_t value, uint8_t mask) { return (value & mask) != 0; }
constexpr void SetWordBits(uint16_t &place, uint16_t mask) { place = static_cast<uint16_t>(place | mask); }

}  // namespace mviahlp

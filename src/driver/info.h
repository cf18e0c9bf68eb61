// The information operation and the check word.
#pragma once

#include <cstdint>

namespace mviahlp {

// CheckWord: the first four bytes of page 3, the value and the value XOR 0xAA55, both LE.
inline constexpr uint16_t kCheckWordPage = 3;
inline constexpr uint16_t kCheckWordSize = 4;
inline constexpr uint16_t kCheckWordComplement = 0xAA55;
inline constexpr uint16_t kCheckWordUnreadable = 0xFFFF;

// The stored check word; 0 when page 3 holds none, 0xFFFF when it cannot be read.
uint16_t ReadCheckWord();
// Stores `value` as the check word; true when the board accepted the write.
bool WriteCheckWord(uint16_t value);
// 1 when the board holds no check word, else BoardInfo.State (states above 4 count as 1).
uint8_t ClassifyState();

struct LogUsage {
  bool known;
  int32_t size;  // defined only when known
};
// Bytes of the log in use, from the log position BoardInfo reports.
LogUsage LogUsedSize();

// A size S reported in a 16-bit and a 32-bit field: S <= 65520 in the first, else the second.
void PutSizePair(uint8_t *record, int offset16, int offset32, int32_t size);

}  // namespace mviahlp

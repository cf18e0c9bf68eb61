// Data-area transfers of any length, cut into pieces the library's 16-bit count can carry.
#pragma once

#include <cstdint>
#include <vector>

namespace klia {

// Largest request klia hands the library at once.
inline constexpr uint32_t kPieceSize = 0x8000;
// Largest transfer klia accepts on its command line.
inline constexpr uint32_t kTransferLimit = 16u << 20;

// KLIAReadDataEx piece by piece. Throws BoardFailure naming the piece that failed.
std::vector<uint8_t> ReadArea(uint8_t area, uint32_t offset, uint32_t length);
// KLIAWriteDataEx piece by piece, then KLIAFlush so the bytes reach the board.
void WriteArea(uint8_t area, uint32_t offset, const std::vector<uint8_t> &data);

}  // namespace klia

// Data-area reads and writes of any length, in pieces of at most what a 16-bit count carries.
#include "board/data_access.h"

#include <string>

#include "library/board_failure.h"
#include "shell/errors.h"
#include "mviahlp.h"

namespace klia {
namespace {

std::string Request(const char *operation, uint8_t area, uint32_t offset, uint32_t count) {
  return std::string(operation) + "(area " + std::to_string(area) + ", offset " + std::to_string(offset) +
         ", count " + std::to_string(count) + ")";
}

}  // namespace

std::vector<uint8_t> ReadArea(uint8_t area, uint32_t offset, uint32_t length) {
  std::vector<uint8_t> data(length);
  for (uint32_t done = 0; done < length;) {
    const uint32_t count = length - done < kPieceSize ? length - done : kPieceSize;
    uint16_t moved = 0;
    Require(KLIAReadDataEx(area, data.data() + done, static_cast<int32_t>(offset + done),
                           static_cast<uint16_t>(count), &moved),
            Request("KLIAReadDataEx", area, offset + done, count));
    done += count;
  }
  return data;
}

void WriteArea(uint8_t area, uint32_t offset, const std::vector<uint8_t> &data) {
  const uint32_t length = static_cast<uint32_t>(data.size());
  for (uint32_t done = 0; done < length;) {
    const uint32_t count = length - done < kPieceSize ? length - done : kPieceSize;
    uint16_t moved = 0;
    Require(KLIAWriteDataEx(area, data.data() + done, static_cast<int32_t>(offset + done),
                            static_cast<uint16_t>(count), &moved),
            Request("KLIAWriteDataEx", area, offset + done, count));
    done += count;
  }
  // KLIAFlush returns nothing: a write-back the board refused shows only in the error state
  // (a successful write leaves LastError at 0). A library that does not report its error
  // state cannot tell, and klia has said so once.
  KLIAFlush();
  const ErrorState state = ReadErrorState();
  if (state.reported && state.last_error != 0) {
    throw BoardFailure("KLIAFlush", state,
                       "the bytes did not reach the board: writing back its cached page failed after " +
                           Request("KLIAWriteDataEx", area, offset, length));
  }
}

}  // namespace klia

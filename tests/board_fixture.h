// The fixture most tests stand on: the library in its load state, a fresh virtual board of a
// chosen geometry, and (optionally) the library bound to it with the trace emptied afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "mviahlp.h"
#include "vboard.h"

namespace mviahlp::testing {

using Bytes = std::vector<uint8_t>;

// The library's error state, as KLIAGetErrorState hands it out.
struct ErrorState {
  uint16_t bind_error;
  uint16_t last_error;
  uint16_t device_status;
  bool operator==(const ErrorState &) const = default;
};
ErrorState GetErrorState();
void PrintTo(const ErrorState &state, std::ostream *os);

// Standard layout (version 0x123): users, data pages, log pages, page size.
VBoardGeometry Geometry(uint16_t users = 32, uint16_t data_pages = 200, uint16_t log_pages = 16,
                        uint16_t page_size = 256);

class BoardTest : public ::testing::Test {
 protected:
  // Resets the library, creates a fresh board of Geometry(), binds, and clears the trace.
  void SetUp() override;
  void TearDown() override;

  // Replaces the board by a fresh one of `geometry` and resets the library (unbound).
  void NewBoard(const VBoardGeometry &geometry);
  // Binds the library (KLIADriverPresent) and clears the trace; returns the binding's result.
  bool Bind();
  // Makes the board look formatted: check word `value` in page 3 and State 2 (no traffic).
  void MarkFormatted(uint16_t value = 0x1234);
};

}  // namespace mviahlp::testing

#include "board_fixture.h"

#include <ostream>

#include "interface/library_state.h"

namespace mviahlp::testing {

ErrorState GetErrorState() {
  ErrorState state{};
  KLIAGetErrorState(&state.bind_error, &state.last_error, &state.device_status);
  return state;
}

void PrintTo(const ErrorState &state, std::ostream *os) {
  *os << "{BindError " << state.bind_error << ", LastError " << state.last_error << ", DeviceStatus "
      << state.device_status << "}";
}

VBoardGeometry Geometry(uint16_t users, uint16_t data_pages, uint16_t log_pages, uint16_t page_size) {
  VBoardGeometry geometry{};
  VBoardMakeGeometry(users, data_pages, log_pages, page_size, &geometry);
  return geometry;
}

void BoardTest::SetUp() {
  NewBoard(Geometry());
  ASSERT_TRUE(Bind());
}

void BoardTest::TearDown() {
  VBoardClearFaults();
  ResetLibraryState();
}

void BoardTest::NewBoard(const VBoardGeometry &geometry) {
  ResetLibraryState();
  ASSERT_TRUE(VBoardCreate(&geometry));
}

bool BoardTest::Bind() {
  const bool bound = (KLIADriverPresent() & 0xFF) != 0;
  VBoardTraceClear();
  return bound;
}

void BoardTest::MarkFormatted(uint16_t value) {
  const uint16_t complement = static_cast<uint16_t>(value ^ 0xAA55);
  const uint8_t block[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(complement), static_cast<uint8_t>(complement >> 8)};
  ASSERT_TRUE(VBoardPoke(3, 0, 4, block));
  VBoardSetState(2);
}

}  // namespace mviahlp::testing

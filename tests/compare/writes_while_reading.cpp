// The information operation of a library that writes to the board when it is asked only to
// read: once it has classified the state, every KLIAGetInfo (the binding's probe too) stores
// 0x5A5A as the check word, the way the library's formatting stores it. The spy's read-only
// guard must keep that write from the board.
//
// This file compiles the library's driver/info.cpp again, and the variant library is linked
// from it and the library's other objects. Inside driver::KLIAGetInfo the unqualified call of
// ClassifyState finds the one declared here in namespace mviahlp::driver before the library's
// own in namespace mviahlp; the rest is the library's code, unchanged.
#include <cstdint>

namespace mviahlp::driver {
uint8_t ClassifyState();
}  // namespace mviahlp::driver

#include "driver/info.cpp"

namespace mviahlp::driver {

uint8_t ClassifyState() {
  const uint8_t state_class = mviahlp::ClassifyState();
  WriteCheckWord(0x5A5A);
  return state_class;
}

}  // namespace mviahlp::driver

// The information operation of a library that reads the check word once where ours reads it
// twice: the state class comes from the check word KLIAGetInfo has just read, not from a second
// read of page 3, so every KLIAGetInfo (the binding's probe too) sends one board command fewer.
//
// This file compiles the library's driver/info.cpp again, and the variant library is linked
// from it and the library's other objects. Inside driver::KLIAGetInfo the unqualified calls of
// ReadCheckWord and ClassifyState find the two declared here in namespace mviahlp::driver before
// the library's own in namespace mviahlp; the rest is the library's code, unchanged.
#include <cstdint>

namespace mviahlp::driver {
uint16_t ReadCheckWord();
uint8_t ClassifyState();
}  // namespace mviahlp::driver

#include "driver/info.cpp"

namespace mviahlp::driver {

namespace {
uint16_t last_check_word = 0;
}  // namespace

// The library's read of the check word, remembered for the state class.
uint16_t ReadCheckWord() {
  last_check_word = mviahlp::ReadCheckWord();
  return last_check_word;
}

// The library's classification, from the check word just read.
uint8_t ClassifyState() {
  if (last_check_word == 0) return 1;
  return BoardInfo.State <= 4 ? BoardInfo.State : 1;
}

}  // namespace mviahlp::driver

// The spy's read-only guard: which transport calls only read the board.
//
// With the guard on, the spy forwards a call only when it has the exact shape of one of the
// board commands that read; every other call is kept from the board and answered "no
// exchange", as a missing board would answer it.
#pragma once

#include <cstdint>

namespace spy {

// Board commands that only read, each recognised by its whole shape: entry point, command
// code, parameter length, nothing outgoing, and the incoming length it asks for.
//
//   16 read information  HwTransfer (1000)    no parameters    51 bytes in
//   21 read memory       HwTransferEx (1002)  6-byte address   as many bytes in as the
//                                             block            address block counts
//   28 read clock        HwTransfer (1000)    no parameters    6 bytes in
//   30 read watchdog     HwTransfer (1000)    no parameters    2 bytes in
//
// Commands 28 and 30 set the clock and the watchdog under the same codes when they carry a
// parameter block; those shapes are not reads. Command 27 (derive a user XID) sends data to
// the board and nothing says that the board keeps none of it: it is not a read either.
bool IsBoardRead(uint16_t entry, uint8_t command, uint8_t param_length, const uint8_t *param, uint16_t out_length,
                 uint16_t in_length);

}  // namespace spy

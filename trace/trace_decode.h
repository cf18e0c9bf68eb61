// What the exchanges of a trace mean in the board's terms: command names, parameters in
// words, statuses, which pages may hold user records, and how two exchanges compare.
#pragma once

#include <cstdint>
#include <string>

#include "trace_format.h"

namespace hwtrace {

// Where the user records lie, as far as the information blocks (board command 16) seen so
// far tell: users 1..user_count in pages 8..user_count+7. Until a block is seen, every
// page from 8 on may be a user record.
class UserPages {
 public:
  static constexpr uint16_t kFirstUserPage = 8;

  // Takes the user count from a successful command 16 answer of at least 18 bytes.
  void Learn(uint8_t command, bool answered_ok, const uint8_t *in, uint32_t in_length);
  void Learn(const Exchange &x);
  bool MayHoldUserRecord(uint16_t page) const;
  bool known() const { return known_; }
  // The user whose record is in `page`, or 0.
  uint16_t UserOfPage(uint16_t page) const;

 private:
  bool known_ = false;
  uint16_t user_count_ = 0;
};

// Which blocks of an exchange the writer withholds unless asked to keep secrets: the logon
// and password blocks (commands 17 and 19) and the bytes of pages that may hold user
// records (commands 21 and 22).
struct Withheld {
  bool out = false;
  bool in = false;
};
Withheld SecretBlocks(uint8_t command, uint8_t param_length, const uint8_t *param, const UserPages &pages);

// True only for a call of exactly the shape in which the library reads the board without
// changing it: read information (16, entry 1000, 51 bytes in), read memory (21, entry 1002,
// the 6-byte address block whose count is the incoming length), and the reading direction of
// the clock (28) and the watchdog (30): entry 1000, no parameters, incoming bytes. Nothing goes
// out in any of them. Every other call, including one of these codes in another shape, may
// change the board. The user-XID derivation (27) is not among them: the board computes the
// identifier from data sent to it, and nothing settles that it keeps no state of its own.
bool IsBoardRead(uint16_t entry, uint8_t command, uint8_t param_length, const uint8_t *param, uint16_t out_length,
                 uint16_t in_length);

// "read memory", "set clock", ... ("command 99" for codes the library does not send).
std::string CommandName(const Exchange &x);
// The parameters and answer in words, e.g. "page 8 (user 1), offset 0, 256 bytes".
std::string CommandWords(const Exchange &x, const UserPages &pages);
// "success", "no exchange (the transport call failed)", "board status 96 (0x60): logon refused",
// "guarded: not sent to the board, ..."
std::string StatusWords(const Exchange &x);
// One line naming the exchange, its parameters and its answer (for reports).
std::string Describe(const Exchange &x, const UserPages &pages);

// Comparisons that ignore the times, process ids and sequence numbers. A withheld block
// matches any block of the same length. Whether the guard kept a call from the board is part
// of its answer: a guarded call and one that the transport failed differ.
bool SameRequest(const Exchange &a, const Exchange &b);
bool SameAnswer(const Exchange &a, const Exchange &b);
inline bool SameExchange(const Exchange &a, const Exchange &b) { return SameRequest(a, b) && SameAnswer(a, b); }
// What differs between two exchanges, in words ("" when they are the same).
std::string Differences(const Exchange &expected, const Exchange &actual);

}  // namespace hwtrace

// The board command routines: one per board command the driver uses. This module is the only
// code that calls the transport; everything above it speaks in board commands.
//
// Every routine builds its parameter block in its own frame, names its data buffers, and
// returns the board's CommandStatus unchanged: 0 success, TransportFailed (255) when the
// transport call itself failed, anything else the board's own status. No routine checks a
// length or an address, interprets a status, or retries.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mviahlp {

using CommandStatus = uint8_t;
inline constexpr CommandStatus TransportFailed = 255;

// Board command codes.
enum BoardCommand : uint8_t {
  kCmdSetDeviceAccess = 6,
  kCmdSetIaResult = 13,
  kCmdReadInfo = 16,
  kCmdLogin = 17,
  kCmdLogout = 18,
  kCmdChangePassword = 19,
  kCmdAppendLog = 20,
  kCmdReadMemory = 21,
  kCmdWriteMemory = 22,
  kCmdInitPages = 23,
  kCmdClearLog = 24,
  kCmdConnectDatabase = 25,
  kCmdMakeUserXid = 27,
  kCmdClock = 28,
  kCmdWatchdog = 30,
};

// Sizes of the fixed blocks exchanged with the board.
inline constexpr size_t kBoardInfoSize = 51;
inline constexpr size_t kMemoryAddressBlockSize = 6;
inline constexpr size_t kClockBlockSize = 6;
inline constexpr size_t kCredentialBlockSize = 16;
inline constexpr size_t kPasswordBlockSize = 16;
inline constexpr size_t kUserXidSize = 4;

// The two wrappers over the transport's entry points (8-bit and 16-bit data lengths).
CommandStatus RunCommand(uint8_t code, uint8_t param_length, const void *param, uint8_t out_length, const void *out,
                         uint8_t in_length, void *in, uint8_t *aux);
CommandStatus RunCommandEx(uint8_t code, uint8_t param_length, const void *param, uint16_t out_length,
                           const void *out, uint16_t in_length, void *in, uint8_t *aux);

// Memory address block of board commands 21 and 22: page, offset, count, each 16-bit LE.
void EncodeMemoryAddress(uint16_t page, uint16_t offset, uint16_t count, uint8_t block[kMemoryAddressBlockSize]);

CommandStatus BoardSetDeviceAccess(uint8_t device);                                          // 6
CommandStatus BoardSetIaResult(uint8_t kind, uint8_t length, const uint8_t *data);           // 13
CommandStatus BoardReadInfo(uint8_t buffer[kBoardInfoSize]);                                 // 16
CommandStatus BoardLogin(const uint8_t block[kCredentialBlockSize]);                         // 17
CommandStatus BoardLogout();                                                                 // 18
CommandStatus BoardChangePassword(const uint8_t block[kPasswordBlockSize]);                  // 19
CommandStatus BoardAppendLog(uint16_t length, const uint8_t *data);                          // 20
CommandStatus BoardReadMemory(uint16_t page, uint16_t offset, uint16_t count, uint8_t *buffer);  // 21
CommandStatus BoardReadMemory(uint16_t page, uint16_t offset, uint16_t count, uint8_t *buffer, uint8_t *aux);
CommandStatus BoardWriteMemory(uint16_t page, uint16_t offset, uint16_t count, const uint8_t *data);  // 22
CommandStatus BoardInitPages();                                                              // 23
CommandStatus BoardClearLog();                                                               // 24
CommandStatus BoardConnectDatabase();                                                        // 25
CommandStatus BoardMakeUserXid(uint16_t length, const uint8_t *data, uint8_t result[kUserXidSize]);  // 27
// 28, set: arguments in the order hour, minute, second, day, month, year (BCD bytes).
CommandStatus BoardSetClock(uint8_t hour, uint8_t minute, uint8_t second, uint8_t day, uint8_t month,
                            uint8_t year);
// 28, get: the outputs are written only when the status is 0.
CommandStatus BoardGetClock(uint8_t &hour, uint8_t &minute, uint8_t &second, uint8_t &day, uint8_t &month,
                            uint8_t &year);
CommandStatus BoardSetWatchdog(uint16_t timeout);  // 30, set
// 30, get: the board's two bytes go straight into the caller's 2-byte variable.
CommandStatus BoardGetWatchdog(void *value);

}  // namespace mviahlp

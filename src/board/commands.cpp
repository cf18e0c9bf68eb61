#include "board/commands.h"

#include "board/hwlink.h"
#include "support/bytes.h"

namespace mviahlp {

CommandStatus RunCommand(uint8_t code, uint8_t param_length, const void *param, uint8_t out_length, const void *out,
                         uint8_t in_length, void *in, uint8_t *aux) {
  uint8_t status = 0;
  if ((HwTransfer(code, param_length, param, out_length, out, in_length, in, &status, aux) & 0xFF) == 0)
    return TransportFailed;
  return status;
}

CommandStatus RunCommandEx(uint8_t code, uint8_t param_length, const void *param, uint16_t out_length,
                           const void *out, uint16_t in_length, void *in, uint8_t *aux) {
  uint8_t status = 0;
  if ((HwTransferEx(code, param_length, param, out_length, out, in_length, in, &status, aux) & 0xFF) == 0)
    return TransportFailed;
  return status;
}

void EncodeMemoryAddress(uint16_t page, uint16_t offset, uint16_t count, uint8_t block[kMemoryAddressBlockSize]) {
  put_le16(block + 0, page);
  put_le16(block + 2, offset);
  put_le16(block + 4, count);
}

namespace {

// A command with neither parameters nor data.
CommandStatus RunBare(uint8_t code) {
  uint8_t aux = 0;
  return RunCommand(code, 0, nullptr, 0, nullptr, 0, nullptr, &aux);
}

}  // namespace

CommandStatus BoardSetDeviceAccess(uint8_t device) {
  uint8_t aux = 0;
  const uint8_t param[1] = {device};
  return RunCommand(kCmdSetDeviceAccess, sizeof param, param, 0, nullptr, 0, nullptr, &aux);
}

CommandStatus BoardSetIaResult(uint8_t kind, uint8_t length, const uint8_t *data) {
  uint8_t aux = 0;
  const uint8_t param[2] = {static_cast<uint8_t>(kind | 0x80), length};
  return RunCommand(kCmdSetIaResult, sizeof param, param, length, data, 0, nullptr, &aux);
}

CommandStatus BoardReadInfo(uint8_t buffer[kBoardInfoSize]) {
  uint8_t aux = 0;
  return RunCommand(kCmdReadInfo, 0, nullptr, 0, nullptr, kBoardInfoSize, buffer, &aux);
}

CommandStatus BoardLogin(const uint8_t block[kCredentialBlockSize]) {
  uint8_t aux = 0;
  return RunCommand(kCmdLogin, 0, nullptr, kCredentialBlockSize, block, 0, nullptr, &aux);
}

CommandStatus BoardLogout() { return RunBare(kCmdLogout); }

CommandStatus BoardChangePassword(const uint8_t block[kPasswordBlockSize]) {
  uint8_t aux = 0;
  return RunCommand(kCmdChangePassword, 0, nullptr, kPasswordBlockSize, block, 0, nullptr, &aux);
}

CommandStatus BoardAppendLog(uint16_t length, const uint8_t *data) {
  uint8_t aux = 0;
  uint8_t param[2];
  put_le16(param, length);
  return RunCommandEx(kCmdAppendLog, sizeof param, param, length, data, 0, nullptr, &aux);
}

CommandStatus BoardReadMemory(uint16_t page, uint16_t offset, uint16_t count, uint8_t *buffer, uint8_t *aux) {
  uint8_t param[kMemoryAddressBlockSize];
  EncodeMemoryAddress(page, offset, count, param);
  return RunCommandEx(kCmdReadMemory, sizeof param, param, 0, nullptr, count, buffer, aux);
}

CommandStatus BoardReadMemory(uint16_t page, uint16_t offset, uint16_t count, uint8_t *buffer) {
  uint8_t aux = 0;
  return BoardReadMemory(page, offset, count, buffer, &aux);
}

CommandStatus BoardWriteMemory(uint16_t page, uint16_t offset, uint16_t count, const uint8_t *data) {
  uint8_t aux = 0;
  uint8_t param[kMemoryAddressBlockSize];
  EncodeMemoryAddress(page, offset, count, param);
  return RunCommandEx(kCmdWriteMemory, sizeof param, param, count, data, 0, nullptr, &aux);
}

CommandStatus BoardInitPages() { return RunBare(kCmdInitPages); }
CommandStatus BoardClearLog() { return RunBare(kCmdClearLog); }
CommandStatus BoardConnectDatabase() { return RunBare(kCmdConnectDatabase); }

CommandStatus BoardMakeUserXid(uint16_t length, const uint8_t *data, uint8_t result[kUserXidSize]) {
  uint8_t aux = 0;
  uint8_t param[2];
  put_le16(param, length);
  // The board takes the length twice: 16-bit in the parameter block, and its low 8 bits as the
  // outgoing length of the 8-bit transport entry.
  return RunCommand(kCmdMakeUserXid, sizeof param, param, static_cast<uint8_t>(length), data, kUserXidSize, result,
                    &aux);
}

// ClockBlock: second, minute, hour, day, month, year within the century, all BCD.
CommandStatus BoardSetClock(uint8_t hour, uint8_t minute, uint8_t second, uint8_t day, uint8_t month,
                            uint8_t year) {
  uint8_t aux = 0;
  const uint8_t param[kClockBlockSize] = {second, minute, hour, day, month, year};
  return RunCommand(kCmdClock, sizeof param, param, 0, nullptr, 0, nullptr, &aux);
}

CommandStatus BoardGetClock(uint8_t &hour, uint8_t &minute, uint8_t &second, uint8_t &day, uint8_t &month,
                            uint8_t &year) {
  uint8_t aux = 0;
  uint8_t block[kClockBlockSize] = {};
  const CommandStatus status = RunCommand(kCmdClock, 0, nullptr, 0, nullptr, sizeof block, block, &aux);
  if (status == 0) {
    second = block[0];
    minute = block[1];
    hour = block[2];
    day = block[3];
    month = block[4];
    year = block[5];
  }
  return status;
}

CommandStatus BoardSetWatchdog(uint16_t timeout) {
  uint8_t aux = 0;
  uint8_t param[2];
  put_le16(param, timeout);
  return RunCommand(kCmdWatchdog, sizeof param, param, 0, nullptr, 0, nullptr, &aux);
}

CommandStatus BoardGetWatchdog(void *value) {
  uint8_t aux = 0;
  return RunCommand(kCmdWatchdog, 0, nullptr, 0, nullptr, 2, value, &aux);
}

}  // namespace mviahlp

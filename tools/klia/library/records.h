// The caller records of the public interface (InfoRecord, UserRecord, ConfigRecord) as klia
// shows and edits them: every field named, decoded from the record's bytes one by one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "mviahlp.h"

namespace klia {

uint16_t GetLe16(const uint8_t *p);
uint32_t GetLe32(const uint8_t *p);
void PutLe16(uint8_t *p, uint16_t value);
void PutLe32(uint8_t *p, uint32_t value);

using InfoBytes = std::array<uint8_t, KLIA_INFO_RECORD_SIZE>;
using UserBytes = std::array<uint8_t, KLIA_USER_RECORD_SIZE>;
using ConfigBytes = std::array<uint8_t, KLIA_CONFIG_RECORD_SIZE>;

// The InfoRecord's fields.
struct Info {
  std::array<uint8_t, KLIA_INFO_SIGNATURE_SIZE> signature{};
  bool signature_ok = false;
  uint16_t check_word = 0;
  uint8_t state_class = 0;
  uint16_t current_user = 0;  // as stored: bit 15 is the user's flag
  uint16_t user_count = 0;
  uint8_t byte30 = 0;
  uint8_t devices = 0;
  uint16_t data_area_size = 0;
  uint16_t word34 = 0;
  uint16_t log_area_size = 0;
  uint16_t log_used = 0;
  uint16_t ext_low = 0;
  uint16_t version = 0;
  uint32_t data_area_size_ex = 0;
  uint32_t log_area_size_ex = 0;
  uint32_t log_used_ex = 0;
  uint16_t ext_high = 0;

  // A size is in exactly one of its two fields.
  uint32_t DataAreaBytes() const { return data_area_size != 0 ? data_area_size : data_area_size_ex; }
  uint32_t LogAreaBytes() const { return log_area_size != 0 ? log_area_size : log_area_size_ex; }
  uint32_t LogUsedBytes() const { return log_used != 0 ? log_used : log_used_ex; }
  uint16_t CurrentUserNumber() const { return static_cast<uint16_t>(current_user & 0x7FFF); }
  bool CurrentUserFlag() const { return (current_user & 0x8000) != 0; }
};
Info DecodeInfo(const InfoBytes &record);
std::string StateClassMeaning(uint8_t state_class);
std::string CheckWordMeaning(uint16_t check_word);

// How a record field is shown and typed.
enum class FieldKind {
  kString,      // short string, code page 866, at most KLIA_USER_STRING_MAX characters
  kFlag,        // one byte, 0 or 1
  kNibble,      // one byte, 0 to 15
  kByte,        // one byte, a number
  kWord,        // 16-bit number
  kAccessWord,  // DeviceAccessWord: bits 0-7 device mask, bit 15 a flag
  kFlags8,      // eight flag bytes, typed as eight 0/1 digits
  kData,        // bytes the board keeps as written, in hex
};

struct RecordField {
  const char *name;  // also the option name: --name
  int offset;
  int width;
  FieldKind kind;
  const char *help;
};

const std::vector<RecordField> &UserFields();
const std::vector<RecordField> &ConfigFields();
const RecordField &FieldNamed(const std::vector<RecordField> &fields, const std::string &name);

// True when a user record reads as erased memory (both strings twelve 0xFF bytes and every
// DATA field all 0xFF): such a user has never been written since formatting.
bool UserRecordLooksErased(const UserBytes &record);

}  // namespace klia

// The field tables of the library's caller records, and each field read from its bytes.
#include "library/records.h"

#include <algorithm>

namespace klia {

uint16_t GetLe16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t GetLe32(const uint8_t *p) { return GetLe16(p) | (static_cast<uint32_t>(GetLe16(p + 2)) << 16); }
void PutLe16(uint8_t *p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
}
void PutLe32(uint8_t *p, uint32_t value) {
  PutLe16(p, static_cast<uint16_t>(value));
  PutLe16(p + 2, static_cast<uint16_t>(value >> 16));
}

namespace {
constexpr std::array<uint8_t, KLIA_INFO_SIGNATURE_SIZE> kSignature = {0x0A, 0x80, 0xAA, 0xAA, 0xAE, 0xE0,
                                                                      0xA4, 0x2D, 0x41, 0x56, 0x52};
}  // namespace

Info DecodeInfo(const InfoBytes &record) {
  const uint8_t *r = record.data();
  Info info;
  std::copy_n(r + KLIA_INFO_SIGNATURE, KLIA_INFO_SIGNATURE_SIZE, info.signature.begin());
  info.signature_ok = info.signature == kSignature;
  info.check_word = GetLe16(r + KLIA_INFO_CHECK_WORD);
  info.state_class = r[KLIA_INFO_STATE_CLASS];
  info.current_user = GetLe16(r + KLIA_INFO_CURRENT_USER);
  info.user_count = GetLe16(r + KLIA_INFO_USER_COUNT);
  info.byte30 = r[KLIA_INFO_BYTE30];
  info.devices = r[KLIA_INFO_DEVICES];
  info.data_area_size = GetLe16(r + KLIA_INFO_DATA_AREA_SIZE);
  info.word34 = GetLe16(r + KLIA_INFO_WORD34);
  info.log_area_size = GetLe16(r + KLIA_INFO_LOG_AREA_SIZE);
  info.log_used = GetLe16(r + KLIA_INFO_LOG_USED);
  info.ext_low = GetLe16(r + KLIA_INFO_EXT_LOW);
  info.version = GetLe16(r + KLIA_INFO_VERSION);
  info.data_area_size_ex = GetLe32(r + KLIA_INFO_DATA_AREA_SIZE_EX);
  info.log_area_size_ex = GetLe32(r + KLIA_INFO_LOG_AREA_SIZE_EX);
  info.log_used_ex = GetLe32(r + KLIA_INFO_LOG_USED_EX);
  info.ext_high = GetLe16(r + KLIA_INFO_EXT_HIGH);
  return info;
}

std::string StateClassMeaning(uint8_t state_class) {
  switch (state_class) {
    case 1: return "not formatted (no check word)";
    case 2: return "ready: the database is formatted";
    case 4: return "ready, a user is logged on";
    default: return "as the board reports it";
  }
}

std::string CheckWordMeaning(uint16_t check_word) {
  if (check_word == 0) return "none: the board is not formatted";
  if (check_word == 0xFFFF) return "unreadable: the check-word page could not be read";
  return "stored by the last format";
}

const std::vector<RecordField> &UserFields() {
  using K = FieldKind;
  static const std::vector<RecordField> fields = {
      {"name", KLIA_USER_NAME, 13, K::kString, "first string, up to 12 characters"},
      {"name2", KLIA_USER_NAME2, 13, K::kString, "second string, up to 12 characters"},
      {"flag26", KLIA_USER_FLAG26, 1, K::kFlag, "flag (1/0); the board reports it with the current user"},
      {"flag27", KLIA_USER_FLAG27, 1, K::kFlag, "flag (1/0)"},
      {"data28", KLIA_USER_DATA28, 4, K::kData, "4 bytes, hex"},
      {"data32", KLIA_USER_DATA32, 4, K::kData, "4 bytes, hex"},
      {"data36", KLIA_USER_DATA36, 4, K::kData, "4 bytes, hex"},
      {"data40", KLIA_USER_DATA40, 4, K::kData, "4 bytes, hex"},
      {"data44", KLIA_USER_DATA44, 64, K::kData, "64 bytes, hex"},
      {"data108", KLIA_USER_DATA108, 4, K::kData, "4 bytes, hex"},
      {"data112", KLIA_USER_DATA112, 1, K::kData, "1 byte, hex"},
      {"flag113", KLIA_USER_FLAG113, 1, K::kFlag, "flag (1/0)"},
      {"flag114", KLIA_USER_FLAG114, 1, K::kFlag, "flag (1/0); an erased record reads 0"},
      {"nibble115", KLIA_USER_NIBBLE115, 1, K::kNibble, "number 0-15; an erased record reads 0"},
      {"data116", KLIA_USER_DATA116, 1, K::kData, "1 byte, hex"},
      {"data117", KLIA_USER_DATA117, 1, K::kData, "1 byte, hex"},
      {"data118", KLIA_USER_DATA118, 1, K::kData, "1 byte, hex"},
      {"data119", KLIA_USER_DATA119, 42, K::kData, "42 bytes, hex"},
      {"data161", KLIA_USER_DATA161, 4, K::kData, "4 bytes, hex"},
      {"data165", KLIA_USER_DATA165, 2, K::kData, "2 bytes, hex"},
      {"data167", KLIA_USER_DATA167, 1, K::kData, "1 byte, hex"},
      {"data168", KLIA_USER_DATA168, 4, K::kData, "4 bytes, hex"},
      {"access-word", KLIA_USER_ACCESS_WORD, 2, K::kAccessWord,
       "DeviceAccessWord: bits 0-7 device mask, bit 15 a flag (e.g. 0x8005)"},
      {"data174", KLIA_USER_DATA174, 1, K::kData, "1 byte, hex"},
      {"data175", KLIA_USER_DATA175, 1, K::kData, "1 byte, hex"},
      {"flags177", KLIA_USER_FLAGS177, 8, K::kFlags8, "eight flags as eight 0/1 digits, flag 177 first"},
      {"data185", KLIA_USER_DATA185, 4, K::kData, "4 bytes, hex"},
  };
  return fields;
}

const std::vector<RecordField> &ConfigFields() {
  using K = FieldKind;
  static const std::vector<RecordField> fields = {
      {"byte0", KLIA_CONFIG_BYTE0, 1, K::kByte, "number 0-255"},
      {"flag1", KLIA_CONFIG_FLAG1, 1, K::kFlag, "flag (1/0)"},
      {"byte2", KLIA_CONFIG_BYTE2, 1, K::kByte, "number 0-255 (a stored 255 reads back as 20)"},
      {"byte3", KLIA_CONFIG_BYTE3, 1, K::kByte, "number 0-255 (a stored 255 reads back as 20)"},
      {"byte4", KLIA_CONFIG_BYTE4, 1, K::kByte, "number 0-255"},
      {"flag5", KLIA_CONFIG_FLAG5, 1, K::kFlag, "flag (1/0)"},
      {"flag6", KLIA_CONFIG_FLAG6, 1, K::kFlag, "flag (1/0)"},
      {"flag7", KLIA_CONFIG_FLAG7, 1, K::kFlag, "flag (1/0)"},
      {"flag8", KLIA_CONFIG_FLAG8, 1, K::kFlag, "flag (1/0)"},
      {"word9", KLIA_CONFIG_WORD9, 2, K::kWord, "number 0-65535"},
      {"flag11", KLIA_CONFIG_FLAG11, 1, K::kFlag, "flag (1/0)"},
      {"byte12", KLIA_CONFIG_BYTE12, 1, K::kByte, "number 0-255"},
      {"byte13", KLIA_CONFIG_BYTE13, 1, K::kByte, "number 0-255"},
  };
  return fields;
}

const RecordField &FieldNamed(const std::vector<RecordField> &fields, const std::string &name) {
  for (const RecordField &field : fields) {
    if (name == field.name) return field;
  }
  return fields.front();
}

bool UserRecordLooksErased(const UserBytes &record) {
  for (const RecordField &field : UserFields()) {
    const uint8_t *p = record.data() + field.offset;
    if (field.kind == FieldKind::kString) {
      if (p[0] != KLIA_USER_STRING_MAX) return false;
      if (!std::all_of(p + 1, p + 1 + KLIA_USER_STRING_MAX, [](uint8_t b) { return b == 0xFF; })) return false;
    } else if (field.kind == FieldKind::kData) {
      if (!std::all_of(p, p + field.width, [](uint8_t b) { return b == 0xFF; })) return false;
    }
  }
  return true;
}

}  // namespace klia

// Showing and editing record fields by their table (records.h): text for a person, JSON for
// scripts, typed values applied to a record's bytes, and one command-line option per field.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "library/records.h"

namespace klia {

std::string FieldText(const RecordField &field, const uint8_t *record);
// One line per field: "  name          value".
std::string RecordText(const std::vector<RecordField> &fields, const uint8_t *record);
nlohmann::json RecordJson(const std::vector<RecordField> &fields, const uint8_t *record);

// Stores a typed value into the field's bytes. Throws UsageError for a bad value.
void ApplyField(const RecordField &field, const std::string &typed, uint8_t *record);

// Stores code page 866 bytes (at most KLIA_USER_STRING_MAX) as the field's short string.
void SetBoardString(const RecordField &field, std::string_view cp866, uint8_t *record);

// A short string as typed text converted to code page 866, checked against the record's
// limit. Throws UsageError.
std::string TypedToBoardString(const std::string &typed, const std::string &what);

// DeviceAccessWord in words: "0x8005 (devices 0, 2; bit 15 set)".
std::string AccessWordText(uint16_t word);

// One option per record field (--name, --access-word, ...), each storing what is typed into
// `typed` under the field's name; checked later, when the record is built.
void AddFieldOptions(CLI::App *command, const std::vector<RecordField> &fields,
                     std::map<std::string, std::string> &typed);

}  // namespace klia

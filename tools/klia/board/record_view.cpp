// Record fields as text, as JSON and as command-line options, and typed values put into a record.
#include "board/record_view.h"

#include <cstdio>
#include <string_view>

#include "platform/platform.h"
#include "shell/command_line.h"
#include "shell/errors.h"
#include "shell/text_input.h"

namespace klia {
namespace {

std::string_view BoardString(const uint8_t *p) {
  const uint8_t length = p[0] > KLIA_USER_STRING_MAX ? KLIA_USER_STRING_MAX : p[0];
  return {reinterpret_cast<const char *>(p + 1), length};
}

bool NeedsHex(std::string_view bytes) {
  for (unsigned char c : bytes) {
    if (c < 0x20 || c == 0x7F || c == 0xFF) return true;
  }
  return false;
}

// Control characters would disturb the terminal: they are shown escaped.
std::string Printable(const std::string &text) {
  std::string out;
  char piece[8];
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      std::snprintf(piece, sizeof piece, "\\x%02X", c);
      out += piece;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string Number(unsigned value) { return std::to_string(value); }

}  // namespace

std::string AccessWordText(uint16_t word) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%04X", word);
  std::string devices;
  for (int bit = 0; bit < 8; ++bit) {
    if ((word >> bit) & 1) devices += (devices.empty() ? "" : ", ") + std::to_string(bit);
  }
  std::string out = text;
  out += " (devices " + (devices.empty() ? std::string("none") : devices);
  out += (word & 0x8000) != 0 ? "; bit 15 set)" : "; bit 15 clear)";
  return out;
}

std::string FieldText(const RecordField &field, const uint8_t *record) {
  const uint8_t *p = record + field.offset;
  switch (field.kind) {
    case FieldKind::kString: {
      const std::string_view bytes = BoardString(p);
      std::string text = "\"" + Printable(Cp866ToTerminal(bytes)) + "\"";
      if (NeedsHex(bytes)) text += " (hex " + ToHex(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()) + ")";
      return text;
    }
    case FieldKind::kFlag:
    case FieldKind::kNibble:
    case FieldKind::kByte: return Number(p[0]);
    case FieldKind::kWord: return Number(GetLe16(p));
    case FieldKind::kAccessWord: return AccessWordText(GetLe16(p));
    case FieldKind::kFlags8: {
      std::string digits;
      for (int k = 0; k < 8; ++k) digits += p[k] != 0 ? '1' : '0';
      return digits;
    }
    case FieldKind::kData: return ToHex(p, static_cast<size_t>(field.width));
  }
  return {};
}

std::string RecordText(const std::vector<RecordField> &fields, const uint8_t *record) {
  std::string text;
  char name[32];
  for (const RecordField &field : fields) {
    std::snprintf(name, sizeof name, "  %-13s ", field.name);
    text += name + FieldText(field, record) + "\n";
  }
  return text;
}

std::string JsonKey(const RecordField &field) {
  std::string key = field.name;
  for (char &c : key) {
    if (c == '-') c = '_';
  }
  return key;
}

nlohmann::json RecordJson(const std::vector<RecordField> &fields, const uint8_t *record) {
  nlohmann::json json = nlohmann::json::object();
  for (const RecordField &field : fields) {
    const uint8_t *p = record + field.offset;
    const std::string key = JsonKey(field);
    switch (field.kind) {
      case FieldKind::kString: {
        const std::string_view bytes = BoardString(p);
        json[key] = Cp866ToUtf8(bytes);
        json[key + "_hex"] =
            ToHex(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
        break;
      }
      case FieldKind::kFlag:
      case FieldKind::kNibble:
      case FieldKind::kByte: json[key] = p[0]; break;
      case FieldKind::kWord: json[key] = GetLe16(p); break;
      case FieldKind::kAccessWord: {
        const uint16_t word = GetLe16(p);
        nlohmann::json devices = nlohmann::json::array();
        for (int bit = 0; bit < 8; ++bit) {
          if ((word >> bit) & 1) devices.push_back(bit);
        }
        json[key] = {{"value", word}, {"devices", devices}, {"bit15", (word & 0x8000) != 0}};
        break;
      }
      case FieldKind::kFlags8: {
        nlohmann::json flags = nlohmann::json::array();
        for (int k = 0; k < 8; ++k) flags.push_back(p[k] != 0 ? 1 : 0);
        json[key] = flags;
        break;
      }
      case FieldKind::kData: json[key] = ToHex(p, static_cast<size_t>(field.width)); break;
    }
  }
  return json;
}

std::string TypedToBoardString(const std::string &typed, const std::string &what) {
  const auto bytes = TerminalToCp866(typed);
  if (!bytes) throw UsageError(what + ": \"" + typed + "\" has characters that code page 866 cannot hold");
  if (bytes->size() > KLIA_USER_STRING_MAX) {
    throw UsageError(what + ": \"" + typed + "\" has " + std::to_string(bytes->size()) + " characters; at most " +
                     std::to_string(KLIA_USER_STRING_MAX) + " fit");
  }
  return *bytes;
}

void SetBoardString(const RecordField &field, std::string_view cp866, uint8_t *record) {
  uint8_t *p = record + field.offset;
  const size_t length = cp866.size() < KLIA_USER_STRING_MAX ? cp866.size() : KLIA_USER_STRING_MAX;
  for (int k = 0; k < field.width; ++k) p[k] = 0;
  p[0] = static_cast<uint8_t>(length);
  for (size_t k = 0; k < length; ++k) p[1 + k] = static_cast<uint8_t>(cp866[k]);
}

void ApplyField(const RecordField &field, const std::string &typed, uint8_t *record) {
  uint8_t *p = record + field.offset;
  const std::string what = std::string("--") + field.name;
  switch (field.kind) {
    case FieldKind::kString: SetBoardString(field, TypedToBoardString(typed, what), record); break;
    case FieldKind::kFlag: p[0] = ParseFlag(typed, what) ? 1 : 0; break;
    case FieldKind::kNibble: p[0] = static_cast<uint8_t>(ParseUnsigned(typed, 0, 15, what)); break;
    case FieldKind::kByte: p[0] = static_cast<uint8_t>(ParseUnsigned(typed, 0, 0xFF, what)); break;
    case FieldKind::kWord:
    case FieldKind::kAccessWord: PutLe16(p, static_cast<uint16_t>(ParseUnsigned(typed, 0, 0xFFFF, what))); break;
    case FieldKind::kFlags8: {
      if (typed.size() != 8 || typed.find_first_not_of("01") != std::string::npos) {
        throw UsageError(what + ": \"" + typed + "\" is not eight 0/1 digits (flag 177 first)");
      }
      for (int k = 0; k < 8; ++k) p[k] = typed[static_cast<size_t>(k)] == '1' ? 1 : 0;
      break;
    }
    case FieldKind::kData: {
      const auto bytes = ParseHexExactly(typed, static_cast<size_t>(field.width), what);
      for (size_t k = 0; k < bytes.size(); ++k) p[k] = bytes[k];
      break;
    }
  }
}

void AddFieldOptions(CLI::App *command, const std::vector<RecordField> &fields,
                     std::map<std::string, std::string> &typed) {
  for (const RecordField &field : fields) {
    const std::string name = field.name;
    const char *label = kNumberLabel;
    switch (field.kind) {
      case FieldKind::kString: label = kTextLabel; break;
      case FieldKind::kData: label = kHexLabel; break;
      case FieldKind::kFlag: label = "0|1"; break;
      case FieldKind::kFlags8: label = "BITS"; break;
      default: break;
    }
    command
        ->add_option_function<std::string>(
            "--" + name, [&typed, name](const std::string &value) { typed[name] = value; }, field.help)
        ->type_name(label);
  }
}

}  // namespace klia

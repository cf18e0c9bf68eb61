// The board's information record in lines for a person and as JSON.
#include "board/info_view.h"

#include <cstdio>

#include "shell/text_input.h"

namespace klia {
namespace {

std::string Line(const char *name, const std::string &value) {
  char head[40];
  std::snprintf(head, sizeof head, "  %-16s ", name);
  return head + value + "\n";
}

std::string Hex8(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

std::string CurrentUserText(const Info &info) {
  if (info.CurrentUserNumber() == 0 && !info.CurrentUserFlag()) return Hex16(info.current_user) + "  nobody logged on";
  return Hex16(info.current_user) + "  user " + std::to_string(info.CurrentUserNumber()) +
         (info.CurrentUserFlag() ? ", flag set" : ", flag clear");
}

}  // namespace

std::string Hex16(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

std::string InfoText(const Info &info) {
  std::string text = "Board information\n";
  text += Line("Signature", ToHex(info.signature.data(), info.signature.size()) +
                                (info.signature_ok ? "  (\"...AVR\", as expected)" : "  (unexpected)"));
  text += Line("CheckWord", Hex16(info.check_word) + "  " + CheckWordMeaning(info.check_word));
  text += Line("StateClass", std::to_string(info.state_class) + "  " + StateClassMeaning(info.state_class));
  text += Line("CurrentUser", CurrentUserText(info));
  text += Line("UserCount", std::to_string(info.user_count));
  text += Line("Byte30", Hex8(info.byte30));
  text += Line("Devices", std::to_string(info.devices));
  text += Line("DataAreaSize", std::to_string(info.data_area_size));
  text += Line("Word34", std::to_string(info.word34));
  text += Line("LogAreaSize", std::to_string(info.log_area_size));
  text += Line("LogUsed", std::to_string(info.log_used));
  text += Line("ExtLow", std::to_string(info.ext_low));
  text += Line("Version", Hex16(info.version));
  text += Line("DataAreaSizeEx", std::to_string(info.data_area_size_ex));
  text += Line("LogAreaSizeEx", std::to_string(info.log_area_size_ex));
  text += Line("LogUsedEx", std::to_string(info.log_used_ex));
  text += Line("ExtHigh", std::to_string(info.ext_high));
  text += "  => users 1-" + std::to_string(info.user_count) + "; data area 2: " +
          std::to_string(info.DataAreaBytes()) + " bytes; log area: " + std::to_string(info.LogAreaBytes()) +
          " bytes, " + std::to_string(info.LogUsedBytes()) + " in use\n";
  return text;
}

nlohmann::json InfoJson(const Info &info) {
  return {
      {"signature", ToHex(info.signature.data(), info.signature.size())},
      {"signature_ok", info.signature_ok},
      {"check_word", info.check_word},
      {"check_word_meaning", CheckWordMeaning(info.check_word)},
      {"state_class", info.state_class},
      {"state_class_meaning", StateClassMeaning(info.state_class)},
      {"current_user",
       {{"value", info.current_user}, {"user", info.CurrentUserNumber()}, {"flag", info.CurrentUserFlag()}}},
      {"user_count", info.user_count},
      {"byte30", info.byte30},
      {"devices", info.devices},
      {"data_area_size", info.data_area_size},
      {"word34", info.word34},
      {"log_area_size", info.log_area_size},
      {"log_used", info.log_used},
      {"ext_low", info.ext_low},
      {"version", info.version},
      {"data_area_size_ex", info.data_area_size_ex},
      {"log_area_size_ex", info.log_area_size_ex},
      {"log_used_ex", info.log_used_ex},
      {"ext_high", info.ext_high},
      {"data_area_bytes", info.DataAreaBytes()},
      {"log_area_bytes", info.LogAreaBytes()},
      {"log_used_bytes", info.LogUsedBytes()},
  };
}

}  // namespace klia

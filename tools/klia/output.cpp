#include "output.h"

#include <cstdio>

namespace klia {

void PrintText(const std::string &text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void PrintJson(const nlohmann::json &json) {
  PrintText(json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

}  // namespace klia

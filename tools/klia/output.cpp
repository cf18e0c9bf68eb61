#include "output.h"

#include <cstdio>

namespace klia {
namespace {

bool g_json = false;

std::string Dump(const nlohmann::json &json) {
  return json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

void Write(std::FILE *stream, const std::string &text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

void SetJsonOutput(bool json) { g_json = json; }
bool JsonOutput() { return g_json; }

void PrintText(const std::string &text) { Write(stdout, text); }

void PrintJson(const nlohmann::json &json) { Write(stdout, Dump(json)); }

void Emit(const std::string &text, const nlohmann::json &json) {
  if (g_json) {
    PrintJson(json);
  } else {
    PrintText(text);
  }
}

void Notice(const std::string &text) {
  std::fflush(stdout);
  if (g_json) {
    Write(stderr, nlohmann::json({{"notice", text}}).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
                      "\n");
  } else {
    Write(stderr, "klia: " + text + "\n");
  }
}

void PrintJsonError(const nlohmann::json &json) {
  std::fflush(stdout);
  Write(stderr, Dump(json));
}

}  // namespace klia

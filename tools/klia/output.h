// Writing results: text for a person, JSON for scripts (UTF-8, two-space indent).
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace klia {

void PrintText(const std::string &text);
void PrintJson(const nlohmann::json &json);

}  // namespace klia

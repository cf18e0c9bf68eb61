// The board's information record as klia shows it.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "library/records.h"

namespace klia {

std::string InfoText(const Info &info);
// A 16-bit field in hex, as the information record shows it ("0x0123").
std::string Hex16(unsigned value);
nlohmann::json InfoJson(const Info &info);

}  // namespace klia

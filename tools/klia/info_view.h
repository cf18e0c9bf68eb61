// The board's information record as klia shows it.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "records.h"

namespace klia {

std::string InfoText(const Info &info);
nlohmann::json InfoJson(const Info &info);

}  // namespace klia

// Calendar time on Windows: the C runtime's thread-safe forms of localtime and gmtime.
#include <ctime>

#include "platform/platform.h"

namespace klia {

std::tm LocalTime(std::time_t moment) {
  std::tm result{};
  localtime_s(&result, &moment);
  return result;
}

std::tm UniversalTime(std::time_t moment) {
  std::tm result{};
  gmtime_s(&result, &moment);
  return result;
}

}  // namespace klia

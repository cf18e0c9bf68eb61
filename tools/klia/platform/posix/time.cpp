// Calendar time on POSIX systems: the thread-safe forms of localtime and gmtime.
#include <ctime>

#include "platform/platform.h"

namespace klia {

std::tm LocalTime(std::time_t moment) {
  std::tm result{};
  localtime_r(&moment, &result);
  return result;
}

std::tm UniversalTime(std::time_t moment) {
  std::tm result{};
  gmtime_r(&moment, &result);
  return result;
}

}  // namespace klia

// klia's own environment, read the same way on every system.
#include <cstdlib>

#include "platform/platform.h"

namespace klia {

std::string Environment(const char *name) {
  const char *value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace klia

// A library that reaches the board while it is being loaded: it binds and sets the hardware
// step to 9 before its caller has called anything.
#include "mviahlp.h"

namespace {

struct WritesAtLoad {
  WritesAtLoad() {
    if ((KLIADriverPresent() & 0xFF) != 0) KLIAWriteHwStep(9);
  }
} writes_at_load;

}  // namespace

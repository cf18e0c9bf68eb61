#include "driver/driver_error.h"

#include "interface/driver_state.h"

namespace mviahlp {

void SetDriverError(uint16_t code) {
  DriverState.LastError = code;
  if (code == 0) DriverState.DeviceStatus = 0;
}

}  // namespace mviahlp

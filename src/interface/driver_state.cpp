#include "interface/driver_state.h"

#include "mviahlp.h"

namespace mviahlp {

DriverStateRecord DriverState{};

static_assert(kErrNotBound == KLIA_ERR_NOT_BOUND && kErrLogonUnknown == KLIA_ERR_LOGON_UNKNOWN &&
              kErrLogonRefused == KLIA_ERR_LOGON_REFUSED && kErrOutOfRange == KLIA_ERR_OUT_OF_RANGE &&
              kErrPageFailed == KLIA_ERR_PAGE_FAILED && kErrWriteFailed == KLIA_ERR_WRITE_FAILED &&
              kErrLogonBlocked == KLIA_ERR_LOGON_BLOCKED);

}  // namespace mviahlp

// OperationTable: the interface layer's 18 slots of driver operations, bound by name.
#pragma once

#include <cstddef>

#include "interface/operation_types.h"

namespace mviahlp {

// Slot order is also the order in which BindDriver resolves and then checks the slots.
enum Slot : size_t {
  kSlotGetInfo,
  kSlotGetCurrentUser,
  kSlotLogin,
  kSlotLogout,
  kSlotReadUserData,
  kSlotWriteUserData,
  kSlotChangeUserPassword,
  kSlotReadData,
  kSlotWriteData,
  kSlotFlush,
  kSlotFormatDatabase,
  kSlotSetIaResult,
  kSlotClearLog,
  kSlotGetWDTimeout,
  kSlotSetWDTimeout,
  kSlotGetRTCDateTime,
  kSlotSetRTCDateTime,
  kSlotMakeUserXID,
  kSlotCount,
};

extern const char *const kSlotNames[kSlotCount];
extern OperationAddress OperationTable[kSlotCount];

// The operation in a slot, as its own type.
template <typename Operation>
Operation SlotOperation(Slot slot) {
  return reinterpret_cast<Operation>(OperationTable[slot]);
}

// Resolves all 18 names, sets Present, and probes the board with the bound information
// operation. Present is 0 afterwards only when a name did not resolve.
KLIA_BOOL KLIA_CALL BindDriver(Resolver resolve);

}  // namespace mviahlp

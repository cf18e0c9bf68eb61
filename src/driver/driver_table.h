// DriverTable: the driver's nineteen (operation, name) pairs, and the resolver that the
// interface layer binds with.
#pragma once

#include <cstddef>

#include "interface/operation_types.h"

namespace mviahlp {

struct DriverTableEntry {
  OperationAddress operation;
  const char *name;
};

inline constexpr size_t kDriverTableSize = 19;
extern const DriverTableEntry DriverTable[kDriverTableSize];

// The operation whose name equals `name` up to ASCII letter case, or null.
OperationAddress KLIA_CALL ResolveOperation(const char *name);

}  // namespace mviahlp

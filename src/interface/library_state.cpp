#include "interface/library_state.h"

#include "driver/board_info.h"
#include "driver/board_services.h"
#include "driver/formatting.h"
#include "driver/page_cache.h"
#include "interface/driver_state.h"
#include "interface/operation_table.h"

namespace mviahlp {

void ResetLibraryState() {
  DriverState = {};
  for (OperationAddress &slot : OperationTable) slot = nullptr;
  BoardInfo = {};
  DeviceCount = 0;
  DeviceAccessMask = 0;
  DeviceAccessClosing = 0;
  EmptyPageCache();
  PageCache.CacheLength = 0;
  for (uint8_t &character : ProgressText) character = 0;
}

}  // namespace mviahlp

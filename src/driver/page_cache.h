// PageCache: the driver's one-page write-back cache of board memory.
#pragma once

#include <cstdint>

namespace mviahlp {

inline constexpr uint16_t kNoCachedPage = 0xFFFF;
inline constexpr uint16_t kCacheBufferSize = 1025;

struct PageCacheRecord {
  uint16_t CachedPage;                      // page held in CacheBuffer; kNoCachedPage = none
  uint8_t CacheBuffer[kCacheBufferSize];    // byte k of the page is byte k of the buffer
  uint8_t CacheDirty;                       // 1: CacheBuffer holds changes not yet on the board
  uint16_t CacheLength;                     // bytes moved per load or write-back, from offset 0;
                                            // set by every successful KLIAGetInfo
};

extern PageCacheRecord PageCache;

// The empty state: no page held, nothing dirty. The state at library load.
void EmptyPageCache();

}  // namespace mviahlp

// PageCache: the driver's one-page write-back cache of board memory. Its states and every
// board command each transition sends are described at the top of page_cache.cpp.
#pragma once

#include <cstdint>

#include "board/commands.h"
#include "driver/board_info.h"
#include "support/bits.h"

namespace mviahlp {

inline constexpr uint16_t kNoCachedPage = 0xFFFF;
inline constexpr uint16_t kCacheBufferSize = 1025;

struct PageCacheRecord {
  uint16_t CachedPage;                      // page held in CacheBuffer; kNoCachedPage = none
  uint8_t CacheBuffer[kCacheBufferSize];    // byte k of the page is byte k of the buffer
  uint8_t CacheDirty;                       // 1: CacheBuffer holds changes not yet on the board
  uint16_t CacheLength;                     // transfer length, set by every successful
                                            // KLIAGetInfo; a load or write-back moves
                                            // PageTransferLength() bytes from offset 0
  uint16_t LoadedLength;                    // bytes the held page was loaded with (its
                                            // PageTransferLength() at load); a write-back sends
                                            // exactly these
};

extern PageCacheRecord PageCache;

// The empty state: no page held, nothing dirty. The state at library load.
void EmptyPageCache();

// The bytes a load or a write-back moves, from offset 0 of the page: CacheLength, but never
// more than the board's page size. A board older than version 0x123 reports CacheLength 256
// whatever its page size; on smaller pages 256 bytes would run into the next page, and a
// write-back would overwrite that page with bytes it held at load. Inline: every cached
// access asks for it.
inline uint16_t PageTransferLength() { return MinWord(PageCache.CacheLength, BoardInfo.PageSize); }

// Makes `page` the cached page. The cached page itself costs nothing. Otherwise a dirty page
// is written back first (board command 22) and, when that fails, its status is returned with
// the dirty page kept; then `page` is loaded (board command 21, PageTransferLength() bytes
// from offset 0). A failed load leaves the cache empty and returns its status. The caller has
// made sure that PageTransferLength() fits CacheBuffer and that `page` is not kNoCachedPage.
CommandStatus CachePage(uint16_t page);

// A whole page (PageTransferLength() bytes) that a read request passes on its way to the next page:
// the commands of CachePage(page), then the page copied into `data`, but a page that is not
// held is read from the board straight into `data` and leaves the cache empty instead of
// holding it. Only for such a passing page: the next piece is for page + 1, which CachePage
// would not find held either way, so the commands of every later piece, and what the cache
// holds when the request ends, are the same as through CachePage. A failed read leaves the
// cache empty, as a failed load does, and may have written part of `data`. The caller has
// made sure that PageTransferLength() fits CacheBuffer and is the page size.
CommandStatus ReadPassingPage(uint16_t page, uint8_t *data);

// Writes a dirty page back (board command 22) and returns whether the board has it now: true
// also when nothing was dirty, and then no command is sent. On failure the page stays dirty,
// so that the next flush tries again, and the failure is recorded: LastError
// KLIA_ERR_PAGE_FAILED, DeviceStatus the board's status. Success leaves the error state
// alone. The page stays cached either way. This is the routine behind KLIAFlush; formatting
// calls it before its first command.
bool FlushPageCache();

}  // namespace mviahlp

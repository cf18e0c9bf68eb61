// The page cache: one page of board memory held in CacheBuffer, so that a run of small reads
// and writes inside one page of data areas 0, 1, 2, 5 (and 0x83...) costs one page load and,
// for writes, one write-back.
//
// STATES
//
//   empty   CachedPage = 0xFFFF, CacheDirty = 0. The state at library load.
//   clean   CachedPage = p, CacheDirty = 0: CacheBuffer holds the first LoadedLength bytes
//           of page p exactly as the board has them.
//   dirty   CachedPage = p, CacheDirty = 1: CacheBuffer holds page p with changes the board
//           does not have yet.
//
// A load always moves the transfer length, PageTransferLength() = the smaller of CacheLength
// and the page size, from offset 0 of the page (board command 21 into CacheBuffer), and a
// write-back always moves the LoadedLength bytes that were loaded (board command 22 from
// CacheBuffer, offset 0); the two are equal unless the board's information, read again
// meanwhile, changed the transfer length. Pieces of the log area (area byte exactly 3) never
// touch the cache.
//
// TRANSITIONS, with the board commands each one sends ("21 p" = load page p, "22 p" = write
// page p back; a piece is the part of a read or write request that falls into one page):
//
//   read piece of page p
//     p cached (clean or dirty) ............ nothing; state unchanged
//     empty or clean q ..................... 21 p                  -> clean p
//     dirty q .............................. 22 q, 21 p            -> clean p
//   write piece of page p
//     p cached ............................. nothing               -> dirty p
//     empty or clean q ..................... 21 p                  -> dirty p
//     dirty q .............................. 22 q, 21 p            -> dirty p
//   KLIAFlush (also KLIAWriteData with a null data address, and library unload)
//     dirty p .............................. 22 p                  -> clean p
//     empty or clean ....................... nothing
//
// A read of several pages takes each whole page it passes on to the next (every whole page
// but the request's last piece) straight from the board into the caller's buffer, without
// the copy through CacheBuffer (ReadPassingPage): it sends the same 22 q and 21 p but ends
// empty instead of clean p. The next piece is for page p + 1, which neither state holds and
// neither has to write back, so every later command and the state at the end of the request
// are those of the table.
//
// Failures never lose a change and never let the cache serve bytes the board did not send:
//
//   22 q fails (piece or flush) ............ dirty q stays dirty q; the piece or flush fails
//                                            (LastError 7507, DeviceStatus the status) and the
//                                            next piece of another page or the next flush
//                                            sends 22 q again
//   21 p fails ............................. -> empty (the transport may have written part of
//                                            CacheBuffer); the piece fails. A load only ever
//                                            follows a clean state or a successful 22.
//
// A page held with a LoadedLength other than the current transfer length counts as not
// cached: the next piece for it writes it back if dirty and loads it again, so that every
// byte a piece may touch (pieces are kept within the transfer length) is a byte the
// write-back sends.
//
// Nothing else changes the state. Formatting and the user-record and check-word operations
// read and write pages directly; formatting flushes first (FlushPageCache) and empties the
// cache when it is done (EmptyPageCache).
#include "driver/page_cache.h"

#include <cstring>

#include "driver/driver_error.h"
#include "interface/driver_state.h"

namespace mviahlp {

PageCacheRecord PageCache{kNoCachedPage, {}, 0, 0, 0};

void EmptyPageCache() {
  PageCache.CachedPage = kNoCachedPage;
  PageCache.CacheDirty = 0;
  PageCache.LoadedLength = 0;
}

namespace {

// dirty p -> clean p, or dirty p unchanged when the board refuses. Sends nothing unless dirty.
CommandStatus WriteBackDirtyPage() {
  if (PageCache.CacheDirty == 0) return 0;
  const CommandStatus status =
      BoardWriteMemory(PageCache.CachedPage, 0, PageCache.LoadedLength, PageCache.CacheBuffer);
  if (status == 0) PageCache.CacheDirty = 0;
  return status;
}

}  // namespace

CommandStatus CachePage(uint16_t page) {
  const uint16_t length = PageTransferLength();
  if (PageCache.CachedPage == page && PageCache.LoadedLength == length) return 0;
  const CommandStatus written = WriteBackDirtyPage();
  if (written != 0) return written;
  const CommandStatus loaded = BoardReadMemory(page, 0, length, PageCache.CacheBuffer);
  if (loaded != 0) {
    EmptyPageCache();
    return loaded;
  }
  PageCache.CachedPage = page;
  PageCache.LoadedLength = length;
  return 0;
}

CommandStatus ReadPassingPage(uint16_t page, uint8_t *data) {
  const uint16_t length = PageTransferLength();
  if (PageCache.CachedPage == page && PageCache.LoadedLength == length) {
    std::memcpy(data, PageCache.CacheBuffer, length);
    return 0;
  }
  const CommandStatus written = WriteBackDirtyPage();
  if (written != 0) return written;
  // CachePage would hold this page now, clean, and the next piece would load page + 1 over
  // it without a write-back: an empty cache sends the same.
  EmptyPageCache();
  return BoardReadMemory(page, 0, length, data);
}

bool FlushPageCache() {
  const CommandStatus status = WriteBackDirtyPage();
  if (status == 0) return true;
  SetDriverError(kErrPageFailed);
  DriverState.DeviceStatus = status;
  return false;
}

}  // namespace mviahlp

// Data areas: callers address board memory by an 8-bit area number and a byte offset from the
// start of the area. A request is split at page boundaries into pieces; each piece of a cached
// area goes through the page cache (page_cache.cpp, which lists every board command a
// sequence of calls sends), and each piece of the log area goes straight between the board
// and the caller's buffer. A read also takes the whole pages it passes on its way to the next
// page straight into the caller's buffer, with the commands the cache would send.
//
// Before any board command a request is refused with KLIA_ERR_OUT_OF_RANGE when it does not
// lie inside its area, when its offset is negative or offset + length leaves the signed
// 32-bit range, when the board's page size is 0 (BoardInfo not read yet), when its pages run
// past page 0xFFFF, and, for a cached area, when the page size or CacheLength exceeds
// CacheBuffer or a piece would reach past the bytes a load moves within its page (an old
// board reports CacheLength 256 whatever its page size, so on pages larger than 256 bytes
// only their first 256 are cached; see PageTransferLength for smaller pages): the cache never
// copies past its buffer and never holds a change it would not write back. Requests of
// length 0 succeed without a command.
#include <cstdint>
#include <cstring>

#include "board/commands.h"
#include "driver/board_info.h"
#include "driver/driver_error.h"
#include "driver/operations.h"
#include "driver/page_cache.h"
#include "interface/driver_state.h"
#include "mviahlp.h"
#include "support/bits.h"

namespace mviahlp {
namespace {

// With area 3, this offset (as a whole 32-bit number: -1 is not it) makes a write append a
// log record.
constexpr int32_t AppendOffset = KLIA_APPEND_OFFSET;
// Only this exact area byte bypasses the cache: 0x83 reaches the log pages through it.
constexpr uint8_t kLogArea = KLIA_AREA_LOG;
// Bit 7 of the area number does not choose the pages.
constexpr uint8_t kAreaNumberMask = 0x7F;
constexpr uint32_t kPageNumberLimit = 0x10000;

struct AreaPages {
  uint32_t first;
  uint32_t count;
};

AreaPages AreaGeometry(uint8_t area) {
  switch (area & kAreaNumberMask) {
    case 0: return {1, 2};
    case 1: return {4, 3};
    case 2: return {static_cast<uint32_t>(BoardInfo.UserCount) + 8, BoardInfo.DataPageCount};
    case 3: return {BoardInfo.LogFirstPage, BoardInfo.LogPageCount};
    case 5: return {0, 1};
    default: return {0, 0};  // areas 4 and 6-127 have no pages
  }
}

bool BypassesCache(uint8_t area) { return area == kLogArea; }

// Whether a non-empty request may reach the board (see the top of this file).
bool RequestAllowed(uint8_t area, int32_t offset, uint16_t length, AreaPages pages) {
  const uint32_t page_size = BoardInfo.PageSize;
  if (offset < 0 || page_size == 0) return false;
  const int64_t end = static_cast<int64_t>(offset) + length;
  if (end > INT32_MAX) return false;
  if (end > static_cast<int64_t>(page_size) * pages.count) return false;

  const uint32_t last_page = pages.first + static_cast<uint32_t>((end - 1) / page_size);
  if (BypassesCache(area)) return last_page < kPageNumberLimit;

  // 0xFFFF is the cache's "no page" mark and cannot be held.
  if (last_page >= kNoCachedPage) return false;
  if (page_size > kCacheBufferSize || PageCache.CacheLength > kCacheBufferSize) return false;
  // A request inside one page reaches its own end; one that crosses a page boundary has a
  // piece that reaches the end of its page.
  const uint32_t page_offset = static_cast<uint32_t>(offset) % page_size;
  const uint32_t reach = page_offset + length <= page_size ? page_offset + length : page_size;
  return reach <= PageTransferLength();
}

// The bytes of a request that lies inside the page the cache holds, or null. Such a request
// passes every test of RequestAllowed and is one piece for the cached page, so copying it
// here has the same effects as TransferArea would, without its splitting: this is the path
// of the small accesses the cache is for. The transfer length is never more than the page
// size, so a piece within it lies within its page, and a page size that fits CacheBuffer
// makes the transfer length fit too.
uint8_t *CachedBytes(uint8_t area, int32_t offset, uint16_t length) {
  const uint32_t page_size = BoardInfo.PageSize;
  const uint32_t cache_length = PageTransferLength();
  if (length == 0 || offset < 0 || BypassesCache(area) || page_size == 0 || page_size > kCacheBufferSize ||
      PageCache.CachedPage == kNoCachedPage || PageCache.LoadedLength != cache_length)
    return nullptr;
  const AreaPages pages = AreaGeometry(area);
  const auto at = static_cast<uint32_t>(offset);
  const uint32_t page_offset = at % page_size;
  const uint64_t end = static_cast<uint64_t>(at) + length;
  if (pages.first + at / page_size != PageCache.CachedPage || page_offset + length > cache_length ||
      end > INT32_MAX || end > static_cast<uint64_t>(page_size) * pages.count)
    return nullptr;
  return PageCache.CacheBuffer + page_offset;
}

// `count` bytes of `page` from `page_offset` into `data`. TransferArea never passes a count
// of 0 and keeps cached pieces within PageTransferLength().
CommandStatus ReadPageStep(uint8_t area, uint16_t page, uint16_t page_offset, uint16_t count, uint8_t *data) {
  if (BypassesCache(area)) return BoardReadMemory(page, page_offset, count, data);
  const CommandStatus status = CachePage(page);
  if (status != 0) return status;
  std::memcpy(data, PageCache.CacheBuffer + page_offset, count);
  return 0;
}

// `count` bytes from `data` into `page` from `page_offset`.
CommandStatus WritePageStep(uint8_t area, uint16_t page, uint16_t page_offset, uint16_t count,
                            const uint8_t *data) {
  if (BypassesCache(area)) return BoardWriteMemory(page, page_offset, count, data);
  const CommandStatus status = CachePage(page);
  if (status != 0) return status;
  std::memcpy(PageCache.CacheBuffer + page_offset, data, count);
  PageCache.CacheDirty = 1;
  return 0;
}

// ReadPageStep for a whole page that the request passes on its way to the next page: a page
// of a cached area goes straight from the board into `data` when a load moves the whole page
// (see ReadPassingPage); otherwise as ReadPageStep.
CommandStatus ReadPassingStep(uint8_t area, uint16_t page, uint16_t page_offset, uint16_t count, uint8_t *data) {
  if (BypassesCache(area) || count != PageTransferLength()) return ReadPageStep(area, page, page_offset, count, data);
  return ReadPassingPage(page, data);
}

template <typename Byte>
using PageStep = CommandStatus (*)(uint8_t area, uint16_t page, uint16_t page_offset, uint16_t count, Byte *data);

// Splits the request into a leading piece up to the first page boundary, whole pages, and a
// tail, and hands each to `step`, or to `passing_step` for a whole page that is not the last
// piece. The done count grows only after a piece succeeded, so after a failure it holds the
// bytes of the pieces before it.
template <typename Byte>
KLIA_BOOL TransferArea(uint8_t area, Byte *data, int32_t offset, uint16_t length, uint16_t *done,
                       PageStep<Byte> step, PageStep<Byte> passing_step) {
  const AreaPages pages = AreaGeometry(area);
  if (length == 0) {
    *done = 0;
    SetDriverError(0);
    return 1;
  }
  if (!RequestAllowed(area, offset, length, pages)) {
    SetDriverError(kErrOutOfRange);
    return 0;
  }

  *done = 0;
  const uint16_t page_size = BoardInfo.PageSize;
  uint32_t page = pages.first + static_cast<uint32_t>(offset) / page_size;
  const auto page_offset = static_cast<uint16_t>(static_cast<uint32_t>(offset) % page_size);
  uint16_t remaining = length;

  const auto piece = [&](uint16_t at, uint16_t count, PageStep<Byte> piece_step) {
    const CommandStatus status = piece_step(area, static_cast<uint16_t>(page), at, count, data);
    DriverState.DeviceStatus = status;
    if (status != 0) {
      SetDriverError(kErrPageFailed);
      return false;
    }
    data += count;
    remaining = static_cast<uint16_t>(remaining - count);
    *done = static_cast<uint16_t>(*done + count);
    ++page;
    return true;
  };

  if (page_offset != 0 &&
      !piece(page_offset, MinWord(remaining, static_cast<uint16_t>(page_size - page_offset)), step))
    return 0;
  while (remaining >= page_size) {
    if (!piece(0, page_size, remaining > page_size ? passing_step : step)) return 0;
  }
  if (remaining != 0 && !piece(0, remaining, step)) return 0;
  return 1;
}

}  // namespace

namespace driver {

KLIA_BOOL KLIA_CALL KLIAReadData(uint8_t area, void *data, int32_t offset, uint16_t length, uint16_t *done) {
  SetDriverError(0);
  if (const uint8_t *cached = CachedBytes(area, offset, length)) {
    std::memcpy(data, cached, length);
    *done = length;
    return 1;
  }
  return TransferArea<uint8_t>(area, static_cast<uint8_t *>(data), offset, length, done, ReadPageStep,
                               ReadPassingStep);
}

KLIA_BOOL KLIA_CALL KLIAWriteData(uint8_t area, const void *data, int32_t offset, uint16_t length, uint16_t *done) {
  SetDriverError(0);
  if (data == nullptr) {
    // Through the export, like every caller of KLIAFlush. The flush leaves LastError at the
    // 0 set above unless the write-back failed, and then the page is not on the board.
    ::KLIAFlush();
    return DriverState.LastError == 0 ? 1 : 0;
  }
  if (area == kLogArea && offset == AppendOffset) {
    // The board keeps the log's write position; no range test, no cache, no done count, and
    // the error state stays as cleared above whatever the board answers.
    return BoardAppendLog(length, static_cast<const uint8_t *>(data)) == 0 ? 1 : 0;
  }
  if (uint8_t *cached = CachedBytes(area, offset, length)) {
    std::memcpy(cached, data, length);
    PageCache.CacheDirty = 1;
    *done = length;
    return 1;
  }
  return TransferArea<const uint8_t>(area, static_cast<const uint8_t *>(data), offset, length, done,
                                     WritePageStep, WritePageStep);
}

void KLIA_CALL KLIAFlush() { FlushPageCache(); }

}  // namespace driver
}  // namespace mviahlp

// Hostile board: the input chooses the board's information block (geometry, state, log
// position), its memory, the statuses and scribbled answers of its commands, later changes to
// its information answers, and a sequence of calls through the exported interface with
// arguments of the caller's choosing. Caller buffers are allocated at exactly their stated
// sizes, so AddressSanitizer sees any byte the library touches past them.
//
// What must hold for every input: no memory error, no undefined behaviour, no copy past a
// buffer (ASan/UBSan); every result is 0 or 1; a refused call carries one of its codes; the
// page cache never holds more than its buffer and is dirty only while it names a page.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/page_cache.h"
#include "interface/driver_state.h"
#include "interface/library_state.h"
#include "mviahlp.h"
#include "vboard.h"

namespace {

// The board commands one input may make before the board is unplugged. A claimed geometry can
// ask for millions of commands (formatting 65535 pages of 65535 bytes reads 4 million pieces);
// every path past the first few hundred commands of one call repeats what came before, and the
// failing transport that follows the unplugging is a hostile board too.
constexpr uint32_t kCommandsPerInput = 512;

// Page sizes and counts at the edges of what the library can hold.
constexpr uint16_t kEdgeSizes[] = {0, 1, 2, 255, 256, 257, 1024, 1025, 1026, 2048, 0x7FFF, 0x8000, 0xFFF0, 0xFFFF};

void Fail(const char *what) {
  std::fprintf(stderr, "board_fuzzer: %s\n", what);
  std::abort();
}

void CheckResult(KLIA_BOOL result) {
  if (result != 0 && result != 1) Fail("a result other than 0 or 1");
}

// A refused data-area request: not bound, out of range or a refused page.
void CheckAreaRefusal(KLIA_BOOL result) {
  CheckResult(result);
  if (result == 0) {
    uint16_t bind = 0, code = 0, status = 0;
    KLIAGetErrorState(&bind, &code, &status);
    if (mviahlp::DriverState.Present == 0) {
      if (bind != KLIA_ERR_NOT_BOUND) Fail("unbound refusal without its code");
    } else if (code != KLIA_ERR_OUT_OF_RANGE && code != KLIA_ERR_PAGE_FAILED) {
      Fail("data-area refusal without its code");
    }
  }
}

void CheckCache() {
  using mviahlp::PageCache;
  if (PageCache.CacheDirty > 1) Fail("CacheDirty is not a flag");
  if (PageCache.CacheDirty == 1 && PageCache.CachedPage == mviahlp::kNoCachedPage) Fail("dirty without a page");
  if (PageCache.LoadedLength > mviahlp::kCacheBufferSize) Fail("a page held larger than the cache buffer");
}

void KLIA_CALL Progress(const uint8_t *message) {
  // A short string: its length byte and that many characters must be readable.
  volatile uint8_t sum = 0;
  for (unsigned i = 0; i <= message[0]; ++i) sum = static_cast<uint8_t>(sum + message[i]);
  (void)sum;
}

// A caller buffer of exactly `size` bytes (at least one, so that its address is never null).
std::vector<uint8_t> Buffer(FuzzedDataProvider &input, size_t size) {
  std::vector<uint8_t> bytes = input.ConsumeBytes<uint8_t>(size);
  bytes.resize(size == 0 ? 1 : size, 0);
  if (size == 0) bytes.shrink_to_fit();
  return bytes;
}

void AddFault(FuzzedDataProvider &input) {
  VBoardFault fault{};
  fault.nth = input.ConsumeIntegralInRange<uint32_t>(0, 6);
  fault.command = input.ConsumeBool() ? 0 : input.ConsumeIntegral<uint8_t>();
  fault.status = input.ConsumeIntegral<uint8_t>();
  fault.transport_fails = input.ConsumeBool() ? 1 : 0;
  fault.scribble = input.ConsumeBool() ? 1 : 0;
  fault.times = input.ConsumeIntegralInRange<uint32_t>(0, 3);
  VBoardAddFault(&fault);
}

int32_t Offset(FuzzedDataProvider &input) {
  switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return input.ConsumeIntegral<int32_t>();
    case 1: return input.PickValueInArray({-1, 0x7FFFFFFF, INT32_MIN, 0xFFFF, 0x10000});
    default: return input.ConsumeIntegralInRange<int32_t>(0, 70000);
  }
}

uint16_t Count(FuzzedDataProvider &input) {
  return input.ConsumeBool() ? input.ConsumeIntegralInRange<uint16_t>(0, 2100) : input.ConsumeIntegral<uint16_t>();
}

void CallOne(FuzzedDataProvider &input) {
  const uint8_t area = input.ConsumeBool() ? input.PickValueInArray<uint8_t>({0, 1, 2, 3, 4, 5, 0x83, 0x80})
                                           : input.ConsumeIntegral<uint8_t>();
  switch (input.ConsumeIntegralInRange<int>(0, 27)) {
    case 0: CheckResult(KLIADriverPresent()); break;
    case 1: {
      std::vector<uint8_t> record(KLIA_INFO_RECORD_SIZE);
      CheckResult(KLIAGetInfo(record.data()));
      break;
    }
    case 2: {
      uint16_t user = 0;
      uint8_t flag = 0;
      CheckResult(KLIAGetCurrentUser(&user, &flag));
      break;
    }
    case 3: {
      std::vector<uint8_t> first = Buffer(input, 8), second = Buffer(input, 8);
      CheckResult(KLIALogin(first.data(), second.data(), input.ConsumeIntegral<uint8_t>()));
      break;
    }
    case 4: KLIALogout(); break;
    case 5: {
      std::vector<uint8_t> record(KLIA_USER_RECORD_SIZE);
      const KLIA_BOOL result = KLIAReadUserData(input.ConsumeIntegral<uint16_t>(), record.data());
      CheckResult(result);
      break;
    }
    case 6: {
      std::vector<uint8_t> record = Buffer(input, KLIA_USER_RECORD_SIZE);
      CheckResult(KLIAWriteUserData(input.ConsumeIntegral<uint16_t>(), record.data()));
      break;
    }
    case 7: {
      std::vector<uint8_t> block = Buffer(input, 16);
      CheckResult(KLIAChangeUserPassword(input.ConsumeIntegral<uint16_t>(), block.data()));
      break;
    }
    case 8:
    case 9: {
      const int32_t offset = Offset(input);
      const uint16_t count = Count(input);
      std::vector<uint8_t> data(count == 0 ? 1 : count);
      uint16_t done = 0;
      CheckAreaRefusal(KLIAReadDataEx(area, data.data(), offset, count, &done));
      if (done > count) Fail("done count larger than the request");
      break;
    }
    case 10: {
      const uint16_t offset = input.ConsumeIntegral<uint16_t>();
      const uint16_t count = Count(input);
      std::vector<uint8_t> data(count == 0 ? 1 : count);
      uint16_t done = 0;
      CheckAreaRefusal(KLIAReadData(area, data.data(), offset, count, &done));
      break;
    }
    case 11:
    case 12: {
      const int32_t offset = Offset(input);
      const uint16_t count = Count(input);
      std::vector<uint8_t> data = Buffer(input, count);
      uint16_t done = 0;
      const KLIA_BOOL result = KLIAWriteDataEx(area, data.data(), offset, count, &done);
      // The log append reports only its result; every other write carries a code when refused.
      if (area == KLIA_AREA_LOG && offset == KLIA_APPEND_OFFSET) {
        CheckResult(result);
      } else {
        CheckAreaRefusal(result);
        if (done > count) Fail("done count larger than the request");
      }
      break;
    }
    case 13: {
      const uint16_t offset = input.ConsumeIntegral<uint16_t>();
      const uint16_t count = Count(input);
      std::vector<uint8_t> data = Buffer(input, count);
      uint16_t done = 0;
      CheckResult(KLIAWriteData(area, data.data(), offset, count, &done));
      break;
    }
    case 14: {
      uint16_t done = 0;
      CheckAreaRefusal(KLIAWriteDataEx(area, nullptr, 0, 0, &done));
      break;
    }
    case 15: KLIAFlush(); break;
    case 16: CheckResult(KLIAFormatDatabase(input.ConsumeIntegral<uint16_t>(), input.ConsumeBool() ? Progress : nullptr)); break;
    case 17: {
      const uint8_t kind = input.PickValueInArray<uint8_t>({2, 4, 255, 7});
      std::vector<uint8_t> record = Buffer(input, KLIA_USER_RECORD_SIZE);
      CheckResult(KLIASetIaResult(kind, record.data()));
      break;
    }
    case 18: CheckResult(KLIAClearLog()); break;
    case 19: {
      uint16_t timeout = 0;
      CheckResult(KLIAGetWDTimeout(&timeout));
      break;
    }
    case 20: CheckResult(KLIASetWDTimeout(input.ConsumeIntegral<uint16_t>())); break;
    case 21: {
      std::vector<uint8_t> date_time(KLIA_DATETIME_RECORD_SIZE);
      CheckResult(KLIAGetRTCDateTime(date_time.data()));
      break;
    }
    case 22: {
      std::vector<uint8_t> date_time = Buffer(input, KLIA_DATETIME_RECORD_SIZE);
      CheckResult(KLIASetRTCDateTime(date_time.data()));
      break;
    }
    case 23: {
      const uint16_t length = input.ConsumeIntegralInRange<uint16_t>(0, 300);
      std::vector<uint8_t> data = Buffer(input, length);
      std::vector<uint8_t> xid(4);
      CheckResult(KLIAMakeUserXID(length, data.data(), xid.data()));
      break;
    }
    case 24: {
      std::vector<uint8_t> config(KLIA_CONFIG_RECORD_SIZE);
      CheckResult(KLIAReadConfigData(config.data()));
      break;
    }
    case 25: {
      std::vector<uint8_t> config = Buffer(input, KLIA_CONFIG_RECORD_SIZE);
      CheckResult(KLIAWriteConfigData(config.data()));
      break;
    }
    case 26: {
      uint8_t step = 0;
      CheckResult(KLIAReadHwStep(&step));
      break;
    }
    case 27: CheckResult(KLIAWriteHwStep(input.ConsumeIntegral<uint8_t>())); break;
  }
  CheckCache();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);

  // The information block, with the page size and user count often pushed to an edge.
  std::vector<uint8_t> info = input.ConsumeBytes<uint8_t>(51);
  info.resize(51, 0);
  if (input.ConsumeBool()) {
    const uint16_t page_size = input.PickValueInArray(kEdgeSizes);
    info[49] = static_cast<uint8_t>(page_size);
    info[50] = static_cast<uint8_t>(page_size >> 8);
  }
  if (input.ConsumeBool()) {
    const uint16_t users = input.PickValueInArray<uint16_t>({0, 1, 0xFFF7, 0xFFF8, 0xFFFF});
    info[16] = static_cast<uint8_t>(users);
    info[17] = static_cast<uint8_t>(users >> 8);
  }
  if (input.ConsumeBool()) info[0] = 0x23, info[1] = 0x01;  // a version that sets CacheLength from PageSize
  const uint32_t memory_pages = input.ConsumeIntegralInRange<uint32_t>(1, 64);
  const uint16_t memory_page_size = input.ConsumeIntegralInRange<uint16_t>(1, 4096);

  mviahlp::ResetLibraryState();
  if (!VBoardCreateRaw(info.data(), memory_pages, memory_page_size)) return 0;
  VBoardTraceEnable(0);
  VBoardUnplugAfter(kCommandsPerInput);
  if (input.ConsumeBool()) CheckResult(KLIADriverPresent());

  for (int calls = 0; calls < 64 && input.remaining_bytes() > 0; ++calls) {
    switch (input.ConsumeIntegralInRange<int>(0, 9)) {
      case 0: AddFault(input); break;
      case 1: {
        // Later answers to command 16 carry another byte here (page size, counts, state...).
        const uint8_t offset = input.ConsumeIntegralInRange<uint8_t>(0, 50);
        VBoardPatchInfo(offset, input.ConsumeIntegral<uint8_t>(), input.ConsumeIntegralInRange<uint32_t>(1, 4),
                        input.ConsumeIntegralInRange<uint32_t>(0, 3));
        break;
      }
      case 2: VBoardClearFaults(); break;
      default: CallOne(input); break;
    }
  }
  VBoardClearFaults();
  KLIAFlush();
  CheckCache();
  return 0;
}

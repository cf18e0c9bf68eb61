// The virtual board: its memory, its live state and the board commands it answers.
//
// A VirtualBoard owns a Storage that holds its memory pages and, for an image file, its live
// state. Each command runs inside one storage transaction: Begin takes the board (an image
// file is locked against other processes and its live state re-read), the command reads and
// writes only the bytes it touches, and End writes the live state back when it changed.
// Nothing here knows about the transport, the trace or fault injection (vboard_api.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "vboard.h"

namespace vboard {

// The board's statuses. 0 is success; see README.md for when each is answered.
namespace status {
inline constexpr uint8_t kOk = 0x00;
inline constexpr uint8_t kUnknownCommand = 0x01;
inline constexpr uint8_t kBadParamLength = 0x02;
inline constexpr uint8_t kOutOfRange = 0x03;
inline constexpr uint8_t kBadDataLength = 0x04;
inline constexpr uint8_t kBadValue = 0x05;
inline constexpr uint8_t kMissingBuffer = 0x06;
inline constexpr uint8_t kStorageFailure = 0x07;
inline constexpr uint8_t kLogNotInitialised = 0x21;
inline constexpr uint8_t kLogFull = 0x22;
inline constexpr uint8_t kDatabaseNotConnected = 0x30;
inline constexpr uint8_t kUnknownUser = 0x50;
inline constexpr uint8_t kWrongPassword = 0x60;
inline constexpr uint8_t kAlreadyLoggedOn = 0x61;
}  // namespace status

// Board command codes.
namespace command {
inline constexpr uint8_t kSetDeviceAccess = 6;
inline constexpr uint8_t kSetIaResult = 13;
inline constexpr uint8_t kReadInfo = 16;
inline constexpr uint8_t kLogin = 17;
inline constexpr uint8_t kLogout = 18;
inline constexpr uint8_t kChangePassword = 19;
inline constexpr uint8_t kAppendLog = 20;
inline constexpr uint8_t kReadMemory = 21;
inline constexpr uint8_t kWriteMemory = 22;
inline constexpr uint8_t kInitPages = 23;
inline constexpr uint8_t kClearLog = 24;
inline constexpr uint8_t kConnectDatabase = 25;
inline constexpr uint8_t kMakeUserXid = 27;
inline constexpr uint8_t kClock = 28;
inline constexpr uint8_t kWatchdog = 30;
}  // namespace command

// BoardInfo, the answer of board command 16: size and field offsets.
namespace info {
inline constexpr int kSize = 51;
inline constexpr int kVersion = 0;            // 16-bit
inline constexpr int kUserCount = 16;         // 16-bit
inline constexpr int kPageCount = 18;         // 16-bit
inline constexpr int kState = 25;             // 8-bit
inline constexpr int kErrorPage = 26;         // 16-bit
inline constexpr int kCurrentUser = 28;       // 16-bit
inline constexpr int kCurrentUserFlags = 32;  // 8-bit
inline constexpr int kLogPage = 33;           // 16-bit
inline constexpr int kLogOffset = 35;         // 16-bit
inline constexpr int kLogFirstPage = 37;      // 16-bit
inline constexpr int kLogPageCount = 39;      // 16-bit
inline constexpr int kDataPageCount = 41;     // 16-bit
inline constexpr int kExtInfo = 44;           // 32-bit
inline constexpr int kBoardDeviceCount = 48;  // 8-bit
inline constexpr int kPageSize = 49;          // 16-bit
static_assert(kPageSize + 2 == kSize);
}  // namespace info

// The part of a DeviceUserRecord (256 bytes at offset 0 of page n + 7) that the board reads.
namespace user_record {
inline constexpr uint32_t kFirstPage = 8;    // user n lives in page n + 7
inline constexpr int kKey = 0;               // 8 bytes: compared with logon block 1
inline constexpr int kPassword = 8;          // 8 bytes: compared with logon block 2
inline constexpr int kFlags = 24;            // bit 0: the current-user flag; bits 3-7 clear when in use
inline constexpr int kReadSize = 25;         // bytes 0-24
inline constexpr uint8_t kUnusedBits = 0xF8;
inline constexpr uint8_t kCurrentUserFlag = 0x01;
}  // namespace user_record

inline constexpr uint8_t kStateLoggedOn = 4;
inline constexpr uint8_t kStateDatabaseReady = 2;
inline constexpr uint8_t kStateInitialised = 1;
inline constexpr uint16_t kNoLogPage = 0xFFFF;
inline constexpr uint16_t kNoLogOffset = 0x00FF;
inline constexpr uint64_t kMaxMemoryBytes = 64ull << 20;

// The state a board keeps besides its memory.
struct LiveState {
  uint8_t state = 0;
  uint8_t current_user_flags = 0;
  uint16_t current_user = 0;
  uint16_t log_page = kNoLogPage;
  uint16_t log_offset = kNoLogOffset;
  uint16_t error_page = 0;
  uint16_t watchdog = 0;
  int64_t clock_offset = 0;  // board time minus host local time, in seconds
  uint8_t clock_frozen = 0;  // nonzero: the clock answers frozen_clock
  std::array<uint8_t, 6> frozen_clock{};
  bool operator==(const LiveState &) const = default;
};

// Where a board's pages (and, for an image, its live state) live. Addresses are byte
// offsets into the memory: page * page size + offset. Callers check ranges first.
class Storage {
 public:
  virtual ~Storage() = default;
  // Takes the board for one command or control call; an image loads `state` from the file.
  virtual bool Begin(LiveState &state) = 0;
  // Gives the board back; an image stores `state` first when `changed`.
  virtual bool End(const LiveState &state, bool changed) = 0;
  virtual bool Read(uint64_t at, uint32_t length, uint8_t *data) = 0;
  virtual bool Write(uint64_t at, uint32_t length, const uint8_t *data) = 0;
  virtual bool Erase(uint64_t at, uint64_t length) = 0;  // fill with 0xFF
  // Puts a whole board back to fresh: memory erased, live state `state`.
  virtual bool ResetAll(const LiveState &state) = 0;
};

// Erased memory of `size` bytes held in this process.
std::unique_ptr<Storage> MakeMemoryStorage(uint64_t size);

// An image file (image_file.cpp). Creates it with `create_geometry` when it does not exist,
// if `create` and not `read_only`; a new image is readable by its owner only. An image
// opened `read_only`, or one this process may not write, is served read-only: every change
// fails as a storage failure. On success `geometry` holds the image's own geometry. Null
// when it cannot be opened or is not an image; `error` then says why.
std::unique_ptr<Storage> OpenImageStorage(const std::string &path, const VBoardGeometry &create_geometry,
                                          VBoardGeometry &geometry, std::string &error, bool read_only = false,
                                          bool create = true);

// A geometry is usable when its memory (pages 0..page_count) fits in kMaxMemoryBytes.
bool GeometryUsable(const VBoardGeometry &geometry);
void MakeStandardGeometry(uint16_t user_count, uint16_t data_page_count, uint16_t log_page_count,
                          uint16_t page_size, VBoardGeometry &geometry);
void DefaultGeometry(VBoardGeometry &geometry);
// "users=32,data=200,log=16,page=256,version=0x123,devices=4,ext=0": missing keys keep the
// default; false on a malformed text or an unknown key.
bool ParseGeometry(const char *text, VBoardGeometry &geometry);

// One transport exchange, lengths already cut to their significant bits.
struct Exchange {
  uint8_t command = 0;
  uint8_t param_length = 0;
  const uint8_t *param = nullptr;
  uint16_t out_length = 0;
  const uint8_t *out = nullptr;
  uint16_t in_length = 0;
  uint8_t *in = nullptr;
};

class VirtualBoard {
 public:
  VirtualBoard(const VBoardGeometry &geometry, uint32_t memory_pages, uint16_t page_size,
               std::unique_ptr<Storage> storage);

  static std::unique_ptr<VirtualBoard> InMemory(const VBoardGeometry &geometry);
  static std::unique_ptr<VirtualBoard> Raw(const uint8_t info[info::kSize], uint32_t memory_pages,
                                           uint16_t page_size);
  static std::unique_ptr<VirtualBoard> Image(const std::string &path, const VBoardGeometry &create_geometry,
                                             std::string &error, bool read_only = false, bool create = true);

  // Runs one board command. Returns its status; `in` is written only when the status is 0.
  uint8_t Execute(const Exchange &exchange);

  const VBoardGeometry &geometry() const { return geometry_; }
  bool Peek(uint32_t page, uint32_t offset, uint32_t length, uint8_t *data);
  bool Poke(uint32_t page, uint32_t offset, uint32_t length, const uint8_t *data);
  bool Reset();
  // The 51 bytes command 16 answers now (before any info patch).
  void InfoBlock(uint8_t block[info::kSize]);
  // The clock block a get-clock command answers now.
  void ClockBlock(uint8_t block[6]);
  LiveState Snapshot();
  // Runs `change` on the live state inside a storage transaction.
  template <class Change>
  bool Update(Change &&change) {
    if (!storage_->Begin(state_)) return false;
    const LiveState before = state_;
    change(state_);
    return storage_->End(state_, !(state_ == before));
  }

 private:
  uint8_t Dispatch(const Exchange &x);
  uint8_t SetDeviceAccess(const Exchange &x);
  uint8_t SetIaResult(const Exchange &x);
  uint8_t ReadInfo(const Exchange &x);
  uint8_t Login(const Exchange &x);
  uint8_t Logout(const Exchange &x);
  uint8_t ChangePassword(const Exchange &x);
  uint8_t AppendLog(const Exchange &x);
  uint8_t ReadMemory(const Exchange &x);
  uint8_t WriteMemory(const Exchange &x);
  uint8_t InitPages(const Exchange &x);
  uint8_t ClearLog(const Exchange &x);
  uint8_t ConnectDatabase(const Exchange &x);
  uint8_t MakeUserXid(const Exchange &x);
  uint8_t Clock(const Exchange &x);
  uint8_t Watchdog(const Exchange &x);

  // Byte address of (page, offset) when `length` bytes from there lie inside one page.
  bool PageRange(uint32_t page, uint32_t offset, uint32_t length, uint64_t &at) const;
  // Pages of the log area that exist in memory.
  uint32_t LogAreaPages() const;
  // The log's write position as bytes from the start of the log area, when it is valid.
  bool LogUsed(uint64_t &used) const;
  void EncodeInfo(uint8_t block[info::kSize]) const;
  void CurrentClock(uint8_t block[6]) const;

  VBoardGeometry geometry_;
  uint32_t memory_pages_;
  uint16_t page_size_;
  std::unique_ptr<Storage> storage_;
  LiveState state_;
  std::optional<std::array<uint8_t, info::kSize>> raw_info_;
  // What commands 6 and 13 handed over last (kept for debugging; the trace shows them too).
  uint8_t device_access_ = 0;
  uint8_t ia_kind_ = 0;
  uint8_t ia_length_ = 0;
  std::array<uint8_t, 255> ia_result_{};
};

// FNV-1a, 32 bits: the board's user XID of command 27.
uint32_t Fnv1a32(const uint8_t *data, uint32_t length);

}  // namespace vboard

#include "board_model.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "board_clock.h"
#include "support/bytes.h"

namespace vboard {

using mviahlp::get_le16;
using mviahlp::get_le32;
using mviahlp::put_le16;
using mviahlp::put_le32;

namespace {

// Memory held in this process. The live state stays in the VirtualBoard itself.
class MemoryStorage final : public Storage {
 public:
  explicit MemoryStorage(uint64_t size) : memory_(size, 0xFF) {}
  bool Begin(LiveState &) override { return true; }
  bool End(const LiveState &, bool) override { return true; }
  bool Read(uint64_t at, uint32_t length, uint8_t *data) override {
    if (length != 0) std::memcpy(data, memory_.data() + at, length);
    return true;
  }
  bool Write(uint64_t at, uint32_t length, const uint8_t *data) override {
    if (length != 0) std::memcpy(memory_.data() + at, data, length);
    return true;
  }
  bool Erase(uint64_t at, uint64_t length) override {
    std::memset(memory_.data() + at, 0xFF, static_cast<size_t>(length));
    return true;
  }
  bool ResetAll(const LiveState &) override {
    std::fill(memory_.begin(), memory_.end(), uint8_t{0xFF});
    return true;
  }

 private:
  std::vector<uint8_t> memory_;
};

uint64_t MemoryBytes(const VBoardGeometry &geometry) {
  return (static_cast<uint64_t>(geometry.page_count) + 1) * geometry.page_size;
}

}  // namespace

std::unique_ptr<Storage> MakeMemoryStorage(uint64_t size) { return std::make_unique<MemoryStorage>(size); }

bool GeometryUsable(const VBoardGeometry &geometry) {
  return geometry.page_size != 0 && MemoryBytes(geometry) <= kMaxMemoryBytes;
}

void MakeStandardGeometry(uint16_t user_count, uint16_t data_page_count, uint16_t log_page_count,
                          uint16_t page_size, VBoardGeometry &geometry) {
  geometry = VBoardGeometry{};
  geometry.version = 0x123;
  geometry.user_count = user_count;
  geometry.data_page_count = data_page_count;
  const uint32_t log_first = 8u + user_count + data_page_count;
  const uint32_t last_page = log_first + log_page_count - 1;  // at least 7
  geometry.log_first_page = static_cast<uint16_t>(log_first);
  geometry.log_page_count = log_page_count;
  geometry.page_count = static_cast<uint16_t>(last_page > 0xFFFF ? 0xFFFF : last_page);
  geometry.page_size = page_size;
  geometry.device_count = 4;
  geometry.reserved = 0;
  geometry.ext_info = 0;
}

void DefaultGeometry(VBoardGeometry &geometry) { MakeStandardGeometry(32, 200, 16, 256, geometry); }

bool ParseGeometry(const char *text, VBoardGeometry &geometry) {
  unsigned long users = 32, data = 200, log = 16, page = 256, version = 0x123, devices = 4, ext = 0;
  struct Key {
    const char *name;
    unsigned long *value;
    unsigned long max;
  } keys[] = {{"users", &users, 0xFFFF},     {"data", &data, 0xFFFF},       {"log", &log, 0xFFFF},
              {"page", &page, 0xFFFF},       {"version", &version, 0xFFFF}, {"devices", &devices, 0xFF},
              {"ext", &ext, 0xFFFFFFFFul}};
  const char *p = text;
  while (*p != '\0') {
    const char *equals = std::strchr(p, '=');
    if (equals == nullptr) return false;
    const std::string name(p, equals);
    char *end = nullptr;
    const unsigned long value = std::strtoul(equals + 1, &end, 0);
    if (end == equals + 1 || (*end != ',' && *end != '\0')) return false;
    bool known = false;
    for (Key &key : keys) {
      if (name == key.name) {
        if (value > key.max) return false;
        *key.value = value;
        known = true;
      }
    }
    if (!known) return false;
    p = *end == ',' ? end + 1 : end;
  }
  MakeStandardGeometry(static_cast<uint16_t>(users), static_cast<uint16_t>(data), static_cast<uint16_t>(log),
                       static_cast<uint16_t>(page), geometry);
  geometry.version = static_cast<uint16_t>(version);
  geometry.device_count = static_cast<uint8_t>(devices);
  geometry.ext_info = static_cast<uint32_t>(ext);
  return true;
}

uint32_t Fnv1a32(const uint8_t *data, uint32_t length) {
  uint32_t hash = 0x811C9DC5u;
  for (uint32_t i = 0; i < length; ++i) {
    hash ^= data[i];
    hash *= 0x01000193u;
  }
  return hash;
}

VirtualBoard::VirtualBoard(const VBoardGeometry &geometry, uint32_t memory_pages, uint16_t page_size,
                           std::unique_ptr<Storage> storage)
    : geometry_(geometry), memory_pages_(memory_pages), page_size_(page_size), storage_(std::move(storage)) {
  state_.clock_offset = 0;
}

std::unique_ptr<VirtualBoard> VirtualBoard::InMemory(const VBoardGeometry &geometry) {
  if (!GeometryUsable(geometry)) return nullptr;
  return std::make_unique<VirtualBoard>(geometry, geometry.page_count + 1u, geometry.page_size,
                                        MakeMemoryStorage(MemoryBytes(geometry)));
}

std::unique_ptr<VirtualBoard> VirtualBoard::Raw(const uint8_t block[info::kSize], uint32_t memory_pages,
                                                uint16_t page_size) {
  const uint64_t bytes = static_cast<uint64_t>(memory_pages) * page_size;
  if (bytes > kMaxMemoryBytes) return nullptr;
  // The geometry that the board's own commands (logon, log) work with comes from the block;
  // the memory is what the caller asked for.
  VBoardGeometry geometry{};
  geometry.version = get_le16(block + info::kVersion);
  geometry.user_count = get_le16(block + info::kUserCount);
  geometry.page_count = static_cast<uint16_t>(memory_pages == 0 ? 0 : memory_pages - 1);
  geometry.data_page_count = get_le16(block + info::kDataPageCount);
  geometry.log_first_page = get_le16(block + info::kLogFirstPage);
  geometry.log_page_count = get_le16(block + info::kLogPageCount);
  geometry.page_size = page_size;
  geometry.device_count = block[info::kBoardDeviceCount];
  geometry.ext_info = get_le32(block + info::kExtInfo);
  auto board = std::make_unique<VirtualBoard>(geometry, memory_pages, page_size, MakeMemoryStorage(bytes));
  board->raw_info_.emplace();
  std::memcpy(board->raw_info_->data(), block, info::kSize);
  return board;
}

std::unique_ptr<VirtualBoard> VirtualBoard::Image(const std::string &path, const VBoardGeometry &create_geometry,
                                                  std::string &error, bool read_only, bool create) {
  VBoardGeometry geometry{};
  std::unique_ptr<Storage> storage = OpenImageStorage(path, create_geometry, geometry, error, read_only, create);
  if (storage == nullptr) return nullptr;
  auto board = std::make_unique<VirtualBoard>(geometry, geometry.page_count + 1u, geometry.page_size,
                                              std::move(storage));
  if (!board->Update([](LiveState &) {})) {
    error = "cannot read the board state of " + path;
    return nullptr;
  }
  return board;
}

uint8_t VirtualBoard::Execute(const Exchange &x) {
  if (!storage_->Begin(state_)) return status::kStorageFailure;
  const LiveState before = state_;
  const uint8_t result = Dispatch(x);
  if (!storage_->End(state_, !(state_ == before))) return status::kStorageFailure;
  return result;
}

uint8_t VirtualBoard::Dispatch(const Exchange &x) {
  // A length without a buffer is refused before anything is read or written.
  if ((x.param_length != 0 && x.param == nullptr) || (x.out_length != 0 && x.out == nullptr) ||
      (x.in_length != 0 && x.in == nullptr)) {
    return status::kMissingBuffer;
  }
  switch (x.command) {
    case command::kSetDeviceAccess: return SetDeviceAccess(x);
    case command::kSetIaResult: return SetIaResult(x);
    case command::kReadInfo: return ReadInfo(x);
    case command::kLogin: return Login(x);
    case command::kLogout: return Logout(x);
    case command::kChangePassword: return ChangePassword(x);
    case command::kAppendLog: return AppendLog(x);
    case command::kReadMemory: return ReadMemory(x);
    case command::kWriteMemory: return WriteMemory(x);
    case command::kInitPages: return InitPages(x);
    case command::kClearLog: return ClearLog(x);
    case command::kConnectDatabase: return ConnectDatabase(x);
    case command::kMakeUserXid: return MakeUserXid(x);
    case command::kClock: return Clock(x);
    case command::kWatchdog: return Watchdog(x);
    default: return status::kUnknownCommand;
  }
}

namespace {
// The shape every command checks first: its parameter block length, then its data lengths.
uint8_t CheckShape(const Exchange &x, uint8_t param_length, uint16_t out_length, uint16_t in_length) {
  if (x.param_length != param_length) return status::kBadParamLength;
  if (x.out_length != out_length || x.in_length != in_length) return status::kBadDataLength;
  return status::kOk;
}
}  // namespace

uint8_t VirtualBoard::SetDeviceAccess(const Exchange &x) {
  if (const uint8_t s = CheckShape(x, 1, 0, 0)) return s;
  device_access_ = x.param[0];
  return status::kOk;
}

uint8_t VirtualBoard::SetIaResult(const Exchange &x) {
  if (x.param_length != 2) return status::kBadParamLength;
  if (x.out_length != x.param[1] || x.in_length != 0) return status::kBadDataLength;
  ia_kind_ = static_cast<uint8_t>(x.param[0] & 0x7F);
  ia_length_ = x.param[1];
  if (ia_length_ != 0) std::memcpy(ia_result_.data(), x.out, ia_length_);
  return status::kOk;
}

void VirtualBoard::EncodeInfo(uint8_t block[info::kSize]) const {
  if (raw_info_) {
    std::memcpy(block, raw_info_->data(), info::kSize);
    return;
  }
  std::memset(block, 0, info::kSize);
  put_le16(block + info::kVersion, geometry_.version);
  put_le16(block + info::kUserCount, geometry_.user_count);
  put_le16(block + info::kPageCount, geometry_.page_count);
  block[info::kState] = state_.state;
  put_le16(block + info::kErrorPage, state_.error_page);
  put_le16(block + info::kCurrentUser, state_.current_user);
  block[info::kCurrentUserFlags] = state_.current_user_flags;
  put_le16(block + info::kLogPage, state_.log_page);
  put_le16(block + info::kLogOffset, state_.log_offset);
  put_le16(block + info::kLogFirstPage, geometry_.log_first_page);
  put_le16(block + info::kLogPageCount, geometry_.log_page_count);
  put_le16(block + info::kDataPageCount, geometry_.data_page_count);
  put_le32(block + info::kExtInfo, geometry_.ext_info);
  block[info::kBoardDeviceCount] = geometry_.device_count;
  put_le16(block + info::kPageSize, geometry_.page_size);
}

uint8_t VirtualBoard::ReadInfo(const Exchange &x) {
  if (const uint8_t s = CheckShape(x, 0, 0, info::kSize)) return s;
  EncodeInfo(x.in);
  return status::kOk;
}

// A logon names a user by the key in its record (bytes 0-7, logon block 1) and proves it
// with the password (bytes 8-15, logon block 2). Only records in use count: an erased record
// has bits 3-7 of its flag byte set, a written one has them clear. A key of erased memory
// (eight 0xFF bytes) names nobody: it is what a user's record holds once deleted.
namespace {
bool ErasedKey(const uint8_t *key) {
  for (int i = 0; i < 8; ++i) {
    if (key[i] != 0xFF) return false;
  }
  return true;
}
}  // namespace

uint8_t VirtualBoard::Login(const Exchange &x) {
  if (const uint8_t s = CheckShape(x, 0, 16, 0)) return s;
  if (state_.state == kStateLoggedOn) return status::kAlreadyLoggedOn;
  if (state_.state != kStateDatabaseReady) return status::kDatabaseNotConnected;
  uint8_t record[user_record::kReadSize];
  for (uint32_t user = 1; user <= geometry_.user_count; ++user) {
    uint64_t at;
    if (!PageRange(user + user_record::kFirstPage - 1, 0, sizeof record, at)) break;
    if (!storage_->Read(at, sizeof record, record)) return status::kStorageFailure;
    if ((record[user_record::kFlags] & user_record::kUnusedBits) != 0) continue;
    if (std::memcmp(record + user_record::kKey, x.out, 8) != 0 || ErasedKey(x.out)) continue;
    if (std::memcmp(record + user_record::kPassword, x.out + 8, 8) != 0) return status::kWrongPassword;
    state_.state = kStateLoggedOn;
    state_.current_user = static_cast<uint16_t>(user);
    state_.current_user_flags = record[user_record::kFlags] & user_record::kCurrentUserFlag;
    return status::kOk;
  }
  return status::kUnknownUser;
}

uint8_t VirtualBoard::Logout(const Exchange &x) {
  if (const uint8_t s = CheckShape(x, 0, 0, 0)) return s;
  if (state_.state == kStateLoggedOn) {
    state_.state = kStateDatabaseReady;
    state_.current_user = 0;
    state_.current_user_flags = 0;
  }
  return status::kOk;
}

// The block holds the current password (bytes 0-7) and the new one (bytes 8-15) of the
// logged-on user.
uint8_t VirtualBoard::ChangePassword(const Exchange &x) {
  if (const uint8_t s = CheckShape(x, 0, 16, 0)) return s;
  if (state_.state != kStateLoggedOn || state_.current_user == 0) return status::kUnknownUser;
  uint64_t at;
  if (!PageRange(state_.current_user + user_record::kFirstPage - 1, user_record::kPassword, 8, at)) {
    return status::kUnknownUser;
  }
  uint8_t password[8];
  if (!storage_->Read(at, 8, password)) return status::kStorageFailure;
  if (std::memcmp(password, x.out, 8) != 0) return status::kWrongPassword;
  if (!storage_->Write(at, 8, x.out + 8)) return status::kStorageFailure;
  return status::kOk;
}

uint32_t VirtualBoard::LogAreaPages() const {
  if (geometry_.log_first_page >= memory_pages_) return 0;
  const uint32_t available = memory_pages_ - geometry_.log_first_page;
  return geometry_.log_page_count < available ? geometry_.log_page_count : available;
}

bool VirtualBoard::LogUsed(uint64_t &used) const {
  if (state_.log_page == kNoLogPage || state_.log_page < geometry_.log_first_page || page_size_ == 0) return false;
  used = static_cast<uint64_t>(state_.log_page - geometry_.log_first_page) * page_size_ + state_.log_offset;
  return used <= static_cast<uint64_t>(LogAreaPages()) * page_size_;
}

// A record goes at the write position and may run across pages of the log area; a record
// that does not fit in what is left is refused whole.
uint8_t VirtualBoard::AppendLog(const Exchange &x) {
  if (x.param_length != 2) return status::kBadParamLength;
  if (x.out_length != get_le16(x.param) || x.in_length != 0) return status::kBadDataLength;
  uint64_t used;
  if (!LogUsed(used)) return status::kLogNotInitialised;
  const uint64_t size = static_cast<uint64_t>(LogAreaPages()) * page_size_;
  if (used + x.out_length > size) return status::kLogFull;
  const uint64_t start = static_cast<uint64_t>(geometry_.log_first_page) * page_size_;
  if (!storage_->Write(start + used, x.out_length, x.out)) return status::kStorageFailure;
  used += x.out_length;
  state_.log_page = static_cast<uint16_t>(geometry_.log_first_page + used / page_size_);
  state_.log_offset = static_cast<uint16_t>(used % page_size_);
  return status::kOk;
}

bool VirtualBoard::PageRange(uint32_t page, uint32_t offset, uint32_t length, uint64_t &at) const {
  if (page >= memory_pages_) return false;
  if (static_cast<uint64_t>(offset) + length > page_size_) return false;
  at = static_cast<uint64_t>(page) * page_size_ + offset;
  return true;
}

uint8_t VirtualBoard::ReadMemory(const Exchange &x) {
  if (x.param_length != 6) return status::kBadParamLength;
  const uint16_t count = get_le16(x.param + 4);
  if (count != x.in_length || x.out_length != 0) return status::kBadDataLength;
  uint64_t at;
  if (!PageRange(get_le16(x.param), get_le16(x.param + 2), count, at)) return status::kOutOfRange;
  return storage_->Read(at, count, x.in) ? status::kOk : status::kStorageFailure;
}

uint8_t VirtualBoard::WriteMemory(const Exchange &x) {
  if (x.param_length != 6) return status::kBadParamLength;
  const uint16_t count = get_le16(x.param + 4);
  if (count != x.out_length || x.in_length != 0) return status::kBadDataLength;
  uint64_t at;
  if (!PageRange(get_le16(x.param), get_le16(x.param + 2), count, at)) return status::kOutOfRange;
  return storage_->Write(at, count, x.out) ? status::kOk : status::kStorageFailure;
}

uint8_t VirtualBoard::InitPages(const Exchange &x) {
  if (const uint8_t s = CheckShape(x, 0, 0, 0)) return s;
  if (!storage_->Erase(0, static_cast<uint64_t>(memory_pages_) * page_size_)) return status::kStorageFailure;
  state_.state = kStateInitialised;
  state_.current_user = 0;
  state_.current_user_flags = 0;
  state_.log_page = geometry_.log_first_page;
  state_.log_offset = 0;
  return status::kOk;
}

uint8_t VirtualBoard::ClearLog(const Exchange &x) {
  if (const uint8_t s = CheckShape(x, 0, 0, 0)) return s;
  uint64_t used;
  if (!LogUsed(used)) return status::kLogNotInitialised;
  if (!storage_->Erase(static_cast<uint64_t>(geometry_.log_first_page) * page_size_,
                       static_cast<uint64_t>(LogAreaPages()) * page_size_)) {
    return status::kStorageFailure;
  }
  state_.log_page = geometry_.log_first_page;
  state_.log_offset = 0;
  return status::kOk;
}

uint8_t VirtualBoard::ConnectDatabase(const Exchange &x) {
  if (const uint8_t s = CheckShape(x, 0, 0, 0)) return s;
  state_.state = kStateDatabaseReady;
  state_.current_user = 0;
  state_.current_user_flags = 0;
  return status::kOk;
}

// The XID is derived from the bytes sent; the 16-bit length in the parameter block only has
// to agree with the data length in its low 8 bits.
uint8_t VirtualBoard::MakeUserXid(const Exchange &x) {
  if (x.param_length != 2) return status::kBadParamLength;
  if (x.out_length != (get_le16(x.param) & 0xFF) || x.in_length != 4) return status::kBadDataLength;
  put_le32(x.in, Fnv1a32(x.out, x.out_length));
  return status::kOk;
}

void VirtualBoard::CurrentClock(uint8_t block[6]) const {
  if (state_.clock_frozen != 0) {
    std::memcpy(block, state_.frozen_clock.data(), 6);
    return;
  }
  SecondsToClockBlock(HostLocalSeconds() + state_.clock_offset, block);
}

uint8_t VirtualBoard::Clock(const Exchange &x) {
  if (x.param_length == 6) {  // set
    if (x.out_length != 0 || x.in_length != 0) return status::kBadDataLength;
    int64_t seconds;
    if (!ClockBlockToSeconds(x.param, seconds)) return status::kBadValue;
    state_.clock_offset = seconds - HostLocalSeconds();
    state_.clock_frozen = 0;
    state_.frozen_clock = {};
    return status::kOk;
  }
  if (const uint8_t s = CheckShape(x, 0, 0, 6)) return s;  // get
  CurrentClock(x.in);
  return status::kOk;
}

uint8_t VirtualBoard::Watchdog(const Exchange &x) {
  if (x.param_length == 2) {  // set
    if (x.out_length != 0 || x.in_length != 0) return status::kBadDataLength;
    state_.watchdog = get_le16(x.param);
    return status::kOk;
  }
  if (const uint8_t s = CheckShape(x, 0, 0, 2)) return s;  // get
  put_le16(x.in, state_.watchdog);
  return status::kOk;
}

bool VirtualBoard::Peek(uint32_t page, uint32_t offset, uint32_t length, uint8_t *data) {
  uint64_t at;
  if (!PageRange(page, offset, length, at) || (length != 0 && data == nullptr)) return false;
  if (!storage_->Begin(state_)) return false;
  const bool read = storage_->Read(at, length, data);
  return storage_->End(state_, false) && read;
}

bool VirtualBoard::Poke(uint32_t page, uint32_t offset, uint32_t length, const uint8_t *data) {
  uint64_t at;
  if (!PageRange(page, offset, length, at) || (length != 0 && data == nullptr)) return false;
  if (!storage_->Begin(state_)) return false;
  const bool written = storage_->Write(at, length, data);
  return storage_->End(state_, false) && written;
}

bool VirtualBoard::Reset() {
  if (!storage_->Begin(state_)) return false;
  state_ = LiveState{};
  const bool reset = storage_->ResetAll(state_);
  device_access_ = 0;
  ia_kind_ = 0;
  ia_length_ = 0;
  return storage_->End(state_, true) && reset;
}

void VirtualBoard::InfoBlock(uint8_t block[info::kSize]) {
  storage_->Begin(state_);
  EncodeInfo(block);
  storage_->End(state_, false);
}

void VirtualBoard::ClockBlock(uint8_t block[6]) {
  storage_->Begin(state_);
  CurrentClock(block);
  storage_->End(state_, false);
}

LiveState VirtualBoard::Snapshot() {
  storage_->Begin(state_);
  const LiveState copy = state_;
  storage_->End(state_, false);
  return copy;
}

}  // namespace vboard

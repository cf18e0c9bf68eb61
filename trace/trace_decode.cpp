#include "trace_decode.h"

#include <cstdio>

namespace hwtrace {

namespace {

// Board command codes and the fixed block sizes the decoding relies on.
enum : uint8_t {
  kSetDeviceAccess = 6,
  kSetIaResult = 13,
  kReadInfo = 16,
  kLogin = 17,
  kLogout = 18,
  kChangePassword = 19,
  kAppendLog = 20,
  kReadMemory = 21,
  kWriteMemory = 22,
  kInitPages = 23,
  kClearLog = 24,
  kConnectDatabase = 25,
  kMakeUserXid = 27,
  kClock = 28,
  kWatchdog = 30,
};
constexpr uint32_t kInfoUserCountOffset = 16;
constexpr uint16_t kInfoLength = 51;      // the information block (command 16)
constexpr uint16_t kClockLength = 6;      // the clock block (command 28)
constexpr uint16_t kWatchdogLength = 2;   // the watchdog timeout (command 30)
constexpr uint32_t kCheckWordPage = 3;

uint16_t Le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

const uint8_t *BytesOf(const Block &block) {
  return block.kind == Block::Kind::kBytes && !block.data.empty() ? block.data.data() : nullptr;
}

std::string Format(const char *format, unsigned a, unsigned b = 0, unsigned c = 0, unsigned d = 0, unsigned e = 0,
                   unsigned f = 0) {
  char text[160];
  std::snprintf(text, sizeof text, format, a, b, c, d, e, f);
  return text;
}

// A BCD clock block (second, minute, hour, day, month, year within 2000) as a date and time.
std::string ClockText(const uint8_t *block) {
  return Format("20%02x-%02x-%02x %02x:%02x:%02x", block[5], block[4], block[3], block[2], block[1], block[0]);
}

bool SameBlock(const Block &a, const Block &b) {
  if (a.redacted() || b.redacted()) return a.present() && b.present() && a.length == b.length;
  if (a.present() != b.present()) return false;
  return a.data == b.data;
}

std::string BlockText(const Block &block) {
  if (!block.present()) return "none";
  if (block.redacted()) return "withheld (" + std::to_string(block.length) + " bytes)";
  if (block.data.size() <= 16) return block.data.empty() ? "empty" : Hex(block.data.data(), block.data.size());
  return Hex(block.data.data(), 16) + "... (" + std::to_string(block.data.size()) + " bytes)";
}

// The first differing byte of two byte blocks, in words.
std::string FirstDifferentByte(const Block &a, const Block &b) {
  if (a.kind != Block::Kind::kBytes || b.kind != Block::Kind::kBytes || a.data.size() != b.data.size()) return "";
  for (size_t i = 0; i < a.data.size(); ++i) {
    if (a.data[i] != b.data[i]) return Format(" (first at byte %u: %02x, came %02x)", static_cast<unsigned>(i),
                                              a.data[i], b.data[i]);
  }
  return "";
}

std::string OptionalText(const std::optional<uint8_t> &value) {
  return value ? std::to_string(*value) : std::string("none");
}

}  // namespace

void UserPages::Learn(uint8_t command, bool answered_ok, const uint8_t *in, uint32_t in_length) {
  if (command != kReadInfo || !answered_ok || in == nullptr || in_length < kInfoUserCountOffset + 2) return;
  known_ = true;
  user_count_ = Le16(in + kInfoUserCountOffset);
}

void UserPages::Learn(const Exchange &x) {
  Learn(x.command, x.succeeded() && x.status == 0, BytesOf(x.in), x.in.kind == Block::Kind::kBytes ? x.in.length : 0);
}

bool UserPages::MayHoldUserRecord(uint16_t page) const {
  if (page < kFirstUserPage) return false;
  return !known_ || page - kFirstUserPage < user_count_;
}

uint16_t UserPages::UserOfPage(uint16_t page) const {
  if (!known_ || page < kFirstUserPage || page - kFirstUserPage >= user_count_) return 0;
  return static_cast<uint16_t>(page - kFirstUserPage + 1);
}

Withheld SecretBlocks(uint8_t command, uint8_t param_length, const uint8_t *param, const UserPages &pages) {
  Withheld withheld;
  switch (command) {
    case kLogin:
    case kChangePassword:
      withheld.out = true;
      break;
    case kReadMemory:
    case kWriteMemory: {
      // Without a readable page number, any page may be meant.
      const bool user_page = param == nullptr || param_length < 2 || pages.MayHoldUserRecord(Le16(param));
      if (command == kReadMemory) withheld.in = user_page;
      if (command == kWriteMemory) withheld.out = user_page;
      break;
    }
    default:
      break;
  }
  return withheld;
}

bool IsBoardRead(uint16_t entry, uint8_t command, uint8_t param_length, const uint8_t *param, uint16_t out_length,
                 uint16_t in_length) {
  if (out_length != 0 || in_length == 0) return false;
  switch (command) {
    case kReadInfo:
      return entry == kEntryTransfer && param_length == 0 && in_length == kInfoLength;
    case kReadMemory:
      return entry == kEntryTransferEx && param_length == 6 && param != nullptr && Le16(param + 4) == in_length;
    case kClock:
      return entry == kEntryTransfer && param_length == 0 && in_length == kClockLength;
    case kWatchdog:
      return entry == kEntryTransfer && param_length == 0 && in_length == kWatchdogLength;
    default:
      return false;
  }
}

std::string CommandName(const Exchange &x) {
  const bool sets = x.param_length != 0;
  switch (x.command) {
    case kSetDeviceAccess: return "set device access";
    case kSetIaResult: return "IA result";
    case kReadInfo: return "read information";
    case kLogin: return "logon";
    case kLogout: return "logout";
    case kChangePassword: return "change password";
    case kAppendLog: return "append to log";
    case kReadMemory: return "read memory";
    case kWriteMemory: return "write memory";
    case kInitPages: return "initialise pages";
    case kClearLog: return "clear log";
    case kConnectDatabase: return "connect database";
    case kMakeUserXid: return "make user XID";
    case kClock: return sets ? "set clock" : "read clock";
    case kWatchdog: return sets ? "set watchdog" : "read watchdog";
    default: return "command " + std::to_string(x.command);
  }
}

std::string CommandWords(const Exchange &x, const UserPages &pages) {
  const uint8_t *param = BytesOf(x.param);
  const uint8_t *in = x.succeeded() && x.status == 0 ? BytesOf(x.in) : nullptr;
  const size_t in_size = in != nullptr ? x.in.data.size() : 0;
  switch (x.command) {
    case kSetDeviceAccess:
      if (param == nullptr || x.param_length < 1) break;
      return Format("device %u", param[0] & 0x3F) + ((param[0] & 0x40) != 0 ? ", access" : ", no access") +
             ((param[0] & 0x80) != 0 ? ", closing" : "");
    case kSetIaResult:
      if (param == nullptr || x.param_length < 2) break;
      return Format("kind %u, %u bytes", param[0] & 0x7F, param[1]);
    case kReadInfo:
      if (in == nullptr || in_size < 51) break;
      return Format("version 0x%x, %u users, state %u, current user %u, page size %u", Le16(in), Le16(in + 16), in[25],
                    Le16(in + 28), Le16(in + 49));
    case kLogin:
      return "logon blocks, " + std::to_string(x.out_length) + " bytes";
    case kChangePassword:
      return "password block, " + std::to_string(x.out_length) + " bytes";
    case kAppendLog:
      return "record of " + std::to_string(x.out_length) + " bytes";
    case kReadMemory:
    case kWriteMemory: {
      if (param == nullptr || x.param_length < 6) break;
      const uint16_t page = Le16(param);
      std::string words = Format("page %u", page);
      if (const uint16_t user = pages.UserOfPage(page)) words += Format(" (user %u)", user);
      if (page == kCheckWordPage && Le16(param + 2) == 0) words += " (check word)";
      return words + Format(", offset %u, %u bytes", Le16(param + 2), Le16(param + 4));
    }
    case kMakeUserXid: {
      std::string words = std::to_string(x.out_length) + " bytes of data";
      if (in != nullptr && in_size >= 4) words += ", XID " + Hex(in, 4);
      return words;
    }
    case kClock:
      if (param != nullptr && x.param_length >= 6) return "to " + ClockText(param);
      if (in != nullptr && in_size >= 6) return "board clock " + ClockText(in);
      break;
    case kWatchdog:
      if (param != nullptr && x.param_length >= 2) return Format("timeout %u", Le16(param));
      if (in != nullptr && in_size >= 2) return Format("timeout %u", Le16(in));
      break;
    default:
      break;
  }
  std::string words;
  if (x.param_length != 0) words = "parameters " + BlockText(x.param);
  if (x.out_length != 0) words += (words.empty() ? "" : ", ") + std::string("out ") + std::to_string(x.out_length) + " bytes";
  if (x.in_length != 0) words += (words.empty() ? "" : ", ") + std::string("in ") + std::to_string(x.in_length) + " bytes";
  return words;
}

std::string StatusWords(const Exchange &x) {
  if (x.guarded) return "guarded: not sent to the board (the spy lets only reads through), answered \"no exchange\"";
  if (!x.succeeded()) return "no exchange (the transport call failed)";
  if (!x.status) return "no status written";
  const unsigned status = *x.status;
  if (status == 0) return "success";
  std::string words = Format("board status %u (0x%02x)", status, status);
  if (x.command == kLogin) {
    if (status == 0x50) return words + ": the board knows no such user";
    if (status == 0x60) return words + ": logon refused";
    if (status == 0x61) return words + ": a user is already logged on";
  }
  return words;
}

std::string Describe(const Exchange &x, const UserPages &pages) {
  const std::string words = CommandWords(x, pages);
  return CommandName(x) + " [" + std::to_string(x.command) + "]" + (words.empty() ? "" : " " + words) + " -> " +
         StatusWords(x);
}

bool SameRequest(const Exchange &a, const Exchange &b) {
  return a.entry == b.entry && a.command == b.command && a.param_length == b.param_length &&
         SameBlock(a.param, b.param) && a.out_length == b.out_length && SameBlock(a.out, b.out) &&
         a.in_length == b.in_length;
}

bool SameAnswer(const Exchange &a, const Exchange &b) {
  return a.result == b.result && a.guarded == b.guarded && a.status == b.status && a.aux == b.aux &&
         SameBlock(a.in, b.in);
}

std::string Differences(const Exchange &e, const Exchange &a) {
  std::string text;
  auto add = [&text](const std::string &what) { text += (text.empty() ? "" : "; ") + what; };
  if (e.entry != a.entry) add("entry point " + std::to_string(e.entry) + ", came " + std::to_string(a.entry));
  if (e.command != a.command) add("command " + std::to_string(e.command) + ", came " + std::to_string(a.command));
  if (e.param_length != a.param_length || !SameBlock(e.param, a.param)) {
    add("parameters " + BlockText(e.param) + ", came " + BlockText(a.param));
  }
  if (e.out_length != a.out_length || !SameBlock(e.out, a.out)) {
    add("outgoing " + BlockText(e.out) + ", came " + BlockText(a.out) + FirstDifferentByte(e.out, a.out));
  }
  if (e.in_length != a.in_length) {
    add("incoming length " + std::to_string(e.in_length) + ", came " + std::to_string(a.in_length));
  }
  if (e.result != a.result) add("result " + std::to_string(e.result) + ", came " + std::to_string(a.result));
  if (e.guarded != a.guarded) {
    add(e.guarded ? "guarded (not sent to the board), came sent" : "sent to the board, came guarded (not sent)");
  }
  if (e.status != a.status) add("status " + OptionalText(e.status) + ", came " + OptionalText(a.status));
  if (e.aux != a.aux) add("aux byte " + OptionalText(e.aux) + ", came " + OptionalText(a.aux));
  if (!SameBlock(e.in, a.in)) add("incoming " + BlockText(e.in) + ", came " + BlockText(a.in) + FirstDifferentByte(e.in, a.in));
  return text;
}

}  // namespace hwtrace

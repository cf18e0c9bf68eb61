// klia probe: one fixed, read-only session through the library's public interface, the
// same on every run against the same board, so that two libraries can be compared by the
// board commands they send for it (klia compare) and a recording of it can be replayed.
//
// The session, in this order:
//   1. KLIADriverPresent (bind and probe), KLIAGetInfo, KLIAGetCurrentUser;
//   2. KLIAReadUserData for user 0 (the logged-on user) and every user 1 to UserCount;
//   3. the page size: 1-byte reads of data area 5 (one page) at offsets halving towards its
//      end; a read past the end is refused before anything is sent, and the others are
//      served from the one page the library caches;
//   4. each data area 0, 1, 2, 3, 5 read with KLIAReadDataEx in pieces of several sizes
//      (1, 31, half a page, a page, a page and a byte, two pages and three bytes, in turn)
//      over its first --pages pages and its last two, which crosses page boundaries at
//      different points; its last byte; one KLIAReadData (16-bit offset); and two requests
//      past its end (the last byte and one more; one byte at its end), which the library
//      must refuse; area 4, which has no pages, one refused byte;
//   5. KLIAReadConfigData, KLIAReadHwStep, KLIAGetRTCDateTime, KLIAGetWDTimeout, Today, and
//      KLIAFlush, which has nothing to write.
// Nothing in it writes. KLIAMakeUserXID is left out: what the board does with board command
// 27 beyond answering four bytes is not known to be only reading.
//
// The probe loads klia's transport spy in front of the library with its read-only guard on
// (spy_pin.h), checks that the library is bound to it before the first call, and has the
// virtual board serve its image read-only and never create one: the probe cannot change the
// board it runs against. When the spy cannot be put there, the probe calls nothing (exit 2).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <CLI/CLI.hpp>

#include "library/board_failure.h"
#include "proof/commands.h"
#include "shell/app.h"
#include "library/board_session.h"
#include "shell/command_line.h"
#include "board/day_time.h"
#include "shell/errors.h"
#include "board/info_view.h"
#include "library/library_loader.h"
#include "mviahlp.h"
#include "shell/output.h"
#include "proof/probe.h"
#include "shell/process.h"
#include "board/record_view.h"
#include "library/records.h"
#include "library/spy_pin.h"
#include "shell/text_input.h"

namespace klia {
namespace {

using nlohmann::json;

constexpr uint16_t kDefaultPages = 4;
constexpr uint8_t kNoPagesArea = 4;

// The state a progress line is in: shown on a terminal only, overwritten in place.
class Progress {
 public:
  Progress() : shown_(IsTerminal(stderr) && !JsonOutput()) {}
  ~Progress() { Clear(); }
  void Say(const std::string &text) {
    if (!shown_) return;
    std::string line = "\rklia probe: " + text;
    if (line.size() < width_) line += std::string(width_ - line.size(), ' ');
    width_ = line.size();
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
  }
  void Clear() {
    if (!shown_ || width_ == 0) return;
    std::fputs(("\r" + std::string(width_, ' ') + "\r").c_str(), stderr);
    std::fflush(stderr);
    width_ = 0;
  }

 private:
  bool shown_;
  size_t width_ = 0;
};

// What the probe found wrong: a read that should have worked and did not, or a request past
// an area's end that the library did not refuse.
// The first kShownProblems are kept in words; a board that refuses every user record must
// not bury the result under thousands of lines.
constexpr size_t kShownProblems = 20;
struct Findings {
  std::vector<std::string> problems;
  size_t count = 0;
  void Add(const std::string &problem) {
    if (++count <= kShownProblems) problems.push_back(problem);
  }
};

std::string Operation(const char *name, uint8_t area, int64_t offset, uint32_t count) {
  return std::string(name) + "(area " + std::to_string(area) + ", offset " + std::to_string(offset) + ", count " +
         std::to_string(count) + ")";
}

// The library's error state in a few words, or "" when it reports none.
std::string StateWords() {
  const ErrorState state = ReadErrorState();
  if (!state.reported) return "";
  return "LastError " + std::to_string(state.last_error) + " (" + MeaningOfLastError(state.last_error) +
         "), DeviceStatus " + std::to_string(state.device_status);
}

std::string FailureText(const std::string &operation) {
  const std::string state = StateWords();
  return operation + " failed" + (state.empty() ? "" : ": " + state);
}

// 32-bit FNV-1a of the bytes read, so that two runs' outputs can be compared at a glance.
uint32_t Digest(uint32_t digest, const uint8_t *bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) digest = (digest ^ bytes[i]) * 16777619u;
  return digest;
}
constexpr uint32_t kDigestStart = 2166136261u;

std::string Hex32(uint32_t value) {
  char text[12];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

// One area's reads and what came of them.
struct AreaResult {
  uint8_t area = 0;
  uint32_t size = 0;
  uint32_t page_size = 0;
  uint32_t pages_read = 0;  // distinct pages the reads touched
  uint32_t reads = 0;
  uint32_t bytes = 0;
  uint32_t failed = 0;
  uint32_t digest = kDigestStart;
  bool past_end_refused = true;
  std::string first_bytes;  // hex of the first (up to) 16 bytes of the area
};

class Session {
 public:
  Session(uint16_t page_limit, Findings &findings, Progress &progress)
      : page_limit_(page_limit), findings_(findings), progress_(progress) {}

  // A read that must succeed. Returns whether it did.
  bool Read(AreaResult &result, int64_t offset, uint32_t count, bool sixteen_bit = false) {
    std::vector<uint8_t> buffer(count);
    uint16_t done = 0;
    const char *name = sixteen_bit ? "KLIAReadData" : "KLIAReadDataEx";
    const KLIA_BOOL ok = sixteen_bit ? KLIAReadData(result.area, buffer.data(), static_cast<uint16_t>(offset),
                                                    static_cast<uint16_t>(count), &done)
                                     : KLIAReadDataEx(result.area, buffer.data(), static_cast<int32_t>(offset),
                                                      static_cast<uint16_t>(count), &done);
    ++result.reads;
    if (!Succeeded(ok)) {
      ++result.failed;
      findings_.Add(FailureText(Operation(name, result.area, offset, count)));
      return false;
    }
    if (done != count) {
      ++result.failed;
      findings_.Add(Operation(name, result.area, offset, count) + " reported " + std::to_string(done) + " bytes read");
    }
    result.bytes += count;
    result.digest = Digest(result.digest, buffer.data(), buffer.size());
    if (sixteen_bit) result.first_bytes = ToHex(buffer.data(), buffer.size());
    if (result.page_size != 0) {
      const uint32_t first = static_cast<uint32_t>(offset) / result.page_size;
      const uint32_t last = (static_cast<uint32_t>(offset) + count - 1) / result.page_size;
      for (uint32_t page = first; page <= last; ++page) touched_.push_back(page);
    }
    return true;
  }

  // A request past the end of the area: the library must refuse it.
  void PastEnd(AreaResult &result, int64_t offset, uint32_t count) {
    std::vector<uint8_t> buffer(count);
    uint16_t done = 0;
    ++result.reads;
    if (Succeeded(KLIAReadDataEx(result.area, buffer.data(), static_cast<int32_t>(offset), static_cast<uint16_t>(count),
                                 &done))) {
      result.past_end_refused = false;
      findings_.Add(Operation("KLIAReadDataEx", result.area, offset, count) +
                    " lies past the end of the area, yet the library did not refuse it");
    }
  }

  // The board's page size: data area 5 is one page, so its last readable offset is the page
  // size less one. 0 when no byte of the area can be read.
  uint32_t PageSize() {
    uint8_t byte = 0;
    uint16_t done = 0;
    auto readable = [&](uint32_t offset) {
      return Succeeded(KLIAReadDataEx(KLIA_AREA_HWSTEP, &byte, static_cast<int32_t>(offset), 1, &done));
    };
    if (!readable(0)) return 0;
    uint32_t low = 0, high = 0x10000;  // offset `low` can be read, `high` cannot
    while (high - low > 1) {
      const uint32_t middle = low + (high - low) / 2;
      (readable(middle) ? low : high) = middle;
    }
    return low + 1;
  }

  AreaResult ReadArea(uint8_t area, uint32_t size, uint32_t page_size) {
    AreaResult result;
    result.area = area;
    result.size = size;
    result.page_size = page_size;
    touched_.clear();
    progress_.Say("data area " + std::to_string(area));
    if (size == 0 || page_size == 0) {
      PastEnd(result, 0, 1);
      return result;
    }
    const uint32_t pages = size / page_size;
    const uint32_t head_end = page_limit_ == 0 || pages <= page_limit_ ? size : page_limit_ * page_size;
    const uint32_t tail_start = std::max(head_end, size > 2 * page_size ? size - 2 * page_size : 0);
    const uint32_t cycle[] = {1, 31, std::max<uint32_t>(page_size / 2, 1), page_size, page_size + 1, 2 * page_size + 3};
    size_t turn = 0;
    auto pieces = [&](uint32_t from, uint32_t to) {
      for (uint32_t at = from; at < to;) {
        const uint32_t count = std::min({cycle[turn++ % std::size(cycle)], to - at, uint32_t{0xFFFF}});
        if (!Read(result, at, count)) return;
        at += count;
      }
    };
    pieces(0, head_end);
    pieces(tail_start, size);
    Read(result, size - 1, 1);
    Read(result, 0, std::min<uint32_t>(size, 16), /*sixteen_bit=*/true);
    PastEnd(result, size - 1, 2);
    PastEnd(result, size, 1);
    std::sort(touched_.begin(), touched_.end());
    result.pages_read = static_cast<uint32_t>(std::unique(touched_.begin(), touched_.end()) - touched_.begin());
    return result;
  }

 private:
  uint16_t page_limit_;
  Findings &findings_;
  Progress &progress_;
  std::vector<uint32_t> touched_;
};

std::string AreaText(const AreaResult &r) {
  if (r.size == 0) {
    return "  area " + std::to_string(r.area) + ": no pages; a 1-byte read " +
           (r.past_end_refused ? "refused, as it must be" : "NOT refused") + "\n";
  }
  return "  area " + std::to_string(r.area) + ": " + std::to_string(r.size) + " bytes (" +
         std::to_string(r.size / r.page_size) + (r.size / r.page_size == 1 ? " page); " : " pages); ") +
         std::to_string(r.pages_read) + (r.pages_read == 1 ? " page" : " pages") + " read in " +
         std::to_string(r.reads) + " requests, " + std::to_string(r.bytes) + " bytes, digest " + Hex32(r.digest) +
         (r.failed != 0 ? ", " + std::to_string(r.failed) + " FAILED" : "") + "; past its end " +
         (r.past_end_refused ? "refused" : "NOT refused") + (r.first_bytes.empty() ? "" : "; begins " + r.first_bytes) +
         "\n";
}

json AreaJson(const AreaResult &r) {
  return {{"area", r.area},
          {"size", r.size},
          {"pages", r.page_size ? r.size / r.page_size : 0},
          {"pages_read", r.pages_read},
          {"requests", r.reads},
          {"bytes", r.bytes},
          {"failed", r.failed},
          {"digest", Hex32(r.digest)},
          {"past_end_refused", r.past_end_refused},
          {"first_bytes", r.first_bytes}};
}

// Binds without creating anything: an image that exists is checked and served read-only; a
// missing one is left to the transport (a real transport has none, the virtual board then
// says that it cannot serve it).
void BindReadOnly(const Context &context) {
  const BoardChoice board = ChooseBoard(context);
  std::error_code error;
  if (std::filesystem::exists(board.path, error)) {
    const std::string problem = ImageProblem(board.path);
    if (!problem.empty()) throw Failure("image", "cannot use the board image " + board.path + ": " + problem);
  }
  Bind(board, Access::kRead);
}

int Probe(const Context &context, const std::string &pages_text) {
  const uint16_t page_limit = ParseProbePages(pages_text);
  // The library is loaded behind klia's transport spy with its read-only guard, whatever the
  // environment or the library's own search for a transport says.
  RequirePinnedSpy("klia probe");
  Findings findings;
  Progress progress;
  Session session(page_limit, findings, progress);
  progress.Say("binding");
  BindReadOnly(context);

  const Info info = DecodeInfo(ReadInfo());
  uint16_t current_user = 0;
  uint8_t current_flag = 0;
  const bool current_ok = Succeeded(KLIAGetCurrentUser(&current_user, &current_flag));
  if (!current_ok) findings.Add(FailureText("KLIAGetCurrentUser"));

  // Users: 0 (whoever is logged on; refused when nobody is), then every record.
  UserBytes record{};
  const bool user0_read = Succeeded(KLIAReadUserData(0, record.data()));
  if (!user0_read && current_user != 0) findings.Add(FailureText("KLIAReadUserData(0)"));
  if (user0_read && current_user == 0) findings.Add("KLIAReadUserData(0) read a record while nobody is logged on");
  uint32_t users_in_use = 0, users_failed = 0;
  json users = json::array();
  std::string users_text;
  const RecordField &name_field = FieldNamed(UserFields(), "name");
  for (uint32_t user = 1; user <= info.user_count; ++user) {
    if (user % 64 == 1) progress.Say("user " + std::to_string(user) + " of " + std::to_string(info.user_count));
    record.fill(0);
    if (!Succeeded(KLIAReadUserData(static_cast<uint16_t>(user), record.data()))) {
      ++users_failed;
      findings.Add(FailureText("KLIAReadUserData(" + std::to_string(user) + ")"));
      continue;
    }
    if (UserRecordLooksErased(record)) continue;
    ++users_in_use;
    const std::string name = FieldText(name_field, record.data());
    users.push_back({{"user", user}, {"name", name}});
    users_text += "    user " + std::to_string(user) + "  " + name + "\n";
  }

  progress.Say("page size");
  const uint32_t page_size = session.PageSize();
  if (page_size == 0) findings.Add("data area 5 cannot be read: the page size is unknown and the areas are not read");
  std::vector<AreaResult> areas;
  if (page_size != 0) {
    const std::pair<uint8_t, uint32_t> sized[] = {{KLIA_AREA_CONFIG, 2 * page_size},
                                                  {KLIA_AREA_1, 3 * page_size},
                                                  {KLIA_AREA_DATA, info.DataAreaBytes()},
                                                  {KLIA_AREA_LOG, info.LogAreaBytes()},
                                                  {kNoPagesArea, 0},
                                                  {KLIA_AREA_HWSTEP, page_size}};
    for (const auto &[area, size] : sized) areas.push_back(session.ReadArea(area, size, page_size));
  }

  progress.Say("configuration, clock, watchdog");
  ConfigBytes config{};
  const bool config_read = Succeeded(KLIAReadConfigData(config.data()));
  const ErrorState config_state = ReadErrorState();
  if (!config_read && config_state.reported && config_state.last_error != 0) {
    findings.Add(FailureText("KLIAReadConfigData"));
  }
  uint8_t step = 0;
  const bool step_read = Succeeded(KLIAReadHwStep(&step));
  if (!step_read && step != 254) findings.Add(FailureText("KLIAReadHwStep"));
  uint8_t clock[KLIA_DATETIME_RECORD_SIZE] = {};
  const bool clock_read = Succeeded(KLIAGetRTCDateTime(clock));
  if (!clock_read) findings.Add(FailureText("KLIAGetRTCDateTime"));
  const int32_t day = static_cast<int32_t>(GetLe32(clock + KLIA_DATETIME_DAY_NUMBER));
  const int32_t time = static_cast<int32_t>(GetLe32(clock + KLIA_DATETIME_TIME_OF_DAY));
  uint16_t watchdog = 0;
  const bool watchdog_read = Succeeded(KLIAGetWDTimeout(&watchdog));
  if (!watchdog_read) findings.Add(FailureText("KLIAGetWDTimeout"));
  const int32_t today = Today();
  KLIAFlush();
  const ErrorState after_flush = ReadErrorState();
  if (after_flush.reported && after_flush.last_error == KLIA_ERR_PAGE_FAILED) {
    findings.Add("KLIAFlush, which had nothing to write, failed: " + StateWords());
  }
  progress.Clear();

  // The result.
  const std::string current_text = !current_ok         ? "not read"
                                   : current_user == 0 ? "nobody logged on"
                                                       : "user " + std::to_string(current_user) +
                                                             (current_flag != 0 ? ", flag set" : ", flag clear");
  std::string text = "Probe of the board through " + LibraryName() + " (reads only)\n" + InfoText(info);
  text += "Current user: " + current_text + "\n";
  text += "Users: " + std::to_string(info.user_count) + " records read, " + std::to_string(users_in_use) + " in use" +
          (users_failed != 0 ? ", " + std::to_string(users_failed) + " FAILED" : "") + "\n" + users_text;
  text += "Page size: " + (page_size != 0 ? std::to_string(page_size) + " bytes" : std::string("unknown")) + "\n";
  text += "Data areas (" +
          (page_limit == 0 ? std::string("every page") : "at most " + std::to_string(page_limit) + " pages") +
          " from the start of each, and its last two):\n";
  json areas_json = json::array();
  for (const AreaResult &area : areas) {
    text += AreaText(area);
    areas_json.push_back(AreaJson(area));
  }
  text += "Configuration record: " +
          std::string(config_read ? "\n" + RecordText(ConfigFields(), config.data()) : "none stored\n");
  text += "Hardware step: " + (step_read ? std::to_string(step) : std::string("none stored")) + "\n";
  text +=
      "Clock: " + (clock_read ? FormatDayNumber(day) + " " + FormatTimeOfDay(time) : std::string("not read")) + "\n";
  text += "Watchdog timeout: " + (watchdog_read ? std::to_string(watchdog) : std::string("not read")) + "\n";
  text += "Today (this computer): " + FormatDayNumber(today) + "\n";
  text += "Flush: nothing to write\n";
  if (findings.count == 0) {
    text += "Every read did what it should.\n";
  } else {
    text += std::to_string(findings.count) + " problem(s):\n";
    for (const std::string &problem : findings.problems) text += "  " + problem + "\n";
    if (findings.count > findings.problems.size()) {
      text += "  ... and " + std::to_string(findings.count - findings.problems.size()) + " more\n";
    }
  }
  json result = {{"library", LibraryName()},
                 {"info", InfoJson(info)},
                 {"current_user", current_ok ? json({{"user", current_user}, {"flag", current_flag != 0}}) : json()},
                 {"users", {{"read", info.user_count}, {"in_use", users}, {"failed", users_failed}}},
                 {"page_size", page_size},
                 {"page_limit", page_limit},
                 {"areas", areas_json},
                 {"config", config_read ? RecordJson(ConfigFields(), config.data()) : json()},
                 {"hardware_step", step_read ? json(step) : json()},
                 {"clock", clock_read ? json({{"day_number", day}, {"time_of_day", time}}) : json()},
                 {"watchdog_timeout", watchdog_read ? json(watchdog) : json()},
                 {"today", today},
                 {"problems", findings.problems},
                 {"problem_count", findings.count}};
  Emit(text, result);
  return findings.count == 0 ? kExitOk : kExitBoardFailure;
}

}  // namespace

uint16_t ParseProbePages(const std::string &text) {
  if (text == "all") return 0;
  return static_cast<uint16_t>(ParseUnsigned(text, 1, 0xFFFF, "--pages"));
}

void AddProbeCommand(CLI::App &app, Context &context) {
  auto pages = std::make_shared<std::string>(std::to_string(kDefaultPages));
  CLI::App *probe = app.add_subcommand(
      "probe",
      "Read the board through every function that only reads, in one fixed session, and show what came "
      "(writes nothing)");
  probe
      ->add_option("--pages", *pages,
                   "pages read from the start of each data area, besides its last two (a number, or 'all')")
      ->type_name(kNumberLabel)
      ->capture_default_str();
  probe->footer(
      "The session: bind, information, current user, every user record (0 and 1 to UserCount), each data area "
      "in pieces of several sizes across page boundaries with its first and last bytes and two requests past "
      "its end (which the library must refuse), the configuration record, the hardware step, the clock, the "
      "watchdog timeout, Today and a flush with nothing to write. It never derives a user XID (board command "
      "27), whose effect on the board is not known to be only reading. Cost: about 45 board exchanges and "
      "one per user with the default --pages 4 (at most about 6 page reads per area; the event log, read "
      "piece by piece, about 16); each further page adds one exchange (about two in the log). klia loads its "
      "transport spy under the transport's name before the library, with its read-only guard on whatever the "
      "environment says, and checks that the library is bound to it before the first call; the virtual board "
      "serves its image read-only. It writes no trace unless HWLINK_SPY_TRACE names one. Exit 0 when every read "
      "did what it should, 1 when one did not (the problems are listed), 2 when the spy cannot be put in front "
      "of the library (nothing is then called: a file that is no interface library, a library that loads its "
      "transport under another name or is bound to another one, no spy beside klia).");
  probe->callback([&context, pages] { context.run = [&context, pages] { return Probe(context, *pages); }; });
}

}  // namespace klia

// klia tour: on a fresh virtual board, walks through the library's whole interface and
// reports what each step did. Every step checks what it reads back; the first step that
// fails ends the tour with the library's error state and a nonzero exit.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <CLI/CLI.hpp>

#include "board/commands.h"
#include "library/board_failure.h"
#include "shell/app.h"
#include "library/board_session.h"
#include "platform/platform.h"
#include "board/data_access.h"
#include "board/day_time.h"
#include "shell/errors.h"
#include "board/format_progress.h"
#include "mviahlp.h"
#include "shell/output.h"
#include "shell/process.h"
#include "board/record_view.h"
#include "library/records.h"
#include "shell/text_input.h"

namespace klia {
namespace {

constexpr const char *kTourGeometry = "users=32,data=200,log=16,page=256,version=0x123,devices=4";
constexpr uint16_t kTourCheckWord = 0x1234;
constexpr uint16_t kTourUser = 1;
constexpr const char *kIndent = "      ";

// A read-back that does not match what the step wrote.
class Mismatch : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

void Expect(bool condition, const std::string &what) {
  if (!condition) throw Mismatch(what);
}

struct TourOptions {
  bool force = false;
  bool keep = false;
};

class Tour {
 public:
  // Runs one step: prints its title, runs it (it may print live output), then prints the
  // lines it returns, indented.
  // With --json nothing is printed as it goes: the steps are handed out as one JSON object at
  // the end.
  void Step(const std::string &title, const std::function<std::string()> &body) {
    ++step_;
    if (!JsonOutput()) PrintText("[" + std::to_string(step_) + "] " + title + "\n");
    const std::string report = body();
    std::string text;
    nlohmann::json lines = nlohmann::json::array();
    size_t start = 0;
    while (start < report.size()) {
      const size_t end = report.find('\n', start);
      const size_t stop = end == std::string::npos ? report.size() : end;
      text += kIndent + report.substr(start, stop - start) + "\n";
      lines.push_back(report.substr(start, stop - start));
      start = stop + 1;
    }
    if (!JsonOutput()) PrintText(text);
    json_steps_.push_back({{"step", step_}, {"title", title}, {"report", lines}});
  }
  int steps() const { return step_; }
  const nlohmann::json &json_steps() const { return json_steps_; }

 private:
  int step_ = 0;
  nlohmann::json json_steps_ = nlohmann::json::array();
};

std::string Hex16(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

Info CurrentInfo() { return DecodeInfo(ReadInfo()); }

// The path the tour uses: the one given with --board, else a fresh temporary file.
std::string TourImage(const Context &context, const TourOptions &options, bool &temporary) {
  namespace fs = std::filesystem;
  std::error_code error;
  temporary = context.board.empty();
  if (!temporary) {
    if (fs::exists(context.board, error)) {
      if (!options.force) {
        throw UsageError("tour: " + context.board +
                         " exists already; the tour needs a fresh board (add --force to replace it, or leave out "
                         "--board for a temporary one)");
      }
      if (!fs::remove(context.board, error)) throw UsageError("tour: cannot remove " + context.board);
    }
    return context.board;
  }
  std::random_device random;
  const fs::path folder = fs::temp_directory_path(error);
  if (error) throw UsageError("tour: no folder for temporary files: " + error.message());
  for (int attempt = 0; attempt < 16; ++attempt) {
    const fs::path path = folder / ("klia-tour-" + std::to_string(random()) + ".img");
    if (!fs::exists(path, error)) return path.string();
  }
  throw UsageError("tour: cannot find a free temporary file name in " + folder.string());
}

int RunTour(Context &context, const TourOptions &options) {
  bool temporary = false;
  const std::string image = TourImage(context, options, temporary);
  context.board = image;
  SetEnvironment(kGeometryVariable, kTourGeometry);
  Tour tour;
  UserBytes user_record{};
  const std::vector<uint8_t> logon_key = {0x4B, 0x4C, 0x49, 0x41, 0x2D, 0x30, 0x30, 0x31};       // "KLIA-001"
  const std::vector<uint8_t> password = {0x73, 0x65, 0x63, 0x72, 0x65, 0x74, 0x2D, 0x31};        // "secret-1"
  const std::vector<uint8_t> new_password = {0x73, 0x65, 0x63, 0x72, 0x65, 0x74, 0x2D, 0x32};    // "secret-2"

  // A temporary image goes when the tour ends, however it ends.
  const bool remove_at_end = temporary && !options.keep;
  const auto remove_temporary = [&] {
    std::error_code ignored;
    if (remove_at_end) std::filesystem::remove(image, ignored);
  };
  const InterruptGuard guard("interrupted: the tour did not finish", remove_at_end ? image : "");

  try {
    tour.Step("Board: a fresh virtual board image", [&] {
      return image + (temporary ? " (temporary)" : "") + "\ngeometry " + kTourGeometry;
    });

    tour.Step("Bind: KLIADriverPresent binds the library and probes the board", [&] {
      Bind({image, "--board"}, Access::kWrite, /*create=*/true);
      return std::string("bound; the board answered the probe");
    });

    tour.Step("Information: KLIAGetInfo on the new board", [&] {
      const Info info = CurrentInfo();
      Expect(info.signature_ok, "the information record's signature");
      Expect(info.state_class == 1, "a new board reports StateClass 1");
      return "CheckWord " + Hex16(info.check_word) + " (" + CheckWordMeaning(info.check_word) + "), StateClass " +
             std::to_string(info.state_class) + " (" + StateClassMeaning(info.state_class) + ")\n" +
             std::to_string(info.user_count) + " users, data area 2 " + std::to_string(info.DataAreaBytes()) +
             " bytes, log area " + std::to_string(info.LogAreaBytes()) + " bytes, version " + Hex16(info.version);
    });

    tour.Step("Format: KLIAFormatDatabase with check word " + Hex16(kTourCheckWord) +
                  "; the library's own progress messages:",
              [&] {
                FormatBoard(kTourCheckWord, !JsonOutput() ? stdout : IsTerminal(stderr) ? stderr : nullptr, kIndent);
                return std::string("formatted");
              });

    tour.Step("Information after formatting", [&] {
      const Info info = CurrentInfo();
      Expect(info.check_word == kTourCheckWord, "the check word stored by the format");
      Expect(info.state_class == 2, "a formatted board reports StateClass 2");
      return "CheckWord " + Hex16(info.check_word) + ", StateClass " + std::to_string(info.state_class) + " (" +
             StateClassMeaning(info.state_class) + "), log " + std::to_string(info.LogUsedBytes()) + " of " +
             std::to_string(info.LogAreaBytes()) + " bytes in use";
    });

    tour.Step("Write user " + std::to_string(kTourUser) + ": KLIAWriteUserData", [&] {
      const auto &fields = UserFields();
      // "Иванов" in code page 866, whatever this terminal's encoding.
      SetBoardString(FieldNamed(fields, "name"), "\x88\xA2\xA0\xAD\xAE\xA2", user_record.data());
      SetBoardString(FieldNamed(fields, "name2"), "Admin", user_record.data());
      ApplyField(FieldNamed(fields, "flag26"), "1", user_record.data());
      ApplyField(FieldNamed(fields, "data28"), ToHex(logon_key.data(), 4), user_record.data());
      ApplyField(FieldNamed(fields, "data32"), ToHex(logon_key.data() + 4, 4), user_record.data());
      ApplyField(FieldNamed(fields, "data36"), ToHex(password.data(), 4), user_record.data());
      ApplyField(FieldNamed(fields, "data40"), ToHex(password.data() + 4, 4), user_record.data());
      ApplyField(FieldNamed(fields, "nibble115"), "10", user_record.data());
      ApplyField(FieldNamed(fields, "access-word"), "0x8005", user_record.data());
      ApplyField(FieldNamed(fields, "flags177"), "10100000", user_record.data());
      Require(KLIAWriteUserData(kTourUser, user_record.data()), "KLIAWriteUserData");
      return "name " + FieldText(FieldNamed(fields, "name"), user_record.data()) + ", name2 " +
             FieldText(FieldNamed(fields, "name2"), user_record.data()) + " (stored in code page 866)\n" +
             "logon key (data28-32) " + ToHex(logon_key) + ", password (data36-40) " + ToHex(password) +
             "\naccess word " + AccessWordText(0x8005) + ", nibble115 10, flags177 10100000";
    });

    tour.Step("Read user " + std::to_string(kTourUser) + " back: KLIAReadUserData", [&] {
      UserBytes stored{};
      Require(KLIAReadUserData(kTourUser, stored.data()), "KLIAReadUserData");
      Expect(stored == user_record, "user " + std::to_string(kTourUser) + " reads back as written");
      return std::string("all ") + std::to_string(KLIA_USER_RECORD_SIZE) + " bytes read back as written; name " +
             FieldText(FieldNamed(UserFields(), "name"), stored.data());
    });

    tour.Step("Log on: KLIALogin with the user's key and password, then KLIAGetCurrentUser", [&] {
      Require(KLIALogin(logon_key.data(), password.data(), 0), "KLIALogin");
      uint16_t user = 0;
      uint8_t flag = 0;
      Require(KLIAGetCurrentUser(&user, &flag), "KLIAGetCurrentUser");
      Expect(user == kTourUser && flag == 1, "the logged-on user is user 1 with its flag");
      const Info info = CurrentInfo();
      Expect(info.state_class == 4, "StateClass 4 while a user is logged on");
      return "logged on: user " + std::to_string(user) + ", flag " + std::to_string(flag) + "; StateClass " +
             std::to_string(info.state_class) + ", CurrentUser " + Hex16(info.current_user);
    });

    tour.Step("Change password: KLIAChangeUserPassword for the logged-on user (user 0)", [&] {
      std::vector<uint8_t> block = password;
      block.insert(block.end(), new_password.begin(), new_password.end());
      Require(KLIAChangeUserPassword(0, block.data()), "KLIAChangeUserPassword");
      return "block " + ToHex(block) + " (current password, then the new one) accepted";
    });

    tour.Step("Log out: KLIALogout; the old password is refused, the new one works", [&] {
      KLIALogout();
      uint16_t user = 0;
      uint8_t flag = 0;
      Require(KLIAGetCurrentUser(&user, &flag), "KLIAGetCurrentUser");
      Expect(user == 0, "nobody is logged on after KLIALogout");
      Expect(!Succeeded(KLIALogin(logon_key.data(), password.data(), 0)), "the old password is refused");
      const ErrorState refused = ReadErrorState();
      Require(KLIALogin(logon_key.data(), new_password.data(), 0), "KLIALogin");
      KLIALogout();
      Require(KLIAGetCurrentUser(&user, &flag), "KLIAGetCurrentUser");
      Expect(user == 0, "nobody is logged on after the second KLIALogout");
      return "logged out; the old password gave LastError " + std::to_string(refused.last_error) + " (" +
             MeaningOfLastError(refused.last_error) + "), DeviceStatus " + Hex16(refused.device_status) +
             "\nthe new password logged on, and KLIALogout ended it";
    });

    tour.Step("Data area 2: KLIAWriteDataEx across a page boundary, KLIAFlush, KLIAReadDataEx", [&] {
      std::vector<uint8_t> data(300);
      for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
      WriteArea(KLIA_AREA_DATA, 1000, data);
      Expect(ReadArea(KLIA_AREA_DATA, 1000, static_cast<uint32_t>(data.size())) == data,
             "data area 2 reads back as written");
      const Info info = CurrentInfo();
      uint8_t byte = 0;
      uint16_t done = 0;
      Expect(!Succeeded(KLIAReadDataEx(KLIA_AREA_DATA, &byte, static_cast<int32_t>(info.DataAreaBytes()), 1, &done)),
             "a read past the end of data area 2 is refused");
      const ErrorState past_end = ReadErrorState();
      Expect(past_end.last_error == KLIA_ERR_OUT_OF_RANGE, "a read past the end gives LastError 7506");
      return "300 bytes at offset 1000 (pages 3 and 4 of the area) written, flushed and read back identical\n"
             "a read at offset " + std::to_string(info.DataAreaBytes()) + ", just past the end, is refused: LastError " +
             std::to_string(past_end.last_error) + " (" + MeaningOfLastError(past_end.last_error) + ")";
    });

    tour.Step("Event log: two records appended (area 3 at offset 0xFFFF), then dumped", [&] {
      const std::string first = "door 1 opened";
      const std::string second = "door 1 closed";
      uint16_t done = 0;
      Require(KLIAWriteDataEx(KLIA_AREA_LOG, first.data(), KLIA_APPEND_OFFSET, static_cast<uint16_t>(first.size()),
                              &done),
              "KLIAWriteDataEx(area 3, append)");
      Require(KLIAWriteData(KLIA_AREA_LOG, second.data(), KLIA_APPEND_OFFSET, static_cast<uint16_t>(second.size()),
                            &done),
              "KLIAWriteData(area 3, append)");
      const Info info = CurrentInfo();
      Expect(info.LogUsedBytes() == first.size() + second.size(), "LogUsed counts the two records");
      const std::vector<uint8_t> log = ReadArea(KLIA_AREA_LOG, 0, info.LogUsedBytes());
      Expect(std::string(log.begin(), log.end()) == first + second, "the log holds the two records");
      std::string dump = Hexdump(log.data(), log.size(), 0);
      dump.pop_back();
      return "LogUsed " + std::to_string(info.LogUsedBytes()) + " bytes; the log in use:\n" + dump;
    });

    tour.Step("Configuration record: KLIAWriteConfigData, KLIAReadConfigData", [&] {
      const std::vector<uint8_t> record = ParseHex("12 01 1E FF 07 01 00 01 00 34 12 01 02 99", "config");
      const std::vector<uint8_t> expected = ParseHex("12 01 1E 14 07 01 00 01 00 34 12 01 02 99", "config");
      const std::vector<uint8_t> stored_form = ParseHex("ED 03 1E FF 07 F5 34 12 C0 02 99 1C", "config");
      Require(KLIAWriteConfigData(record.data()), "KLIAWriteConfigData");
      ConfigBytes read{};
      Require(KLIAReadConfigData(read.data()), "KLIAReadConfigData");
      Expect(std::equal(read.begin(), read.end(), expected.begin()), "the configuration record reads back");
      const std::vector<uint8_t> stored = ReadArea(KLIA_AREA_CONFIG, 0, 12);
      Expect(stored == stored_form, "the stored form of the configuration record");
      return "wrote " + ToHex(record) + "\nstored in area 0 as " + ToHex(stored) + " (with two CRC-8 check bytes)\n" +
             "read back " + ToHex(read.data(), read.size()) + " (a stored 255 in byte3 reads as 20)";
    });

    tour.Step("Hardware step: KLIAWriteHwStep, KLIAReadHwStep", [&] {
      Require(KLIAWriteHwStep(7), "KLIAWriteHwStep");
      uint8_t step = 0;
      Require(KLIAReadHwStep(&step), "KLIAReadHwStep");
      Expect(step == 7, "the hardware step reads back");
      const std::vector<uint8_t> stored = ReadArea(KLIA_AREA_HWSTEP, 8, 3);
      return "step 7 stored in area 5 at offset 8 as " + ToHex(stored) + " (tag \"WH\", then the step); read back " +
             std::to_string(step);
    });

    tour.Step("Clock: KLIASetRTCDateTime, KLIAGetRTCDateTime", [&] {
      const CalendarTime set = ParseCalendarTime("2024-12-31 14:30:05");
      uint8_t record[KLIA_DATETIME_RECORD_SIZE];
      const int32_t day = DayNumberOf(set.year, set.month, set.day);
      const int32_t seconds = set.hour * 3600 + set.minute * 60 + set.second;
      PutLe32(record + KLIA_DATETIME_DAY_NUMBER, static_cast<uint32_t>(day));
      PutLe32(record + KLIA_DATETIME_TIME_OF_DAY, static_cast<uint32_t>(seconds));
      Require(KLIASetRTCDateTime(record), "KLIASetRTCDateTime");
      uint8_t now[KLIA_DATETIME_RECORD_SIZE] = {};
      Require(KLIAGetRTCDateTime(now), "KLIAGetRTCDateTime");
      const int32_t read_day = static_cast<int32_t>(GetLe32(now + KLIA_DATETIME_DAY_NUMBER));
      const int32_t read_time = static_cast<int32_t>(GetLe32(now + KLIA_DATETIME_TIME_OF_DAY));
      // The board's clock runs on: allow the seconds the tour takes.
      Expect(read_day == day && read_time >= seconds && read_time <= seconds + 5, "the clock reads back as set");
      return "set 2024-12-31 14:30:05 (DayNumber " + std::to_string(day) + ", TimeOfDay " + std::to_string(seconds) +
             ")\nread " + FormatDayNumber(read_day) + " " + FormatTimeOfDay(read_time) + " (DayNumber " +
             std::to_string(read_day) + ", TimeOfDay " + std::to_string(read_time) + ")";
    });

    tour.Step("Watchdog: KLIASetWDTimeout, KLIAGetWDTimeout", [&] {
      Require(KLIASetWDTimeout(600), "KLIASetWDTimeout");
      uint16_t timeout = 0;
      Require(KLIAGetWDTimeout(&timeout), "KLIAGetWDTimeout");
      Expect(timeout == 600, "the watchdog timeout reads back");
      return "set 600, read back " + std::to_string(timeout);
    });

    tour.Step("User XID: KLIAMakeUserXID", [&] {
      const std::string data = "klia tour";
      uint8_t first[4] = {};
      uint8_t second[4] = {};
      Require(KLIAMakeUserXID(static_cast<uint16_t>(data.size()), data.data(), first), "KLIAMakeUserXID");
      Require(KLIAMakeUserXID(static_cast<uint16_t>(data.size()), data.data(), second), "KLIAMakeUserXID");
      Expect(std::equal(first, first + 4, second), "the same data gives the same XID");
      return "XID of \"" + data + "\": " + ToHex(first, 4) + " (the same again on a second call)";
    });

    tour.Step("IA result: KLIASetIaResult kinds 2 and 4 with user 1's record, kind 255 keeps its access word", [&] {
      Require(KLIASetIaResult(2, user_record.data()), "KLIASetIaResult(2)");
      Require(KLIASetIaResult(4, user_record.data()), "KLIASetIaResult(4)");
      Require(KLIASetIaResult(255, user_record.data()), "KLIASetIaResult(255)");
      return std::string("kind 2 sent bytes 0-31, kind 4 bytes 0-12; kind 255 kept access word ") +
             AccessWordText(GetLe16(user_record.data() + KLIA_USER_ACCESS_WORD)) + " for the access sequence";
    });

    tour.Step("Clear the log: KLIAClearLog", [&] {
      Require(KLIAClearLog(), "KLIAClearLog");
      const Info info = CurrentInfo();
      Expect(info.LogUsedBytes() == 0, "an empty log after KLIAClearLog");
      return "LogUsed " + std::to_string(info.LogUsedBytes()) + " of " + std::to_string(info.LogAreaBytes()) +
             " bytes";
    });

    tour.Step("Users in use: KLIAReadUserData for every user", [&] {
      const Info info = CurrentInfo();
      int in_use = 0;
      for (uint32_t user = 1; user <= info.user_count; ++user) {
        UserBytes record{};
        Require(KLIAReadUserData(static_cast<uint16_t>(user), record.data()), "KLIAReadUserData");
        if (!UserRecordLooksErased(record)) ++in_use;
      }
      Expect(in_use == 1, "exactly one user in use");
      return std::to_string(in_use) + " of " + std::to_string(info.user_count) + " users in use";
    });
  } catch (const Mismatch &mismatch) {
    remove_temporary();
    throw BoardFailure("tour step " + std::to_string(tour.steps()) + ": " + mismatch.what() + " did not hold",
                       ReadErrorState(), "the error state after the step; tour FAILED at step " +
                                             std::to_string(tour.steps()));
  } catch (const BoardFailure &failure) {
    remove_temporary();
    throw BoardFailure(failure.operation(), failure.state(),
                       (failure.note().empty() ? "" : failure.note() + "\n  ") + "tour FAILED at step " +
                           std::to_string(tour.steps()));
  } catch (...) {
    remove_temporary();
    throw;
  }

  remove_temporary();
  const std::string kept = temporary && !options.keep ? "" : " (board image " + image + ")";
  Emit("tour complete: " + std::to_string(tour.steps()) + " steps OK" + kept + "\n",
       {{"complete", true}, {"steps", tour.json_steps()}, {"image", temporary && !options.keep ? nlohmann::json() : nlohmann::json(image)}});
  return kExitOk;
}

}  // namespace

void AddTourCommand(CLI::App &app, Context &context) {
  auto options = std::make_shared<TourOptions>();
  CLI::App *tour = app.add_subcommand(
      "tour", "Walk through the whole library interface on a fresh virtual board and report each step");
  tour->add_flag("--force", options->force, "replace the image given with --board");
  tour->add_flag("--keep", options->keep, "keep the temporary board image");
  tour->footer("Without --board the tour uses a temporary image and removes it at the end.");
  tour->callback([&context, options] { context.run = [&context, options] { return RunTour(context, *options); }; });
}

}  // namespace klia

// klia clock get|set|sync, watchdog get|set.
#include <memory>
#include <vector>

#include <CLI/CLI.hpp>

#include "board/commands.h"
#include "library/board_failure.h"
#include "shell/app.h"
#include "library/board_session.h"
#include "shell/command_line.h"
#include "board/day_time.h"
#include "shell/errors.h"
#include "mviahlp.h"
#include "shell/output.h"
#include "library/records.h"
#include "shell/text_input.h"

namespace klia {
namespace {

struct BoardClock {
  int32_t day_number = kNoDayNumber;
  int32_t time_of_day = kNoTimeOfDay;
};

BoardClock ReadClock() {
  uint8_t record[KLIA_DATETIME_RECORD_SIZE] = {};
  Require(KLIAGetRTCDateTime(record), "KLIAGetRTCDateTime");
  BoardClock clock;
  clock.day_number = static_cast<int32_t>(GetLe32(record + KLIA_DATETIME_DAY_NUMBER));
  clock.time_of_day = static_cast<int32_t>(GetLe32(record + KLIA_DATETIME_TIME_OF_DAY));
  return clock;
}

void SetClock(const CalendarTime &t) {
  uint8_t record[KLIA_DATETIME_RECORD_SIZE];
  PutLe32(record + KLIA_DATETIME_DAY_NUMBER, static_cast<uint32_t>(DayNumberOf(t.year, t.month, t.day)));
  PutLe32(record + KLIA_DATETIME_TIME_OF_DAY, static_cast<uint32_t>(t.hour * 3600 + t.minute * 60 + t.second));
  Require(KLIASetRTCDateTime(record), "KLIASetRTCDateTime");
}

void PrintClock(const BoardClock &clock, const std::string &prefix) {
  Emit(prefix + "board clock " + FormatDayNumber(clock.day_number) + " " + FormatTimeOfDay(clock.time_of_day) +
           "  (DayNumber " + std::to_string(clock.day_number) + ", TimeOfDay " + std::to_string(clock.time_of_day) +
           ")\n",
       {{"day_number", clock.day_number},
        {"time_of_day", clock.time_of_day},
        {"date", FormatDayNumber(clock.day_number)},
        {"time", FormatTimeOfDay(clock.time_of_day)}});
}

int GetClock(const Context &context) {
  Open(context, Access::kRead);
  PrintClock(ReadClock(), "");
  return kExitOk;
}

int SetClockCommand(const Context &context, const std::vector<std::string> &words) {
  std::string text;
  for (const std::string &word : words) text += (text.empty() ? "" : " ") + word;
  const CalendarTime t = ParseCalendarTime(text);
  Open(context, Access::kWrite);
  SetClock(t);
  PrintClock(ReadClock(), "set; ");
  return kExitOk;
}

int SyncClock(const Context &context) {
  const CalendarTime now = LocalNow();
  if (now.year < 2000 || now.year > 2099) {
    throw UsageError("this computer's date lies outside the board's years 2000 to 2099");
  }
  Open(context, Access::kWrite);
  SetClock(now);
  PrintClock(ReadClock(), "set from this computer's local time; ");
  return kExitOk;
}

void PrintWatchdog() {
  uint16_t timeout = 0;
  Require(KLIAGetWDTimeout(&timeout), "KLIAGetWDTimeout");
  Emit("watchdog timeout " + std::to_string(timeout) + " (board units)\n", {{"watchdog_timeout", timeout}});
}

int GetWatchdog(const Context &context) {
  Open(context, Access::kRead);
  PrintWatchdog();
  return kExitOk;
}

int SetWatchdog(const Context &context, const std::string &text) {
  const uint16_t timeout = static_cast<uint16_t>(ParseUnsigned(text, 0, 0xFFFF, "watchdog timeout"));
  Open(context, Access::kWrite);
  Require(KLIASetWDTimeout(timeout), "KLIASetWDTimeout");
  PrintWatchdog();
  return kExitOk;
}

}  // namespace

void AddClockCommands(CLI::App &app, Context &context) {
  CLI::App *clock = app.add_subcommand("clock", "The board's real-time clock");
  clock->require_subcommand(1);
  CLI::App *get = clock->add_subcommand("get", "Show the board's date and time");
  get->callback([&context] { context.run = [&context] { return GetClock(context); }; });
  auto words = std::make_shared<std::vector<std::string>>();
  CLI::App *set = clock->add_subcommand("set", "Set the board's clock (years 2000-2099)");
  set->add_option("datetime", *words, "the date and time, YYYY-MM-DD HH:MM[:SS]")
      ->type_name("DATE TIME")
      ->required()
      ->expected(1, 2);
  set->callback([&context, words] { context.run = [&context, words] { return SetClockCommand(context, *words); }; });
  CLI::App *sync = clock->add_subcommand("sync", "Set the board's clock to this computer's local time");
  sync->callback([&context] { context.run = [&context] { return SyncClock(context); }; });

  CLI::App *watchdog = app.add_subcommand("watchdog", "The board's watchdog timeout");
  watchdog->require_subcommand(1);
  CLI::App *wd_get = watchdog->add_subcommand("get", "Show the watchdog timeout");
  wd_get->callback([&context] { context.run = [&context] { return GetWatchdog(context); }; });
  auto timeout = std::make_shared<std::string>();
  CLI::App *wd_set = watchdog->add_subcommand("set", "Set the watchdog timeout (board units, 0-65535)");
  wd_set->add_option("timeout", *timeout, "the timeout, 0-65535")->type_name(kNumberLabel)->required();
  wd_set->callback([&context, timeout] {
    context.run = [&context, timeout] { return SetWatchdog(context, *timeout); };
  });
}

}  // namespace klia

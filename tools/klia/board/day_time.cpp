// Day numbers and times of day to and from calendar dates, and the date and time where klia runs.
#include "board/day_time.h"

#include <cstdio>
#include <ctime>

#include "shell/errors.h"
#include "platform/platform.h"

namespace klia {
namespace {

// Days from 1 January 1970 to the given date in the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int &year, int &month, int &day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (month <= 2));
}

const int64_t kDay0 = DaysFromCivil(1600, 1, 1);

}  // namespace

bool IsValidDate(int year, int month, int day) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int last = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  return day <= last;
}

int32_t DayNumberOf(int year, int month, int day) {
  return static_cast<int32_t>(DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kDay0);
}

void SplitDayNumber(int32_t day_number, int &year, int &month, int &day) {
  CivilFromDays(kDay0 + day_number, year, month, day);
}

CalendarTime ParseCalendarTime(const std::string &text) {
  CalendarTime t;
  char separator = 0;
  int consumed = 0;
  const int fields = std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%n", &t.year, &t.month, &t.day, &separator,
                                 &t.hour, &t.minute, &t.second, &consumed);
  if (fields < 7) {
    consumed = 0;
    t.second = 0;
    const int short_fields = std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d%n", &t.year, &t.month, &t.day,
                                         &separator, &t.hour, &t.minute, &consumed);
    if (short_fields < 6) consumed = 0;
  }
  if (consumed == 0 || static_cast<size_t>(consumed) != text.size() || (separator != ' ' && separator != 'T')) {
    throw UsageError("date and time: \"" + text + "\" is not YYYY-MM-DD HH:MM[:SS]");
  }
  if (!IsValidDate(t.year, t.month, t.day)) throw UsageError("date: \"" + text + "\" is not a date of the calendar");
  if (t.year < 2000 || t.year > 2099) throw UsageError("date: the board's clock keeps the years 2000 to 2099 only");
  if (t.hour < 0 || t.hour > 23 || t.minute < 0 || t.minute > 59 || t.second < 0 || t.second > 59) {
    throw UsageError("time: \"" + text + "\" is not a time of day (00:00:00 to 23:59:59)");
  }
  return t;
}

CalendarTime LocalNow() {
  const std::time_t now = std::time(nullptr);
  const std::tm local = LocalTime(now);
  CalendarTime t;
  t.year = local.tm_year + 1900;
  t.month = local.tm_mon + 1;
  t.day = local.tm_mday;
  t.hour = local.tm_hour;
  t.minute = local.tm_min;
  t.second = local.tm_sec > 59 ? 59 : local.tm_sec;
  return t;
}

std::string FormatDayNumber(int32_t day_number) {
  if (day_number < 0) return "no date";
  int year, month, day;
  SplitDayNumber(day_number, year, month, day);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
  return text;
}

std::string FormatTimeOfDay(int32_t time_of_day) {
  if (time_of_day < 0) return "no time";
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", time_of_day / 3600, time_of_day / 60 % 60, time_of_day % 60);
  return text;
}

}  // namespace klia

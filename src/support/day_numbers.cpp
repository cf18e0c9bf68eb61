#include "support/day_numbers.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <ctime>
#endif

namespace mviahlp {

namespace {

// A year of 0-99 stands for 1900-1999.
int32_t CompleteYear(int32_t year) { return (year >= 0 && year <= 99) ? 1900 + year : year; }

// Days from 1 January 1600 to 1 March 1600.
constexpr int32_t kDaysBeforeMarch1600 = 59;
constexpr int32_t kDaysIn400Years = 146097;
constexpr int32_t kDaysIn4Years = 1461;

}  // namespace

bool YearIsLeap(int32_t year) {
  return year % 4 == 0 && year % 4000 != 0 && (year % 100 != 0 || year % 400 == 0);
}

int32_t MonthDays(int32_t month, int32_t year) {
  year = CompleteYear(year);
  switch (month) {
    case 2:
      return YearIsLeap(year) ? 29 : 28;
    case 4:
    case 6:
    case 9:
    case 11:
      return 30;
    case 1:
    case 3:
    case 5:
    case 7:
    case 8:
    case 10:
    case 12:
      return 31;
    default:
      return 0;
  }
}

bool DateIsValid(int32_t day, int32_t month, int32_t year) {
  year = CompleteYear(year);
  if (day < 1 || year < 1600 || year > 3999 || month < 1 || month > 12) return false;
  return day <= MonthDays(month, year);
}

int32_t DayNumberOf(int32_t day, int32_t month, int32_t year) {
  year = CompleteYear(year);
  if (!DateIsValid(day, month, year)) return kNoDayNumber;
  // January and February 1600 would reach back into 1599 through the March-based count below.
  if (year == 1600 && month == 1) return day - 1;
  if (year == 1600 && month == 2) return day + 30;
  // Count years from 1 March, so that the leap day ends a year.
  int32_t m = 0;
  int32_t y = 0;
  if (month > 2) {
    m = month - 3;
    y = year;
  } else {
    m = month + 9;
    y = year - 1;
  }
  y -= 1600;
  const int32_t centuries = y / 100;
  const int32_t years = y % 100;
  return (centuries * kDaysIn400Years) / 4 + (years * kDaysIn4Years) / 4 + (153 * m + 2) / 5 + day +
         kDaysBeforeMarch1600;
}

void SplitDayNumber(int32_t day_number, int32_t &day, int32_t &month, int32_t &year) {
  if (day_number == kNoDayNumber) {
    day = 0;
    month = 0;
    year = 0;
    return;
  }
  // Compared as unsigned, so that other negative numbers take the general path.
  if (static_cast<uint32_t>(day_number) <= static_cast<uint32_t>(kDaysBeforeMarch1600)) {
    year = 1600;
    if (day_number <= 30) {
      month = 1;
      day = day_number + 1;
    } else {
      month = 2;
      day = day_number - 30;
    }
    return;
  }
  // Only 0-876582 are meaningful here, but any number splits without overflow: the first
  // step wraps in 32 bits like the rest of the board's 32-bit arithmetic.
  const int32_t t =
      static_cast<int32_t>(4u * (static_cast<uint32_t>(day_number) - static_cast<uint32_t>(kDaysBeforeMarch1600)) - 1u);
  const int32_t e = 4 * ((t % kDaysIn400Years) / 4) + 3;
  year = 100 * (t / kDaysIn400Years) + e / kDaysIn4Years;
  const int32_t f = ((e % kDaysIn4Years) + 4) / 4;
  const int32_t g = 5 * f - 3;
  month = g / 153;
  day = ((g % 153) + 5) / 5;
  if (month < 10) {
    month += 3;
  } else {
    month -= 9;
    year += 1;
  }
  year += 1600;
}

int32_t SecondsOfDay(uint8_t hour, uint8_t minute, uint8_t second) {
  return ((hour % 24) * 3600 + minute * 60 + second) % kSecondsPerDay;
}

void SplitSeconds(int32_t time_of_day, uint8_t &hour, uint8_t &minute, uint8_t &second) {
  if (time_of_day == kNoTimeOfDay) {
    hour = 0;
    minute = 0;
    second = 0;
    return;
  }
  // Unsigned and byte-sized on purpose: the hour is kept in a byte, and what remains after
  // the kept hour is split into minutes and seconds.
  const uint32_t t = static_cast<uint32_t>(time_of_day);
  hour = static_cast<uint8_t>(t / 3600);
  const uint32_t rest = t - hour * 3600u;
  minute = static_cast<uint8_t>(rest / 60);
  second = static_cast<uint8_t>(rest - minute * 60u);
}

int32_t LocalDayNumber() {
#if defined(_WIN32)
  SYSTEMTIME now;
  GetLocalTime(&now);
  return DayNumberOf(now.wDay, now.wMonth, now.wYear);
#else
  const std::time_t seconds = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&seconds, &local) == nullptr) return kNoDayNumber;
  return DayNumberOf(local.tm_mday, local.tm_mon + 1, local.tm_year + 1900);
#endif
}

}  // namespace mviahlp

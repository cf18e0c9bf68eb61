#include "board_clock.h"

#include <ctime>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace vboard {
namespace {

constexpr int64_t kSecondsPerDay = 86400;

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0); }

bool DecodeBcd(uint8_t byte, unsigned &value) {
  const unsigned high = byte >> 4;
  const unsigned low = byte & 0x0F;
  if (high > 9 || low > 9) return false;
  value = high * 10 + low;
  return true;
}

uint8_t EncodeBcd(unsigned value) { return static_cast<uint8_t>(((value / 10) << 4) | (value % 10)); }

bool IsLeapYear(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned DaysInMonth(int64_t year, unsigned month) {
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

// Howard Hinnant's days_from_civil / civil_from_days, shifted so that a year starts in March.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = FloorDiv(year, 400);
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

void CivilFromDays(int64_t days, int64_t &year, unsigned &month, unsigned &day) {
  days += 719468;
  const int64_t era = FloorDiv(days, 146097);
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t shifted_month = (5 * day_of_year + 2) / 153;
  day = static_cast<unsigned>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
  month = static_cast<unsigned>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
  year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
}

int64_t HostLocalSeconds() {
#if defined(_WIN32)
  SYSTEMTIME now;
  GetLocalTime(&now);
  return DaysFromCivil(now.wYear, now.wMonth, now.wDay) * kSecondsPerDay + now.wHour * 3600 + now.wMinute * 60 +
         now.wSecond;
#else
  const time_t now = time(nullptr);
  struct tm local {};
  if (localtime_r(&now, &local) == nullptr) return static_cast<int64_t>(now);
  return DaysFromCivil(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                       static_cast<unsigned>(local.tm_mday)) *
             kSecondsPerDay +
         local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
#endif
}

bool ClockBlockToSeconds(const uint8_t block[kClockBlockSize], int64_t &seconds) {
  unsigned second, minute, hour, day, month, year;
  if (!DecodeBcd(block[0], second) || !DecodeBcd(block[1], minute) || !DecodeBcd(block[2], hour) ||
      !DecodeBcd(block[3], day) || !DecodeBcd(block[4], month) || !DecodeBcd(block[5], year)) {
    return false;
  }
  if (second > 59 || minute > 59 || hour > 23 || month < 1 || month > 12) return false;
  if (day < 1 || day > DaysInMonth(2000 + year, month)) return false;
  seconds = DaysFromCivil(2000 + year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second;
  return true;
}

void SecondsToClockBlock(int64_t seconds, uint8_t block[kClockBlockSize]) {
  const int64_t days = FloorDiv(seconds, kSecondsPerDay);
  const int64_t of_day = seconds - days * kSecondsPerDay;
  int64_t year;
  unsigned month, day;
  CivilFromDays(days, year, month, day);
  block[0] = EncodeBcd(static_cast<unsigned>(of_day % 60));
  block[1] = EncodeBcd(static_cast<unsigned>(of_day / 60 % 60));
  block[2] = EncodeBcd(static_cast<unsigned>(of_day / 3600));
  block[3] = EncodeBcd(day);
  block[4] = EncodeBcd(month);
  block[5] = EncodeBcd(static_cast<unsigned>(((year - 2000) % 100 + 100) % 100));
}

}  // namespace vboard

// The board's clock as a caller sees it: a DayNumber (days since 1 January 1600, day 0) and
// a TimeOfDay (seconds since midnight), converted to and from calendar dates.
#pragma once

#include <cstdint>
#include <string>

namespace klia {

struct CalendarTime {
  int year = 0, month = 0, day = 0;
  int hour = 0, minute = 0, second = 0;
};

inline constexpr int32_t kNoDayNumber = -1;
inline constexpr int32_t kNoTimeOfDay = -1;

int32_t DayNumberOf(int year, int month, int day);  // the date must be valid
void SplitDayNumber(int32_t day_number, int &year, int &month, int &day);
bool IsValidDate(int year, int month, int day);

// "YYYY-MM-DD HH:MM[:SS]" (or with 'T' between date and time). Throws UsageError.
CalendarTime ParseCalendarTime(const std::string &text);
// This computer's local date and time now.
CalendarTime LocalNow();

// "2024-12-31 14:30:05"; a -1 day or time shows as "no date" / "no time".
std::string FormatDayNumber(int32_t day_number);
std::string FormatTimeOfDay(int32_t time_of_day);

}  // namespace klia

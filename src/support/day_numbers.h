// Day numbers (days since 1 January 1600) and times of day (seconds since midnight).
//
// The calendar is the Gregorian one from 1600 on, with one extra rule: years divisible by
// 4000 are not leap years. Valid dates run from 1 January 1600 (day 0) to 31 December 3999
// (day 876581). A year given as 0-99 stands for 1900-1999. Every division here truncates
// toward zero. None of these routines fails: an invalid date gives -1, and -1 (no date, no
// time) splits into all-zero fields.
#pragma once

#include <cstdint>

namespace mviahlp {

// "No date" as a DayNumber and "no time" as a TimeOfDay.
inline constexpr int32_t kNoDayNumber = -1;
inline constexpr int32_t kNoTimeOfDay = -1;
// The last valid date, 31 December 3999.
inline constexpr int32_t kLastDayNumber = 876581;
inline constexpr int32_t kSecondsPerDay = 86400;

// Takes the year as given (no completion of 0-99).
bool YearIsLeap(int32_t year);
// 28, 29, 30 or 31; 0 for a month outside 1-12.
int32_t MonthDays(int32_t month, int32_t year);
// Whether day.month.year is a date between 1.1.1600 and 31.12.3999.
bool DateIsValid(int32_t day, int32_t month, int32_t year);
// The DayNumber of a date, or -1 when the date is not valid.
int32_t DayNumberOf(int32_t day, int32_t month, int32_t year);
// The date of a DayNumber; the exact inverse of DayNumberOf over 0-876581. -1 gives 0, 0, 0.
void SplitDayNumber(int32_t day_number, int32_t &day, int32_t &month, int32_t &year);

// ((hour mod 24) * 3600 + minute * 60 + second) mod 86400; minutes and seconds may exceed 59.
int32_t SecondsOfDay(uint8_t hour, uint8_t minute, uint8_t second);
// Hours, minutes and seconds of a TimeOfDay, not reduced modulo a day (86400 is 24:00:00);
// -1 gives 0:00:00.
void SplitSeconds(int32_t time_of_day, uint8_t &hour, uint8_t &minute, uint8_t &second);

// The day number of the current local date; what the export Today returns.
int32_t LocalDayNumber();

}  // namespace mviahlp

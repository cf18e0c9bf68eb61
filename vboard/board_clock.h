// The board's real-time clock: BCD clock blocks, calendar arithmetic and the host's local time.
//
// The board keeps its clock as an offset in seconds from the host's local time, so that it
// runs while nobody looks at it and survives in an image file as one number.
#pragma once

#include <cstdint>

namespace vboard {

inline constexpr int kClockBlockSize = 6;  // second, minute, hour, day, month, year - 2000 (BCD)

// Days since 1 January 1970 of a civil date, and back (proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day);
void CivilFromDays(int64_t days, int64_t &year, unsigned &month, unsigned &day);

// The host's local date and time as seconds since 1 January 1970 00:00 of the same calendar.
int64_t HostLocalSeconds();

// A valid clock block (BCD digits, second 0-59, minute 0-59, hour 0-23, a real date of the
// years 2000-2099) as seconds since 1970; false when the block is not valid.
bool ClockBlockToSeconds(const uint8_t block[kClockBlockSize], int64_t &seconds);
// The clock block of a moment; the year byte holds the year within its century.
void SecondsToClockBlock(int64_t seconds, uint8_t block[kClockBlockSize]);

}  // namespace vboard

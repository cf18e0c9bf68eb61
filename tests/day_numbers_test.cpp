// Day numbers, times of day, BCD bytes and short strings.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "mviahlp.h"
#include "support/bcd.h"
#include "support/day_numbers.h"
#include "support/short_string.h"

namespace mviahlp {
namespace {

namespace chr = std::chrono;

constexpr chr::sys_days kDayZero = chr::sys_days{chr::year{1600} / chr::January / 1};

struct Date {
  int32_t day, month, year;
  bool operator==(const Date &) const = default;
};

void PrintTo(const Date &date, std::ostream *os) { *os << date.day << "." << date.month << "." << date.year; }

Date Split(int32_t day_number) {
  Date date{};
  SplitDayNumber(day_number, date.day, date.month, date.year);
  return date;
}

Date CivilDate(int32_t day_number) {
  const chr::year_month_day ymd{kDayZero + chr::days{day_number}};
  return {static_cast<int32_t>(static_cast<unsigned>(ymd.day())), static_cast<int32_t>(static_cast<unsigned>(ymd.month())),
          static_cast<int32_t>(ymd.year())};
}

// Every valid day number against the civil calendar of <chrono>: DayNumberOf counts the days
// of the date that the calendar puts there, and SplitDayNumber gives that date back.
TEST(DayNumbers, AgreeWithTheCivilCalendarOverTheWholeRange) {
  ASSERT_EQ(CivilDate(kLastDayNumber), (Date{31, 12, 3999}));
  int failures = 0;
  for (int32_t n = 0; n <= kLastDayNumber && failures < 10; ++n) {
    const Date date = CivilDate(n);
    const int32_t counted = DayNumberOf(date.day, date.month, date.year);
    const Date split = Split(n);
    if (counted != n || split != date) {
      ++failures;
      ADD_FAILURE() << "day " << n << ": calendar " << date.day << "." << date.month << "." << date.year
                    << ", DayNumberOf " << counted << ", SplitDayNumber " << split.day << "." << split.month << "."
                    << split.year;
    }
  }
}

TEST(DayNumbers, MonthLengthsAndLeapYearsAgreeWithTheCivilCalendar) {
  for (int32_t y = 1600; y <= 3999; ++y) {
    const chr::year year{y};
    ASSERT_EQ(YearIsLeap(y), year.is_leap()) << y;
    for (unsigned m = 1; m <= 12; ++m) {
      const unsigned last = static_cast<unsigned>((year / chr::month{m} / chr::last).day());
      ASSERT_EQ(MonthDays(static_cast<int32_t>(m), y), static_cast<int32_t>(last)) << m << "/" << y;
      ASSERT_TRUE(DateIsValid(static_cast<int32_t>(last), static_cast<int32_t>(m), y));
      ASSERT_FALSE(DateIsValid(static_cast<int32_t>(last) + 1, static_cast<int32_t>(m), y));
    }
  }
}

TEST(DayNumbers, LeapYears) {
  for (int32_t year : {1600, 2000, 2400, 2004, 1996}) EXPECT_TRUE(YearIsLeap(year)) << year;
  // 4000 and 8000 would be leap years in the plain Gregorian calendar.
  for (int32_t year : {1700, 1800, 1900, 2100, 2001, 4000, 8000}) EXPECT_FALSE(YearIsLeap(year)) << year;
  // YearIsLeap takes the year as given: 0 is divisible by 4000, 96 is a plain leap year.
  EXPECT_FALSE(YearIsLeap(0));
  EXPECT_TRUE(YearIsLeap(96));
}

TEST(DayNumbers, MonthDaysOfInvalidMonthsIsZero) {
  for (int32_t month : {0, 13, -1, INT32_MIN, INT32_MAX}) EXPECT_EQ(MonthDays(month, 2000), 0) << month;
  // Two-digit years are completed to 1900-1999: 0 is 1900 (not leap), 96 is 1996 (leap).
  EXPECT_EQ(MonthDays(2, 0), 28);
  EXPECT_EQ(MonthDays(2, 96), 29);
  EXPECT_EQ(MonthDays(2, 4000), 28);
}

struct DayNumberCase {
  int32_t day, month, year;
  int32_t day_number;
};

void PrintTo(const DayNumberCase &c, std::ostream *os) {
  *os << c.day << "." << c.month << "." << c.year << " -> " << c.day_number;
}

// A number in a test name (letters, digits and '_' only).
std::string NameNumber(int64_t n) { return n < 0 ? "Minus" + std::to_string(-n) : std::to_string(n); }

class DayNumberOfCases : public ::testing::TestWithParam<DayNumberCase> {};

TEST_P(DayNumberOfCases, GivesTheDayNumber) {
  const DayNumberCase &c = GetParam();
  EXPECT_EQ(DayNumberOf(c.day, c.month, c.year), c.day_number) << c.day << "." << c.month << "." << c.year;
  EXPECT_EQ(DateIsValid(c.day, c.month, c.year), c.day_number != -1);
}

INSTANTIATE_TEST_SUITE_P(
    EdgeDates, DayNumberOfCases,
    ::testing::Values(
        // January and February 1600, counted on their own, and the first day after them.
        DayNumberCase{1, 1, 1600, 0}, DayNumberCase{31, 1, 1600, 30}, DayNumberCase{1, 2, 1600, 31},
        DayNumberCase{29, 2, 1600, 59}, DayNumberCase{1, 3, 1600, 60},
        DayNumberCase{1, 1, 2000, 146097}, DayNumberCase{31, 12, 3999, 876581}, DayNumberCase{1, 1, 1970, 135140},
        DayNumberCase{1, 1, 1900, 109573}, DayNumberCase{29, 2, 2000, 146156}, DayNumberCase{31, 12, 2024, 155228},
        DayNumberCase{1, 1, 2100, 182622},
        // Two-digit years are 1900-1999.
        DayNumberCase{1, 1, 99, 109573 + 36159}, DayNumberCase{1, 1, 0, 109573}, DayNumberCase{28, 2, 0, 109573 + 58},
        // Invalid dates.
        DayNumberCase{29, 2, 1900, -1}, DayNumberCase{29, 2, 0, -1}, DayNumberCase{31, 4, 2001, -1},
        DayNumberCase{1, 0, 2000, -1}, DayNumberCase{1, 13, 2000, -1}, DayNumberCase{0, 1, 2000, -1},
        DayNumberCase{-1, 1, 2000, -1}, DayNumberCase{1, -1, 2000, -1}, DayNumberCase{1, 1, 1599, -1},
        DayNumberCase{31, 12, 1599, -1}, DayNumberCase{1, 1, 4000, -1}, DayNumberCase{1, 1, 100, -1},
        DayNumberCase{1, 1, -1, -1}, DayNumberCase{INT32_MAX, 1, 2000, -1},
        DayNumberCase{1, 1, INT32_MIN, -1}),
    [](const ::testing::TestParamInfo<DayNumberCase> &info) {  // day_month_year
      return NameNumber(info.param.day) + "_" + NameNumber(info.param.month) + "_" + NameNumber(info.param.year);
    });

TEST(DayNumbers, TwoDigitYearsAreTheNineteenHundreds) {
  EXPECT_EQ(DayNumberOf(1, 1, 99), DayNumberOf(1, 1, 1999));
  EXPECT_EQ(DayNumberOf(1, 1, 0), DayNumberOf(1, 1, 1900));
  EXPECT_EQ(DayNumberOf(15, 6, 70), DayNumberOf(15, 6, 1970));
}

struct SplitCase {
  int32_t day_number;
  Date date;
};

void PrintTo(const SplitCase &c, std::ostream *os) { *os << c.day_number; }

class SplitDayNumberCases : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitDayNumberCases, GivesTheDate) { EXPECT_EQ(Split(GetParam().day_number), GetParam().date); }

INSTANTIATE_TEST_SUITE_P(EdgeDays, SplitDayNumberCases,
                         ::testing::Values(SplitCase{-1, {0, 0, 0}}, SplitCase{0, {1, 1, 1600}},
                                           SplitCase{30, {31, 1, 1600}}, SplitCase{31, {1, 2, 1600}},
                                           SplitCase{59, {29, 2, 1600}}, SplitCase{60, {1, 3, 1600}},
                                           SplitCase{146097, {1, 1, 2000}}, SplitCase{876581, {31, 12, 3999}},
                                           // Beyond the last date the calendar carries on.
                                           SplitCase{876582, {1, 1, 4000}}),
                         [](const ::testing::TestParamInfo<SplitCase> &info) {
                           return "Day" + NameNumber(info.param.day_number);
                         });

// Numbers that are not day numbers still split without trouble (no trap, no overflow).
TEST(DayNumbers, SplittingAnyNumberIsSafe) {
  for (int32_t n : {INT32_MIN, -2, INT32_MAX, 1 << 30, 876583 * 2}) {
    Date date{};
    SplitDayNumber(n, date.day, date.month, date.year);
    SUCCEED() << n << " -> " << date.day << "." << date.month << "." << date.year;
  }
}

struct Clock {
  uint8_t hour, minute, second;
  bool operator==(const Clock &) const = default;
};

void PrintTo(const Clock &clock, std::ostream *os) {
  *os << int{clock.hour} << ":" << int{clock.minute} << ":" << int{clock.second};
}

Clock SplitTime(int32_t t) {
  Clock clock{};
  SplitSeconds(t, clock.hour, clock.minute, clock.second);
  return clock;
}

TEST(TimesOfDay, SplitSecondsInvertsSecondsOfDayOverTheDay) {
  for (int32_t t = 0; t < kSecondsPerDay; ++t) {
    const Clock clock = SplitTime(t);
    ASSERT_LT(clock.hour, 24);
    ASSERT_LT(clock.minute, 60);
    ASSERT_LT(clock.second, 60);
    ASSERT_EQ(SecondsOfDay(clock.hour, clock.minute, clock.second), t);
  }
}

TEST(TimesOfDay, SecondsOfDayReducesTheHourAndTheSum) {
  EXPECT_EQ(SecondsOfDay(0, 0, 0), 0);
  EXPECT_EQ(SecondsOfDay(14, 30, 5), 52205);
  EXPECT_EQ(SecondsOfDay(25, 0, 0), 3600);
  EXPECT_EQ(SecondsOfDay(23, 59, 60), 0);
  EXPECT_EQ(SecondsOfDay(23, 59, 59), 86399);
  // Minutes and seconds may exceed 59; a clock byte that is not BCD arrives as 255.
  EXPECT_EQ(SecondsOfDay(0, 90, 0), 5400);
  EXPECT_EQ(SecondsOfDay(255, 0, 0), 15 * 3600);
  EXPECT_EQ(SecondsOfDay(255, 255, 255), (15 * 3600 + 255 * 60 + 255) % 86400);
}

TEST(TimesOfDay, SplitSecondsEdges) {
  EXPECT_EQ(SplitTime(86399), (Clock{23, 59, 59}));
  // Not reduced modulo a day.
  EXPECT_EQ(SplitTime(86400), (Clock{24, 0, 0}));
  EXPECT_EQ(SplitTime(360000), (Clock{100, 0, 0}));
  EXPECT_EQ(SplitTime(-1), (Clock{0, 0, 0}));
  EXPECT_EQ(SplitTime(52205), (Clock{14, 30, 5}));
}

// The expected day is computed from the C library's local date and the <chrono> calendar,
// before and after the call, so that a midnight in between does not fail the test.
int32_t LocalDayFromCalendar() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  const chr::sys_days day{chr::year{local.tm_year + 1900} / chr::month{static_cast<unsigned>(local.tm_mon + 1)} /
                          chr::day{static_cast<unsigned>(local.tm_mday)}};
  return static_cast<int32_t>((day - kDayZero).count());
}

TEST(Today, IsTheDayNumberOfTheLocalDate) {
  const int32_t before = LocalDayFromCalendar();
  const int32_t today = Today();
  const int32_t after = LocalDayFromCalendar();
  EXPECT_THAT(today, ::testing::AnyOf(before, after));
  EXPECT_GT(today, DayNumberOf(1, 1, 2020));
}

// Expectations come from printf: a number's decimal digits, read as hex, are its BCD byte.
TEST(Bcd, NumbersAndTheirPackedBytes) {
  for (unsigned value = 0; value <= 99; ++value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02u", value);
    const auto packed = static_cast<uint8_t>(std::strtoul(text, nullptr, 16));
    EXPECT_EQ(NumberToBcd(static_cast<uint8_t>(value)), packed) << value;
    EXPECT_EQ(BcdToNumber(packed), value) << text;
    EXPECT_EQ(BcdPack(static_cast<uint8_t>(value / 10), static_cast<uint8_t>(value % 10)), packed);
  }
  for (unsigned value = 100; value <= 255; ++value) EXPECT_EQ(NumberToBcd(static_cast<uint8_t>(value)), 255) << value;
}

TEST(Bcd, BytesWithANibbleAboveNineAreNotNumbers) {
  for (unsigned byte = 0; byte <= 255; ++byte) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", byte);
    const bool has_letter = text[0] > '9' || text[1] > '9';
    EXPECT_EQ(BcdToNumber(static_cast<uint8_t>(byte)) == 255, has_letter) << text;
  }
  EXPECT_EQ(BcdToNumber(0x59), 59);
  EXPECT_EQ(BcdToNumber(0x5A), 255);
  EXPECT_EQ(BcdToNumber(0xA0), 255);
  EXPECT_EQ(NumberToBcd(7), 0x07);
  EXPECT_EQ(NumberToBcd(99), 0x99);
  EXPECT_EQ(NumberToBcd(100), 255);
}

TEST(Bcd, Nibbles) {
  EXPECT_EQ(BcdLowDigit(0x3A), 0x0A);
  EXPECT_EQ(BcdHighDigit(0x3A), 0x03);
  EXPECT_EQ(BcdHighDigit(0xF1), 0x0F);
  // The tens are masked to a nibble, the units are not.
  EXPECT_EQ(BcdPack(0x12, 3), 0x23);
  EXPECT_EQ(BcdPack(1, 0x1F), 0x1F);
}

std::string Text(const uint8_t *short_string) {
  return std::string(reinterpret_cast<const char *>(short_string + 1), short_string[0]);
}

TEST(ShortStrings, NumbersInDecimal) {
  for (int32_t value : {0, 5, -5, 10, -1, 1234567890, INT32_MAX, INT32_MIN}) {
    NumberText text;
    std::memset(text, 0xEE, sizeof text);
    NumberToShortString(value, text);
    EXPECT_EQ(Text(text), std::to_string(value));
  }
  NumberText text;
  NumberToShortString(INT32_MIN, text);
  EXPECT_EQ(text[0], 11);
  NumberToShortString(-5, text);
  EXPECT_EQ(Text(text), "-5");
}

TEST(ShortStrings, AppendingCutsAtTheCapacity) {
  uint8_t message[9] = {0};
  AppendText(message, 8, "Page ");
  NumberText number;
  NumberToShortString(-1234, number);
  AppendShortString(message, 8, number);
  EXPECT_EQ(Text(message), "Page -12");
  AppendText(message, 8, "x");
  EXPECT_EQ(Text(message), "Page -12");

  uint8_t long_message[256] = {0};
  for (int i = 0; i < 30; ++i) AppendText(long_message, 255, "0123456789");
  EXPECT_EQ(long_message[0], 255);
}

}  // namespace
}  // namespace mviahlp

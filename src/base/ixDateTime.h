#pragma once
// Date-time values: days since 1899-12-30 00:00 local time, the fraction being the time of day.
// Negative values count days before that date with the fraction still giving the time forward
// from midnight (so -1.25 is 1899-12-29 06:00). Zone conversions use the C library.

#include <cstdint>
#include <ctime>

namespace ix {

using TixDateTime = double;

constexpr double MSecsPerDay = 86400000.0;
constexpr double SecsPerDay = 86400.0;
// Days from 1899-12-30 to 1970-01-01.
constexpr double UnixDateDelta = 25569.0;

struct TixDateParts {
    int year = 0, month = 0, day = 0;
    int hour = 0, minute = 0, second = 0, millisecond = 0;
    int dayOfWeek = 0;  // 1 = Sunday .. 7 = Saturday
};

bool IsValidDate(int year, int month, int day);
bool IsLeapYear(int year);
int DaysInMonth(int year, int month);
// EncodeDate/EncodeTime raise EixError on an invalid date or time.
TixDateTime EncodeDate(int year, int month, int day);
TixDateTime EncodeTime(int hour, int minute, int second, int millisecond);
TixDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                           int millisecond = 0);
// Splits a value into its calendar fields; the time is rounded to the nearest millisecond.
TixDateParts DecodeDateTime(TixDateTime value);
int DayOfWeek(TixDateTime value);  // 1 = Sunday

// Interprets the value as UTC broken-down time.
std::int64_t DateTimeToUnix(TixDateTime value);
TixDateTime UnixToDateTime(std::int64_t seconds);

// Now in local time.
TixDateTime Now();
// Local <-> UTC through the C library's zone rules (localtime_r/mktime, TZ honoured).
TixDateTime LocalToUtc(TixDateTime local);
TixDateTime UtcToLocal(TixDateTime utc);
// Offset of local time from UTC at the given local time, in seconds east of UTC.
long LocalUtcOffsetSeconds(TixDateTime local);

}  // namespace ix

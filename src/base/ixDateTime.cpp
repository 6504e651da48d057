#include "base/ixDateTime.h"

#include <chrono>
#include <cmath>
#include <string>

#include "base/ixError.h"

namespace ix {

namespace {

std::int64_t DaysFromCivil(int y, int m, int d) {
    // Howard Hinnant's algorithm: days since 1970-01-01.
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy =
        (153 * static_cast<unsigned>(m + (m > 2 ? -3 : 9)) + 2) / 5 + static_cast<unsigned>(d) - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0));
}

constexpr std::int64_t UnixEpochDay = 25569;  // 1970-01-01 as a day number

// Value -> (whole day number, milliseconds into the day), honouring the negative-value rule.
void Split(TixDateTime value, std::int64_t& day, std::int64_t& msec) {
    double whole = std::trunc(value);
    double frac = std::fabs(value - whole);
    msec = std::llround(frac * MSecsPerDay);
    day = static_cast<std::int64_t>(whole);
    if (msec >= static_cast<std::int64_t>(MSecsPerDay)) {
        msec -= static_cast<std::int64_t>(MSecsPerDay);
        day += value < 0 ? -1 : 1;
    }
}

TixDateTime Combine(std::int64_t day, std::int64_t msec) {
    const double frac = static_cast<double>(msec) / MSecsPerDay;
    return day < 0 ? static_cast<double>(day) - frac : static_cast<double>(day) + frac;
}

// Seconds since the Unix epoch of a value read as broken-down time without a zone.
std::int64_t ToEpochSeconds(TixDateTime value, std::int64_t* msecOut = nullptr) {
    std::int64_t day, msec;
    Split(value, day, msec);
    if (msecOut) *msecOut = msec % 1000;
    return (day - UnixEpochDay) * 86400 + msec / 1000;
}

TixDateTime FromEpochSeconds(std::int64_t seconds, std::int64_t msec) {
    std::int64_t day = seconds / 86400;
    std::int64_t rem = seconds % 86400;
    if (rem < 0) {
        rem += 86400;
        --day;
    }
    return Combine(day + UnixEpochDay, rem * 1000 + msec);
}

}  // namespace

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

bool IsValidDate(int year, int month, int day) {
    return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
           day <= DaysInMonth(year, month);
}

TixDateTime EncodeDate(int year, int month, int day) {
    if (!IsValidDate(year, month, day)) throw EixError("Invalid argument to date encode");
    return static_cast<double>(DaysFromCivil(year, month, day) + UnixEpochDay);
}

TixDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || millisecond < 0 ||
        millisecond > 999)
        throw EixError("Invalid argument to time encode");
    return (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond) / MSecsPerDay;
}

TixDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int millisecond) {
    const std::int64_t d = DaysFromCivil(year, month, day) + UnixEpochDay;
    EncodeDate(year, month, day);  // validates
    const double t = EncodeTime(hour, minute, second, millisecond);
    return d < 0 ? static_cast<double>(d) - t : static_cast<double>(d) + t;
}

TixDateParts DecodeDateTime(TixDateTime value) {
    std::int64_t day, msec;
    Split(value, day, msec);
    TixDateParts p;
    CivilFromDays(day - UnixEpochDay, p.year, p.month, p.day);
    p.hour = static_cast<int>(msec / 3600000);
    p.minute = static_cast<int>(msec / 60000 % 60);
    p.second = static_cast<int>(msec / 1000 % 60);
    p.millisecond = static_cast<int>(msec % 1000);
    // 1899-12-30 was a Saturday.
    p.dayOfWeek = static_cast<int>(((day % 7) + 7 + 6) % 7) + 1;
    return p;
}

int DayOfWeek(TixDateTime value) {
    return DecodeDateTime(value).dayOfWeek;
}

std::int64_t DateTimeToUnix(TixDateTime value) {
    return ToEpochSeconds(value);
}

TixDateTime UnixToDateTime(std::int64_t seconds) {
    return FromEpochSeconds(seconds, 0);
}

TixDateTime Now() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count();
    return UtcToLocal(FromEpochSeconds(ms / 1000, ms % 1000));
}

long LocalUtcOffsetSeconds(TixDateTime local) {
    const TixDateParts p = DecodeDateTime(local);
    std::tm tm{};
    tm.tm_year = p.year - 1900;
    tm.tm_mon = p.month - 1;
    tm.tm_mday = p.day;
    tm.tm_hour = p.hour;
    tm.tm_min = p.minute;
    tm.tm_sec = p.second;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return 0;
    std::tm back{};
    localtime_r(&t, &back);
    return back.tm_gmtoff;
}

TixDateTime LocalToUtc(TixDateTime local) {
    std::int64_t msec;
    const std::int64_t secs = ToEpochSeconds(local, &msec);
    return FromEpochSeconds(secs - LocalUtcOffsetSeconds(local), msec);
}

TixDateTime UtcToLocal(TixDateTime utc) {
    std::int64_t msec;
    const std::int64_t secs = ToEpochSeconds(utc, &msec);
    const auto t = static_cast<std::time_t>(secs);
    std::tm tm{};
    if (localtime_r(&t, &tm) == nullptr) return utc;
    return FromEpochSeconds(secs + tm.tm_gmtoff, msec);
}

}  // namespace ix

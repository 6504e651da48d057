#include "text/ixUtils.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace ix {

const char* const MailDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const MailMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

namespace {

bool IsSpaceOrControl(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsSpaceOrControl(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsSpaceOrControl(text.back()))
        text.remove_suffix(1);
    return text;
}

char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameAsciiChar(char a, char b) {
    return AsciiUpper(a) == AsciiUpper(b);
}

// A whole decimal number with an optional sign, as an int; false for anything else.
bool ParseInt(std::string_view text, int& value) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

int IntOrZero(std::string_view text) {
    int value = 0;
    return ParseInt(text, value) ? value : 0;
}

int IntOrRaise(std::string_view text) {
    int value = 0;
    if (!ParseInt(text, value))
        throw EixConvertError("'" + std::string(text) + "' is not a valid integer value");
    return value;
}

// Takes the part before the next space (or the rest) off the front, trimming around it.
std::string_view TakePart(std::string_view& text) {
    text = Trim(text);
    const std::size_t space = text.find(' ');
    const std::string_view part = text.substr(0, space);
    text = space == std::string_view::npos ? std::string_view() : Trim(text.substr(space + 1));
    return part;
}

struct TimeOfDay {
    int hour = 0, minute = 0, second = 0;
};

TimeOfDay ReadTimeOfDay(std::string_view time) {
    std::string text(time);
    std::transform(text.begin(), text.end(), text.begin(), AsciiUpper);
    bool pm = false;
    bool am = false;
    if (const auto at = text.find("PM"); at != std::string::npos) {
        pm = true;
        text.erase(at);
    } else if (const auto at2 = text.find("AM"); at2 != std::string::npos) {
        am = true;
        text.erase(at2);
    }
    const std::string trimmed(Trim(text));
    TimeOfDay t;
    t.hour = IntOrZero(ExtractWord(1, trimmed, ":"));
    t.minute = IntOrZero(ExtractWord(2, trimmed, ":"));
    t.second = IntOrZero(ExtractWord(3, trimmed, ":"));
    if (pm && t.hour < 12) t.hour += 12;
    if (am && t.hour == 12) t.hour = 0;
    if (t.hour < 0 || t.hour > 23 || t.minute < 0 || t.minute > 59 || t.second < 0 || t.second > 59)
        throw EixConvertError("'" + std::string(time) + "' is not a valid time");
    return t;
}

// Zone offset in seconds east of UTC for [+-]hhmm text; 0 for anything else.
long ZoneOffsetSeconds(std::string_view bias) {
    if (bias.size() <= 4 || (bias[0] != '+' && bias[0] != '-')) return 0;
    auto digits = [&](std::size_t at) {
        const std::string_view two = bias.substr(at, 2);
        const bool numeric = two.size() == 2 && std::isdigit(static_cast<unsigned char>(two[0])) &&
                             std::isdigit(static_cast<unsigned char>(two[1]));
        return numeric ? (two[0] - '0') * 10 + (two[1] - '0') : 0;
    };
    const int hours = digits(1);
    const int minutes = digits(3);
    if (hours > 23 || minutes > 59) return 0;
    const long seconds = (hours * 60L + minutes) * 60L;
    return bias[0] == '-' ? -seconds : seconds;
}

// The zone of a mail date: a numeric offset, or one of the names RFC 5322 section 4.3 still
// defines (UT, GMT and the North American zones); anything else counts as UTC.
long MailZoneOffsetSeconds(std::string_view zone) {
    if (!zone.empty() && (zone[0] == '+' || zone[0] == '-')) return ZoneOffsetSeconds(zone);
    static const std::pair<const char*, int> names[] = {{"EST", -5}, {"EDT", -4}, {"CST", -6}, {"CDT", -5},
                                                        {"MST", -7}, {"MDT", -6}, {"PST", -8}, {"PDT", -7}};
    for (const auto& [name, hours] : names)
        if (SameText(zone, name)) return hours * 3600L;
    return 0;
}

std::string FormatBias(long secondsEast) {
    const long minutesWest = -secondsEast / 60;
    const long b = std::labs(minutesWest);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%s%.2ld%.2ld", minutesWest < 1 ? "+" : "-", b / 60, b % 60);
    return buffer;
}

bool IsIn(char c, std::string_view set) {
    return set.find(c) != std::string_view::npos;
}

bool IsSkippedControl(char c) {
    const auto b = static_cast<unsigned char>(c);
    return (b >= 1 && b <= 8) || (b >= 10 && b <= 31);
}

// Seconds since the Unix epoch that the date-time values can hold (years 1 to 9999).
constexpr std::int64_t cFirstUnixSecond = -62135596800;
constexpr std::int64_t cLastUnixSecond = 253402300799;

}  // namespace

// --- Date and time ---

std::string DateTimeToMailTime(TixDateTime localDateTime) {
    const TixDateParts p = DecodeDateTime(localDateTime);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s, %d %s %d %.2d:%.2d:%.2d %s",
                  MailDayNames[(p.dayOfWeek + 6) % 7], p.day, MailMonthNames[std::clamp(p.month, 1, 12) - 1],
                  p.year, p.hour, p.minute, p.second,
                  FormatBias(LocalUtcOffsetSeconds(localDateTime)).c_str());
    return buffer;
}

std::string TimeZoneBiasString() {
    return FormatBias(LocalUtcOffsetSeconds(Now()));
}

TixDateTime TimeZoneBiasToDateTime(std::string_view bias) {
    return ZoneOffsetSeconds(bias) / SecsPerDay;
}

TixDateTime ParseTimeOfDay(std::string_view time) {
    const TimeOfDay t = ReadTimeOfDay(time);
    return EncodeTime(t.hour, t.minute, t.second, 0);
}

TixDateTime MailTimeToDateTime(std::string_view dateTime, TixDateTime& timeZoneBias) {
    timeZoneBias = 0;
    std::string_view text = Trim(dateTime);
    // The day name and its comma; what follows may be a space or the day itself.
    if (const auto comma = text.find(','); comma != std::string_view::npos) text.remove_prefix(comma + 1);

    const std::string_view dayText = TakePart(text);
    const int day = dayText.empty() ? 0 : IntOrRaise(dayText);

    int month = 0;
    std::string_view rest = text;
    const std::string_view monthText = TakePart(rest);
    for (int i = 0; i < 12; ++i)
        if (SameText(monthText, MailMonthNames[i])) {
            month = i + 1;
            text = rest;
            break;
        }
    if (month == 0) {
        // The word stays and is read as the year, which then fails unless it is a number.
        month = DecodeDateTime(Now()).month;
    }

    const std::string_view yearText = TakePart(text);
    int year = yearText.empty() ? 0 : IntOrRaise(yearText);
    // Two- and three-digit years as RFC 5322 reads them.
    if (yearText.empty())
        year = 0;
    else if (year >= 0 && year < 50 && yearText.size() <= 2)
        year += 2000;
    else if (year >= 0 && year < 1000)
        year += 1900;

    // The time may end the text (no zone); a part without ":" is the zone itself.
    TimeOfDay time;
    std::string_view afterTime = text;
    std::string_view timeText = TakePart(afterTime);
    std::string_view zoneText;
    if (timeText.find(':') != std::string_view::npos) {
        // A numeric zone may follow the time without a space ("10:01:30+0100").
        if (const auto sign = timeText.find_first_of("+-"); sign != std::string_view::npos) {
            zoneText = timeText.substr(sign);
            timeText = timeText.substr(0, sign);
        }
        time = ReadTimeOfDay(timeText);
        text = afterTime;
    }

    if (year == 0 || month == 0 || day == 0) return 0;
    if (!IsValidDate(year, month, day))
        throw EixConvertError("'" + std::string(dateTime) + "' is not a valid date");

    const long offset = MailZoneOffsetSeconds(zoneText.empty() ? TakePart(text) : zoneText);
    timeZoneBias = offset / SecsPerDay;
    const std::int64_t utcSeconds =
        DateTimeToUnix(EncodeDateTime(year, month, day, time.hour, time.minute, time.second)) - offset;
    return GlobalTimeToLocalTime(UnixToDateTime(utcSeconds));
}

TixDateTime MailTimeToDateTime(std::string_view dateTime) {
    TixDateTime bias = 0;
    return MailTimeToDateTime(dateTime, bias);
}

TixDateTime GlobalTimeToLocalTime(TixDateTime utc) {
    return UtcToLocal(utc);
}

TixDateTime LocalTimeToGlobalTime(TixDateTime local) {
    return LocalToUtc(local);
}

TixDateTime FileTimeToLocalDateTime(std::int64_t fileTime) {
    constexpr std::int64_t cTicksPerSecond = 10000000;
    constexpr std::int64_t cSecondsFrom1601To1970 = 11644473600;
    if (fileTime < 0) return 0;
    const std::int64_t seconds = fileTime / cTicksPerSecond - cSecondsFrom1601To1970;
    if (seconds < cFirstUnixSecond || seconds > cLastUnixSecond) return 0;
    const double fraction = static_cast<double>(fileTime % cTicksPerSecond) / cTicksPerSecond;
    return UtcToLocal(UnixDateDelta + (static_cast<double>(seconds) + fraction) / SecsPerDay);
}

TixDateTime UnixTimeToLocalDateTime(std::int64_t unixSeconds) {
    if (unixSeconds < cFirstUnixSecond || unixSeconds > cLastUnixSecond) return 0;
    return UtcToLocal(UnixToDateTime(unixSeconds));
}

// --- Text ---

int TextPos(std::string_view subStr, std::string_view str, int startPos) {
    if (startPos < 1 || subStr.empty() || static_cast<std::size_t>(startPos) > str.size()) return 0;
    const std::size_t at = str.find(subStr, static_cast<std::size_t>(startPos - 1));
    return at == std::string_view::npos ? 0 : static_cast<int>(at + 1);
}

int RTextPos(std::string_view subStr, std::string_view str, int startPos) {
    if (subStr.empty() || subStr.size() > str.size()) return 0;
    std::size_t last = str.size() - subStr.size();
    if (startPos >= 0) {
        if (startPos < 1) return 0;
        last = std::min(last, static_cast<std::size_t>(startPos - 1));
    }
    for (std::size_t i = last + 1; i-- > 0;)
        if (std::equal(subStr.begin(), subStr.end(), str.begin() + static_cast<std::ptrdiff_t>(i),
                       SameAsciiChar))
            return static_cast<int>(i + 1);
    return 0;
}

std::string TrimRightChars(std::string_view str, std::string_view chars) {
    const std::size_t end = str.find_last_not_of(chars);
    return std::string(end == std::string_view::npos ? std::string_view() : str.substr(0, end + 1));
}

void SplitText(std::string_view text, TixStringList& list, std::string_view delimiters) {
    const TixListUpdate update(list);
    list.Clear();
    const std::size_t n = text.size();
    std::size_t i = 0;
    auto skipControls = [&] {
        while (i < n && IsSkippedControl(text[i]))
            ++i;
    };
    skipControls();
    while (i < n) {
        const std::size_t start = i;
        while (i < n && !IsIn(text[i], delimiters) && !IsSkippedControl(text[i]))
            ++i;
        list.Add(std::string(text.substr(start, i - start)));
        skipControls();
        if (i < n && IsIn(text[i], delimiters)) {
            ++i;
            skipControls();
            if (i >= n) list.Add(std::string());
        }
    }
}

void SplitText(std::string_view text, TixStringList& list, char delimiter) {
    SplitText(text, list, std::string_view(&delimiter, 1));
}

void SplitQuotedText(std::string_view text, TixStringList& list, std::string_view delimiters,
                     std::string_view openQuotes, std::string_view closeQuotes, bool keepQuotes) {
    const TixListUpdate update(list);
    list.Clear();
    std::string piece;
    bool quoted = false;
    bool sectionSeen = false;
    bool escaped = false;
    char open = 0;
    char close = 0;
    int depth = 0;
    for (const char c : text) {
        if (!quoted) {
            if (const std::size_t q = openQuotes.find(c); q != std::string_view::npos) {
                quoted = true;
                open = c;
                close = q < closeQuotes.size() ? closeQuotes[q] : c;
                depth = 1;
                if (sectionSeen && !piece.empty()) {
                    list.Add(std::move(piece));
                    piece.clear();
                }
                if (keepQuotes) piece += c;
                sectionSeen = true;
            } else if (IsIn(c, delimiters)) {
                if (sectionSeen || !piece.empty()) list.Add(std::move(piece));
                piece.clear();
                sectionSeen = false;
            } else {
                piece += c;
            }
            continue;
        }
        // A backslash inside quotes or comments takes the next character literally, so that
        // "a \" b" or (a \) b) stays one section.
        if (escaped) {
            escaped = false;
            piece += c;
            continue;
        }
        if (c == '\\') {
            escaped = true;
            piece += c;
            continue;
        }
        if (open != close && c == open)
            ++depth;
        else if (c == close)
            --depth;
        if (depth > 0) {
            piece += c;
        } else {
            quoted = false;
            if (keepQuotes) piece += c;
        }
    }
    if (!piece.empty() || sectionSeen) list.Add(std::move(piece));
}

void SplitQuotedText(std::string_view text, TixStringList& list, char delimiter, std::string_view openQuotes,
                     std::string_view closeQuotes, bool keepQuotes) {
    SplitQuotedText(text, list, std::string_view(&delimiter, 1), openQuotes, closeQuotes, keepQuotes);
}

int WordCount(std::string_view text, std::string_view delimiters) {
    int count = 0;
    bool inWord = false;
    for (const char c : text) {
        const bool delimiter = IsIn(c, delimiters);
        if (!delimiter && !inWord) ++count;
        inWord = !delimiter;
    }
    return count;
}

std::string ExtractWord(int n, std::string_view text, std::string_view delimiters) {
    if (n < 1) return {};
    std::size_t i = 0;
    const std::size_t size = text.size();
    for (int word = 1;; ++word) {
        while (i < size && IsIn(text[i], delimiters))
            ++i;
        if (i >= size) return {};
        const std::size_t start = i;
        while (i < size && !IsIn(text[i], delimiters))
            ++i;
        if (word == n) return std::string(text.substr(start, i - start));
    }
}

std::string ExtractQuotedString(std::string_view text, char openChar, char closeChar) {
    if (text.size() >= 2 && text.front() == openChar && text.back() == closeChar)
        return std::string(text.substr(1, text.size() - 2));
    return std::string(text);
}

std::string GetQuotedString(std::string_view text) {
    if (!text.empty() && (text.front() == '"' || text.back() == '"')) return std::string(text);
    return '"' + std::string(text) + '"';
}

std::string ExtractNumeric(std::string_view text, int startPos) {
    if (startPos < 1 || static_cast<std::size_t>(startPos) > text.size()) return {};
    const std::size_t start = static_cast<std::size_t>(startPos - 1);
    std::size_t end = start;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9')
        ++end;
    return std::string(text.substr(start, end - start));
}

// --- Platform ---

std::string GetSystemErrorText(int errorCode) {
    char buffer[256];
    // GNU strerror_r may return a static text instead of filling the buffer.
    const char* text = strerror_r(errorCode, buffer, sizeof buffer);
    if (text == nullptr || std::strncmp(text, "Unknown error", 13) == 0) return {};
    std::string_view result = Trim(text);
    return std::string(result.substr(0, 255));
}

}  // namespace ix

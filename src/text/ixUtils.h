#pragma once
// Mail date-time text (RFC 822 style) in the local time zone, local/UTC conversion, and the small
// text functions the protocol and message code share (search, splitting, words, quoting, digit
// runs). Positions count from 1 and are byte positions; 0 means not found. Everything here is
// reentrant; only MailTimeToDateTime and ParseTimeOfDay raise (EixConvertError).

#include <cstdint>
#include <string>
#include <string_view>

#include "base/ixDateTime.h"
#include "base/ixError.h"
#include "base/ixStringList.h"

namespace ix {

// Raised when text that must be a number or a time of day is not one.
class EixConvertError : public EixError {
public:
    using EixError::EixError;
};

// Index 0 is Sunday / January.
extern const char* const MailDayNames[7];
extern const char* const MailMonthNames[12];

// --- Date and time ---

// "Sat, 5 Dec 2026 10:22:38 +0100": the value is local time; the zone is the one in force then.
std::string DateTimeToMailTime(TixDateTime localDateTime);
// The current local zone offset as "+hhmm" / "-hhmm" (east of UTC positive).
std::string TimeZoneBiasString();
// "+0530" -> 5.5 hours as a day fraction; anything that is not [+-]hhmm gives 0.
TixDateTime TimeZoneBiasToDateTime(std::string_view bias);
// Reads a mail date text into local time. The zone offset found in the text is returned through
// timeZoneBias. Raises EixConvertError on a non-numeric day or year, an unknown month name or an
// invalid time; an incomplete date (no day, month or year) gives 0.
TixDateTime MailTimeToDateTime(std::string_view dateTime, TixDateTime& timeZoneBias);
TixDateTime MailTimeToDateTime(std::string_view dateTime);
// "1:05PM" -> 13:05 as a day fraction; raises EixConvertError on an invalid time.
TixDateTime ParseTimeOfDay(std::string_view time);
TixDateTime GlobalTimeToLocalTime(TixDateTime utc);
TixDateTime LocalTimeToGlobalTime(TixDateTime local);
// A 64-bit UTC file time in 100-nanosecond ticks since 1601-01-01 to local time; 0 when out of range.
TixDateTime FileTimeToLocalDateTime(std::int64_t fileTime);
// Seconds since the Unix epoch (UTC) to local time; 0 when out of range.
TixDateTime UnixTimeToLocalDateTime(std::int64_t unixSeconds);

// --- Text ---

// First occurrence of subStr at or after startPos, case-sensitive.
int TextPos(std::string_view subStr, std::string_view str, int startPos = 1);
// Last occurrence beginning at or before startPos (-1 = the end), ignoring ASCII case.
int RTextPos(std::string_view subStr, std::string_view str, int startPos = -1);
// The text without its trailing characters that are in chars.
std::string TrimRightChars(std::string_view str, std::string_view chars);
// Clears list and fills it with the pieces of text between delimiters; control characters other
// than TAB around the pieces are dropped. "a,,b" -> a, "", b; "a," -> a, ""; "" -> nothing.
void SplitText(std::string_view text, TixStringList& list, std::string_view delimiters);
void SplitText(std::string_view text, TixStringList& list, char delimiter);
// Splits at delimiters outside quoted sections; openQuotes[i] is closed by closeQuotes[i]; unequal
// pairs nest. With keepQuotes the quote characters stay in the pieces.
void SplitQuotedText(std::string_view text, TixStringList& list, std::string_view delimiters,
                     std::string_view openQuotes, std::string_view closeQuotes, bool keepQuotes);
void SplitQuotedText(std::string_view text, TixStringList& list, char delimiter, std::string_view openQuotes,
                     std::string_view closeQuotes, bool keepQuotes);
// Number of maximal runs of characters outside delimiters.
int WordCount(std::string_view text, std::string_view delimiters);
// The n-th (from 1) such run; empty when there are fewer.
std::string ExtractWord(int n, std::string_view text, std::string_view delimiters);
// Drops a surrounding pair of openChar ... closeChar; else the text unchanged.
std::string ExtractQuotedString(std::string_view text, char openChar = '"', char closeChar = '"');
// Wraps the text in double quotes unless it is non-empty and already starts or ends with one.
std::string GetQuotedString(std::string_view text);
// The run of decimal digits beginning at startPos (from 1); empty when there is none.
std::string ExtractNumeric(std::string_view text, int startPos);

// --- Platform ---

// The platform's text for an error number, at most 255 characters, trimmed; empty when unknown.
std::string GetSystemErrorText(int errorCode);

}  // namespace ix

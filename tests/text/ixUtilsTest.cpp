#include "text/ixUtils.h"

#include <gtest/gtest.h>

#include "ixTestSupport.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

using namespace ix;

namespace {

using test::Lines;
using test::ZoneGuard;

constexpr const char* cCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr const char* cEasternUs = "EST5EDT,M3.2.0,M11.1.0";
constexpr double cSecond = 1.0 / 86400.0;

std::vector<std::string> Split(std::string_view text, std::string_view delimiters) {
    TixStringList list{"stale"};
    SplitText(text, list, delimiters);
    return Lines(list);
}

std::vector<std::string> SplitAddresses(std::string_view text, bool keepQuotes = true) {
    TixStringList list{"stale"};
    SplitQuotedText(text, list, ',', "\"(", "\")", keepQuotes);
    return Lines(list);
}

using Strings = std::vector<std::string>;

}  // namespace

TEST(MailTimeTest, WritesLocalTimeWithTheOffsetInForceThenAndConvertsPlatformTimes) {
    const ZoneGuard zone(cCentralEurope);
    EXPECT_EQ(DateTimeToMailTime(EncodeDateTime(2026, 12, 5, 10, 22, 38)), "Sat, 5 Dec 2026 10:22:38 +0100");
    EXPECT_EQ(DateTimeToMailTime(EncodeDateTime(2026, 7, 14, 8, 5, 9)), "Tue, 14 Jul 2026 08:05:09 +0200");
    // What is written reads back, also around the daylight saving changes.
    for (const TixDateTime t :
         {EncodeDateTime(2026, 3, 29, 1, 59, 59), EncodeDateTime(2026, 3, 29, 3, 0, 0),
          EncodeDateTime(2026, 10, 25, 4, 0, 1), EncodeDateTime(1999, 12, 31, 23, 59, 59),
          EncodeDateTime(2038, 1, 19, 4, 14, 8)}) {
        const std::string text = DateTimeToMailTime(t);
        EXPECT_NEAR(MailTimeToDateTime(text), t, cSecond / 10) << text;
    }
    // Platform times in the same zone.
    const TixDateTime utc = EncodeDateTime(2026, 7, 1, 12, 0, 0);
    EXPECT_NEAR(GlobalTimeToLocalTime(utc), EncodeDateTime(2026, 7, 1, 14, 0, 0), cSecond / 10);
    EXPECT_NEAR(LocalTimeToGlobalTime(EncodeDateTime(2026, 7, 1, 14, 0, 0)), utc, cSecond / 10);
    // 1970-01-01 00:00:00.5 UTC as a file time.
    EXPECT_NEAR(FileTimeToLocalDateTime(116444736005000000),
                EncodeDateTime(1970, 1, 1, 1, 0, 0) + cSecond / 2, cSecond / 100);
    EXPECT_EQ(FileTimeToLocalDateTime(-1), 0);
    EXPECT_EQ(FileTimeToLocalDateTime(INT64_MAX), 0);
    EXPECT_NEAR(UnixTimeToLocalDateTime(0), EncodeDateTime(1970, 1, 1, 1, 0, 0), cSecond / 10);
    EXPECT_EQ(UnixTimeToLocalDateTime(INT64_MIN), 0);
    const ZoneGuard us(cEasternUs);
    EXPECT_EQ(DateTimeToMailTime(EncodeDateTime(2026, 1, 1, 0, 0, 0)), "Thu, 1 Jan 2026 00:00:00 -0500");
}

TEST(MailTimeTest, ReadsDatesIntoLocalTime) {
    const ZoneGuard zone("UTC0");
    // Each names 15:22:38 UTC; the bias is the zone the text gives.
    const std::pair<const char*, double> cases[] = {
        {"05 Dec 2026 10:22:38 -0500", -5},
        // No space after the comma, letter case of the month, extra blanks and a trailing comment.
        {"  Sat,05  dec 2026   10:22:38 -0500 (EST)  ", -5},
        // The zone names RFC 5322 still defines are offsets; other names count as UTC. (GMT, EST
        // with a two-digit year and a zone right after the time are the mail corpus's, which
        // Python reads too.)
        {"5 Dec 2026 08:22:38 pdt", -7},
        {"5 Dec 2026 15:22:38 CET", 0},
    };
    for (const auto& [text, biasHours] : cases) {
        SCOPED_TRACE(text);
        TixDateTime bias = 1;
        EXPECT_NEAR(MailTimeToDateTime(text, bias), EncodeDateTime(2026, 12, 5, 15, 22, 38), cSecond / 10);
        EXPECT_NEAR(bias, biasHours / 24, 1e-12);
    }
    // Two-digit years, and dates without time or zone.
    const std::pair<const char*, int> years[] = {{"1 Jan 99 00:00:00 +0000", 1999},
                                                 {"1 Jan 49 00:00:00 +0000", 2049},
                                                 {"1 Jan 50 00:00:00 +0000", 1950},
                                                 {"1 Jan 126 00:00:00 +0000", 2026}};
    for (const auto& [text, year] : years)
        EXPECT_EQ(DecodeDateTime(MailTimeToDateTime(text)).year, year) << text;
    // A time that ends the text is still read; no zone means UTC.
    EXPECT_NEAR(MailTimeToDateTime("Sat, 5 Dec 2026 10:22:38"), EncodeDateTime(2026, 12, 5, 10, 22, 38),
                cSecond / 10);
    EXPECT_NEAR(MailTimeToDateTime("5 Dec 2026 +0100"), EncodeDateTime(2026, 12, 4, 23, 0, 0), cSecond / 10);
    // Incomplete dates give 0.
    EXPECT_EQ(MailTimeToDateTime(""), 0);
    EXPECT_EQ(MailTimeToDateTime("Sat, 5 Dec"), 0);
    const ZoneGuard cet(cCentralEurope);
    EXPECT_NEAR(MailTimeToDateTime("Sat, 05 Dec 2026 10:22:38 -0500"),
                EncodeDateTime(2026, 12, 5, 16, 22, 38), cSecond / 10);
}

// Dates with a bad day, month, year, hour or minute, 31 February and a day past the integers are
// seeds of the text utilities' fuzz target, which lets only EixConvertError escape the reader.

TEST(MailTimeTest, ParsesTimesOfDayAndZoneOffsets) {
    // Minutes after midnight.
    const std::pair<const char*, int> times[] = {
        {"12:30:00AM", 30}, {"12:30:00PM", 750}, {"1:05PM", 785}, {" 7 pm ", 1140}, {"23:59", 1439}};
    for (const auto& [text, minutes] : times)
        EXPECT_EQ(std::lround(ParseTimeOfDay(text) * 24 * 60), minutes) << text;
    EXPECT_THROW(ParseTimeOfDay("24:00"), EixConvertError);
    EXPECT_THROW(ParseTimeOfDay("10:-1"), EixConvertError);
    // Anything but [+-]hhmm is no offset; minutes that are not digits count as 0.
    const std::pair<const char*, double> zones[] = {{"+0530", 5.5}, {"-0130", -1.5}, {"GMT", 0},
                                                    {"-05", 0},     {"+2460", 0},    {"+05xx", 5}};
    for (const auto& [text, hours] : zones)
        EXPECT_DOUBLE_EQ(TimeZoneBiasToDateTime(text), hours / 24) << text;
}

TEST(TextUtilsTest, SearchesAndTrims) {
    EXPECT_EQ(TextPos("b", "abcb"), 2);
    EXPECT_EQ(TextPos("b", "abcb", 3), 4);
    EXPECT_EQ(TextPos("B", "abcb"), 0);
    EXPECT_EQ(TextPos("", "abcb"), 0);
    EXPECT_EQ(TextPos("cbx", "abcb"), 0);
    EXPECT_EQ(TextPos("b", "abcb", 9), 0);
    EXPECT_EQ(RTextPos("AB", "xabyAb"), 5);
    EXPECT_EQ(RTextPos("ab", "xabyAb", 4), 2);
    EXPECT_EQ(RTextPos("ab", "xabyAb", 1), 0);
    EXPECT_EQ(TrimRightChars("abc..;", ".;"), "abc");
    EXPECT_EQ(TrimRightChars("...", "."), "");
}

TEST(TextUtilsTest, SplitsAtDelimitersAndControlCharacters) {
    EXPECT_EQ(Split("a,,b", ","), (Strings{"a", "", "b"}));
    EXPECT_EQ(Split("a,", ","), (Strings{"a", ""}));
    EXPECT_EQ(Split("", ","), Strings{});
    EXPECT_EQ(Split(",", ","), (Strings{"", ""}));
    EXPECT_EQ(Split("a;b,c", ";,"), (Strings{"a", "b", "c"}));
    // TAB and spaces are kept; other control characters end pieces and are dropped.
    EXPECT_EQ(Split("\r\n a\t,\x01x\r\nc", ","), (Strings{" a\t", "x", "c"}));
    // Multi-byte characters pass whole.
    EXPECT_EQ(Split("\xC3\xA9.\xE2\x82\xAC", "."), (Strings{"\xC3\xA9", "\xE2\x82\xAC"}));
}

TEST(TextUtilsTest, SplitsOutsideQuotesAndComments) {
    EXPECT_EQ(SplitAddresses("\"Smith, John\" <j@x>, b@y"), (Strings{"\"Smith, John\" <j@x>", " b@y"}));
    EXPECT_EQ(SplitAddresses("a@x (Ann, (the) boss), b@y"), (Strings{"a@x (Ann, (the) boss)", " b@y"}));
    EXPECT_EQ(SplitAddresses("\"Smith, John\" <j@x>", false), (Strings{"Smith, John <j@x>"}));
    // A quoted pair does not end the section.
    EXPECT_EQ(SplitAddresses("\"a \\\", b\" <a@x>,c@y"), (Strings{"\"a \\\", b\" <a@x>", "c@y"}));
    EXPECT_EQ(SplitAddresses("(a \\) b) c,d"), (Strings{"(a \\) b) c", "d"}));
    // An empty quoted section still gives a piece; empty plain pieces do not.
    EXPECT_EQ(SplitAddresses("\"\",,x,", false), (Strings{"", "x"}));
    // A second section after text starts a new piece.
    EXPECT_EQ(SplitAddresses("\"a\" x\"b\"", true), (Strings{"\"a\" x", "\"b\""}));
    // An unclosed section runs to the end.
    EXPECT_EQ(SplitAddresses("\"abc, d"), (Strings{"\"abc, d"}));
    // Close quotes missing from the table close with the open character.
    TixStringList list;
    SplitQuotedText("[a,b],c", list, ",", "[", "", true);
    EXPECT_EQ(Lines(list), (Strings{"[a,b],c"}));
}

TEST(TextUtilsTest, ExtractsWordsQuotesAndNumbers) {
    EXPECT_EQ(WordCount("::a::b", ":"), 2);
    EXPECT_EQ(WordCount("", ":"), 0);
    EXPECT_EQ(ExtractWord(2, "12:34:56", ":"), "34");
    EXPECT_EQ(ExtractWord(4, "12:34:56", ":"), "");
    EXPECT_EQ(ExtractWord(0, "12:34:56", ":"), "");
    EXPECT_EQ(ExtractWord(1, "::a", ":"), "a");
    EXPECT_EQ(ExtractQuotedString("\"abc\""), "abc");
    EXPECT_EQ(ExtractQuotedString("<abc>", '<', '>'), "abc");
    EXPECT_EQ(ExtractQuotedString("\"abc"), "\"abc");
    EXPECT_EQ(GetQuotedString("\"abc\""), "\"abc\"");
    EXPECT_EQ(GetQuotedString(""), "\"\"");
    EXPECT_EQ(GetQuotedString("a b"), "\"a b\"");
    EXPECT_EQ(ExtractNumeric("ab123c", 3), "123");
    EXPECT_EQ(ExtractNumeric("ab123c", 1), "");
    EXPECT_EQ(ExtractNumeric("ab123", 0), "");
}

TEST(TextUtilsTest, GivesNoTextForUnknownErrors) {
    EXPECT_EQ(GetSystemErrorText(99999), "");
}

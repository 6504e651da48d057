#include "base/ixDateTime.h"

#include <gtest/gtest.h>

#include "base/ixError.h"

using namespace ix;

// The epoch and the leap-year rules (2000 is a leap year, 1900 not) are the mail time writer's day
// names: the day of the week is the day's number counted from the epoch, so any day miscounted since
// 1899 names a later date wrongly.
TEST(DateTime, ImpossibleDatesAndTimesAreRefused) {
    EXPECT_THROW(EncodeDate(2023, 2, 29), EixError);
    EXPECT_THROW(EncodeTime(24, 0, 0, 0), EixError);
}

TEST(DateTime, DecodeRoundsToTheMillisecondAndHandlesNegativeValues) {
    const TixDateTime t = EncodeDateTime(2024, 2, 29, 23, 59, 59, 999);
    const TixDateParts p = DecodeDateTime(t);
    EXPECT_EQ(p.year, 2024);
    EXPECT_EQ(p.day, 29);
    EXPECT_EQ(p.second, 59);
    EXPECT_EQ(p.millisecond, 999);
    // Before the epoch the fraction still runs forward from midnight.
    const TixDateParts n = DecodeDateTime(-1.25);
    EXPECT_EQ(n.year, 1899);
    EXPECT_EQ(n.day, 29);
    EXPECT_EQ(n.hour, 6);
    EXPECT_EQ(EncodeDateTime(1899, 12, 29, 6, 0, 0), -1.25);
}

// The Unix conversions are the mail time parser's way: its cases compare whole times, and its
// 1950 date goes below zero.

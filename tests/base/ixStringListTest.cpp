#include "base/ixStringList.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/ixError.h"

using namespace ix;

TEST(StringList, NameValueAccessIgnoresCaseAndRemovesOnEmpty) {
    TixStringList list;
    list.SetValue("Charset", "utf-8");
    list.SetValue("boundary", "b=1");  // only the first '=' separates
    EXPECT_EQ(list.Values("CHARSET"), "utf-8");
    EXPECT_EQ(list.Values("Boundary"), "b=1");
    EXPECT_EQ(list.Names(1), "boundary");
    list.SetValue("charset", "koi8-r");
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(list[0], "charset=koi8-r");  // written with the name given
    list.SetValue("CHARSET", "");
    EXPECT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Values("missing"), "");
    // Names compare in ASCII only: bytes above 127 (UTF-8) compare exactly.
    EXPECT_FALSE(SameText("\xc3\x84", "\xc3\xa4"));
    EXPECT_EQ(UpperCase("a\xc3\xa4z"), "A\xc3\xa4Z");
}

TEST(StringList, TextRoundTripsAndSplitsEveryLineBreak) {
    TixStringList list;
    list.SetText("a\r\nb\rc\nd");
    ASSERT_EQ(list.Count(), 4);
    EXPECT_EQ(list[3], "d");
    EXPECT_EQ(list.Text(), "a\r\nb\r\nc\r\nd\r\n");
    list.SetText("\r\n\r\n");
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(list[0], "");
}

TEST(StringList, ChangeFiresOncePerUpdateBlockAndNotForNoChange) {
    TixStringList list;
    int changes = 0;
    list.OnChange = [&](TixStringList&) { ++changes; };
    list.Add("x");
    EXPECT_EQ(changes, 1);
    list.BeginUpdate();
    list.BeginUpdate();
    for (int i = 0; i < 100; ++i)
        list.Add("y");
    list.EndUpdate();
    EXPECT_EQ(changes, 1);  // still inside the outer block
    list.EndUpdate();
    EXPECT_EQ(changes, 2);
    list.BeginUpdate();
    list.EndUpdate();
    EXPECT_EQ(changes, 2);  // nothing changed
    // A copy brings the lines, not the source's handler: the target's fires.
    const TixStringList source{"a", "b"};
    list = source;
    EXPECT_EQ(changes, 3);
    EXPECT_TRUE(list == source);
}

TEST(StringList, MillionLinesBuildAndSearchInLinearTime) {
    // Quadratic behaviour (re-copying on every add, rescanning on search) would take minutes here,
    // beyond the test's time-out.
    TixStringList list;
    for (int i = 0; i < 1000000; ++i)
        list.Add("* " + std::to_string(i) + " FETCH (FLAGS (\\Seen))");
    EXPECT_EQ(list.IndexOf("* 999999 fetch (flags (\\seen))"), 999999);
    EXPECT_EQ(list.IndexOf("absent"), -1);
    EXPECT_EQ(list.Text().size(), 31888890u);  // joined once, CRLF after each line
    // Lines taken off the front one at a time move none of the rest.
    for (int i = 0; i < 600000; ++i)
        list.Delete(0);
    ASSERT_EQ(list.Count(), 400000);
    EXPECT_EQ(list.View(0), "* 600000 FETCH (FLAGS (\\Seen))");
    EXPECT_EQ(list.View(399999), "* 999999 FETCH (FLAGS (\\Seen))");
}

TEST(StringList, ReservingALittleMoreEachTimeGrowsGeometrically) {
    // One announced block after another reserves a few lines more each time; exact reservations
    // would copy the whole list every time.
    TixStringList list;
    int growths = 0;
    for (int i = 0; i < 100000; ++i) {
        const std::size_t before = list.Capacity();
        list.Reserve(static_cast<std::size_t>(list.Count()) + 3);
        if (list.Capacity() != before) ++growths;
        list.Add("line");
    }
    EXPECT_LE(growths, 20);
    EXPECT_EQ(list.Count(), 100000);
    list.Reserve(10);  // never shrinks
    EXPECT_GE(list.Capacity(), 100000u);
}

TEST(StringList, LinesKeepTheirTextThroughEveryEdit) {
    // Lines of every length, packed and given whole, read both ways across many blocks.
    TixStringList list;
    std::vector<std::string> expected;
    for (int i = 0; i < 3000; ++i) {
        std::string line(static_cast<std::size_t>(i * 7 % 2500), static_cast<char>('a' + i % 26));
        if (i % 3 == 0)
            list.AddLine(line, i);
        else
            list.AddObject(line, i);
        expected.push_back(std::move(line));
    }
    list.MutableString(5).append("+");
    expected[5] += "+";
    list.SetString(7, std::string(3000, 'z'));
    expected[7] = std::string(3000, 'z');
    list.Insert(2, "inserted");
    expected.insert(expected.begin() + 2, "inserted");
    list.DeleteRange(10, 100);
    expected.erase(expected.begin() + 10, expected.begin() + 110);
    list.DeleteRange(0, 3);
    expected.erase(expected.begin(), expected.begin() + 3);
    list.Insert(0, "front");
    expected.insert(expected.begin(), "front");
    list.Exchange(0, 1);
    std::swap(expected[0], expected[1]);
    EXPECT_THROW(list.DeleteRange(list.Count() - 1, 2), EixError);
    EXPECT_THROW(list.Strings(list.Count()), EixError);
    EXPECT_THROW(list.Insert(-1, "x"), EixError);

    TixStringList copy = list;
    const TixStringList moved = std::move(list);
    for (const TixStringList* each : {static_cast<const TixStringList*>(&copy), &moved}) {
        ASSERT_EQ(each->Count(), static_cast<int>(expected.size()));
        for (int i = 0; i < each->Count(); ++i) {
            ASSERT_EQ(each->View(i), expected[static_cast<std::size_t>(i)]) << i;
            ASSERT_EQ(each->Strings(i), expected[static_cast<std::size_t>(i)]) << i;
        }
    }
    EXPECT_EQ(moved.Objects(3), 4);  // objects travel with their lines
    EXPECT_EQ(list.Count(), 0);
    // An object as wide as a pointer, set and inserted among narrow ones.
    const auto wide = static_cast<TixStringList::TixListObject>(INTPTR_MAX - 5);
    copy.SetObject(4, wide);
    copy.Insert(0, "first", wide - 1);
    copy.Exchange(0, 1);
    copy.Delete(2);
    EXPECT_EQ(copy.Objects(0), moved.Objects(0));
    EXPECT_EQ(copy.Objects(1), wide - 1);
    EXPECT_EQ(copy.Objects(4), wide);
    EXPECT_EQ(copy.Objects(5), moved.Objects(5));
}

// The lines are found 64 bytes at a time: every line length puts a CRLF across a boundary, and
// a stray CR, LF or NUL is put at every seventh place of the text in turn, counted from its end so
// that a CR comes last once (its LF may come with the next read). The lines stored are copies,
// each with the object given, wide or narrow.
TEST(StringList, CrlfLinesAcrossBlocksStopAtTheFirstStrayByte) {
    std::string text;
    for (std::size_t length = 0; length < 140; ++length)
        text += std::string(length, static_cast<char>('a' + length % 26)) + "\r\n";
    text += "tail";
    for (const char stray : {'\r', '\n', '\0'}) {
        const auto object = static_cast<TixStringList::TixListObject>(stray == '\0' ? INTPTR_MAX : 7);
        for (std::size_t back = 1; back <= text.size(); back += 7) {
            std::string damaged = text;
            damaged[text.size() - back] = stray;
            // What a search line by line takes: whole lines before the damaged one.
            std::vector<std::string> expected;
            std::size_t taken = 0;
            for (;;) {
                const std::size_t stop = damaged.find_first_of(std::string_view("\r\n\0", 3), taken);
                if (stop == std::string::npos || damaged.compare(stop, 2, "\r\n") != 0) break;
                expected.push_back(damaged.substr(taken, stop - taken));
                taken = stop + 2;
            }
            TixStringList list{"before"};
            ASSERT_EQ(list.AddCrlfLines(damaged, object), taken) << int(stray) << " back " << back;
            damaged.assign(damaged.size(), '#');
            ASSERT_EQ(list.Count(), static_cast<int>(expected.size()) + 1);
            EXPECT_EQ(list.Objects(0), 0);
            for (std::size_t i = 0; i < expected.size(); ++i) {
                ASSERT_EQ(list.View(static_cast<int>(i) + 1), expected[i]);
                ASSERT_EQ(list.Objects(static_cast<int>(i) + 1), object);
            }
        }
    }
}

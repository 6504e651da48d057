#include "text/ixStringsUtils.h"

#include <gtest/gtest.h>

#include "ixTestSupport.h"

#include <string>
#include <vector>

using namespace ix;
using namespace std::string_literals;

namespace {

using Strings = std::vector<std::string>;

using ix::test::Lines;

}  // namespace

TEST(StringsUtilsTest, AddsLinesAndReportsAnUnfinishedLast) {
    TixStringList list;
    int changes = 0;
    list.OnChange = [&](TixStringList&) { ++changes; };
    EXPECT_EQ(TixStringsUtils::AddTextStr(list, "a\r\nb\r\nc\r\n", false), 0);
    EXPECT_EQ(Lines(list), (Strings{"a", "b", "c"}));
    EXPECT_EQ(changes, 1);  // once for a whole text
    list.Clear();
    EXPECT_EQ(TixStringsUtils::AddTextStr(list, "a\r\nb", false), 4);
    EXPECT_EQ(TixStringsUtils::AddTextStr(list, "c\r\n", true), 0);
    EXPECT_EQ(Lines(list), (Strings{"a", "bc"}));
    // Lone CR and lone LF each end one line; CR LF split across two pieces ends one.
    list.Clear();
    EXPECT_EQ(TixStringsUtils::AddTextStr(list, "x\ry\nz\r", false), 6);
    EXPECT_EQ(TixStringsUtils::AddTextStr(list, "\nw", true), 2);
    EXPECT_EQ(Lines(list), (Strings{"x", "y", "z", "w"}));
    // Empty lines count; text stops at a zero character.
    list.Clear();
    EXPECT_EQ(TixStringsUtils::AddTextStr(list, "\n", false), 0);
    EXPECT_EQ(TixStringsUtils::AddTextStr(list, "\r\n\r\n", false), 0);
    EXPECT_EQ(TixStringsUtils::AddTextStr(list, std::string_view("p\0q\r\n", 5), false), 1);
    EXPECT_EQ(TixStringsUtils::AddTextStr(list, "", false), 0);
    EXPECT_EQ(Lines(list), (Strings{"", "", "", "p"}));
}

TEST(StringsUtilsTest, ReadsStreamsInBatchesWithoutBreakingLinesOrCharacters) {
    // CR LF, a lone CR, a two-byte and a four-byte character and a zero byte, at every batch size.
    const std::string data = "ab\r\n\xC3\xA9t\xC3\xA9\r\n\r\nx\ry\r\nz\xF0\x9F\x98\x80\0q\r\nlast"s;
    for (int batch = 0; batch <= static_cast<int>(data.size()) + 1; ++batch) {
        TixStringList list;
        TixStringsUtils utils(list, "utf-8");
        utils.SetBatchSize(batch);
        std::vector<std::int64_t> progress;
        utils.OnProgress = [&](TixObject* sender, std::int64_t done, std::int64_t total) {
            EXPECT_EQ(sender, &utils);
            EXPECT_EQ(total, static_cast<std::int64_t>(data.size()));
            progress.push_back(done);
        };
        TixMemoryStream stream(data);
        EXPECT_GT(utils.AddTextStream(stream), 0) << batch;
        EXPECT_EQ(Lines(list),
                  (Strings{"ab", "\xC3\xA9t\xC3\xA9", "", "x", "y", "z\xF0\x9F\x98\x80 q", "last"}))
            << batch;
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.back(), static_cast<std::int64_t>(data.size()));
        if (batch > 0 && batch < static_cast<int>(data.size())) {
            EXPECT_EQ(progress.size(), (data.size() + batch - 1) / batch) << batch;
        }
    }
}

TEST(StringsUtilsTest, ConvertsStreamsFromTheirCharsetAndHonoursLimits) {
    TixStringList list{"first "};
    TixStringsUtils utils(list, "koi8-r");
    utils.SetBatchSize(3);
    TixMemoryStream stream(std::string_view("\xF0\xD2\xC9\r\n\xD7\xC5\xD4\r\nrest"));
    EXPECT_EQ(utils.AddTextStream(stream, true, 10), 0);
    EXPECT_EQ(Lines(list), (Strings{"first \xD0\x9F\xD1\x80\xD0\xB8", "\xD0\xB2\xD0\xB5\xD1\x82"}));
    EXPECT_EQ(stream.Position(), 10);
    // Nothing left to read adds nothing.
    stream.SetPosition(stream.Size());
    EXPECT_EQ(utils.AddTextStream(stream), 0);
    EXPECT_EQ(list.Count(), 2);
}

TEST(StringsUtilsTest, FindsAndMeasuresLines) {
    TixStringList list{"Say hello", "HELLO", "ab", ""};
    EXPECT_EQ(TixStringsUtils::IndexOf(list, "HELLO", false), 0);
    EXPECT_EQ(TixStringsUtils::IndexOf(list, "hello", true), 1);
    EXPECT_EQ(TixStringsUtils::IndexOf(list, "say", true), -1);
    EXPECT_EQ(TixStringsUtils::GetStringsSize(list), 9 + 5 + 2 + 0 + 4 * 2);
}

TEST(BinaryDataTest, CopiesOnlyWhatLiesInsideTheSourceAndNeverGrowsOnReduce) {
    TixBinaryData data;
    const TixByteArray bytes{1, 2, 3, 4, 5};
    data.SetBytes(bytes, 3, 10);
    EXPECT_EQ(data.ToBytes(), (TixByteArray{4, 5}));
    data.SetBytes(bytes, 7, 2);
    EXPECT_EQ(data.DataSize(), 0);
    data.SetBytes(bytes, -1, 2);
    EXPECT_EQ(data.DataSize(), 0);
    data.Assign(bytes);
    data.Reduce(2);
    data.Reduce(4);
    EXPECT_EQ(data.ToBytes(), (TixByteArray{1, 2}));
    data.Assign(TixByteArray{0x3B, 0x04, 0x42});  // odd size: the last byte is no unit
    EXPECT_EQ(data.ToWideString(), u"\u043B");
}

TEST(ByteFunctionsTest, WritesAndReadsBigEndianWithinTheArray) {
    TixByteArray bytes(6);
    int index = 0;
    ByteArrayWriteWord(0x1234, bytes, index);
    ByteArrayWriteDWord(0xA1B2C3D4, bytes, index);
    EXPECT_EQ(index, 6);
    EXPECT_EQ(BytesToHex(bytes, ":"), "12:34:A1:B2:C3:D4");
    index = 0;
    EXPECT_EQ(ByteArrayReadWord(bytes, index), 0x1234);
    EXPECT_EQ(ByteArrayReadDWord(bytes, index), 0xA1B2C3D4u);
    // No access past the end, and none that starts inside and runs out.
    EXPECT_THROW(ByteArrayReadWord(bytes, index), EixError);
    index = 5;
    EXPECT_THROW(ByteArrayWriteWord(1, bytes, index), EixError);
    index = 3;
    EXPECT_THROW(ByteArrayReadDWord(bytes, index), EixError);
    EXPECT_EQ(index, 3);
    index = -1;
    EXPECT_THROW(ByteArrayReadWord(bytes, index), EixError);
    // The hexadecimal forms are checked through the hashes' known values, byte comparison through
    // the DKIM body hashes; a hostile body hash may be of another length.
    EXPECT_FALSE(CompareBytes(TixByteArray{1}, TixByteArray{1, 0}));
}

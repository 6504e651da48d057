#include "text/ixTranslator.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

using namespace ix;

TEST(TranslatorTest, ConvertsThroughTablesAndTheSystemConverter) {
    // "Привет" in UTF-8, koi8-r and windows-1251.
    const std::string local = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";
    // (The charsets Python also has are compared with its codecs in the text interop tests.)
    // The system converter's other spellings of UTF-8 still give valid text.
    EXPECT_EQ(TixTranslator::ToLocal("a\xFF", "utF!8"), "a\xEF\xBF\xBD");
    // The two fixed tables sit on windows-1251 text.
    EXPECT_EQ(TixTranslator::TranslateToCharSet("\xF0", "KOI8-WIN"), "\xF4");
    EXPECT_EQ(TixTranslator::TranslateFromCharSet("\xF4", "KOI8-WIN"), "\xF0");
    EXPECT_EQ(TixTranslator::FromLocal(local, "WIN-KOI8"),
              TixTranslator::TranslateToCharSet(TixTranslator::FromLocal(local, "windows-1251"), "WIN-KOI8"));
    EXPECT_EQ(TixTranslator::ToLocal(TixTranslator::FromLocal(local, "WIN-KOI8"), "WIN-KOI8"), local);
}

// Labels real mail uses that the system converter lacks reach it through the web's label table: a
// Mac one and x-sjis (Windows' Shift_JIS, unlike Python's) here; x-cp1252 and unicode11utf8 are
// the text interop's charsets, ks_c_5601-1987 the mail corpus's. Names the converter knows keep
// their own meaning (iso-8859-1's 0x80 is U+0080: the text interop's every-byte check).
TEST(TranslatorTest, WebLabelsReachTheConverter) {
    for (const auto& [label, bytes, text] :
         {std::tuple{"x-sjis", "\x82\xA0", "\xE3\x81\x82"}, {"x-mac-ukrainian", "\x80", "\xD0\x90"}}) {
        EXPECT_TRUE(TixTranslator::IsKnownCharSet(label)) << label;
        EXPECT_EQ(TixTranslator::ToLocal(bytes, label), text) << label;
    }
    EXPECT_EQ(TixTranslator::FromLocal("\xE3\x81\x82", "x-sjis"), "\x82\xA0");
}

TEST(TranslatorTest, UnknownNamesPassBytesAndUtf8IsSanitised) {
    EXPECT_EQ(TixTranslator::FromLocal("a\xFFz", ""), "a\xFFz");
    EXPECT_EQ(TixTranslator::ToLocal("a\xFFz", "x-no-such-charset"), "a\xFFz");
    EXPECT_FALSE(TixTranslator::IsKnownCharSet("x-no-such-charset"));
    // Overlong, surrogate, cut-off and other invalid UTF-8 is the text interop's malformed case,
    // compared with Python's replacements.
    const std::string r = "\xEF\xBF\xBD";                // the replacement character
    EXPECT_EQ(TixTranslator::Utf8Encode(u"\xD83D"), r);  // lone surrogate
    EXPECT_EQ(TixTranslator::Utf8Encode(u"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
}

TEST(TranslatorTest, ThreadsTranslateIndependently) {
    const std::string local = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 caf\xC3\xA9";
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            const char* charset = t % 2 ? "koi8-r" : "utf-16le";
            for (int i = 0; i < 2000; ++i)
                if (TixTranslator::ToLocal(TixTranslator::FromLocal(local, charset), charset) !=
                    (t % 2 ? "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 caf?" : local))
                    ++failures[t];
        });
    for (auto& thread : threads)
        thread.join();
    for (int f : failures)
        EXPECT_EQ(f, 0);
}

// Replacements that leave a shifted mode, add no second byte order mark and keep the units after a
// lone surrogate in step are the text interop's charset and malformed cases.
TEST(TranslatorTest, ConvertsStraightIntoLines) {
    for (const char* charSet : {"iso-8859-1", "koi8-r", "utf-8", "iso-2022-jp", "KOI8-WIN"}) {
        const std::string bytes = TixTranslator::FromLocal("caf\xC3\xA9\r\n\r\nline\rlast\nend", charSet);
        TixStringList lines{"kept"};
        int changes = 0;
        lines.OnChange = [&](TixStringList&) { ++changes; };
        TixTranslator::ToLocalLines(bytes, charSet, lines);
        TixStringList expected{"kept"};
        expected.AddText(TixTranslator::ToLocal(bytes, charSet));
        EXPECT_TRUE(lines == expected) << charSet;
        EXPECT_EQ(changes, 1) << charSet;
    }
    // The bytes of an empty or unknown charset are read as UTF-8, malformed sequences replaced.
    for (const char* charSet : {"", "x-unknown"}) {
        TixStringList lines;
        TixTranslator::ToLocalLines("a\xFF\r\n\xC3\xA9", charSet, lines);
        EXPECT_TRUE(lines == (TixStringList{"a\xEF\xBF\xBD", "\xC3\xA9"})) << charSet;
    }
}

TEST(TranslatorTest, SmallAndLargeTextsDecodeAlike) {
    // Mail-sized texts take a one-pass path, large ones an exactly sized one: same result, for
    // ASCII runs of every alignment between 8-bit bytes.
    std::mt19937 random(3);
    std::string bytes(3 << 20, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random() % 4 == 0 ? 0x80 + random() % 128 : 0x20 + random() % 95);
    for (const char* charSet : {"iso-8859-1", "koi8-r", "windows-1251", "ibm037"}) {
        const std::string whole = TixTranslator::ToLocal(bytes, charSet);
        std::string pieces;
        for (std::size_t i = 0; i < bytes.size(); i += 4097)
            pieces += TixTranslator::ToLocal(std::string_view(bytes).substr(i, 4097), charSet);
        EXPECT_TRUE(whole == pieces) << charSet;
        EXPECT_TRUE(TixTranslator::IsValidUtf8(whole)) << charSet;
    }
}

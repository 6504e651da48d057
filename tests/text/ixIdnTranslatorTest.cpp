#include "text/ixIdnTranslator.h"

#include <gtest/gtest.h>

#include <string>

using namespace ix;

TEST(IdnTranslatorTest, EncodesLabelsFromTheirCodePoints) {
    std::string run;
    for (int i = 0; i < 70; ++i)
        run += "\u00FC";
    const struct {
        std::string label, encoded;
    } cases[] = {
        {"b\u00FCcher", "xn--bcher-kva"},
        {"\u00E9", "xn--9ca"},  // no basic part, no "-"
        {"\xD0\xBF\xD1\x80\xD0\xB8\xD0\xBC\xD0\xB5\xD1\x80", "xn--e1afmkfd"},
        {"\xF0\x9F\x98\x80", "xn--e28h"},  // beyond the BMP
        {"\u00FC-\u00E4", "xn----0fa4e"},
        // No case folding: the basic part keeps its letters as written.
        {"B\u00FCcher", "xn--Bcher-kva"},
        // Long runs of one character exercise the bias adaptation.
        {run, "xn--tda" + std::string(70 - 1, 'a')},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TixIdnTranslator::EncodeLabel(c.label), c.encoded) << c.encoded;
}

TEST(IdnTranslatorTest, LeavesAsciiAloneAndKeepsEveryLabelOfAHost) {
    EXPECT_EQ(TixIdnTranslator::Encode("Mail.Example.COM"), "Mail.Example.COM");
    EXPECT_EQ(TixIdnTranslator::Encode(""), "");
    EXPECT_EQ(TixIdnTranslator::Encode("mail.b\u00FCcher.de"), "mail.xn--bcher-kva.de");
    EXPECT_EQ(TixIdnTranslator::Encode("a..\u00E9."), "a..xn--9ca.");
    EXPECT_TRUE(TixIdnTranslator::IsBasicString(""));
    EXPECT_TRUE(TixIdnTranslator::IsBasicString("plain ASCII\x7F"));
    EXPECT_FALSE(TixIdnTranslator::IsBasicString("caf\u00E9"));
}

TEST(IdnTranslatorTest, MalformedUtf8CountsAsReplacementCharacterAndHugeDeltasRaise) {
    // A stray Latin-1 byte is U+FFFD, encoded like the real replacement character.
    EXPECT_EQ(TixIdnTranslator::EncodeLabel("a\xE9"), TixIdnTranslator::EncodeLabel("a\xEF\xBF\xBD"));
    // U+10FFFF after 2100 basic characters needs a delta beyond 32 bits.
    const std::string label = std::string(2100, 'a') + "\xF4\x8F\xBF\xBF";
    try {
        TixIdnTranslator::EncodeLabel(label);
        FAIL() << "no error";
    } catch (const EixIdnError& e) {
        EXPECT_STREQ(e.what(), "Input value needs wider integers to translate");
    }
}

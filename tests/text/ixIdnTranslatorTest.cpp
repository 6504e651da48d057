#include "text/ixIdnTranslator.h"

#include <gtest/gtest.h>

#include <string>

using namespace ix;

TEST(IdnTranslatorTest, EncodesLabelsFromTheirCodePoints) {
    EXPECT_EQ(TixIdnTranslator::EncodeLabel("b\xC3\xBC"
                                            "cher"),
              "xn--bcher-kva");
    EXPECT_EQ(TixIdnTranslator::EncodeLabel("\xC3\xA9"), "xn--9ca");  // no basic part, no "-"
    EXPECT_EQ(TixIdnTranslator::EncodeLabel("\xD0\xBF\xD1\x80\xD0\xB8\xD0\xBC\xD0\xB5\xD1\x80"),
              "xn--e1afmkfd");
    EXPECT_EQ(TixIdnTranslator::EncodeLabel("\xF0\x9F\x98\x80"), "xn--e28h");  // beyond the BMP
    EXPECT_EQ(TixIdnTranslator::EncodeLabel("\xC3\xBC-\xC3\xA4"), "xn----0fa4e");
    // No case folding: the basic part keeps its letters as written.
    EXPECT_EQ(TixIdnTranslator::EncodeLabel("B\xC3\xBC"
                                            "cher"),
              "xn--Bcher-kva");
    // Long runs of one character exercise the bias adaptation.
    std::string run;
    for (int i = 0; i < 70; ++i)
        run += "\xC3\xBC";
    EXPECT_EQ(TixIdnTranslator::EncodeLabel(run), "xn--tda" + std::string(70 - 1, 'a'));
}

TEST(IdnTranslatorTest, LeavesAsciiAloneAndKeepsEveryLabelOfAHost) {
    EXPECT_EQ(TixIdnTranslator::Encode("Mail.Example.COM"), "Mail.Example.COM");
    EXPECT_EQ(TixIdnTranslator::Encode(""), "");
    EXPECT_EQ(TixIdnTranslator::Encode("mail.b\xC3\xBC"
                                       "cher.de"),
              "mail.xn--bcher-kva.de");
    EXPECT_EQ(TixIdnTranslator::Encode("a..\xC3\xA9."), "a..xn--9ca.");
    EXPECT_TRUE(TixIdnTranslator::IsBasicString(""));
    EXPECT_TRUE(TixIdnTranslator::IsBasicString("plain ASCII\x7F"));
    EXPECT_FALSE(TixIdnTranslator::IsBasicString("caf\xC3\xA9"));
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

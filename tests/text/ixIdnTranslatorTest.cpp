#include "text/ixIdnTranslator.h"

#include <gtest/gtest.h>

#include <string>

using namespace ix;

// Labels and host names are compared with Python's Punycode and idn2 in the text interop tests.
TEST(IdnTranslatorTest, BasicStrings) {
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

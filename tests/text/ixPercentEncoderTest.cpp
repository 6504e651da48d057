#include "text/ixPercentEncoder.h"

#include <gtest/gtest.h>

#include <string>

#include "ixTestSupport.h"

using namespace ix;
using ix::test::Bytes;
using ix::test::Text;

TEST(PercentEncoderTest, EscapesOnlyWhenSpecialSymbolsAreSetAndKeepsEscapesWhenAsked) {
    TixPercentEncoder encoder;
    EXPECT_EQ(encoder.Encode(Bytes("a b\t\xE9%")), "a b\t\xE9%");
    encoder.SetSpecialSymbols(" ");
    EXPECT_EQ(encoder.Encode(Bytes("a b")), "a%20b");
    EXPECT_EQ(encoder.Encode(Bytes("\t\xE9\x7F~")), "%09%E9%7F~");
    // A later change of the set takes effect.
    encoder.SetSpecialSymbols("~");
    EXPECT_EQ(encoder.Encode(Bytes("a b~")), "a b%7E");
    // Escapes that are already there are kept when asked.
    encoder.SetKeepEscapedSymbols(true);
    encoder.SetSpecialSymbols("% ");
    EXPECT_EQ(encoder.Encode(Bytes("%41 %4g %")), "%41%20%254g%20%25");
    encoder.SetSpecialSymbols(" ");
    EXPECT_EQ(encoder.Encode(Bytes("%41 %")), "%41%20%");
    encoder.SetKeepEscapedSymbols(false);
    encoder.SetSpecialSymbols("%");
    EXPECT_EQ(encoder.Encode(Bytes("%41")), "%2541");
}

TEST(PercentEncoderTest, DecodesEscapesPassingMalformedOnesThroughAndConvertsThroughCharsetsAndHooks) {
    TixPercentEncoder encoder;
    EXPECT_EQ(Text(encoder.Decode("a%20b")), "a b");
    EXPECT_EQ(encoder.Decode("%4a%FF"), (TixByteArray{0x4A, 0xFF}));
    EXPECT_EQ(Text(encoder.Decode("%ZZ%41")), "%ZZA");
    // The first digit of a broken escape is kept, not lost.
    EXPECT_EQ(Text(encoder.Decode("%4Z%a-")), "%4Z%a-");
    EXPECT_EQ(Text(encoder.Decode("ab%")), "ab");
    EXPECT_EQ(Text(encoder.Decode("ab%4")), "ab");
    EXPECT_EQ(Text(encoder.Decode(std::string_view("a\0%41", 5))), "a");

    encoder.SetSpecialSymbols(" ");
    EXPECT_EQ(encoder.Encode("caf\xC3\xA9 x", "iso-8859-1"), "caf%E9%20x");
    EXPECT_EQ(encoder.Decode("caf%E9", "iso-8859-1"), "caf\xC3\xA9");

    // A subclass maps the plain characters: "+" for space, as in form data.
    struct FormEncoder : TixPercentEncoder {
        bool IsEscapeNeeded(std::uint8_t symbol) override { return symbol == '+' || symbol >= 0x80; }
        std::uint8_t EncodeSymbol(std::uint8_t symbol) override { return symbol == ' ' ? '+' : symbol; }
        std::uint8_t DecodeSymbol(std::uint8_t symbol) override { return symbol == '+' ? ' ' : symbol; }
    } form;
    EXPECT_EQ(form.Encode(Bytes("1 + 1")), "1+%2B+1");
    EXPECT_EQ(Text(form.Decode("1+%2B+1")), "1 + 1");
}

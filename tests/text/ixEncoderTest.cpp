#include "text/ixEncoder.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "base/ixStream.h"
#include "ixTestSupport.h"

using namespace ix;
using ix::test::Bytes;

namespace {

std::string Transform(TixEncoder& encoder, std::string_view input, bool encode) {
    TixMemoryStream source(input), destination;
    if (encode)
        encoder.Encode(source, destination);
    else
        encoder.Decode(source, destination);
    return std::string(destination.View());
}

std::string Encoded(TixEncodeMethod method, std::string_view input, int charsPerLine = 76) {
    TixEncoder encoder;
    encoder.SetEncodeMethod(method);
    encoder.SetCharsPerLine(charsPerLine);
    return Transform(encoder, input, true);
}

std::string Decoded(TixEncodeMethod method, std::string_view input) {
    TixEncoder encoder;
    encoder.SetEncodeMethod(method);
    return Transform(encoder, input, false);
}

std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string data(size, '\0');
    for (auto& c : data)
        c = static_cast<char>(random() & 0xFF);
    return data;
}

}  // namespace

// Base64, quoted-printable and uuencode output and line lengths, and the decoders' handling of
// breaks, padding, bad symbols and malformed escapes, are compared with Python's in the text interop
// tests; these cases are what those do not reach.
TEST(EncoderTest, QuotedPrintableEscapes) {
    for (const auto& [plain, encoded] : {std::pair{"a=b\r\nc", "a=3Db\r\nc"},
                                         {"\t\n\xE9", "=09=0A=E9"},
                                         {"ab\r", "ab=0D"},
                                         {"a \r\n", "a \r\n"}})
        EXPECT_EQ(Encoded(cmQuotedPrintable, plain), encoded) << plain;
    // A line length at or below the escape size still moves on, one byte per line. (Line lengths
    // and soft breaks are the text interop tests'.)
    EXPECT_EQ(Encoded(cmQuotedPrintable, "abc", 6), "a=\r\nb=\r\nc");
}

TEST(EncoderTest, UuencodeLengthsBeyondTheUsualLine) {
    // A length character beyond 45 bytes announces at most 63.
    EXPECT_EQ(Decoded(cmUUEncode, "_" + std::string(200, '!')).size(), 63u);
    // Lines beyond 63 bytes keep their breaks even when asked for none, or the rest would be lost.
    // (Random bytes round trip in every method in the decoders' fuzz target and the text interop.)
    const std::string data = RandomBytes(1000, 7);
    TixEncoder wide;
    wide.SetEncodeMethod(cmUUEncode);
    wide.SetCharsPerLine(132);
    wide.SetSuppressCrlf(true);
    EXPECT_EQ(Decoded(cmUUEncode, Transform(wide, data, true)), data);
}

TEST(EncoderTest, PreferredEncodingFollowsTheBytesAndKeepsThePosition) {
    auto preferred = [](std::string_view data, bool allowEsc = false) {
        TixEncoder encoder;
        encoder.SetAllowESC(allowEsc);
        TixMemoryStream stream;
        stream.WriteBuffer(data.data(), data.size());
        stream.SetPosition(1);
        TixEncodeMethod result = encoder.GetPreferredEncoding(stream);
        EXPECT_EQ(stream.Position(), 1);
        return result;
    };
    EXPECT_EQ(preferred("xshort line\r\nanother\r\n"), cmNone);
    EXPECT_EQ(preferred("x" + std::string(80, 'a')), cmQuotedPrintable);
    EXPECT_EQ(preferred("xcaf\xE9 au lait"), cmQuotedPrintable);
    EXPECT_EQ(preferred(std::string("xa\0b", 4)), cmBase64);
    EXPECT_EQ(preferred("x\xE9\xE9\xE9z"), cmBase64);
    EXPECT_EQ(preferred("x\x1b$B", false), cmBase64);
    EXPECT_EQ(preferred("x\x1b$B", true), cmNone);
}

TEST(EncoderTest, ProgressRisesToTheTotalAndAnEmptySourceGivesNothing) {
    for (auto method : {cmQuotedPrintable, cmBase64, cmUUEncode, cmNone, cm8Bit}) {
        TixEncoder encoder;
        encoder.SetEncodeMethod(method);
        std::vector<std::int64_t> seen;
        encoder.OnProgress = [&](TixObject*, std::int64_t, std::int64_t) { seen.push_back(-1); };
        EXPECT_EQ(Transform(encoder, "", true), "");
        EXPECT_EQ(Transform(encoder, "", false), "");
        EXPECT_EQ(encoder.Encode(TixByteArray{}), "");
        EXPECT_TRUE(seen.empty()) << method;
        encoder.OnProgress = [&](TixObject*, std::int64_t done, std::int64_t total) {
            EXPECT_EQ(total, 300000);
            seen.push_back(done);
        };
        std::string data = RandomBytes(300000, 11);
        std::string encoded = Transform(encoder, data, true);
        ASSERT_GE(seen.size(), 2u);
        EXPECT_EQ(seen.front(), 0);
        EXPECT_EQ(seen.back(), 300000);
        EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << method;
    }
    TixEncoder bad;
    bad.SetEncodeMethod(static_cast<TixEncodeMethod>(9));
    std::string message;
    EXPECT_EQ(ix::test::CodeOf([&] { Transform(bad, "x", true); }, &message), -1);
    EXPECT_EQ(message, "Unsupported format.");
}

TEST(EncoderTest, TextFormsConvertThroughTheCharSet) {
    TixEncoder encoder;
    encoder.SetCharSet("iso-8859-1");
    encoder.SetSuppressCrlf(true);
    EXPECT_EQ(encoder.Encode(std::string_view("\xC3\xA9")), "6Q==");  // é as one Latin-1 byte
    EXPECT_EQ(encoder.Decode("6Q=="), "\xC3\xA9");
    EXPECT_EQ(TixEncoder::DecodeString("=C3=A9", cmQuotedPrintable), "\xC3\xA9");
    EXPECT_EQ(TixEncoder::EncodeBytesWrapped(Bytes(std::string(58, 'x')), cmBase64).find("\r\n"), 76u);
}

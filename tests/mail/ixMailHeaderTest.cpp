#include "mail/ixMailHeader.h"

#include <gtest/gtest.h>

#include "ixTestSupport.h"

#include "text/ixTranslator.h"

namespace ix {
namespace {

using H = TixMailHeaderFieldList;

const std::string kCyrillic = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";  // "Privet" in Cyrillic
const std::string kGerman =
    "Gr\xC3\xBC\xC3\x9F"
    "e aus M\xC3\xBCnchen";                     // Latin-1 can hold it
const std::string kEmoji = "\xF0\x9F\x98\x80";  // 4-byte character

std::vector<std::string> SplitCrLf(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0, p;
    while ((p = text.find("\r\n", start)) != std::string::npos) {
        out.push_back(text.substr(start, p - start));
        start = p + 2;
    }
    out.push_back(text.substr(start));
    return out;
}

// ------------------------------------------------------------------------------------------
// Decoding encoded words

TEST(MailHeaderDecode, WordsCharsetsAndMalformedText) {
    const std::string u = "\xC3\xBC";  // u with diaeresis
    const std::string longName = "=?" + std::string(200, 'c') + "?Q?a?=";
    const struct {
        std::string text;
        const char* fallback;
        std::string decoded;
    } cases[] = {
        // (Adjacent and folded words, words beside plain text, "_" for space, lower-case methods and
        // the usual charsets are the mail corpus's, which Python reads too.)
        // Folding white space before plain text is real white space.
        {"=?utf-8?Q?x?=\tplain", "", "x\tplain"},
        // The language suffix of RFC 2231 is not part of the charset name.
        {"=?iso-8859-1*de?Q?=FC?=", "", u},
        // Unknown charset: valid UTF-8 bytes stay, others are read in the fallback charset.
        {"=?x-unknown?Q?=C3=BC?=", "", u},
        {"=?x-unknown?Q?=FC?=", "iso-8859-1", u},
        // Unencoded 8-bit text is read in the fallback charset, raw UTF-8 (as modern senders
        // write it) is kept even when the message charset differs; also around a word.
        {"Gr\xFC\xDF"
         "e",
         "iso-8859-1", "Gr" + u + "\xC3\x9F" + "e"},
        {"\xF0\xD2\xC9\xD7\xC5\xD4", "koi8-r", kCyrillic},
        {kGerman, "iso-8859-1", kGerman},
        {"\xFC =?utf-8?Q?x?=", "iso-8859-1", u + " x"},
        // Malformed words are copied and decoding goes on.
        {"=?utf-8?Q?no end", "", "=?utf-8?Q?no end"},
        {"a =? b", "", "a =? b"},
        {"=??Q?abc?=", "", "=??Q?abc?="},
        // A stray "=?" before a good word does not hide the word.
        {"1 =? 2 =?utf-8?Q?x?=", "", "1 =? 2 x"},
        {"=?bad charset?Q?a?= =?utf-8?Q?b?=", "", "=?bad charset?Q?a?= b"},
        // White space next to something that is not a word is kept.
        {"=?utf-8?Q?x?= =?utf-8?Z?y?=", "", "x =?utf-8?Z?y?="},
        // Over-long charset names are not words (and keep the scan linear).
        {longName, "", longName},
        // Broken escapes decode to what can be read, never fail.
        {"=?utf-8?Q?a=4?=", "", "a=4"},
        {"=?utf-8?Q?a=ZZ?=", "", "a=ZZ"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(H::DecodeText(c.text, c.fallback), c.decoded) << c.text;
    // The system converter's other spellings of UTF-8 still give valid text, as a fallback here and
    // in an encoded word in the header value fuzz target's seeds (which check that every decoded
    // text is valid UTF-8; its seeds are the other cases).
    EXPECT_TRUE(TixTranslator::IsValidUtf8(H::DecodeText("\xF7\xA3\xA3\xA3", "utF!8")));
}

TEST(MailHeaderDecode, HostileInputStaysLinear) {
    // Each of these is quadratic for a decoder that rescans for every "=?".
    // (Compared with EXPECT_TRUE so a failure does not print megabytes.)
    std::string manyStarts, noEnd, manyWords;
    for (int i = 0; i < 100000; ++i) {
        manyStarts += "=?u?X?";
        noEnd += "=?u?Q?a";
        if (i < 50000) manyWords += "=?utf-8?Q?a?= ";
    }
    const std::string longCharSet = "=?" + std::string(300000, 'c');
    for (const std::string& text :
         {manyStarts, noEnd, "=?" + std::string(300000, '?'), longCharSet + longCharSet})
        EXPECT_TRUE(H::DecodeText(text, "") == text);
    EXPECT_TRUE(H::DecodeText(manyWords, "") == std::string(50000, 'a') + " ");
}

// ------------------------------------------------------------------------------------------
// Encoding

// Every word of an encoded text, decoded alone, must be valid UTF-8 (no character split), at most
// 75 characters long, and all words together give back the text.
void ExpectGoodWords(const std::string& encoded, const std::string& text, std::size_t maxLength = 75) {
    std::string joined;
    for (const std::string& word : SplitCrLf(encoded)) {
        EXPECT_LE(word.size(), maxLength) << word;
        ASSERT_EQ(word.rfind("=?", 0), 0u) << word;
        const std::string decoded = H::DecodeText(word, "");
        EXPECT_TRUE(TixTranslator::IsValidUtf8(decoded)) << word;
        joined += decoded;
    }
    EXPECT_EQ(joined, text);
    EXPECT_EQ(H::DecodeText(encoded, ""), text);
}

TEST(MailHeaderEncode, QEscapesAllButLettersDigitsAndFewMarksAndTheTextChoosesAMethod) {
    TixEncodeMethod method = cmQuotedPrintable;
    EXPECT_EQ(H::EncodeWord("aZ9!*+-/ \t,\"().?=_:;<>@[]\\'%", "utf-8", method),
              "=?utf-8?Q?aZ9!*+-/_=09=2C=22=28=29=2E=3F=3D=5F=3A=3B=3C=3E=40=5B=5D=5C=27=25?=");
    // Without a method given, the text chooses one.
    for (const auto& [text, charSet, word, chosen] :
         {std::tuple{"plain text", "utf-8", "plain text", cmNone},
          {"caf\xC3\xA9 au lait", "iso-8859-1", "=?iso-8859-1?Q?caf=E9_au_lait?=", cmQuotedPrintable},
          {"\xD0\x9F\xD1\x80", "utf-8", "=?utf-8?B?0J/RgA==?=", cmBase64}}) {
        method = cmNone;
        EXPECT_EQ(H::EncodeWord(text, charSet, method), word);
        EXPECT_EQ(method, chosen);
    }
    // Text that looks like an encoded word is encoded too: the mail interop round trip reads it back.
}

TEST(MailHeaderEncode, LongTextIsCutAtCharacterBoundaries) {
    std::string text;
    for (int i = 0; i < 20; ++i)
        text += kCyrillic + " " + kEmoji + "\xC3\xA9";
    for (TixEncodeMethod method : {cmNone, cmQuotedPrintable, cmBase64}) {
        for (int room : {76, 40, 31, 200, 0, -5}) {
            SCOPED_TRACE(testing::Message() << "method " << method << " room " << room);
            const std::string encoded = H::EncodeText(text, "utf-8", room, method);
            EXPECT_GT(SplitCrLf(encoded).size(), 1u);
            ExpectGoodWords(encoded, text, room > 0 ? std::min<std::size_t>(room, 75) : 75);
        }
    }
    // A long iso-2022-jp subject, cut into words that fit and that Python reads back, is the mail
    // interop round trip's.
    // A tiny room still ends with one character per word.
    const std::string encoded = H::EncodeText("abc" + kEmoji, "utf-8", 1, cmQuotedPrintable);
    EXPECT_EQ(SplitCrLf(encoded).size(), 4u);
    EXPECT_EQ(H::DecodeText(encoded, ""), "abc" + kEmoji);
}

// ASCII longer than the room becomes Q words, and a charset that cannot hold the text gives way to
// UTF-8 (Latin-1 and koi8-r with other scripts, in every method): the mail interop round trip reads
// them back.
TEST(MailHeaderEncode, PlainTextTheMethodsThatWriteNoWordsAndUnknownCharsets) {
    TixEncodeMethod method = cmQuotedPrintable;
    EXPECT_EQ(H::EncodeWord(kCyrillic, "no-such-charset", method).rfind("=?utf-8?Q?", 0), 0u);
    EXPECT_EQ(H::EncodeText("", "utf-8", 70, cmBase64), "");
    EXPECT_EQ(H::EncodeText("Hello world", "utf-8", 70, cmNone), "Hello world");
    EXPECT_EQ(H::EncodeText(kCyrillic, "utf-8", 70, cm8Bit), kCyrillic);
}

// ------------------------------------------------------------------------------------------
// Fields

TEST(MailHeaderFields, ValuesCannotInjectFields) {
    for (TixEncodeMethod method : {cmNone, cm8Bit, cmUUEncode}) {
        TixStringList lines;
        H header("utf-8", 76, method);
        header.Parse(0, &lines);
        header.AddEncodedField("Subject", "hi\r\nBcc: victim@x.org\nX-Evil: 1\rX-Evil2: 2");
        EXPECT_EQ(header.Count(), 1) << lines.Text();
        EXPECT_EQ(header.GetFieldIndex("bcc"), -1);
        for (int i = 0; i < lines.Count(); ++i)
            EXPECT_EQ(lines[i].find_first_of("\r\n"), std::string::npos);
    }
}

// Groups, empty groups and quoted names in them are the mail corpus's (22), which Python reads too;
// display names in every charset and method are read back by Python in the mail interop round trip.
TEST(MailHeaderFields, AddressFieldsUnfoldIntoListsAndOnlySubjectKeepsTrailingSpace) {
    TixStringList lines{"To: A <a@x.org>",
                        "\tB <b@x.org>",
                        " (comment)",
                        "References: <1@x>",
                        "\t<2@x>",
                        "Subject: \t two  ",
                        "X-Other:  two  ",
                        "From: =?utf-8?Q?Smith=2C_John?= <j@x.org>",
                        "Bcc: =?utf-8?Q?Smith=2C_John?= <j@x.org>, (a, b) c@x.org",
                        "Reply-To: Friends: \"B: the second\" <b@x.org>;, <@relay.org,@gw.org:d@x.org>",
                        ""};
    H header("utf-8", 76, cmNone);
    header.Parse(0, &lines);
    EXPECT_EQ(header.GetFieldValue("subject"), "two  ");
    EXPECT_EQ(header.GetFieldValue("x-other"), "two");
    EXPECT_EQ(header.GetFieldValue("to"), "A <a@x.org>,\tB <b@x.org> (comment)");
    // Message identifiers are not addresses: no comma between them.
    EXPECT_EQ(header.GetFieldValue("references"), "<1@x>\t<2@x>");
    // (Folded address lists read into their addresses are the mail corpus's.) Decoded names with specials are
    // quoted again; a decoded comma does not split the list.
    EXPECT_EQ(header.GetDecodedEmail("from"), "\"Smith, John\" <j@x.org>");
    TixEmailAddressList list;
    header.GetDecodedEmailList("bcc", list);
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Items(0).Name(), "Smith, John");
    EXPECT_EQ(list.Items(1).Email(), "c@x.org");
    // Group members keep colons in their names; routes stay whole.
    header.GetDecodedEmailList("reply-to", list);
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Items(0).Name(), "B: the second");
    EXPECT_EQ(list.Items(1).Email(), "d@x.org");
}

// A long display name and address folded so that the address moves whole to the next line, and an
// empty list that writes no field, are the mail interop round trip's: Python reads the To and Cc
// lists of its composed messages, whose display names run past a line and whose Cc address needs a
// line of its own.

// ------------------------------------------------------------------------------------------
// Items

TEST(MailHeaderItems, RfcContinuationsAreRead) {
    // Continued, charset and language, mixed, unordered and encoded-word forms as writers use them
    // are the mail corpus's (07, 25, 26), which Python reads too.
    H header("utf-8", 76, cmNone);
    EXPECT_EQ(header.GetDecodedFieldValueItem("a; filename*=\"utf-8''x%27y\"", "filename*"), "x'y");
    // Plain and encoded pieces mixed; a character split between two pieces.
    EXPECT_EQ(header.GetDecodedFieldValueItem(
                  "a; name*0*=utf-8''%C3; name*1*=%BC; name*2=\" tail\"; name*3*=%C3%A9", "name*"),
              "\xC3\xBC tail\xC3\xA9");
    // Out of order pieces are put in order; a gap ends the value.
    EXPECT_EQ(header.GetDecodedFieldValueItem("a; n*1=B; n*0=A; n*3=D", "n*"), "AB");
    // No charset: read as UTF-8 where valid, else in the list's charset.
    H latin("iso-8859-1", 76, cmNone);
    EXPECT_EQ(latin.GetDecodedFieldValueItem("a; n*=%FC", "n*"), "\xC3\xBC");
    EXPECT_EQ(latin.GetDecodedFieldValueItem("a; n*=%C3%BC", "n*"), "\xC3\xBC");
    // Apostrophes quote only outside RFC 2231 items.
    EXPECT_EQ(header.GetDecodedFieldValueItem("a; name='x y'; n*=utf-8''z", "name"), "x y");
}

TEST(MailHeaderItems, ManyContinuationsStayLinear) {
    std::string value = "a";
    for (int i = 0; i < 30000; ++i)
        value += "; n*" + std::to_string(i) + "=x";
    H header("utf-8", 76, cmNone);
    const std::string result = header.GetDecodedFieldValueItem(value, "n*");
    EXPECT_EQ(result, std::string(10000, 'x'));  // indexes beyond 9999 are ignored
}

TEST(MailHeaderItems, RfcItemsShape) {
    TixStringList lines{"Content-Type: text/plain;", ""};
    H header("", 76, cmNone);
    header.Parse(0, &lines);
    header.AddEncodedFieldItem("Content-Type", "name*", "a b.txt");
    EXPECT_EQ(lines[1], "\tname*=utf-8''a%20b.txt");
    // Long values continue in numbered pieces: the mail interop round trip's long file names, which
    // Python reads. An unknown field or an empty value adds nothing.
    header.AddEncodedFieldItem("X-None", "a", "b");
    header.AddEncodedFieldItem("Content-Type", "a", "   ");
    EXPECT_EQ(header.GetFieldIndex("x-none"), -1);
    EXPECT_EQ(lines.Count(), 3);
}

TEST(MailHeaderItems, Rfc2231EncoderTakesCharsetAndLanguage) {
    // Which bytes are escaped is read back by Python from the mail interop round trip's file names
    // full of specials.
    TixRfc2231HeaderEncoder encoder;
    encoder.SetCharSet("iso-8859-1");
    encoder.SetLanguage("de");
    EXPECT_EQ(encoder.EncodeValue("\xC3\xBC a"), "iso-8859-1'de'%FC%20a");
}

}  // namespace
}  // namespace ix

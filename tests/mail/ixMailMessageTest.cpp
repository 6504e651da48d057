#include "mail/ixMailMessage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>

#include "ixTestSupport.h"
#include "text/ixEncoder.h"

namespace ix {
namespace {

TixStringList Lines(std::string_view text) {
    TixStringList lines;
    lines.SetText(text);
    return lines;
}

// Keeps every attachment's data in memory and records the event order.
struct Capture {
    std::vector<std::string> events;
    std::vector<std::string> data;
    void Attach(TixMailMessage& m) {
        m.OnSaveAttachment = [this](TixObject*, TixMessageBody*, std::string& name,
                                    std::unique_ptr<TixStream>& s, bool&) {
            events.push_back("save:" + name);
            s = std::make_unique<TixMemoryStream>();
        };
        m.OnDataAdded = [this](TixObject*, TixMessageBody*, TixStream&) { events.push_back("data"); };
        m.OnAttachmentSaved = [this](TixObject*, TixMessageBody*, const std::string& name, TixStream& s) {
            events.push_back("saved:" + name);
            std::string bytes(static_cast<std::size_t>(s.Size()), '\0');
            s.ReadBuffer(bytes.data(), bytes.size());
            data.push_back(bytes);
        };
    }
};

class MailMessageTest : public ::testing::Test {
protected:
    test::ZoneGuard zone{"UTC"};
};

TEST_F(MailMessageTest, ChangeNotification) {
    TixMailMessage m;
    int changes = 0;
    m.OnChanged = [&](TixObject*) { ++changes; };
    m.SetSubject("a");
    EXPECT_EQ(changes, 1);
    m.ExtraFields().Add("X-A: 1");
    EXPECT_EQ(changes, 2);
    m.Bodies().AddText("hello");  // part changes notify the message
    EXPECT_GE(changes, 3);
    changes = 0;
    m.LoadMessage(Lines("Subject: x\r\nX-B: y\r\n\r\nbody\r\n"));
    EXPECT_EQ(changes, 1);  // held back during loading, one notification at the end
}

TEST_F(MailMessageTest, HeaderFieldsDecoded) {
    TixMailMessage m;
    m.LoadMessage(
        Lines("X-Priority: 1 (Highest)\r\n"
              "Importance: high\r\n"
              "References: <a@x> <b@x>\r\n"
              "Newsgroups: comp.a, comp.b\r\n"
              "Message-ID: <id@x>\r\n"
              "X-Custom: kept\r\n"
              "\r\n"
              "text\r\n"));
    // Addresses, subject and date are compared with another reader on the mail corpus; these are not.
    EXPECT_EQ(m.Priority(), mpHigh);  // X-Priority with a comment is skipped, Importance decides
    EXPECT_EQ(m.References().Count(), 2);
    EXPECT_EQ(m.NewsGroups()[1], "comp.b");
    EXPECT_EQ(m.MessageID(), "<id@x>");
    EXPECT_EQ(m.ExtraFields().Count(), 1);
    EXPECT_EQ(m.ExtraFields()[0], "X-Custom: kept");
    EXPECT_EQ(m.MessageFormat(), mfUUencode);  // no MIME header
}

// Malformed words and dates and the empty address are the header decoder's, the date reader's and
// the address tables' cases; that any header loads is the message fuzz target's.
TEST_F(MailMessageTest, WithoutADateTheFirstReceivedFieldGivesIt) {
    TixMailMessage r;
    r.LoadMessage(Lines("Received: from x by y; Wed, 2 Dec 2026 00:00:00 +0000\r\n\r\nx\r\n"));
    EXPECT_EQ(DecodeDateTime(r.Date()).day, 2);
}

const char* const cMixed =
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"outer\"\r\n"
    "\r\n"
    "--outer\r\n"
    "Content-Type: multipart/alternative; boundary=inner\r\n"
    "\r\n"
    "--inner\r\n"
    "Content-Type: text/plain; charset=iso-8859-1\r\n"
    "\r\n"
    "Gr\xfc\xdf"
    "e\r\n"
    "--inner\r\n"
    "Content-Type: text/html; charset=koi8-r\r\n"
    "\r\n"
    "<p>\xf0\xd2\xc9\xd7\xc5\xd4</p>\r\n"
    "--inner--\r\n"
    "--outer\r\n"
    "Content-Type: application/octet-stream\r\n"
    "Content-Disposition: attachment; filename=a.bin\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "AAECAw==\r\n"
    "--outer--\r\n"
    "epilogue\r\n"
    "--outer\r\n";

TEST_F(MailMessageTest, NestedMultipartWithEventsAndCharsets) {
    TixMailMessage m;
    Capture c;
    c.Attach(m);
    m.LoadMessage(Lines(cMixed));
    ASSERT_EQ(m.Bodies().Count(), 2);
    auto* alt = dynamic_cast<TixMultipartBody*>(&m.Bodies()[0]);
    ASSERT_NE(alt, nullptr);
    ASSERT_EQ(alt->Bodies().Count(), 2);
    // The parts' decoded texts, charsets and file names are compared with Python on the mail corpus,
    // as are preambles, delimiters with trailing white space and RFC 2231 file names.
    auto& plain = dynamic_cast<TixTextBody&>(alt->Bodies()[0]);
    EXPECT_EQ(plain.HeaderStart(), 7);
    EXPECT_EQ(plain.EncodedStart(), 9);
    ASSERT_EQ(c.data.size(), 1u);
    EXPECT_EQ(c.data[0], std::string("\0\1\2\3", 4));
    // Text parts raise only OnDataAdded; attachments ask for a stream first.
    EXPECT_EQ(c.events, (std::vector<std::string>{"data", "data", "save:a.bin", "data", "saved:a.bin"}));
    EXPECT_EQ(m.MessageText()[0], "<p>Привет</p>");
    // Without a stream for it the attachment keeps what its header says.
    TixMailMessage bare;
    bare.LoadMessage(Lines(cMixed));
    EXPECT_EQ(dynamic_cast<TixAttachmentBody&>(bare.Bodies()[1]).FileName(), "a.bin");
    EXPECT_EQ(dynamic_cast<TixAttachmentBody&>(bare.Bodies()[1]).EncodedSize(), 10);
}

TEST_F(MailMessageTest, BrokenBoundariesFallBackToSinglePart) {
    TixMailMessage m;
    m.LoadMessage(Lines("Content-Type: multipart/mixed; boundary=zz\r\n\r\n--other\r\nhello\r\n"));
    ASSERT_EQ(m.Bodies().Count(), 1);
    EXPECT_EQ(dynamic_cast<TixTextBody&>(m.Bodies()[0]).Strings()[1], "hello");
    // No closing delimiter: the last part runs to the end; a part header without an empty line
    // ends at the next delimiter instead of swallowing it.
    TixMailMessage n;
    n.LoadMessage(
        Lines("Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n"
              "--b\r\n\r\nlast\r\n--b\r\nContent-Type: text/plain\r\nno colon: body\r\nX-A: 1\r\n--b--\r\n"));
    ASSERT_EQ(n.Bodies().Count(), 3);
    EXPECT_EQ(dynamic_cast<TixTextBody&>(n.Bodies()[1]).Strings()[0], "last");
    // A line that is not a field ends a part header too: it and what follows are the data.
    EXPECT_EQ(dynamic_cast<TixTextBody&>(n.Bodies()[2]).Strings().Text(), "no colon: body\r\nX-A: 1\r\n");
    EXPECT_EQ(n.Bodies()[2].ExtraFields().Count(), 0);
}

TEST_F(MailMessageTest, DeepNestingIsCapped) {
    std::string text = "Content-Type: multipart/mixed; boundary=b0\r\n\r\n";
    const int depth = 5000;
    for (int i = 0; i < depth; ++i)
        text += "--b" + std::to_string(i) + "\r\nContent-Type: multipart/mixed; boundary=b" +
                std::to_string(i + 1) + "\r\n\r\n";
    text += "--b" + std::to_string(depth) + "\r\n\r\ndeep\r\n";
    TixMailMessage m;
    m.LoadMessage(Lines(text));
    int levels = 0;
    const TixMessageBodies* bodies = &m.Bodies();
    while (bodies->Count() > 0) {
        auto* mp = dynamic_cast<TixMultipartBody*>(&(*bodies)[0]);
        if (mp == nullptr) break;
        bodies = &mp->Bodies();
        ++levels;
    }
    EXPECT_LT(levels, TixMailMessage::cMaxNestingDepth);
    EXPECT_GT(levels, 10);
}

TEST_F(MailMessageTest, HugeHeadersLoadInLinearTime) {
    // 100,000 folded address lines and a header line of 4 MB: each is read once (a quadratic
    // reader would not finish within the test's time-out). Long runs of encoded words are the
    // header decoding's linear case.
    std::string text = "To: a0@example.com";
    for (int i = 1; i < 100000; ++i)
        text += ",\r\n a" + std::to_string(i) + "@example.com";
    text += "\r\nX-Long: " + std::string(4 << 20, 'x') + "\r\n\r\nbody\r\n";
    TixMailMessage m;
    m.LoadMessage(Lines(text));
    ASSERT_EQ(m.ToList().Count(), 100000);
    EXPECT_EQ(m.ToList().Items(99999).Email(), "a99999@example.com");
    EXPECT_EQ(m.ExtraFields()[0].size(), 8u + (4 << 20));
    EXPECT_EQ(dynamic_cast<TixTextBody&>(m.Bodies()[0]).Strings()[0], "body");
}

// Uuencoded sections in plain text: the mail corpus (11), read by Python as well.
TEST_F(MailMessageTest, LargePartsDecodeStraightFromTheLines) {
    // Far more than one read batch of the decoder, with line lengths that don't divide it.
    std::string bytes(700001, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
    TixEncoder encoder;
    encoder.SetEncodeMethod(cmBase64);
    encoder.SetCharsPerLine(70);
    const std::string encoded = encoder.Encode(std::string_view(bytes));
    const std::string text =
        "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
        "Content-Type: application/octet-stream; name=big.bin\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\n" +
        encoded + "\r\n--b--\r\n";
    TixMailMessage m;
    Capture c;
    c.Attach(m);
    m.LoadMessage(Lines(text));
    ASSERT_EQ(c.data.size(), 1u);
    EXPECT_TRUE(c.data[0] == bytes);
}

TEST_F(MailMessageTest, ErrorProcessingOnCorruptBase64) {
    const std::string text =
        "Content-Type: application/pdf\r\nContent-Transfer-Encoding: base64\r\n\r\nQUJD*RE\r\n";
    TixMailMessage ignore;
    ignore.SetErrorProcessing(meIgnore);
    Capture c;
    c.Attach(ignore);
    ignore.LoadMessage(Lines(text));
    ASSERT_EQ(c.data.size(), 1u);
    EXPECT_EQ(c.data[0], "QUJD*RE\r\n");  // as it came, final line break included
    TixMailMessage stop;
    stop.SetErrorProcessing(meStop);
    Capture c2;
    c2.Attach(stop);
    EXPECT_THROW(stop.LoadMessage(Lines(text)), EixEncoderError);
    EXPECT_FALSE(stop.IsParsing());
    int changes = 0;
    stop.OnChanged = [&](TixObject*) { ++changes; };
    stop.SetSubject("after");  // the hold was released
    EXPECT_EQ(changes, 1);
}

// PDF and text attachments, file names from either field and a type without a subtype are the
// mail corpus's cases, which Python reads too.
TEST_F(MailMessageTest, BodyKindsAndSinglePartFields) {
    TixMailMessage m;
    m.LoadMessage(
        Lines("Content-Type: multipart/mixed; boundary=b\r\n\r\n"
              "--b\r\nContent-Type: image/png\r\nContent-Disposition: attachment\r\n\r\nx\r\n"
              "--b\r\nContent-Type: x-foo/bar\r\n\r\nx\r\n"
              "--b\r\nContent-Type: image/gif; name=\"a.gif\"\r\nContent-ID: <id1>\r\n\r\nx\r\n"
              "--b--\r\n"));
    ASSERT_EQ(m.Bodies().Count(), 3);
    EXPECT_STREQ(m.Bodies()[0].ClassName(), "TixAttachmentBody");
    EXPECT_STREQ(m.Bodies()[1].ClassName(), "TixAttachmentBody");
    EXPECT_EQ(dynamic_cast<TixImageBody&>(m.Bodies()[2]).ContentID(), "id1");
    // A single part takes the MIME fields; white space alone is no part.
    m.LoadMessage(Lines("MIME-Version: 1.0\r\nX-A: 1\r\nContent-Type: text/plain\r\n\r\n  \r\n"));
    EXPECT_EQ(m.Bodies().Count(), 0);  // white space only
    m.LoadMessage(Lines("MIME-Version: 1.0\r\nX-A: 1\r\nContent-Type: text/plain\r\n\r\nhi\r\n"));
    ASSERT_EQ(m.Bodies().Count(), 1);
    EXPECT_EQ(m.Bodies()[0].ExtraFields().Count(), 2);  // MIME-Version and X-A
    EXPECT_EQ(m.ExtraFields().Count(), 1);
}

TEST_F(MailMessageTest, PlainAsciiMessageSource) {
    TixMailMessage m;
    // Composing starts a fresh message: the header fields come after it.
    m.BuildMessage("line one\r\nline two", "");
    m.From().SetFullAddress("Ann <ann@example.com>");
    m.ToList().Add("bob@example.com");
    m.SetSubject("Hello");
    m.SetDate(EncodeDateTime(2026, 12, 7, 8, 0, 0));
    m.NewsGroups().Add("comp.test");  // a news article counts its lines
    const TixStringList& s = m.MessageSource();
    const std::string text = s.Text();
    // The fields, charset and text as Python reads them are the mail interop round trip's.
    EXPECT_NE(text.find("Date: Mon, 7 Dec 2026 08:00:00 +0000\r\nLines: 2\r\nMIME-Version: 1.0\r\n"),
              std::string::npos);
    EXPECT_EQ(text.find("multi-part"), std::string::npos);
    // Cached until a change; a change builds it again with a new boundary.
    EXPECT_EQ(&m.MessageSource(), &s);
    EXPECT_EQ(m.MessageSource().Text(), text);
    m.SetSubject("changed");
    EXPECT_NE(m.MessageSource().Text(), text);
}

// How composed messages with images and attachments read in another reader, their line lengths and
// their images' cid references are the mail interop round trip's.

TEST_F(MailMessageTest, BoundariesMadeInOneMillisecondDiffer) {
    // A message and the parts nested in it take their boundaries within the same millisecond.
    TixMailMessage m;
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        m.GenerateBoundary();
        ASSERT_TRUE(seen.insert(m.Boundary()).second) << m.Boundary() << " again after " << i;
    }
}

TEST_F(MailMessageTest, AttachedFilesComeBackByteForByte) {
    // A file's last line break is its own, not the boundary's; an iso-2022-jp message writes its
    // text as 8-bit, which cannot carry a file's NULs, bare line breaks and control bytes, so such
    // a file goes as base64 there.
    const std::map<std::string, std::string> files{
        {"data.bin", std::string("\x00\x01\r\x1b$B\n\xff\xfe\r\n\r\rend", 16)},
        {"notes.txt", "plain line\r\nanother line\r\n"},
        {"latin1.txt", "caf\xe9\r\n"}};
    for (const char* charSet : {"", "iso-2022-jp"}) {
        SCOPED_TRACE(charSet);
        TixMailMessage m;
        m.SetCharSet(charSet);
        m.OnLoadAttachment = [&](TixObject*, TixMessageBody*, std::string& name,
                                 std::unique_ptr<TixStream>& s, bool& handled) {
            s = std::make_unique<TixMemoryStream>(files.at(name));
            handled = true;
        };
        m.BuildMessage("text", "", TixStringList{"data.bin", "notes.txt", "latin1.txt"}, {});
        const std::string source = m.MessageSource().Text();
        EXPECT_NE(source.find("base64\r\nContent-Disposition: attachment;\r\n\tfilename=\"data.bin\""),
                  std::string::npos)
            << source;
        TixMailMessage r;
        Capture capture;
        capture.Attach(r);
        r.LoadMessage(m.MessageSource());
        EXPECT_EQ(capture.data, (std::vector<std::string>{files.at("data.bin"), files.at("notes.txt"),
                                                          files.at("latin1.txt")}))
            << source;
    }
}

TEST_F(MailMessageTest, StoredFormRoundTrip) {
    TixMailMessage m;
    m.BuildMessage("one\r\ntwo \\ three", "<i>x</i>", TixStringList{"/nonexistent/a.zip"}, {});
    m.Bodies()[1].ExtraFields().Add("X-Note: n");
    TixMemoryStream stream;
    m.Bodies().SaveToStream(stream);
    stream.SetPosition(0);
    TixMailMessage r;
    r.Bodies().LoadFromStream(stream);
    ASSERT_EQ(r.Bodies().Count(), 2);
    auto& alt = dynamic_cast<TixMultipartBody&>(r.Bodies()[0]);
    ASSERT_EQ(alt.Bodies().Count(), 2);
    EXPECT_EQ(dynamic_cast<TixTextBody&>(alt.Bodies()[0]).Strings().Text(), "one\r\ntwo \\ three\r\n");
    EXPECT_EQ(dynamic_cast<TixAttachmentBody&>(r.Bodies()[1]).FileName(), "/nonexistent/a.zip");
    EXPECT_EQ(r.Bodies()[1].ExtraFields()[0], "X-Note: n");
}

}  // namespace
}  // namespace ix

#include "mail/ixMailHeader.h"

#include <gtest/gtest.h>

#include "ixTestSupport.h"

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

// Cross-checks against Python's email package: what we write, Python reads as the same text, and
// what Python writes, we read as the same text.

namespace ix {
namespace {

const char* kPython = "/usr/bin/python3";

std::string FromHex(std::string_view hex) {
    return test::Text(test::Hex(hex));
}
using test::HexOf;

// Runs a Python script (given on its standard input) with one input file; returns its standard output split
// into lines.
std::vector<std::string> RunPython(const std::string& script, const std::string& input) {
    char inputPath[] = "/tmp/ixmailhdr-input-XXXXXX";
    close(mkstemp(inputPath));
    std::ofstream(inputPath, std::ios::binary) << input;
    int status = -1;
    TixStringList lines;
    lines.SetText(test::RunCommand(
        std::string(kPython) + " - " + inputPath + " <<'IXPY'\n" + script + "\nIXPY\n", &status));
    EXPECT_EQ(status, 0) << lines.Text();
    unlink(inputPath);
    return test::Lines(lines);
}

const std::vector<std::string> kTexts = {
    "Plain ASCII subject",
    "Gr\xC3\xBC\xC3\x9F"
    "e aus M\xC3\xBCnchen",
    "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, \xD0\xBC\xD0\xB8\xD1\x80! "
    "\xD0\x94\xD0\xBB\xD0\xB8\xD0\xBD\xD0\xBD\xD0\xB0\xD1\x8F \xD1\x82\xD0\xB5\xD0\xBC\xD0\xB0 "
    "\xD0\xBF\xD0\xB8\xD1\x81\xD1\x8C\xD0\xBC\xD0\xB0 \xD0\xB4\xD0\xBB\xD1\x8F \xD0\xBF\xD0\xB5"
    "\xD1\x80\xD0\xB5\xD0\xBD\xD0\xBE\xD1\x81\xD0\xB0 \xD1\x81\xD1\x82\xD1\x80\xD0\xBE\xD0\xBA",
    "Emoji \xF0\x9F\x98\x80\xF0\x9F\x98\x81\xF0\x9F\x98\x82 and \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E "
    "text that is long enough to need several encoded words on several lines",
    "Looks like =?utf-8?Q?an_encoded_word?= but is not",
    "Punctuation: \"quoted\" (paren) a_b ?=? 100% tab\there",
    std::string(120, 'x') + " long ASCII word",
};

// Every one of our encodings of a text, in a message Python parses with its modern policy.
TEST(MailHeaderInterop, PythonReadsWhatWeWrite) {
    const char* script = R"PY(
import sys, email, email.policy, email.header, email.utils
data = open(sys.argv[1], 'rb').read()
for block in data.split(b'\n===\n'):
    if not block.strip():
        continue
    msg = email.message_from_bytes(block, policy=email.policy.default)
    print('subject=' + str(msg['subject']).encode().hex())
    print('filename=' + (msg.get_filename() or '').encode().hex())
    # The modern parser puts a space between adjacent encoded words of a display name (RFC 2047
    # drops it), so names are read with the older interface.
    old = email.message_from_bytes(block)
    for name, addr in email.utils.getaddresses(old.get_all('to')):
        name = str(email.header.make_header(email.header.decode_header(name)))
        print('to=' + name.encode().hex() + ':' + addr.encode().hex())
)PY";
    std::string input;
    struct Case {
        std::string text, charSet;
        TixEncodeMethod method;
    };
    std::vector<Case> cases;
    for (const std::string& text : kTexts)
        for (const char* charSet : {"utf-8", "iso-8859-1", "koi8-r"})
            for (TixEncodeMethod method : {cmNone, cmQuotedPrintable, cmBase64})
                cases.push_back({text, charSet, method});
    for (const Case& c : cases) {
        TixStringList lines;
        TixMailHeaderFieldList header(c.charSet, 76, c.method);
        header.Parse(0, &lines);
        header.AddEncodedField("Subject", c.text);
        header.AddEncodedField("Content-Disposition", "attachment");
        header.AddEncodedFieldItem("Content-Disposition", "filename*", c.text + ".txt");
        TixEmailAddressList to;
        to.Add().SetName(c.text);
        to.Items(0).SetEmail("one@example.org");
        to.Add("\"Smith, John\" <js@example.org>");
        header.AddEncodedEmailList("To", to);
        for (const auto& item : lines)
            EXPECT_LE(item.line.size(), 76u) << item.line;
        input += lines.Text() + "\r\n\r\nbody\r\n\n===\n";
    }
    const std::vector<std::string> out = RunPython(script, input);
    ASSERT_EQ(out.size(), cases.size() * 4);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(testing::Message() << c.charSet << " " << c.method << " " << c.text);
        EXPECT_EQ(FromHex(out[i * 4].substr(8)), c.text);
        EXPECT_EQ(FromHex(out[i * 4 + 1].substr(9)), c.text + ".txt");
        EXPECT_EQ(out[i * 4 + 2], "to=" + HexOf(c.text) + ":" + HexOf("one@example.org"));
        EXPECT_EQ(out[i * 4 + 3], "to=" + HexOf("Smith, John") + ":" + HexOf("js@example.org"));
    }
}

// Python writes the fields (its own folding, encoded words and RFC 2231 continuations); we read them.
TEST(MailHeaderInterop, WeReadWhatPythonWrites) {
    const char* script = R"PY(
import sys, email, email.policy, email.header, email.utils
from email.message import EmailMessage
for line in open(sys.argv[1]).read().split():
    text = bytes.fromhex(line).decode()
    m = EmailMessage()
    m['Subject'] = text
    m['To'] = email.headerregistry.Address(display_name=text, addr_spec='one@example.org')
    m.add_header('Content-Disposition', 'attachment', filename=text + '.txt')
    raw = m.as_bytes(policy=email.policy.SMTP)
    print(raw.split(b'\r\n\r\n')[0].hex())
    # Python may split a display name between encoded words at a space it does not encode; RFC
    # 2047 readers drop that space. The reference is therefore the name as Python's own RFC 2047
    # decoder reads it back.
    old = email.message_from_bytes(raw)
    name = email.utils.getaddresses(old.get_all('to'))[0][0]
    print(str(email.header.make_header(email.header.decode_header(name))).encode().hex())
)PY";
    // Python writes text that merely looks like an encoded word as it is, so it is left out here.
    std::vector<std::string> texts;
    for (const std::string& text : kTexts)
        if (text.find("=?") == std::string::npos) texts.push_back(text);
    std::string input;
    for (const std::string& text : texts)
        input += HexOf(text) + "\n";
    const std::vector<std::string> out = RunPython(script, input);
    ASSERT_EQ(out.size(), texts.size() * 2);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string& text = texts[i];
        SCOPED_TRACE(text);
        TixStringList lines;
        lines.SetText(FromHex(out[i * 2]));
        TixMailHeaderFieldList header("iso-8859-1", 76, cmNone);
        header.Parse(0, &lines);
        EXPECT_EQ(header.GetDecodedFieldValue("subject"), text) << lines.Text();
        // Python writes the plain form when the name needs no charset.
        const std::string disposition = header.GetFieldValue("content-disposition");
        std::string filename = header.GetDecodedFieldValueItem(disposition, "filename*");
        if (filename.empty()) filename = header.GetDecodedFieldValueItem(disposition, "filename");
        EXPECT_EQ(filename, text + ".txt") << lines.Text();
        TixEmailAddressList to;
        header.GetDecodedEmailList("to", to);
        ASSERT_EQ(to.Count(), 1) << lines.Text();
        EXPECT_EQ(to.Items(0).Name(), FromHex(out[i * 2 + 1]));
        EXPECT_EQ(to.Items(0).Email(), "one@example.org");
    }
}

}  // namespace
}  // namespace ix

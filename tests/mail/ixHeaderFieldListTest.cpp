#include "mail/ixHeaderFieldList.h"

#include <gtest/gtest.h>

#include "ixTestSupport.h"

namespace ix {
namespace {

using test::Unfold;

// Standard unfolding: join the lines of a field, dropping only the line breaks.
TEST(HeaderFieldList, IndexesFieldsUpToTheEmptyLine) {
    TixStringList lines{"Received: one", "Received: two", "X-A: a", "\tb", "X-C:   padded  ", "", "Body: no"};
    TixHeaderFieldList header;
    EXPECT_EQ(header.Parse(0, &lines), 5);
    EXPECT_EQ(header.BodyStart(), 6);
    EXPECT_EQ(header.Count(), 4);
    EXPECT_EQ(header.GetFieldValue("received"), "one");
    EXPECT_EQ(header.GetFieldValue("BODY"), "");
    // Unfolding keeps the folding white space.
    EXPECT_EQ(header.GetFieldValue("x-a"), "a\tb");
    EXPECT_EQ(header.GetFieldValue("x-c"), "padded");

    // A line that is neither a field nor a continuation starts the body; white space before the
    // colon still names the field; an mbox "From " line ahead of the header is skipped.
    TixStringList noBlank{"From someone@example.com Tue Dec  8 10:01:30 2026", "Subject  : hi", "junk line",
                          "X-After: body", ""};
    EXPECT_EQ(header.Parse(0, &noBlank), 2);
    EXPECT_EQ(header.BodyStart(), 2);
    EXPECT_EQ(header.Count(), 1);
    EXPECT_EQ(header.GetFieldName(0), "Subject");
    EXPECT_EQ(header.GetFieldValue("subject"), "hi");
    EXPECT_EQ(header.GetFieldIndex("x-after"), -1);

    TixStringList noEnd{"A: 1", "B: 2"};
    EXPECT_EQ(header.Parse(0, &noEnd), 2);
    header.AddField("C", "3");
    EXPECT_EQ(noEnd.Count(), 3);
    EXPECT_EQ(noEnd[2], "C: 3");
}

TEST(HeaderFieldList, ReadsItemsOfAValueByWholeNamesOutsideQuotes) {
    TixHeaderFieldList h;
    // Quoted and plain items and the value before them are read in every message of the mail corpus,
    // which Python reads too.
    const std::string v = "text/plain; charset=\"koi8-r\"; format=flowed";
    EXPECT_EQ(h.GetFieldValueItem(v, "FORMAT"), "flowed");
    EXPECT_EQ(h.GetFieldValueItem(v, "missing"), "");
    EXPECT_EQ(h.GetFieldValueItem("a; name = 'x y'", "name"), "x y");
    EXPECT_EQ(h.GetFieldValueItem("a; name=\"say \\\"hi\\\".txt\"", "name"), "say \"hi\".txt");
    // Item names match whole items outside quotes: a quoted boundary that happens to contain
    // "charset=" must not be read as the charset.
    const std::string m = "multipart/mixed; boundary=\"--=_charset=1\"; charset=utf-8";
    EXPECT_EQ(h.GetFieldValueItem(m, "charset"), "utf-8");
    EXPECT_EQ(h.GetFieldValueItem(m, "boundary"), "--=_charset=1");
    EXPECT_EQ(h.GetFieldValueItem("text/plain; x-charset=a; charset=b", "charset"), "b");
    // An apostrophe inside a plain value does not open a quoted section.
    EXPECT_EQ(h.GetFieldValueItem("attachment; filename=O'Brien.pdf; size=10", "size"), "10");
    // An unclosed quote runs to the end of the value; it never reads past it.
    EXPECT_EQ(h.GetFieldValueItem("a; b=\"open; c=1", "b"), "\"open; c=1");
    EXPECT_EQ(h.GetFieldValueItem("a; b=\"x\\", "b"), "\"x\\");
}

TEST(HeaderFieldList, RemovesItemsAndFields) {
    TixHeaderFieldList h;
    EXPECT_EQ(h.RemoveItemFromValue("text/plain; charset=x", "charset"), "text/plain");
    EXPECT_EQ(h.RemoveItemFromValue("text/plain; charset=x; format=flowed", "charset"),
              "text/plain; format=flowed");
    EXPECT_EQ(h.RemoveItemFromValue("text/plain", "charset"), "text/plain");
    EXPECT_EQ(h.ClearItemValue("v=1; b=abc; d=x", "b"), "v=1; b=; d=x");

    TixStringList lines{"Content-Type: text/plain; charset=x;", "\tformat=flowed", "Subject: s", ""};
    h.Parse(0, &lines);
    h.RemoveFieldItem("content-type", "charset");
    h.Parse(0, &lines);
    // The folding white space stays, as standard unfolding keeps it.
    EXPECT_EQ(h.GetFieldValue("content-type"), "text/plain;\tformat=flowed");
    EXPECT_EQ(h.GetFieldValue("subject"), "s");
    // Removing a whole field and inserting lines keep the end of the header in step.
    lines.Add("body");
    h.RemoveField(0);
    EXPECT_EQ(h.HeaderEnd(), 1);
    h.InsertLines(0, TixStringList{"Z: 9"});
    EXPECT_EQ(h.HeaderEnd(), 2);
    EXPECT_EQ(h.Parse(0, &lines), 2);
    EXPECT_EQ(h.GetFieldValue("z"), "9");
    EXPECT_EQ(lines[3], "body");
}

TEST(HeaderFieldList, WithoutLineLengthNothingIsFolded) {
    TixStringList lines;
    TixHeaderFieldList h;
    h.Parse(0, &lines);
    const std::string longValue(200, 'x');
    h.AddField("Subject", longValue + " " + longValue);
    h.AddField("Content-Type", "text/plain");
    h.AddFieldItem("content-type", "charset", "utf-8");
    h.AddQuotedFieldItem("content-type", "name", "a \"b\".txt");
    h.AddField("Empty", "");
    ASSERT_EQ(lines.Count(), 2);
    EXPECT_EQ(lines[1], "Content-Type: text/plain; charset=utf-8; name=\"a \\\"b\\\".txt\"");
    h.AddEndOfHeader();
    h.AddEndOfHeader();
    EXPECT_EQ(lines.Count(), 3);
    EXPECT_EQ(lines[2], "");
}

TEST(HeaderFieldList, FoldsAtWhiteSpaceAndUnfoldsToTheSameValueKeepingLongTokensWhole) {
    TixStringList lines;
    TixHeaderFieldList h;
    h.SetCharsPerLine(76);
    h.Parse(0, &lines);
    std::string value;
    for (int i = 0; i < 40; ++i)
        value += "word" + std::to_string(i) + (i % 7 ? " " : "\t");
    value += "end";
    const std::string id = "<" + std::string(120, 'a') + "@example.com>";
    h.AddField("Subject", value);
    h.AddField("Message-ID", id);
    h.AddField("References", "<a@b> " + id + " <c@d>");
    for (const auto& item : lines) {
        if (item.line.size() > 76) {
            EXPECT_NE(item.line.find(id), std::string::npos) << item.line;
        }
    }
    EXPECT_EQ(Unfold(lines, h.FieldLine(0)), "Subject: " + value);
    EXPECT_EQ(h.GetFieldValue("subject"), value);
    // A token longer than a line stays whole.
    EXPECT_EQ(h.GetFieldValue("message-id"), id);
    EXPECT_EQ(h.GetFieldValue("references"), "<a@b> " + id + " <c@d>");
    for (int i = 0; i < lines.Count(); ++i)
        EXPECT_FALSE(lines[i].find_first_not_of(" \t") == std::string::npos) << "blank line " << i;
    // One token of a megabyte cannot be folded either; it stays whole on one line.
    const std::string token(1 << 20, 'x');
    h.AddField("X-Token", token);
    EXPECT_TRUE(lines[lines.Count() - 1] == "X-Token: " + token);  // no megabytes printed on failure
    EXPECT_TRUE(h.GetFieldValue("x-token") == token);
}

}  // namespace
}  // namespace ix

#include "imap/ixImap4.h"

#include <gtest/gtest.h>

#include "ixTestSupport.h"

#include <string>
#include <utility>
#include <vector>

#include "ixImapTestHelpers.h"
#include "ixImapWireHelpers.h"
#include "ixLoopbackServer.h"
#include "mail/ixMailMessage.h"

namespace ix {
namespace {

using test::CodeOf;
using test::GreetAndLogin;
using test::LoopbackPeer;
using test::LoopbackServer;
using State = TixImap4ConnectionState;
using Flag = TixMailMessageFlag;

// A literal as the server announces it: the byte count, CRLF, the bytes.
std::string Literal(const std::string& bytes) {
    return "{" + std::to_string(bytes.size()) + "}\r\n" + bytes;
}

class Imap4MessageWireTest : public test::Imap4WireFixture {
protected:
    // Logs in; the script then answers the commands from tag a0002 on and logs out with `logout`.
    void Run(std::function<void(LoopbackPeer&)> script, const std::string& logout) {
        server.Serve([script = std::move(script), logout](LoopbackPeer& peer) {
            GreetAndLogin(peer);
            script(peer);
            peer.Play({test::Logout(logout)});
        });
        imap.Open();
        sent.clear();
    }
    void Run(std::vector<LoopbackPeer::Step> steps, const std::string& logout) {
        ServeSession(std::move(steps), logout);
        imap.Open();
        sent.clear();
    }
};

// ---- Arguments and state, before any traffic ----

TEST_F(Imap4MessageWireTest, ArgumentChecksComeBeforeTheStateGuardAndSendNothing) {
    TixMailMessage message;
    TixStringList list;
    std::string text;
    EXPECT_EQ(CodeOf([&] { imap.GetMessageFlags(0); }, &text), IX_IMAP_INVALID_MESSAGE_NUMBER);
    EXPECT_EQ(text, "Message number is invalid, must be greater than 0");
    // Every message operation runs the same check.
    EXPECT_EQ(CodeOf([&] { imap.RetrieveMessage(-1, &message); }), IX_IMAP_INVALID_MESSAGE_NUMBER);

    EXPECT_EQ(CodeOf([&] { imap.AppendMessage("  ", TixStringList{"x"}); }, &text),
              IX_IMAP_INVALID_ARGUMENTS);
    EXPECT_EQ(text, "Function arguments are invalid");
    // Without a MailMessage link there is nothing to append (the link is read as a null message).
    EXPECT_EQ(CodeOf([&] { imap.AppendMessage("INBOX"); }), IX_IMAP_INVALID_ARGUMENTS);
    EXPECT_EQ(CodeOf([&] { imap.AppendMessage("INBOX", TixStringList{std::string("a\0b", 3)}); }),
              IX_IMAP_INVALID_ARGUMENTS);
    // Criteria go out unquoted: a line break would smuggle in a second command.
    EXPECT_EQ(CodeOf([&] { imap.SearchMessages("ALL\r\na0003 DELETE INBOX", list); }),
              IX_IMAP_INVALID_ARGUMENTS);
    EXPECT_EQ(CodeOf([&] { imap.SearchMessages(std::string("ALL\0", 4), list); }), IX_IMAP_INVALID_ARGUMENTS);

    // Valid arguments reach the state guard.
    EXPECT_EQ(CodeOf([&] { imap.AppendMessage("INBOX", &message); }), IX_IMAP_INVALID_STATE);
    EXPECT_EQ(CodeOf([&] { imap.SearchMessages("ALL", list); }), IX_IMAP_INVALID_STATE);
    EXPECT_EQ(sent, "");
}

// ---- Flags and sizes ----

// SEARCH's numbers, and an empty result, are the client window's Find against the sandbox.
TEST_F(Imap4MessageWireTest, FlagsAndSizeComeFromTheLineOfTheRequestedMessage) {
    Run(
        {
            // An unsolicited answer for message 1 must not be taken for message 12.
            {"a0002 FETCH 12 (FLAGS)\r\n",
             "* 1 FETCH (FLAGS (\\Answered))\r\n* 12 FETCH (FLAGS (\\Seen \\Deleted))\r\na0002 OK\r\n"},
            {"a0003 FETCH 3 (FLAGS)\r\n", "* 3 FETCH (UID 7)\r\n* 3 FETCH (FLAGS (\\Draft))\r\na0003 OK\r\n"},
            {"a0004 FETCH 4 (RFC822.SIZE)\r\n", "* 4 FETCH (RFC822.SIZE 2048)\r\na0004 OK\r\n"},
            {"a0005 FETCH 5 (RFC822.SIZE)\r\n", "* 6 FETCH (RFC822.SIZE 2048)\r\na0005 OK\r\n"},
            {"a0006 FETCH 6 (RFC822.SIZE)\r\n",
             "* 6 FETCH (RFC822.SIZE 99999999999999999999999)\r\na0006 OK\r\n"},
            {"a0007 FETCH 7 (FLAGS)\r\n", "a0007 NO no such message\r\n"},
            // A mailbox name's control characters go out encoded, never as themselves.
            {"a0008 COPY 5 \"x&AA0ACg-y\"\r\n", "a0008 NO [TRYCREATE] no such mailbox\r\n"},
        },
        "a0009");
    EXPECT_EQ(imap.GetMessageFlags(12), (TixMailMessageFlags{Flag::mfDeleted, Flag::mfSeen}));
    EXPECT_EQ(imap.CurrentMessage, 12);
    // The first line of the message decides, even without FLAGS.
    EXPECT_EQ(imap.GetMessageFlags(3), TixMailMessageFlags{});
    EXPECT_EQ(imap.GetMessageSize(4), 2048);
    EXPECT_EQ(imap.GetMessageSize(5), 0);
    EXPECT_EQ(imap.GetMessageSize(6), 0);
    EXPECT_EQ(imap.CurrentMessage, 6);
    EXPECT_EQ(CodeOf([&] { imap.GetMessageFlags(7); }), IMAP_NO);
    EXPECT_EQ(imap.CurrentMessage, 6);
    EXPECT_EQ(CodeOf([&] { imap.CopyMessage(5, "x\r\ny"); }), IMAP_NO);
    // The line parser alone: a number in any case and spacing, none beyond the range or missing.
    EXPECT_EQ(TixImap4::ParseFetchLine("* 1 fetch (FLAGS ())"), 1);
    EXPECT_EQ(TixImap4::ParseFetchLine("*  7  FETCH (FLAGS ())"), 7);
    EXPECT_EQ(TixImap4::ParseFetchLine("* 99999999999999999999 FETCH ()"), 0);
    EXPECT_EQ(TixImap4::ParseFetchLine("* FETCH"), 0);
}

// STORE's three methods are the message sandbox's flag round trip (the server's flags after each),
// DELETE and COPY into a non-ASCII folder the client window's Delete and Copy against the sandbox.

// ---- Literal extraction ----

TEST_F(Imap4MessageWireTest, OnlyTheMessagesOwnLiteralLoadsCutByItsWireBytes) {
    const std::string header = "Subject: Hello\r\nFrom: Ann <ann@example.com>\r\n\r\n";
    // Latin-1 on the wire: one byte per letter, two in the local UTF-8 text.
    const std::string latin1 =
        "Subject: Gr\xFC\xDF"
        "e\r\n\r\n\xE4\xF6\xFC";
    Run(
        {
            {"a0002 FETCH 2 (BODY.PEEK[HEADER])\r\n",
             "* 1 FETCH (FLAGS (\\Seen))\r\n* 2 FETCH (FLAGS (\\Seen))\r\n* 2 FETCH (BODY[HEADER] " +
                 Literal(header) + ")\r\n* 4 EXISTS\r\na0002 OK done\r\n"},
            {"a0003 FETCH 1 (BODY.PEEK[])\r\n", "* 1 FETCH (BODY[] {3}\r\nabc)\r\na0003 OK\r\n"},
            {"a0004 FETCH 1 (BODY.PEEK[])\r\n",
             "* 2 FETCH (BODY[] {5}\r\nabc\r\n)\r\n* 3 EXISTS\r\na0004 OK\r\n"},
            {"a0005 FETCH 1 (BODY.PEEK[])\r\n",
             "* 1 FETCH (BODY[] NIL)\r\n* 3 EXISTS\r\n* 1 RECENT\r\na0005 OK\r\n"},
            {"a0006 FETCH 1 (BODY.PEEK[HEADER])\r\n",
             "* 1 FETCH (BODY[HEADER] {0}\r\n)\r\n* 3 EXISTS\r\na0006 OK\r\n"},
            {"a0007 FETCH 1 (BODY.PEEK[])\r\n",
             "* 1 FETCH (BODY[] " + Literal(latin1) + "\xE4)\r\n* 1 FETCH (FLAGS ())\r\na0007 OK\r\n"},
        },
        "a0008");
    // The header literal keeps its empty last line.
    TixMailMessage message;
    imap.RetrieveHeader(2, &message);
    EXPECT_EQ(test::Lines(imap.ResponseList()),
              (std::vector<std::string>{"Subject: Hello", "From: Ann <ann@example.com>", ""}));
    EXPECT_EQ(message.From().Email(), "ann@example.com");
    EXPECT_EQ(imap.CurrentMessage, 2);

    // Answers without a literal of the message load nothing. Three lines in all.
    message.SetSubject("kept");
    imap.RetrieveMessage(1, &message);
    EXPECT_EQ(imap.ResponseList().Count(), 3);
    EXPECT_EQ(message.Subject(), "kept");
    // Only another message's literal.
    imap.RetrieveMessage(1, &message);
    EXPECT_EQ(imap.ResponseList().Strings(0), "* 2 FETCH (BODY[] {5}");
    // No literal, or an empty one.
    imap.RetrieveMessage(1, &message);
    imap.RetrieveHeader(1, &message);
    EXPECT_EQ(message.Subject(), "kept");

    imap.SetCharSet("iso-8859-1");
    imap.RetrieveMessage(1, nullptr);
    EXPECT_EQ(test::Lines(imap.ResponseList()), (std::vector<std::string>{"Subject: Gr\xC3\xBC\xC3\x9F"
                                                                          "e",
                                                                          "", "\xC3\xA4\xC3\xB6\xC3\xBC"}));
}

// Bare LF and lone CR lines, and reads that cut a literal anywhere, are the command client's literal
// cases.
TEST_F(Imap4MessageWireTest, ALiteralIsExactlyItsAnnouncedBytesWhateverItsLinesLookLike) {
    // Lines that look like continuations or like the command's own completion, in pieces of 7 bytes,
    // the last one ending inside the literal.
    Run(
        [](LoopbackPeer& peer) {
            const std::string body =
                "Subject: Tricky\r\n\r\n+ not a continuation\r\n+\r\na0002 OK not the end\r\n* 1 FETCH "
                "(x)\r\nlast";
            peer.Expect("a0002 FETCH 1 (BODY.PEEK[])\r\n");
            peer.SendSplit("* 1 FETCH (BODY[] " + Literal(body) + " FLAGS (\\Seen))\r\na0002 OK\r\n", 7, 0);
        },
        "a0003");
    imap.RetrieveMessage(1, nullptr);
    EXPECT_EQ(test::Lines(imap.ResponseList()),
              (std::vector<std::string>{"Subject: Tricky", "", "+ not a continuation", "+",
                                        "a0002 OK not the end", "* 1 FETCH (x)", "last"}));
}

TEST_F(Imap4MessageWireTest, AnOversizedLiteralFailsWithoutTouchingTheMessage) {
    imap.SetMaxResponseSize(1 << 20);
    server.Serve([](LoopbackPeer& peer) {
        GreetAndLogin(peer);
        peer.ReadLine();
        peer.Send("* 1 FETCH (BODY[] {5000000000}\r\nabc");
        peer.WaitForClose(2000);
    });
    imap.Open();
    TixMailMessage message;
    message.SetSubject("kept");
    EXPECT_EQ(CodeOf([&] { imap.RetrieveMessage(1, &message); }), IX_RESPONSE_TOO_LARGE);
    EXPECT_FALSE(imap.Active());
    EXPECT_EQ(message.Subject(), "kept");
    EXPECT_EQ(imap.TotalMessageSize, 0);
}

// A literal cut short is a seed of the IMAP session fuzz target (preauth-hostile), replayed under
// the sanitizers; the wait for its missing bytes is the TCP client's read time-out.

// ---- APPEND ----

// A linked message's source is the message sandbox's append, which reads it back from the server.
TEST_F(Imap4MessageWireTest, AppendAnnouncesWireBytesAndReadsTheIdentifierOfTheCompletion) {
    Run(
        {
            // "Grüße" is 5 characters but 7 bytes: 7 + 2 + 3 + 2.
            {"a0002 APPEND \"Entw&APw-rfe\" (\\Seen) {14}\r\n", "+ go ahead\r\n"},
            // An untagged line first, and the identifier only on the completion line.
            {"Gr\xC3\xBC\xC3\x9F"
             "e\r\nabc\r\n\r\n",
             "* 5 EXISTS\r\na0002 OK [APPENDUID 38505 3955] done\r\n"},
            {"a0003 APPEND \"INBOX\" {5}\r\n", "+\r\n"},
            {"abc\r\n\r\n", "* OK [APPENDUID 1 2] not mine\r\na0003 OK done\r\n"},
            // Refused: the next thing the client says must be the next command, not the message.
            {"a0004 APPEND \"Nope\" {5}\r\n", "a0004 NO [TRYCREATE] no such mailbox\r\n"},
            // Latin-1 on the wire: the count is taken after the conversion.
            {"a0005 APPEND \"a\\\"b\" {7}\r\n", "+ ok\r\n"},
            {"Gr\xFC\xDF"
             "e\r\n\r\n",
             "a0005 OK [APPENDUID 7 8]\r\n"},
        },
        "a0006");
    EXPECT_EQ(imap.AppendMessage("Entw\xC3\xBCrfe",
                                 TixStringList{"Gr\xC3\xBC\xC3\x9F"
                                               "e",
                                               "abc"},
                                 {Flag::mfSeen}),
              "3955");
    EXPECT_EQ(imap.AppendMessage("INBOX", TixStringList{"abc"}), "");
    std::string text;
    EXPECT_EQ(CodeOf([&] { imap.AppendMessage("Nope", TixStringList{"abc"}); }, &text), IMAP_NO);
    EXPECT_EQ(text, "a0004 NO [TRYCREATE] no such mailbox");
    imap.SetCharSet("iso-8859-1");
    EXPECT_EQ(imap.AppendMessage("a\"b", TixStringList{"Gr\xC3\xBC\xC3\x9F"
                                                       "e"}),
              "8");
    // The identifier is the second word, whatever the code's case.
    EXPECT_EQ(TixImap4::ParseAppendUid("a0001 ok [appenduid 1 2]"), "2");
    EXPECT_EQ(TixImap4::ParseAppendUid("a0001 OK [APPENDUID 38505]"), "");
    EXPECT_EQ(TixImap4::ParseAppendUid("a0001 OK [APPENDUID "), "");
}

}  // namespace
}  // namespace ix

#include "imap/ixImap4.h"

#include <gtest/gtest.h>

#include "ixTestSupport.h"

#include <functional>

#include "imap/ixSspiAuth.h"
#include "ixImapWireHelpers.h"
#include "ixLoopbackServer.h"
#include "text/ixEncoder.h"

namespace ix {
namespace {

using test::LoopbackPeer;
using test::LoopbackServer;
using State = TixImap4ConnectionState;

using test::CodeOf;
using test::GreetAndLogin;
using Imap4WireTest = test::Imap4WireFixture;

// ---- Session: greeting, tags, login ----

// Outside its state an operation raises, unless AutoReconnect opens the session for it; a command
// from an event handler during an exchange is refused and the exchange goes on.
TEST_F(Imap4WireTest, TagsCountFromTheGreetingAndACommandFromAnEventHandlerIsRefused) {
    std::string message;
    EXPECT_EQ(CodeOf([&] { imap.SelectMailBox("INBOX"); }, &message), IX_IMAP_INVALID_STATE);
    EXPECT_EQ(message, "The command is not valid in this state");
    ServeSession(
        {{"a0002 CLOSE\r\n", "a0002 OK closed\r\n"}, {"a0003 NOOP\r\n", "* 1 EXISTS\r\na0003 OK\r\n"}},
        "a0004");
    imap.SetAutoReconnect(true);
    imap.CloseMailBox();
    EXPECT_EQ(imap.ConnectionState, State::csAuthenticated);
    std::vector<int> refused;
    auto nested = [&] { refused.push_back(CodeOf([&] { imap.Noop(); })); };
    imap.OnGetResponseCode = [&](TixObject*, const std::string&, int&) { nested(); };
    imap.OnReceiveResponse = [&](TixObject*, TixStringList&) { nested(); };
    imap.Noop();
    imap.OnGetResponseCode = nullptr;
    imap.OnReceiveResponse = nullptr;
    EXPECT_EQ(refused, std::vector<int>(3, IX_COMMAND_IN_PROGRESS));
    imap.Close();
    EXPECT_EQ(imap.ConnectionState, State::csNonAuthenticated);
    EXPECT_EQ(sent, "a0001 LOGIN \"u\" \"p\"\r\na0002 CLOSE\r\na0003 NOOP\r\na0004 LOGOUT\r\n");
}

// A BYE and then the server's close as the answer is the STARTTLS tests' case (the greeting right
// behind the handshake, read as every answer is), and the client window's lost connection (a BYE
// during a FETCH).

// A refused login is the sandbox's wrong-password case (state and connection) and the client
// window's (the server's tagged line as the text).

TEST_F(Imap4WireTest, LoginArgumentsWithLineBreaksOr8BitBytesAreSentAsLiteralsAndMaskedForLogs) {
    // CR/LF and 8-bit bytes travel as synchronizing literals whose count is in bytes, so a password
    // can never end the command line early. (Quotes and backslashes escaped in a quoted string are
    // the mailbox names' cases, a quoted user name masked in the log the client window's.)
    imap.SetUserName("T\xC3\xA4rvel");
    imap.SetPassword("x\r\na0002 DELETE INBOX\xC3\xA4");
    server.Serve([](LoopbackPeer& peer) {
        peer.Play({
            {"", "* OK ready\r\n"},
            {"a0001 LOGIN {7}\r\n", "+ go\r\n"},
            {"T\xC3\xA4rvel {23}\r\n", "+\r\n"},  // a lone plus is a continuation request too
            {"x\r\na0002 DELETE INBOX\xC3\xA4\r\n", "a0001 OK in\r\n"},
            {"a0002 NOOP\r\n", "a0002 OK\r\n"},
            test::Logout("a0003"),
        });
    });
    // The event gets the real line; logs get it masked, and know it carries credentials.
    std::vector<std::string> shown, real;
    imap.OnSendCommand = [&](TixObject*, const std::string& text) {
        real.push_back(text);
        shown.push_back((imap.CommandHasCredentials() ? "secret: " : "") + imap.MaskedCommand());
    };
    imap.Open();
    EXPECT_EQ(imap.ConnectionState, State::csAuthenticated);
    imap.Noop();
    imap.OnSendCommand = nullptr;  // the LOGOUT at the end comes after `shown` is gone
    EXPECT_EQ(shown, (std::vector<std::string>{"secret: a0001 LOGIN ****\r\n", "secret: ****\r\n",
                                               "secret: ****\r\n", "a0002 NOOP\r\n"}));
    EXPECT_EQ(real[2], "x\r\na0002 DELETE INBOX\xC3\xA4\r\n");
}

TEST_F(Imap4WireTest, EmptyPasswordSendsTheUserAloneAndNulIsRefused) {
    imap.SetPassword("");
    server.Serve([](LoopbackPeer& peer) {
        peer.Play(
            {{"", "* OK ready\r\n"}, {"a0001 LOGIN \"u\"\r\n", "a0001 OK in\r\n"}, test::Logout("a0002")});
    });
    imap.Open();
    imap.Close();
    EXPECT_EQ(server.Join(), "");

    // A NUL can travel neither quoted nor as a literal: refused before anything is written.
    imap.SetPassword(std::string("p\0q", 3));
    server.Serve([](LoopbackPeer& peer) {
        peer.Send("* OK ready\r\n");
        if (!peer.WaitForClose(2000)) throw test::LoopbackScriptError{"client kept the connection"};
    });
    sent.clear();
    EXPECT_EQ(CodeOf([&] { imap.Open(); }), IX_IMAP_INVALID_ARGUMENTS);
    EXPECT_EQ(sent, "");
    EXPECT_EQ(CodeOf([&] { imap.SendTaggedCommand("NOOP\r\nLOGOUT", {IMAP_OK}); }),
              IX_IMAP_INVALID_ARGUMENTS);
}

// ---- Response classification ----

TEST_F(Imap4WireTest, OnlyTheTaggedLineEndsTheWaitWithTheStatusWordCaseSensitive) {
    server.Serve([](LoopbackPeer& peer) {
        GreetAndLogin(peer);
        peer.Play({
            {"a0002 SELECT \"INBOX\"\r\n",
             "* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft \\Recent)\r\n"
             "* NO a warning\r\n"
             "* BYE not really\r\n"
             "* OK [PERMANENTFLAGS (\\deleted \\Seen $Junk \\*)] Limited\r\n"
             "a00020 OK another tag\r\n"
             "a0002 ok lower case\r\n"},
        });
        peer.Sleep(100);
        peer.Send("A0002 OK [READ-ONLY] SELECT completed\r\n");
        peer.Play({test::Logout("a0003")});
    });
    imap.Open();
    imap.SelectMailBox("INBOX");
    const TixImap4MailBoxInfo& box = imap.CurrentMailBox();
    // The counts, UIDVALIDITY and the first unseen message are the real servers' select cases.
    EXPECT_EQ(imap.ResponseList().Count(), 7);
    EXPECT_TRUE(box.ReadOnly);
    EXPECT_EQ(box.Flags, (TixMailMessageFlags{TixMailMessageFlag::mfAnswered, TixMailMessageFlag::mfFlagged,
                                              TixMailMessageFlag::mfDeleted, TixMailMessageFlag::mfSeen,
                                              TixMailMessageFlag::mfDraft, TixMailMessageFlag::mfRecent}));
    EXPECT_EQ(box.PermanentFlags,
              (TixMailMessageFlags{TixMailMessageFlag::mfDeleted, TixMailMessageFlag::mfSeen}));
}

// A refused SELECT is the sandbox's select case.

// A PREAUTH greeting skips the login: the first command takes the first tag.
TEST_F(Imap4WireTest, PreauthSkipsLoginAndContinuationsDependOnFetch) {
    server.Serve([](LoopbackPeer& peer) {
        peer.Play({
            {"", "* PREAUTH welcome back\r\n"},
            // During a FETCH a line starting with "+ " is message text, not a continuation request.
            {"a0001 UID FETCH 1 (FLAGS)\r\n",
             "+ looks like a continuation\r\n* 1 FETCH (FLAGS (\\Seen))\r\na0001 OK\r\n"},
            // Outside a FETCH it is one, and unexpected here.
            {"a0002 NOOP\r\n", "+ go on\r\n"},
        });
        peer.Close();
    });
    imap.Open();
    EXPECT_EQ(imap.ConnectionState, State::csAuthenticated);
    imap.SendTaggedCommand("UID FETCH 1 (FLAGS)", {IMAP_OK});
    EXPECT_EQ(imap.ResponseList().Count(), 3);
    EXPECT_FALSE(imap.IsFetchCommand());
    EXPECT_EQ(CodeOf([&] { imap.SendTaggedCommand("NOOP", {IMAP_OK}); }), IMAP_CONTINUE);
    EXPECT_FALSE(imap.IsTaggedCommand());
}

// Lines cut across reads, NUL bytes, and a 0 ending the expected codes are the command client's
// cases (the same reading serves the greeting and every answer); literals too large or cut short are
// the message wire tests'; endless lines and floods are the command client's response limit cases.

TEST_F(Imap4WireTest, KeepAliveNeverInterruptsAnExchange) {
    imap.SetKeepAlive(100);
    server.Serve([](LoopbackPeer& peer) {
        GreetAndLogin(peer);
        peer.Expect("a0002 SELECT \"INBOX\"\r\n");
        peer.Sleep(600);  // the keep-alive timer runs several times meanwhile
        peer.Send("a0002 OK [READ-WRITE] done\r\n");
        // Nothing but LOGOUT may follow: a NOOP sent during the wait would come first.
        peer.Play({test::Logout("a0003")});
    });
    imap.Open();
    imap.SelectMailBox("INBOX");
    imap.SetKeepAlive(0);
    imap.Close();
}

// ---- Mailboxes ----

TEST_F(Imap4WireTest, ListNamesAreUnescapedDecodedAndReadFromLiterals) {
    ServeSession(
        {
            {"a0002 LIST \"\" \"*\"\r\n",
             "* LIST (\\HasNoChildren) \"/\" INBOX\r\n"
             "* LIST (\\HasChildren) \"/\" \"Work\"\r\n"
             "* LIST () \"/\" {8}\r\nLit\r\nBox\r\n"
             "* LIST no parenthesis\r\n"
             "* LIST () \"/\" \"never closed\\\r\n"
             "* LIST () \"\\\\\" Back\r\n"
             "a0002 OK LIST done\r\n"},
            {"a0003 LSUB \"\" \"*\"\r\n", "a0003 OK nothing\r\n"},
        },
        "a0004");
    imap.Open();
    TixStringList names;
    imap.GetMailBoxes(names);
    // A quote that never closes leaves the rest of the line.
    EXPECT_EQ(test::Lines(names),
              (std::vector<std::string>{"INBOX", "Work", "Lit\r\nBox", "never closed\\", "Back"}));
    EXPECT_EQ(imap.MailBoxSeparator, '\\');
    imap.GetSubscribedMailBoxes(names);
    EXPECT_EQ(names.Count(), 0);
}

// Mailbox names in UTF-7, with escaped quotes and backslashes, and astral letters, going out and
// coming back from LIST, and a NIL delimiter, are the real servers' life cycle cases, which create,
// subscribe and delete them and read them back from LIST and LSUB.

// ---- SASL ----
// Refusals are the real servers' wrong-password cases (CRAM-MD5 on the sandbox, NTLM on the NTLM
// server); CRAM-MD5 chosen over PLAIN and its answer are the sandbox's and the second server's logins,
// PLAIN from a lower-case list after an empty go-ahead the STARTTLS login's.

// The client's line and the server's answer, after the CAPABILITY answer.
using Steps = std::vector<LoopbackPeer::Step>;

struct SaslCase {
    const char* name;
    const char* capabilities;
    const char* authorization;
    bool saslOnly;
    Steps steps;       // then LOGOUT when the login succeeds, else the client's close
    int expectedCode;  // 0: logged in
    const char* user = "u";
    const char* password = "p";
};

class Imap4SaslTest : public Imap4WireTest, public ::testing::WithParamInterface<SaslCase> {};

TEST_P(Imap4SaslTest, ChoosesAndRunsTheMechanism) {
    const SaslCase& c = GetParam();
    imap.SetSaslOnly(c.saslOnly);
    imap.SetUserName(c.user);
    imap.SetPassword(c.password);
    // A token alone switches SASL on.
    if (*c.authorization)
        imap.SetAuthorization(c.authorization);
    else
        imap.SetUseSasl(true);
    server.Serve([&c](LoopbackPeer& peer) {
        peer.Play(
            {{"", "* OK ready\r\n"},
             {"a0001 CAPABILITY\r\n", std::string("* CAPABILITY ") + c.capabilities + "\r\na0001 OK\r\n"}});
        peer.Play(c.steps);
        if (c.expectedCode == 0)
            peer.Play({test::Logout("a0003")});
        else if (!peer.WaitForClose(2000))
            throw test::LoopbackScriptError{"client kept the connection"};
    });
    // Logs know which lines carry credentials: the exchange's answers, LOGIN and an initial response.
    std::string misjudged;
    imap.OnSendCommand = [&](TixObject*, const std::string& text) {
        bool secret = text.rfind("a0", 0) != 0 || text.find(" LOGIN ") != std::string::npos ||
                      text.find("XOAUTH2 ") != std::string::npos;
        if (imap.CommandHasCredentials() != secret) misjudged += text;
    };
    EXPECT_EQ(CodeOf([&] { imap.Open(); }), c.expectedCode);
    imap.OnSendCommand = nullptr;  // the LOGOUT at the end comes after `misjudged` is gone
    EXPECT_EQ(misjudged, "");
    EXPECT_EQ(imap.ConnectionState, c.expectedCode == 0 ? State::csAuthenticated : State::csNonAuthenticated);
}

std::string Base64(const char* hex) {
    return TixEncoder::EncodeBytes(test::Hex(hex), cmBase64);
}

// NTLM up to the server's challenge (base64), then the steps after it.
Steps Ntlm(const std::string& challenge, const Steps& after = {}) {
    Steps steps{{"a0002 AUTHENTICATE NTLM\r\n", "+ \r\n"},
                {Base64(test::kNtlmNegotiate) + "\r\n", "+ " + challenge + "\r\n"}};
    steps.insert(steps.end(), after.begin(), after.end());
    return steps;
}

const std::string kNtlmAnswer = Base64(test::kNtlmAuthenticate) + "\r\n";
const std::string kXOAuth2 = "a0002 AUTHENTICATE XOAUTH2 dXNlcj11AWF1dGg9dG9rAQE=\r\n";

INSTANTIATE_TEST_SUITE_P(
    Mechanisms, Imap4SaslTest,
    ::testing::Values(
        SaslCase("NtlmBeforeCramMd5AndPlain", "IMAP4rev1 AUTH=PLAIN AUTH=CRAM-MD5 AUTH=NTLM", "", true,
                 Ntlm(Base64(test::kNtlmChallenge), {{kNtlmAnswer, "a0002 OK NTLM done\r\n"}}), 0,
                 "Domain\\User", "Password"),
        // Signature and type, then nothing.
        SaslCase("NtlmHostileChallengeGetsNoAnswer", "IMAP4rev1 AUTH=NTLM", "", false,
                 Ntlm("TlRMTVNTUAACAAAA"), IX_SEC_E_INVALID_TOKEN),
        SaslCase("NtlmWithoutUserNameSendsNothing", "IMAP4rev1 AUTH=NTLM", "", false, {},
                 IX_SEC_E_NO_CREDENTIALS, ""),
        SaslCase("XOAuth2WithInitialResponse", "IMAP4rev1 SASL-IR AUTH=XOAUTH2 AUTH=PLAIN", "tok", false,
                 {{kXOAuth2, "a0002 OK\r\n"}}, 0),
        SaslCase("XOAuth2RefusedThroughItsChallenge", "IMAP4rev1 SASL-IR AUTH=XOAUTH2", "tok", true,
                 {{kXOAuth2, "+ eyJzdGF0dXMiOiI0MDEifQ==\r\n"},
                  {"\r\n", "* OK still thinking\r\na0002 NO [AUTHENTICATIONFAILED] invalid token\r\n"}},
                 IMAP_NO),
        SaslCase("XOAuth2NeedsSaslIr", "IMAP4rev1 AUTH=XOAUTH2", "tok", false,
                 {{"a0002 LOGIN \"u\" \"p\"\r\n", "a0002 OK\r\n"}}, 0),
        SaslCase("SaslOnlyWithoutMechanismFailsBeforeAuthenticate", "IMAP4rev1 AUTH=GSSAPI", "", true, {},
                 IX_IMAP_SASL_FAILED)),
    [](const ::testing::TestParamInfo<SaslCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ix

#include "imap/ixImap4.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "ixImapTestHelpers.h"
#include "ixTestSupport.h"

namespace ix {
namespace {

using State = TixImap4ConnectionState;

using test::CodeOf;

using Imap4SandboxTest = test::SandboxClientTest;

TEST_F(Imap4SandboxTest, LogsInWithLoginAndAWrongPasswordIsRefusedThroughCramMd5) {
    imap.Open();
    EXPECT_EQ(imap.ConnectionState, State::csAuthenticated);
    EXPECT_NE(sent.find("a0001 LOGIN \""), std::string::npos);
    TixStringList capabilities;
    imap.GetCapabilities(capabilities);
    EXPECT_GE(capabilities.IndexOf("IMAP4rev1"), 0);
    // Mechanisms are offered only before login: the list is the one asked for afterwards.
    EXPECT_LT(capabilities.IndexOf("AUTH=CRAM-MD5"), 0);
    imap.Close();
    EXPECT_EQ(imap.ConnectionState, State::csNonAuthenticated);

    // With SASL the server's list picks CRAM-MD5 (PLAIN is offered as well); a wrong password is
    // refused. (A CRAM-MD5 login is the second server's case, a refused LOGIN the client window's.)
    sent.clear();
    imap.SetUseSasl(true);
    imap.SetPassword("not the password");
    EXPECT_EQ(CodeOf([&] { imap.Open(); }), IMAP_NO);
    EXPECT_NE(sent.find("AUTHENTICATE CRAM-MD5"), std::string::npos) << sent;
    EXPECT_FALSE(imap.Active());
    EXPECT_EQ(imap.ConnectionState, State::csNonAuthenticated);
}

// The sandbox's nested, subscribed and non-ASCII folders are the client window's login case; a
// pattern below a folder is the second server's listing case.

TEST_F(Imap4SandboxTest, SelectReadsCountsAndFlagsARefusedSelectLeavesNoneAndCloseSurvivesADrop) {
    imap.Open();
    imap.SelectMailBox("INBOX");
    const TixImap4MailBoxInfo& box = imap.CurrentMailBox();
    EXPECT_EQ(imap.ConnectionState, State::csSelected);
    EXPECT_EQ(box.ExistsMessages, 5);
    EXPECT_FALSE(box.ReadOnly);
    EXPECT_FALSE(box.UIDValidity.empty());
    EXPECT_TRUE(box.Flags.Contains(TixMailMessageFlag::mfSeen));
    EXPECT_TRUE(box.PermanentFlags.Contains(TixMailMessageFlag::mfDeleted));
    // A nested folder's selection is the imap-fetch example's. A refused SELECT leaves no mailbox selected
    // (CLOSE is the second server's case).
    EXPECT_EQ(CodeOf([&] { imap.SelectMailBox("No such folder"); }), IMAP_NO);
    EXPECT_EQ(imap.ConnectionState, State::csAuthenticated);
    EXPECT_EQ(imap.CurrentMailBox().Name, "");
    EXPECT_EQ(imap.CurrentMailBox().ExistsMessages, 0);

    // Closing after the server dropped the connection: cut under the client, as a server going away.
    ::shutdown(imap.GetConnection().Socket().Handle(), SHUT_RDWR);
    EXPECT_NO_THROW(imap.Close());
    EXPECT_EQ(imap.ConnectionState, State::csNonAuthenticated);
    EXPECT_FALSE(imap.Active());
}

TEST_F(Imap4SandboxTest, MailboxLifecycleRoundTripsAwkwardNames) {
    imap.Open();
    // Non-ASCII, astral, quote, backslash, ampersand and percent: each must come back from LIST as given.
    const std::vector<std::string> names = {
        "Proj \xC3\xA9t\xC3\xA9 & Co",
        "Say \"hi\" \\ bye",
        "Smile \xF0\x9F\x98\x80 50%",
        "Proj \xC3\xA9t\xC3\xA9 & Co/Child \xD0\x96",
    };
    test::MailboxLifecycle(imap, names);
    for (const char* bad : {"/rooted", "   "})
        EXPECT_EQ(CodeOf([&] { imap.CreateMailBox(bad); }), IX_IMAP_INVALID_MAILBOX_NAME) << bad;
}

// Logging in over each kind of TLS is the SOCKS sandbox tests' case (through each proxy), fetching
// over it the imap-fetch example's.
TEST_F(Imap4SandboxTest, StrictServerRefusesLoginInTheClearAndAcceptsItAfterStartTls) {
    // The relay port, where the server sees a remote client and requires STARTTLS before any login.
    imap.SetPort(std::stoi(test::ReadEnvFile(info.dir + "/sandbox.env").at("IX_SANDBOX_STRICT_PORT")));
    std::string refusal;
    EXPECT_EQ(CodeOf([&] { imap.Open(); }, &refusal), IMAP_NO);
    EXPECT_NE(refusal.find("PRIVACYREQUIRED"), std::string::npos) << refusal;
    EXPECT_FALSE(imap.Active());

    sent.clear();
    imap.SetUseTLS(TixClientTlsMode::ctExplicit);
    imap.SetCAFile(info.caFile);
    imap.Open();
    EXPECT_EQ(imap.ConnectionState, State::csAuthenticated);
    const auto tls = sent.find("STARTTLS");
    EXPECT_TRUE(tls != std::string::npos && tls < sent.find("LOGIN") && tls < sent.find("AUTHENTICATE"))
        << sent;
    imap.Noop();
}

// An unknown CA: its code and flag are the TLS engine's certificate table, the refusal before any
// login the client window's untrusted-certificate case against the same server; a large message
// over TLS is the message sandbox's.

}  // namespace
}  // namespace ix

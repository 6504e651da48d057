#include "imap/ixImap4.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

#include "ixImapTestHelpers.h"
#include "ixTestSupport.h"

// The client against a second server that is not the sandbox one: it separates levels with ".",
// lists INBOX with a NIL delimiter, greets without capabilities, answers SELECT in another order
// and ends some lines with a bare LF.

namespace ix {
namespace {

using State = TixImap4ConnectionState;

using test::CodeOf;

class Imap4SecondServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Written by scripts/imap2-server.sh, which the CTest fixture runs.
        env = test::ReadEnvFile(test::BinaryPath("imap2/imap2.env"));
        imap.SetServer(env["IX_IMAP2_HOST"]);
        imap.SetPort(std::atoi(env["IX_IMAP2_PORT"].c_str()));
        imap.SetUserName(env["IX_IMAP2_USER"]);
        imap.SetPassword(env["IX_IMAP2_PASSWORD"]);
        imap.SetTimeOut(10000);
        imap.OnSendCommand = [this](TixObject*, const std::string& text) { sent += text + "\n"; };
        imap.OnReceiveResponse = [this](TixObject*, TixStringList& list) { received = list.Text(); };
    }
    void TearDown() override { imap.Close(); }

    std::map<std::string, std::string> env;
    TixImap4 imap;
    std::string sent, received;
};

TEST_F(Imap4SecondServerTest, LogsInWithLoginThenCramMd5ReadsCapabilitiesAndLogsOut) {
    imap.Open();
    EXPECT_EQ(imap.ConnectionState, State::csAuthenticated) << env["IX_IMAP2_NAME"];
    EXPECT_NE(sent.find("a0001 LOGIN \""), std::string::npos) << sent;
    TixStringList capabilities;
    imap.GetCapabilities(capabilities);
    EXPECT_GE(capabilities.IndexOf("IMAP4rev1"), 0) << capabilities.Text();
    EXPECT_GE(capabilities.IndexOf("LITERAL+"), 0) << capabilities.Text();
    // This server says BYE before the tagged answer: the untagged line must not end the wait.
    imap.Close();
    EXPECT_NE(received.find("* BYE"), std::string::npos) << received;
    EXPECT_NE(received.find(" OK LOGOUT"), std::string::npos) << received;

    // The success line of AUTHENTICATE ends with a bare LF here; the next exchange must still
    // pair each answer with its own command.
    sent.clear();
    imap.SetUseSasl(true);
    imap.Open();
    EXPECT_EQ(imap.ConnectionState, State::csAuthenticated);
    EXPECT_NE(sent.find("AUTHENTICATE CRAM-MD5"), std::string::npos) << sent;
    imap.Noop();
    TixStringList list;
    imap.GetMailBoxes(list);
    EXPECT_GE(list.IndexOfExact("INBOX"), 0) << list.Text();
}

// PLAIN after an empty "+ " go-ahead is the STARTTLS login's, with the exact bytes.

TEST_F(Imap4SecondServerTest, SelectReadsCountsInThisServersOrderAndCloseReturns) {
    imap.Open();
    imap.SelectMailBox("INBOX");
    const TixImap4MailBoxInfo& box = imap.CurrentMailBox();
    EXPECT_EQ(imap.ConnectionState, State::csSelected);
    // The name, the mode, UIDVALIDITY, the permanent flags and a refused SELECT are the sandbox's.
    EXPECT_EQ(box.ExistsMessages, 2);
    EXPECT_EQ(box.FirstUnseen, 1);
    // FLAGS comes after the counts and UIDVALIDITY here.
    EXPECT_TRUE(box.Flags.Contains(TixMailMessageFlag::mfSeen));
    EXPECT_TRUE(box.Flags.Contains(TixMailMessageFlag::mfDraft));
    imap.CloseMailBox();
    EXPECT_EQ(imap.ConnectionState, State::csAuthenticated);
    EXPECT_EQ(CodeOf([&] { imap.CloseMailBox(); }), IMAP_BAD);
}

TEST_F(Imap4SecondServerTest, ListsTheServersFoldersAndRoundTripsNamesWithItsSeparator) {
    imap.Open();
    TixStringList list;
    imap.GetMailBoxes(list);
    auto names = test::Lines(list);
    for (const char* expected : {"INBOX", "Sent", "Archive", "Archive.2024"})
        EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected << "\n"
                                                                                << list.Text();
    const char separator = imap.MailBoxSeparator;
    ASSERT_EQ(separator, '.');
    // The name check uses the separator the server reported, not "/".
    EXPECT_EQ(CodeOf([&] { imap.CreateMailBox(".rooted"); }), IX_IMAP_INVALID_MAILBOX_NAME);

    // INBOX comes with a NIL delimiter: alone, it leaves no separator.
    imap.GetMailBoxes(list, "", "INBOX");
    EXPECT_EQ(test::Lines(list), std::vector<std::string>{"INBOX"});
    EXPECT_EQ(imap.MailBoxSeparator, '\0');
    imap.GetSubscribedMailBoxes(list);
    EXPECT_GE(list.IndexOfExact("Sent"), 0) << list.Text();
    EXPECT_LT(list.IndexOfExact("Archive"), 0) << list.Text();

    const std::string parent = "T\xC3\xABst \xC3\x9Cn\xC3\xAF";  // "Tëst Ünï"
    // A character above U+FFFF travels as a surrogate pair in the encoded name.
    const std::vector<std::string> created = {
        parent,
        parent + separator + "Kind \xF0\x9F\x98\x80",
        "Smile \xF0\x9F\x98\x80 & 50%",
    };
    test::MailboxLifecycle(imap, created, [&] {
        // The child is one level below its parent, not a name of its own at the top.
        imap.GetMailBoxes(list, "", parent + separator + "%");
        EXPECT_EQ(test::Lines(list), std::vector<std::string>{created[1]});
        EXPECT_EQ(imap.MailBoxSeparator, '.');
    });
}

}  // namespace
}  // namespace ix

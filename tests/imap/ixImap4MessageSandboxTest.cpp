#include "imap/ixImap4.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "ixImapTestHelpers.h"
#include "ixTestSupport.h"
#include "mail/ixMailMessage.h"

namespace ix {
namespace {

using Flag = TixMailMessageFlag;

// Each test works in a folder of its own, removed again whatever happens.
class Imap4MessageSandboxTest : public test::SandboxClientTest {
protected:
    void SetUp() override {
        SandboxClientTest::SetUp();
        imap.Open();
        imap.CreateMailBox(folder);
    }
    void TearDown() override {
        try {
            if (imap.ConnectionState == TixImap4ConnectionState::csSelected) imap.CloseMailBox();
            imap.DeleteMailBox(folder);
        } catch (const EixError& e) {
            ADD_FAILURE() << "cleaning up: " << e.what();
        }
        SandboxClientTest::TearDown();
    }
    const std::string folder = "IxMessages" + std::to_string(::getpid());
};

// The session that first sees a new message also gets \Recent, which STORE cannot change.
TixMailMessageFlags WithoutRecent(TixMailMessageFlags flags) {
    flags.Exclude(Flag::mfRecent);
    return flags;
}

// A fetched message's parts and header, and the peek leaving it unseen, are the client window's
// opened message and message list against this server.
TEST_F(Imap4MessageSandboxTest, ALinkedMessageIsAppendedAndFlagsRoundTrip) {
    TixMailMessage sent;
    sent.BuildMessage("plain", "");
    sent.SetSubject("Linked report");
    // Through the MailMessage link; the server reports APPENDUID.
    imap.SetMailMessage(&sent);
    EXPECT_FALSE(imap.AppendMessage(folder).empty());
    imap.SetMailMessage(nullptr);
    imap.SelectMailBox(folder);
    EXPECT_EQ(imap.CurrentMailBox().ExistsMessages, 1);
    TixMailMessage got;
    imap.RetrieveMessage(1, &got);
    EXPECT_EQ(got.Subject(), sent.Subject());

    // Flags set at APPEND, added, removed and replaced.
    imap.AppendMessage(folder, TixStringList{"From: a@example.com", "Subject: flags", "", "x"},
                       {Flag::mfFlagged, Flag::mfDraft});
    imap.SelectMailBox(folder);
    EXPECT_EQ(WithoutRecent(imap.GetMessageFlags(2)), (TixMailMessageFlags{Flag::mfFlagged, Flag::mfDraft}));
    imap.SetMessageFlags(2, TixSetFlagsMethod::fmAdd, {Flag::mfSeen, Flag::mfAnswered});
    imap.SetMessageFlags(2, TixSetFlagsMethod::fmRemove, {Flag::mfDraft});
    EXPECT_EQ(WithoutRecent(imap.GetMessageFlags(2)),
              (TixMailMessageFlags{Flag::mfAnswered, Flag::mfFlagged, Flag::mfSeen}));
    imap.SetMessageFlags(2, TixSetFlagsMethod::fmReplace, {});
    EXPECT_EQ(WithoutRecent(imap.GetMessageFlags(2)), TixMailMessageFlags{});
    EXPECT_EQ(imap.CurrentMessage, 2);
    // A number past the end is the server's refusal.
    EXPECT_NE(test::CodeOf([&] { imap.SetMessageFlags(9, TixSetFlagsMethod::fmAdd, {Flag::mfSeen}); }), 0);
}

TEST_F(Imap4MessageSandboxTest, ALargeMessageCrossesTlsIntactBothWays) {
    // About 20 MB of distinct lines, appended and fetched over TLS. (Literals read in pieces in the
    // clear are the command client's literal cases.)
    TixStringList lines{"From: a@example.com", "To: second@example.com", "Subject: large over TLS", ""};
    for (std::size_t size = 0; size < 20u << 20;) {
        lines.Add(std::to_string(lines.Count()) +
                  std::string(70, static_cast<char>('a' + lines.Count() % 26)));
        size += lines.Strings(lines.Count() - 1).size() + 2;
    }
    const std::string text = lines.Text();
    imap.Close();
    imap.SetUseTLS(TixClientTlsMode::ctImplicit);
    imap.SetPort(info.imapsPort);
    imap.SetCAFile(info.caFile);
    imap.Open();
    imap.AppendMessage(folder, lines);
    imap.SelectMailBox(folder);
    const std::int64_t size = imap.GetMessageSize(1);
    EXPECT_EQ(size, static_cast<std::int64_t>(text.size()));
    // Progress runs against the size asked first, which is cleared after the fetch.
    std::int64_t progress = 0, total = 0;
    imap.OnProgress = [&](TixObject*, std::int64_t done, std::int64_t all) {
        progress = done;
        total = all;
    };
    imap.RetrieveMessage(1, nullptr);
    imap.OnProgress = nullptr;
    EXPECT_EQ(progress, size);
    EXPECT_EQ(total, size);
    EXPECT_EQ(imap.TotalMessageSize, 0);
    EXPECT_TRUE(imap.ResponseList().Text() == text);
}

// Copying is the client window's Copy case against this server; names with quotes and non-ASCII
// letters travel as the mailbox life cycles check, control characters as the wire COPY case does.

// Deleting a message and closing the folder, and searching by sender and subject, are the client
// window's Delete, Purge and Find cases against this server.

}  // namespace
}  // namespace ix

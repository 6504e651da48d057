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

// Attachments through this server are the client window's opened-message case; byte-exact large
// messages the TLS sandbox case.
TEST_F(Imap4MessageSandboxTest, AComposedMessageComesBackWithItsPartsUnseenAndFlagsRoundTrip) {
    TixMailMessage sent;
    sent.SetCharSet("utf-8");
    sent.BuildMessage("Grüße, plain", "<p>Grüße, <b>html</b></p>");
    sent.From().SetFullAddress("Jörg Müller <joerg@example.de>");
    sent.ToList().SetEmailAddresses("second@example.com");
    sent.SetSubject("Bericht für Köln");
    EXPECT_FALSE(imap.AppendMessage(folder, &sent).empty());  // the server reports APPENDUID
    imap.SelectMailBox(folder);
    EXPECT_EQ(imap.CurrentMailBox().ExistsMessages, 1);

    TixMailMessage header;
    imap.RetrieveHeader(1, &header);
    EXPECT_EQ(header.Subject(), "Bericht für Köln");
    EXPECT_EQ(header.From().Name(), "Jörg Müller");
    EXPECT_EQ(header.Bodies().Count(), 0);

    TixMailMessage got;
    imap.RetrieveMessage(1, &got);
    EXPECT_EQ(got.Subject(), sent.Subject());
    ASSERT_EQ(got.Bodies().Count(), 2);
    EXPECT_EQ(dynamic_cast<TixTextBody&>(got.Bodies()[0]).Strings()[0], "Grüße, plain");
    EXPECT_NE(dynamic_cast<TixTextBody&>(got.Bodies()[1]).Strings().Text().find("<b>html</b>"),
              std::string::npos);
    // Fetching peeks: the message is still unseen.
    EXPECT_FALSE(imap.GetMessageFlags(1).Contains(Flag::mfSeen));

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

// Copying is the client window's Copy case against this server; names with quotes and non-ASCII
// letters travel as the mailbox life cycle and the wire COPY case check.

// Deleting a message and closing the folder, and searching by sender and subject, are the client
// window's Delete, Purge and Find cases against this server.

}  // namespace
}  // namespace ix

#include "imap/ixImap4.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ixImapTestHelpers.h"
#include "ixTestSupport.h"
#include "mail/ixMailMessage.h"

namespace ix {
namespace {

using Flag = TixMailMessageFlag;

TixStringList SimpleMessage(const std::string& from, const std::string& subject, const std::string& text) {
    return {"From: " + from, "To: second@example.com", "Subject: " + subject, "", text};
}

// Each test works in folders of its own, removed again whatever happens.
class Imap4MessageSandboxTest : public test::SandboxClientTest {
protected:
    void SetUp() override {
        SandboxClientTest::SetUp();
        imap.Open();
        folder = "IxMessages" + std::to_string(::getpid());
        Create(folder);
    }
    void TearDown() override {
        try {
            if (imap.ConnectionState == TixImap4ConnectionState::csSelected) imap.CloseMailBox();
            for (const auto& name : created)
                imap.DeleteMailBox(name);
        } catch (const EixError& e) {
            ADD_FAILURE() << "cleaning up: " << e.what();
        }
        SandboxClientTest::TearDown();
    }
    void Create(const std::string& name) {
        imap.CreateMailBox(name);
        created.insert(created.begin(), name);
    }
    std::string folder;
    std::vector<std::string> created;
};

TEST_F(Imap4MessageSandboxTest, AComposedMessageComesBackWithItsParts) {
    const std::string file = ::testing::TempDir() + "/report-" + std::to_string(::getpid()) + ".bin";
    std::string data;
    for (int i = 0; i < 5000; ++i)
        data += static_cast<char>(i * 7);
    std::ofstream(file, std::ios::binary) << data;
    TixMailMessage sent;
    sent.SetCharSet("utf-8");
    TixStringList attachments{file};
    sent.BuildMessage("Grüße, plain", "<p>Grüße, <b>html</b></p>", attachments, {});
    sent.From().SetFullAddress("Jörg Müller <joerg@example.de>");
    sent.ToList().SetEmailAddresses("second@example.com");
    sent.SetSubject("Bericht für Köln");

    std::string id = imap.AppendMessage(folder, &sent);
    EXPECT_FALSE(id.empty());  // the server reports APPENDUID
    imap.SelectMailBox(folder);
    EXPECT_EQ(imap.CurrentMailBox().ExistsMessages, 1);

    TixMailMessage header;
    imap.RetrieveHeader(1, &header);
    EXPECT_EQ(header.Subject(), "Bericht für Köln");
    EXPECT_EQ(header.From().Name(), "Jörg Müller");
    EXPECT_EQ(header.Bodies().Count(), 0);

    TixMailMessage got;
    std::vector<std::string> saved;
    got.OnSaveAttachment = [](TixObject*, TixMessageBody*, std::string&, std::unique_ptr<TixStream>& s,
                              bool&) { s = std::make_unique<TixMemoryStream>(); };
    got.OnAttachmentSaved = [&saved](TixObject*, TixMessageBody*, const std::string&, TixStream& s) {
        std::string bytes(static_cast<std::size_t>(s.Size()), '\0');
        s.ReadBuffer(bytes.data(), bytes.size());
        saved.push_back(bytes);
    };
    imap.RetrieveMessage(1, &got);
    EXPECT_EQ(got.Subject(), sent.Subject());
    EXPECT_EQ(got.ContentType(), "multipart/mixed");
    ASSERT_EQ(got.Bodies().Count(), 2);
    auto& alternative = dynamic_cast<TixMultipartBody&>(got.Bodies()[0]);
    ASSERT_EQ(alternative.Bodies().Count(), 2);
    EXPECT_EQ(dynamic_cast<TixTextBody&>(alternative.Bodies()[0]).Strings()[0], "Grüße, plain");
    EXPECT_NE(dynamic_cast<TixTextBody&>(alternative.Bodies()[1]).Strings().Text().find("<b>html</b>"),
              std::string::npos);
    EXPECT_EQ(dynamic_cast<TixAttachmentBody&>(got.Bodies()[1]).FileName(),
              "report-" + std::to_string(::getpid()) + ".bin");
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0], data);
    // Fetching peeks: the message is still unseen.
    EXPECT_FALSE(imap.GetMessageFlags(1).Contains(Flag::mfSeen));
    got.OnSaveAttachment = nullptr;
    got.OnAttachmentSaved = nullptr;
    ::unlink(file.c_str());
}

// The session that first sees a new message also gets \Recent, which STORE cannot change.
TixMailMessageFlags WithoutRecent(TixMailMessageFlags flags) {
    flags.Exclude(Flag::mfRecent);
    return flags;
}

TEST_F(Imap4MessageSandboxTest, FlagsRoundTrip) {
    imap.AppendMessage(folder, SimpleMessage("a@example.com", "flags", "x"),
                       {Flag::mfFlagged, Flag::mfDraft});
    imap.SelectMailBox(folder);
    EXPECT_EQ(WithoutRecent(imap.GetMessageFlags(1)), (TixMailMessageFlags{Flag::mfFlagged, Flag::mfDraft}));
    imap.SetMessageFlags(1, TixSetFlagsMethod::fmAdd, {Flag::mfSeen, Flag::mfAnswered});
    imap.SetMessageFlags(1, TixSetFlagsMethod::fmRemove, {Flag::mfDraft});
    EXPECT_EQ(WithoutRecent(imap.GetMessageFlags(1)),
              (TixMailMessageFlags{Flag::mfAnswered, Flag::mfFlagged, Flag::mfSeen}));
    imap.SetMessageFlags(1, TixSetFlagsMethod::fmReplace, {});
    EXPECT_EQ(WithoutRecent(imap.GetMessageFlags(1)), TixMailMessageFlags{});
    EXPECT_EQ(imap.CurrentMessage, 1);
    // A number past the end is the server's refusal.
    EXPECT_NE(test::CodeOf([&] { imap.SetMessageFlags(9, TixSetFlagsMethod::fmAdd, {Flag::mfSeen}); }), 0);
}

TEST_F(Imap4MessageSandboxTest, CopyReachesAFolderWithANonAsciiName) {
    const std::string target = folder + "-Übung \"quoted\"";
    Create(target);
    imap.AppendMessage(folder, SimpleMessage("a@example.com", "to copy", "x"));
    imap.SelectMailBox(folder);
    imap.CopyMessage(1, target);
    imap.SelectMailBox(target);
    EXPECT_EQ(imap.CurrentMailBox().ExistsMessages, 1);
    TixMailMessage header;
    imap.RetrieveHeader(1, &header);
    EXPECT_EQ(header.Subject(), "to copy");
    EXPECT_TRUE(test::Lists(imap, false, target));
}

// Deleting a message and closing the folder, and searching by sender and subject, are the client
// window's Delete, Purge and Find cases against this server.

}  // namespace
}  // namespace ix

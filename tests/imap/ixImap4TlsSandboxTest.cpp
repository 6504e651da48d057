#include "imap/ixImap4.h"

#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>
#include <unistd.h>

#include <string>

#include "ixImapTestHelpers.h"
#include "ixTestSupport.h"

namespace ix {
namespace {

using Mode = TixClientTlsMode;
using State = TixImap4ConnectionState;
using test::CodeOf;

// The relay port where the server sees a remote client and requires STARTTLS before any login.
int StrictPort(const test::SandboxInfo& info) {
    return std::stoi(test::ReadEnvFile(info.dir + "/sandbox.env").at("IX_SANDBOX_STRICT_PORT"));
}

class Imap4TlsSandboxTest : public test::SandboxClientTest {
protected:
    void Use(Mode mode, int port, bool trustSandboxCa = true) {
        imap.SetUseTLS(mode);
        imap.SetPort(port);
        imap.SetCAFile(trustSandboxCa ? info.caFile : "");
    }
    // Whether STARTTLS went out, and before any LOGIN or AUTHENTICATE.
    bool StartTlsFirst() const {
        const auto tls = sent.find("STARTTLS");
        return tls != std::string::npos && tls < sent.find("LOGIN") && tls < sent.find("AUTHENTICATE");
    }
};

// Logging in and listing over each kind of TLS is the SOCKS sandbox tests' case (through each proxy);
// the cases below open both kinds directly.
TEST_F(Imap4TlsSandboxTest, StrictServerRefusesLoginInTheClearAndAcceptsItAfterStartTls) {
    Use(Mode::ctNone, StrictPort(info));
    std::string refusal;
    EXPECT_EQ(CodeOf([&] { imap.Open(); }, &refusal), IMAP_NO);
    EXPECT_NE(refusal.find("PRIVACYREQUIRED"), std::string::npos) << refusal;
    EXPECT_FALSE(imap.Active());

    sent.clear();
    imap.SetUseTLS(Mode::ctExplicit);
    imap.Open();
    EXPECT_EQ(imap.ConnectionState, State::csAuthenticated);
    EXPECT_TRUE(StartTlsFirst()) << sent;
    imap.Noop();
}

TEST_F(Imap4TlsSandboxTest, UnknownCaFailsVerificationUnlessTheApplicationAcceptsIt) {
    // Without the sandbox CA only the system store is asked, which does not know it.
    for (const auto& [mode, port] :
         {std::pair{Mode::ctImplicit, info.imapsPort}, {Mode::ctExplicit, info.imapPort}}) {
        SCOPED_TRACE(port);
        sent.clear();
        Use(mode, port, false);
        std::string message;
        EXPECT_EQ(CodeOf([&] { imap.Open(); }, &message), X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY);
        EXPECT_NE(message.find("unable to get local issuer certificate"), std::string::npos) << message;
        EXPECT_FALSE(imap.Active());
        EXPECT_EQ(sent.find("LOGIN"), std::string::npos) << sent;
    }

    int seenCode = 0;
    imap.OnVerifyServer = [&](TixObject*, TixCertificate&, const std::string&, int code, bool& verified) {
        seenCode = code;
        verified = true;
    };
    Use(Mode::ctImplicit, info.imapsPort, false);
    imap.Open();
    EXPECT_EQ(seenCode, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY);
    EXPECT_EQ(imap.ConnectionState, State::csAuthenticated);
}

TEST_F(Imap4TlsSandboxTest, ALargeMessageCrossesTlsIntactBothWays) {
    // About 20 MB of distinct lines, appended and fetched over TLS, then fetched in the clear.
    TixStringList lines{"From: a@example.com", "To: second@example.com", "Subject: large over TLS", ""};
    for (std::size_t size = 0; size < 20u << 20;) {
        lines.Add(std::to_string(lines.Count()) +
                  std::string(70, static_cast<char>('a' + lines.Count() % 26)));
        size += lines.Strings(lines.Count() - 1).size() + 2;
    }
    const std::string text = lines.Text();
    const std::string folder = "IxTls" + std::to_string(::getpid());
    Use(Mode::ctImplicit, info.imapsPort);
    imap.Open();
    imap.CreateMailBox(folder);
    std::string overTls;
    std::int64_t size = 0, progress = 0, total = 0, left = -1;
    try {
        imap.AppendMessage(folder, lines);
        imap.SelectMailBox(folder);
        size = imap.GetMessageSize(1);
        // Progress runs against the size asked first.
        imap.OnProgress = [&](TixObject*, std::int64_t done, std::int64_t all) {
            progress = done;
            total = all;
        };
        imap.RetrieveMessage(1, nullptr);
        imap.OnProgress = nullptr;
        left = imap.TotalMessageSize;
        overTls = imap.ResponseList().Text();
        imap.Close();
        Use(Mode::ctNone, info.imapPort);
        imap.Open();
        imap.SelectMailBox(folder);
        imap.RetrieveMessage(1, nullptr);
    } catch (...) {
        imap.Close();
        Use(Mode::ctNone, info.imapPort);
        imap.Open();
        imap.DeleteMailBox(folder);
        throw;
    }
    EXPECT_EQ(size, static_cast<std::int64_t>(text.size()));
    EXPECT_EQ(progress, size);
    EXPECT_EQ(total, size);
    EXPECT_EQ(left, 0);
    EXPECT_EQ(overTls.size(), text.size());
    EXPECT_TRUE(overTls == text);
    EXPECT_TRUE(imap.ResponseList().Text() == text);
    imap.CloseMailBox();
    imap.DeleteMailBox(folder);
}

}  // namespace
}  // namespace ix

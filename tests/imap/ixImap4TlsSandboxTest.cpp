#include "imap/ixImap4.h"

#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

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

// Accepting an unknown CA through OnVerifyServer, over both kinds of TLS, is the client window's
// untrusted-certificate case against the same server; a large message over TLS the message sandbox's.
TEST_F(Imap4TlsSandboxTest, UnknownCaFailsVerificationBeforeAnyLogin) {
    // Without the sandbox CA only the system store is asked, which does not know it.
    Use(Mode::ctExplicit, info.imapPort, false);
    std::string message;
    EXPECT_EQ(CodeOf([&] { imap.Open(); }, &message), X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY);
    EXPECT_NE(message.find("unable to get local issuer certificate"), std::string::npos) << message;
    EXPECT_FALSE(imap.Active());
    EXPECT_EQ(sent.find("LOGIN"), std::string::npos) << sent;
}

}  // namespace
}  // namespace ix

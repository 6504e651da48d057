#include "imap/ixImap4.h"

#include <gtest/gtest.h>

#include "../imap/ixImapWireHelpers.h"
#include "ixLoopbackServer.h"
#include "ixTestSupport.h"
#include "ixTlsTestSupport.h"
#include "tls/ixSspi.h"
#include "tls/ixTlsStream.h"

namespace ix {
namespace {

using test::CertPath;
using test::LoopbackPeer;
using test::LoopbackScriptError;
using test::LoopbackServer;
using test::TlsPeer;

class StartTlsTest : public test::Imap4WireFixture {
protected:
    void SetUp() override {
        Imap4WireFixture::SetUp();
        imap.SetTimeOut(5000);
        imap.SetUseTLS(TixClientTlsMode::ctExplicit);
        imap.SetCAFile(CertPath("ca.crt"));
    }

    // The client must fail with the code, closed, without a credential in the clear.
    void ExpectRefusal(int code) {
        std::string message;
        EXPECT_EQ(test::CodeOf([&] { imap.Open(); }, &message), code) << message;
        EXPECT_FALSE(imap.Active());
        EXPECT_EQ(sent.find("LOGIN"), std::string::npos) << sent;
        EXPECT_EQ(sent.find("AUTHENTICATE"), std::string::npos) << sent;
    }
};

// The client's close is all a script of a refusal waits for: nothing else may come.
void ExpectOnlyClose(LoopbackPeer& peer) {
    std::string rest = peer.ReadToEnd();
    if (!rest.empty()) throw LoopbackScriptError{"client sent after the refusal: " + rest};
}

// Automatic mode on the protocol's default port is STARTTLS.
TEST_F(StartTlsTest, LoginGoesOverTlsWithTagsAndCapabilitiesAfresh) {
    imap.SetUseTLS(TixClientTlsMode::ctAutomatic);
    imap.defaultPort = server.Port();
    imap.SetUseSasl(true);
    server.Serve([](LoopbackPeer& peer) {
        peer.Play({
            {"", "* OK [CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED AUTH=CRAM-MD5] ready\r\n"},
            {"a0001 STARTTLS\r\n", "a0001 OK Begin TLS negotiation now\r\n"},
        });
        TlsPeer tls(peer);
        // What was offered in the clear counts for nothing: PLAIN is chosen from this list, whatever
        // its letters' case.
        tls.Play({
            {"a0002 CAPABILITY\r\n", "* CAPABILITY imap4rev1 auth=plain\r\na0002 OK\r\n"},
            {"a0001 AUTHENTICATE PLAIN\r\n", "+ \r\n"},
            {"AHUAcA==\r\n", "a0001 OK logged in\r\n"},
            {"a0002 LOGOUT\r\n", "* BYE\r\na0002 OK\r\n"},
        });
    });
    imap.Open();
    EXPECT_EQ(imap.ConnectionState, TixImap4ConnectionState::csAuthenticated);
    EXPECT_FALSE(imap.TlsVersion().empty());
    imap.Close();
}

// Refused, stripped or injected into: never a fall-back to the clear, nor a credential sent.
TEST_F(StartTlsTest, RefusedStrippedOrInjectedStartTlsNeverFallsBackToTheClear) {
    struct Case {
        std::string greeting, capabilityAnswer, startTlsAnswer;
        int code;
    };
    const std::string offered = "* OK [CAPABILITY IMAP4rev1 STARTTLS] ready\r\n";
    const Case cases[] = {
        {"* PREAUTH [CAPABILITY IMAP4rev1 STARTTLS] welcome\r\n", "", "", IX_IMAP_TLS_PREAUTH},
        {"* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] ready\r\n", "", "", IX_IMAP_TLS_UNAVAILABLE},
        {"* OK ready\r\n", "* CAPABILITY IMAP4rev1 AUTH=PLAIN\r\na0001 OK\r\n", "", IX_IMAP_TLS_UNAVAILABLE},
        // Any answer but the OK (a continuation too) is the same refusal.
        {offered, "", "a0001 NO not now\r\n", IX_IMAP_TLS_REFUSED},
        {offered, "", "b0001 OK Begin TLS\r\n", IX_IMAP_TLS_REFUSED},
        // Anything after the OK, before the handshake, even part of a line.
        {offered, "", "a0001 OK begin\r\n* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] injected\r\n",
         IX_IMAP_TLS_INJECTION},
        {offered, "", "a0001 OK begin\r\na0002 OK x\r\n", IX_IMAP_TLS_INJECTION},
        {offered, "", "a0001 OK begin\r\n* OK", IX_IMAP_TLS_INJECTION},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.greeting + " / " + c.startTlsAnswer);
        sent.clear();
        server.Serve([c](LoopbackPeer& peer) {  // a copy: a script may run on after the loop
            peer.Send(c.greeting);
            if (!c.capabilityAnswer.empty()) peer.Play({{"a0001 CAPABILITY\r\n", c.capabilityAnswer}});
            if (!c.startTlsAnswer.empty()) peer.Play({{"a0001 STARTTLS\r\n", c.startTlsAnswer}});
            ExpectOnlyClose(peer);
        });
        ExpectRefusal(c.code);
    }
}

// Automatic mode off the protocol's default port is TLS from the first byte.
TEST_F(StartTlsTest, ByeRightBehindTheHandshakeIsTheAnswerWithOrWithoutTheAlertAndAPlainServerFails) {
    imap.SetUseTLS(TixClientTlsMode::ctAutomatic);
    for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        for (bool alert : {true, false}) {
            SCOPED_TRACE(std::to_string(version) + (alert ? " with" : " without") + " the alert");
            sent.clear();
            server.Serve([version, alert](LoopbackPeer& peer) {
                test::ServerOptions options;
                options.maxVersion = version;
                TlsPeer tls(peer.Fd(), options);
                tls.Send("* BYE too busy  \r\n");
                if (alert) tls.Shutdown();
            });
            std::string message;
            EXPECT_EQ(test::CodeOf([&] { imap.Open(); }, &message), IMAP_BYE) << message;
            EXPECT_EQ(message, "* BYE too busy");
            EXPECT_FALSE(imap.Active());
            EXPECT_EQ(sent, "");
        }
    }
    // A server speaking in the clear on the implicit port fails the handshake.
    server.Serve([](LoopbackPeer& peer) {
        peer.Send("* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] plain text here\r\n");
        peer.ReadToEnd();
    });
    sent.clear();
    EXPECT_THROW(imap.Open(), EixSSPIError);
    EXPECT_FALSE(imap.Active());
    EXPECT_EQ(sent, "");
}

TEST_F(StartTlsTest, StartTlsOnAPlainSessionTurnsTheModeExplicit) {
    imap.SetUseTLS(TixClientTlsMode::ctNone);
    server.Serve([](LoopbackPeer& peer) {
        test::GreetAndLogin(peer);
        peer.Play({{"a0002 STARTTLS\r\n", "a0002 OK go\r\n"}});
        TlsPeer tls(peer);
        tls.Play({
            {"a0003 CAPABILITY\r\n", "* CAPABILITY IMAP4rev1\r\na0003 OK\r\n"},
            {"a0004 LOGOUT\r\n", "a0004 OK\r\n"},
        });
    });
    imap.Open();
    imap.StartTls();
    EXPECT_EQ(imap.UseTLS(), TixClientTlsMode::ctExplicit);
    EXPECT_FALSE(imap.TlsVersion().empty());
}

}  // namespace
}  // namespace ix

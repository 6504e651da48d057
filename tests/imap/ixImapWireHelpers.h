#pragma once
// The scripted server side that the wire tests of the IMAP client share.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "imap/ixImap4.h"
#include "ixLoopbackServer.h"
#include "ixNtlmTestValues.h"

namespace ix::test {

// A greeting, then LOGIN u/p accepted.
inline void GreetAndLogin(LoopbackPeer& peer) {
    peer.Play({
        {"", "* OK IMAP4rev1 ready\r\n"},
        {"a0001 LOGIN \"u\" \"p\"\r\n", "a0001 OK logged in\r\n"},
    });
}

inline LoopbackPeer::Step Logout(const std::string& tag) {
    return {tag + " LOGOUT\r\n", "* BYE bye\r\n" + tag + " OK done\r\n"};
}

// The client of the wire tests: NTLM with the published example's fixed values, and a default port
// that a test may move to the scripted server's.
class WireImap4 : public TixImap4 {
public:
    int defaultPort = 0;
    int GetDefaultPort() override { return defaultPort != 0 ? defaultPort : TixImap4::GetDefaultPort(); }

protected:
    std::unique_ptr<TixNtAuthSspi> CreateNtAuthClient() override {
        return std::make_unique<FixedNtlmClient>();
    }
};

// A client set up for the scripted server as user u, password p; every command sent is
// collected in `sent`, and the script's result is checked at the end.
class Imap4WireFixture : public ::testing::Test {
protected:
    void SetUp() override {
        imap.SetServer(server.Host());
        imap.SetPort(server.Port());
        imap.SetUserName("u");
        imap.SetPassword("p");
        imap.SetTimeOut(3000);
        imap.OnSendCommand = [this](TixObject*, const std::string& text) { sent += text; };
    }
    void TearDown() override {
        imap.Close();
        EXPECT_EQ(server.Join(), "");
    }
    // The scripted server plays a logged-in session's dialogue: greeting and LOGIN, the steps, LOGOUT.
    void ServeSession(std::vector<LoopbackPeer::Step> steps, std::string logoutTag) {
        server.Serve([steps = std::move(steps), logoutTag = std::move(logoutTag)](LoopbackPeer& peer) {
            GreetAndLogin(peer);
            peer.Play(steps);
            peer.Play({Logout(logoutTag)});
        });
    }
    LoopbackServer server;
    WireImap4 imap;
    std::string sent;
};

}  // namespace ix::test

// SOCKS handshakes against a scripted proxy: the exact request bytes, replies in pieces, the
// target's greeting in the reply's segment, refusals, and what is refused before connecting.
#include "transport/ixSocksStream.h"

#include <gtest/gtest.h>

#include "ixLoopbackClientFixture.h"
#include "ixLoopbackServer.h"
#include "ixTestSupport.h"
#include "transport/ixTcpClient.h"

namespace ix {
namespace {

using test::CodeOf;
using test::LoopbackPeer;
using test::LoopbackServer;

const std::string kGreeting = "* OK target ready\r\n";

std::string B(std::initializer_list<int> bytes) {
    std::string text;
    for (int b : bytes)
        text += static_cast<char>(b);
    return text;
}

// The target port 143 as two bytes, and a type-1 SOCKS5 success reply.
const std::string kPort = B({0, 143});
// The client's request and the proxy's reply.
using Exchange = LoopbackPeer::Step;

class SocksTest : public ::testing::Test {
protected:
    void Configure(TixFirewallType type, const std::string& host, const std::string& user = "",
                   const std::string& password = "") {
        client.SetServer(host);
        client.SetPort(143);
        client.SetTimeOut(5000);
        auto& fw = client.FirewallSettings();
        fw.SetFirewallType(type);
        fw.SetServer(proxy.Host());
        fw.SetPort(proxy.Port());
        fw.SetUserName(user);
        fw.SetPassword(password);
    }
    void TearDown() override {
        client.Close();
        EXPECT_EQ(proxy.Join(), "");
    }
    LoopbackServer proxy;
    TixTcpClient client;
};

struct HandshakeCase {
    const char* name;
    TixFirewallType type;
    std::string host, user;
    bool resolveHere;
    std::vector<Exchange> dialogue;
};

class SocksHandshakeTest : public SocksTest, public ::testing::WithParamInterface<HandshakeCase> {};

// Every reply comes a byte at a time.
TEST_P(SocksHandshakeTest, SendsTheExactRequestsAndLeavesTheGreetingToTheTunnel) {
    const HandshakeCase& c = GetParam();
    Configure(c.type, c.host, c.user);
    client.FirewallSettings().SetNeedResolveIP(!c.resolveHere);
    proxy.Serve([&c](LoopbackPeer& peer) {
        for (std::size_t i = 0; i < c.dialogue.size(); ++i) {
            peer.Expect(c.dialogue[i].line);
            // The target speaks first, right behind the proxy's last reply.
            peer.SendSplit(c.dialogue[i].reply + (i + 1 == c.dialogue.size() ? kGreeting : ""), 1, 2);
        }
        peer.Expect("a1 LOGOUT\r\n");
    });
    client.Open();
    EXPECT_EQ(test::ReadUntil(client, "\r\n"), kGreeting);
    client.GetConnection().WriteString("a1 LOGOUT\r\n", "");
}

// SOCKS4 to an address, the SOCKS5 password exchange and SOCKS5 to an IPv6 target with a type-4
// reply are the SOCKS sandbox's cases against dante and microsocks (and seeds of the SOCKS fuzz target);
// SOCKS4a to an address is the imap-fetch example's run through ssh to 127.0.0.1.
INSTANTIATE_TEST_SUITE_P(
    Requests, SocksHandshakeTest,
    ::testing::Values(
        HandshakeCase("Socks4aName", TixFirewallType::ftSocks4a, "mail.invalid", "ann", false,
                      {{B({4, 1}) + kPort + B({0, 0, 0, 1}) + "ann" + B({0}) + "mail.invalid" + B({0}),
                        B({0, 90, 0, 0, 0, 0, 0, 0})}}),
        // Without a user name only method 0 is offered; a proxy that still asks gets two empty fields.
        HandshakeCase("Socks5NameTypeThreeReply", TixFirewallType::ftSocks5, "mail.invalid", "", false,
                      {{B({5, 1, 0}), B({5, 2})},
                       {B({1, 0, 0}), B({1, 0})},
                       {B({5, 1, 0, 3, 12}) + "mail.invalid" + kPort,
                        B({5, 0, 0, 3, 2}) + "ab" + B({0, 1})}}),
        HandshakeCase("Socks5ResolvedHere", TixFirewallType::ftSocks5, "localhost", "", true,
                      {{B({5, 1, 0}), B({5, 0})},
                       {B({5, 1, 0, 1, 127, 0, 0, 1}) + kPort, B({5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90})}})),
    [](const auto& info) { return std::string(info.param.name); });

// Refusals a real proxy gives (rejected, no method, wrong password, unreachable, a close without a
// complete reply) are the SOCKS sandbox tests'; these are connect replies none of them sends (and a
// refusal, cut to two bytes), each followed by the proxy's close.
TEST_F(SocksTest, ConnectRepliesNoRealProxySendsRaiseTheirCodeAndText) {
    const struct {
        std::string reply;
        int code;
        std::string text;
    } cases[] = {
        {B({5, 5}), 5, "SOCKS error: Connection refused"},  // two bytes: the refusal still says why
        {B({5, 42, 0, 1, 0, 0, 0, 0, 0, 0}), 42, "Unknown SOCKS error occured"},
        {B({5, 0, 0, 9, 0, 0, 0, 0, 0, 0}), 9, "SOCKS error: Address type not supported"},
    };
    Configure(TixFirewallType::ftSocks5, "127.0.0.1");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        proxy.Serve([reply = c.reply](LoopbackPeer& peer) {
            peer.Play({{B({5, 1, 0}), B({5, 0})}, {B({5, 1, 0, 1, 127, 0, 0, 1}) + kPort, reply}});
            peer.Close();
        });
        try {
            client.Open();
            ADD_FAILURE() << "the open went through";
        } catch (const EixSocksFirewallError& e) {
            EXPECT_EQ(e.ErrorCode(), c.code);
            EXPECT_EQ(std::string(e.what()), c.text);
        }
        EXPECT_FALSE(client.Active());
        EXPECT_EQ(proxy.Join(), "");
    }
}

TEST_F(SocksTest, WhatTheProtocolCannotCarryIsRefusedBeforeConnecting) {
    // No proxy listens: an attempt to connect would fail with ECONNREFUSED instead.
    int port = proxy.Port();
    proxy.CloseListener();
    struct Case {
        TixFirewallType type;
        std::string host, user;
        int code;
    } cases[] = {
        {TixFirewallType::ftSocks4, "::1", "", IX_SOCKS_IPV6_TARGET},
        {TixFirewallType::ftSocks4a, "::1", "", IX_SOCKS_IPV6_TARGET},
        {TixFirewallType::ftSocks5, "127.0.0.1", std::string(256, 'u'), IX_SOCKS_FIELD_TOO_LONG},
        {TixFirewallType::ftSocks5, std::string(256, 'h') + ".invalid", "", IX_SOCKS_FIELD_TOO_LONG},
    };
    for (const Case& c : cases) {
        Configure(c.type, c.host, c.user);
        client.FirewallSettings().SetPort(port);
        EXPECT_EQ(CodeOf([&] { client.Open(); }), c.code) << c.host;
        EXPECT_FALSE(client.Active());
    }
}

// A proxy that never answers meets the TCP client's read time-out: the handshake runs in the
// connection's own waits.

// SOCKS4 and SOCKS4a URLs without credentials are the imap-fetch example's runs through dante and ssh.
TEST(SocksProxyUrl, ParsesTheThreeSchemesAndRefusesTheRest) {
    TixFirewallSettings settings;
    ASSERT_TRUE(ParseSocksProxyUrl("socks5://ann:p@ss:w@[::1]:1081", settings));
    EXPECT_EQ(settings.FirewallType(), TixFirewallType::ftSocks5);
    EXPECT_EQ(settings.Server(), "::1");
    EXPECT_EQ(settings.Port(), 1081);
    EXPECT_EQ(settings.UserName(), "ann");
    EXPECT_EQ(settings.Password(), "p@ss:w");
    for (const char* bad : {"socks4://u:p@h:1", "socks5://h", "socks5://h:0", "socks5://h:65536",
                            "socks5://:1", "socks5://h:1x", "http://h:1", "socks5://[::1]1", "socks5://@h:1"})
        EXPECT_FALSE(ParseSocksProxyUrl(bad, settings)) << bad;
    EXPECT_EQ(settings.Server(), "::1");
}

}  // namespace
}  // namespace ix

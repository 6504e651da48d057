// IMAP logins to the sandbox Dovecot through real SOCKS proxies (scripts/socks-servers.sh), in
// the clear and over STARTTLS inside the tunnel; IPv6 targets; refusals.
#include "transport/ixSocksStream.h"

#include <gtest/gtest.h>

#include "../imap/ixImapTestHelpers.h"
#include "imap/ixImap4.h"
#include "ixLoopbackClientFixture.h"
#include "ixLoopbackServer.h"
#include "ixTestSupport.h"

namespace ix {
namespace {

using test::CodeOf;
using Type = TixFirewallType;
using Mode = TixClientTlsMode;

struct Proxy {
    const char* name;
    Type type;
    const char* portKey;
    bool auth;
};

const Proxy kProxies[] = {
    {"dante socks4", Type::ftSocks4, "IX_SOCKS_DANTE_PORT", false},
    {"dante socks5", Type::ftSocks5, "IX_SOCKS_DANTE_PORT", false},
    {"dante socks5 password", Type::ftSocks5, "IX_SOCKS_DANTE_AUTH_PORT", true},
    {"ssh socks4a", Type::ftSocks4a, "IX_SOCKS_SSH_PORT", false},
    {"microsocks socks5", Type::ftSocks5, "IX_SOCKS_MICROSOCKS_PORT", false},
};

class SocksSandboxTest : public ::testing::Test {
protected:
    void SetUp() override {
        info = test::Sandbox();
        env = test::ReadEnvFile(test::BinaryPath("socks/socks.env"));
    }
    void Through(TixTcpClient& client, const Proxy& proxy) {
        auto& fw = client.FirewallSettings();
        fw.SetFirewallType(proxy.type);
        fw.SetServer("127.0.0.1");
        fw.SetPort(std::stoi(env.at(proxy.portKey)));
        fw.SetUserName(proxy.auth ? env.at("IX_SOCKS_USER") : "");
        fw.SetPassword(proxy.auth ? env.at("IX_SOCKS_PASSWORD") : "");
    }
    test::SandboxInfo info;
    std::map<std::string, std::string> env;
};

// A folder's selection and a fetch through a tunnel, over implicit TLS, are the imap-fetch example's
// runs through dante (SOCKS4, SOCKS5 with a password) and ssh.
TEST_F(SocksSandboxTest, LogsInThroughEachProxyInTheClearAndOverTls) {
    for (const Proxy& proxy : kProxies) {
        for (const auto& [mode, port] :
             {std::pair{Mode::ctNone, info.imapPort}, {Mode::ctExplicit, info.imapPort}}) {
            SCOPED_TRACE(std::string(proxy.name) + " port " + std::to_string(port));
            TixImap4 imap;
            test::UseSandboxSecondUser(imap, info, 20000);
            // The proxy resolves the name (SOCKS4 resolves here), and TLS checks it, not the proxy's.
            imap.SetServer("localhost");
            imap.SetPort(port);
            imap.SetUseTLS(mode);
            imap.SetCAFile(info.caFile);
            Through(imap, proxy);
            imap.Open();
            EXPECT_EQ(imap.ConnectionState, TixImap4ConnectionState::csAuthenticated);
            EXPECT_EQ(imap.TlsVersion().empty(), mode == Mode::ctNone) << imap.TlsVersion();
            imap.Close();
        }
    }
}

TEST_F(SocksSandboxTest, ReachesAnIpv6TargetThroughEachSocks5Proxy) {
    for (const Proxy& proxy : kProxies) {
        if (proxy.type != Type::ftSocks5) continue;
        SCOPED_TRACE(proxy.name);
        test::LoopbackServer target(true);
        target.Serve([](test::LoopbackPeer& peer) {
            peer.Send("* OK over six\r\n");
            peer.WaitForClose(10000);
        });
        TixTcpClient client;
        client.SetServer("::1");
        client.SetPort(target.Port());
        client.SetTimeOut(10000);
        Through(client, proxy);
        client.Open();
        // A type-4 reply (dante) is read whole: not a byte of it reaches the greeting.
        EXPECT_EQ(test::ReadUntil(client, "\r\n"), "* OK over six\r\n");
        client.Close();
        EXPECT_EQ(target.Join(), "");
    }
}

TEST_F(SocksSandboxTest, RefusalsCarryTheProxysCodeAndText) {
    test::LoopbackServer closed;
    int closedPort = closed.Port();
    closed.CloseListener();
    struct Case {
        const Proxy& proxy;
        std::string host;
        int port;
        std::string user, password;
        int code;
        std::string text;
    } cases[] = {
        // An empty label: no lookup of this name can leave the machine.
        {kProxies[1], "no..such.invalid", info.imapPort, "", "", 4, "SOCKS error: Host unreachable"},
        {kProxies[2], "127.0.0.1", info.imapPort, env.at("IX_SOCKS_USER"), "wrong", 1,
         "SOCKS error: authentication failed"},
        {kProxies[2], "127.0.0.1", info.imapPort, "", "", 255,
         "SOCKS error: No acceptable authentication methods"},
        {kProxies[0], "127.0.0.1", closedPort, "", "", 91, "SOCKS error: request rejected or failed"},
        // ssh -D hangs up on a target it cannot reach.
        {kProxies[3], "127.0.0.1", closedPort, "", "", IX_SOCKS_NO_REPLY,
         "SOCKS error: the proxy closed the connection without a complete reply"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.proxy.name) + " " + c.host);
        TixTcpClient client;
        client.SetServer(c.host);
        client.SetPort(c.port);
        client.SetTimeOut(10000);
        Through(client, c.proxy);
        client.FirewallSettings().SetUserName(c.user);
        client.FirewallSettings().SetPassword(c.password);
        std::string text;
        EXPECT_EQ(CodeOf([&] { client.Open(); }, &text), c.code);
        EXPECT_EQ(text, c.text);
        EXPECT_FALSE(client.Active());
    }
}

}  // namespace
}  // namespace ix
